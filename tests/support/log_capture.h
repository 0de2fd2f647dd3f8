// Captures log records so that tests can assert them exactly and in order.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <glog/logging.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

// Each record as "<severity letter> <text>", for example "I wait result1":
// records are told apart by what they say, not by the file that wrote them.
class LogCapture : public google::LogSink {
 public:
  void send(google::LogSeverity severity, const char* full_filename, const char* base_filename,
            int line, const google::LogMessageTime& time, const char* message,
            size_t message_length) override;

  std::vector<std::string> Lines() const;
  // The same without the walk's records about other processes of the
  // machine (ones that ended during the walk, or cannot be read), which
  // depend on what else runs.
  std::vector<std::string> OwnLines() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// True for a record the process walk writes about some other process.
bool IsWalkNoise(const std::string& line);

// The records of a log file written by the logging library, in the form of
// LogCapture::Lines(), or with `with_source` as "<severity> <source file>:
// <text>" for transcripts that a person reads. A record whose text spans
// lines keeps its line feeds.
std::vector<std::string> ReadLogFileRecords(const std::wstring& path, bool with_source = false);

// The name the logging library gives the program's file of a severity
// ("INFO", ...) without a time stamp, by its own rule and from its own
// sources of the host's and the user's names:
// zizaro_do.<host>.<user>.log.<SEVERITY>.log.
std::string LogFileName(const std::string& severity);

// Today's log folder under an application-data folder:
// <app data>/QuexaZevuvEdov2/log/<YYYY_MM_DD>.
std::wstring TodayLogFolder(const std::wstring& app_data);
// The records of today's log file of a severity ("INFO", "WARNING" or
// "ERROR") under an application-data folder; none when there is no such file.
std::vector<std::string> ReadTodayLog(const std::wstring& app_data,
                                      const std::string& severity = "INFO",
                                      bool with_source = false);
// The same from the log files in `folder`, wherever that is.
std::vector<std::string> ReadFolderLog(const std::wstring& folder,
                                       const std::string& severity = "INFO",
                                       bool with_source = false);

// A record (or any text) that matches an ECMAScript regular expression
// whole; the same on every platform, unlike GoogleTest's own regex support.
MATCHER_P(MatchesPattern, pattern, "matches /" + std::string(pattern) + "/") {
  return std::regex_match(std::string(arg), std::regex(pattern));
}

// A test that captures every record written while it runs in `log_`.
class LoggedTest : public ::testing::Test {
 protected:
  void SetUp() override { google::AddLogSink(&log_); }
  void TearDown() override { google::RemoveLogSink(&log_); }

  LogCapture log_;
};

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
