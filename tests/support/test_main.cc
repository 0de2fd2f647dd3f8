// Test entry: the logging library started with no files and a quiet standard
// error, so that records reach only the tests' sinks; and a temporary folder
// of the suite's own, removed at its end, for it and the programs it starts.
#include <glog/logging.h>
#include <gtest/gtest.h>

#include "tests/support/test_env.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  FLAGS_stderrthreshold = google::GLOG_FATAL;
  FLAGS_logtostderr = false;
  google::InitGoogleLogging(argv[0]);
  for (google::LogSeverity severity = google::GLOG_INFO; severity < google::NUM_SEVERITIES;
       ++severity) {
    google::SetLogDestination(severity, "");
  }
  testenv::TempDir temporary(L"suite");
  testenv::ScopedEnv tmpdir("TMPDIR", temporary.path());
  testenv::ScopedEnv tmp("TMP", temporary.path());
  testenv::ScopedEnv temp("TEMP", temporary.path());
  return RUN_ALL_TESTS();
}
