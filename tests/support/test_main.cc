// Test entry: the logging library started with no files and a quiet standard
// error, so that records reach only the tests' sinks.
#include <glog/logging.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  FLAGS_stderrthreshold = google::GLOG_FATAL;
  FLAGS_logtostderr = false;
  google::InitGoogleLogging(argv[0]);
  for (google::LogSeverity severity = google::GLOG_INFO; severity < google::NUM_SEVERITIES;
       ++severity) {
    google::SetLogDestination(severity, "");
  }
  return RUN_ALL_TESTS();
}
