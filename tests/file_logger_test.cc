// The log files: the logging library's names and headers, records that stay
// whole whatever other writers append at the same moment, the size limit and
// a full disk.
#include "utility/base/file_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/log_files.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using testenv::Utf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A record's line as the library formats it, and the record as the library
// hands it over, ending with a line feed.
std::string Text(const std::string& text) {
  return "I20261206 10:15:02.123456  4312 file_logger_test.cc:1] " + text;
}
std::string Record(const std::string& text) { return Text(text) + "\n"; }

// The library's header lines, each as a pattern.
const char* const kHeader[] = {
    R"(Log file created at: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d)",
    R"(Running on machine: [^\n]*)",
    R"(Running duration \(h:mm:ss\): \d+:\d\d:\d\d)",
    R"(Log line format: \[IWEF\]yyyymmdd hh:mm:ss\.uuuuuu threadid file:line\] msg)",
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The lines of a file written by runs that each wrote `records`: a header,
// then the records, run after run.
std::vector<testing::Matcher<std::string>> RunsOf(int runs,
                                                  const std::vector<std::string>& records) {
  std::vector<testing::Matcher<std::string>> lines;
  for (int run = 0; run < runs; ++run) {
    for (const char* line : kHeader) lines.push_back(MatchesPattern(line));
    for (const std::string& record : records) lines.push_back(record);
  }
  return lines;
}

// Sets glog flags for one test.
template <typename T>
class ScopedFlag {
 public:
  ScopedFlag(T* flag, T value) : flag_(flag), old_(*flag) { *flag = value; }
  ~ScopedFlag() { *flag_ = old_; }

 private:
  T* flag_;
  T old_;
};

class FileLoggerTest : public ::testing::Test {
 protected:
  std::wstring FileIn(const std::wstring& folder, const std::string& severity = "INFO") const {
    return JoinPath(folder, WideText(LogFileName(severity), CP_UTF8));
  }

  testenv::TempDir temp_{L"日志 logger"};
};

TEST_F(FileLoggerTest, NamesAndHeadersAreTheLibrarys) {
  for (int run = 0; run < 2; ++run) {
    FileLogger info(google::GLOG_INFO, temp_.path(), "zizaro_do", "log");
    FileLogger warning(google::GLOG_WARNING, temp_.path(), "zizaro_do", "log");
    info.Write(true, time(nullptr), Record("first").data(), Record("first").size());
    info.Write(true, time(nullptr), Record("second").data(), Record("second").size());
    warning.Write(true, time(nullptr), Record("second").data(), Record("second").size());
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(ToFsPath(temp_.path()))) {
    names.push_back(entry.path().filename().u8string());
  }
  EXPECT_THAT(names, testing::UnorderedElementsAre(LogFileName("INFO"), LogFileName("WARNING")));
  const std::string info = testenv::ReadFile(FileIn(temp_.path()));
  EXPECT_THAT(Lines(info), ElementsAreArray(RunsOf(2, {Text("first"), Text("second")})));
  // Lines end as the library's text mode ended them: CR LF on Windows.
#ifdef _WIN32
  const std::ptrdiff_t returns_per_line = 1;
#else
  const std::ptrdiff_t returns_per_line = 0;
#endif
  EXPECT_EQ(std::count(info.begin(), info.end(), '\r'),
            returns_per_line * std::count(info.begin(), info.end(), '\n'));
  EXPECT_THAT(Lines(testenv::ReadFile(FileIn(temp_.path(), "WARNING"))),
              ElementsAreArray(RunsOf(2, {Text("second")})));
}

// The end of the n-th record of a writer; some longer than any buffer on the
// way.
std::string Padding(int n) {
  return std::string(n % 10 == 0 ? 9000 : static_cast<size_t>(n % 97),
                     static_cast<char>('a' + n % 26));
}

// Writers that each hold a file of their own (as runs do) and append at the
// same moment: every record lands once and whole, each writer's in its order,
// each writer's header right before its first record.
TEST_F(FileLoggerTest, WritersAtTheSameMomentKeepEveryRecordWhole) {
  constexpr int kWriters = 8;
  constexpr int kRecords = 200;
  std::vector<std::thread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([this, writer] {
      FileLogger logger(google::GLOG_INFO, temp_.path(), "zizaro_do", "log");
      for (int n = 0; n < kRecords; ++n) {
        const std::string record = Record("writer " + std::to_string(writer) + " record " +
                                          std::to_string(n) + " " + Padding(n));
        logger.Write(true, time(nullptr), record.data(), record.size());
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::vector<std::string> lines = Lines(testenv::ReadFile(FileIn(temp_.path())));
  const std::string prefix = Text("writer ");
  const std::regex first_header_line(kHeader[0]);
  std::vector<int> next(kWriters, 0);
  size_t header_line = 0;
  int headers = 0;
  for (const std::string& line : lines) {
    if (header_line > 0 || std::regex_match(line, first_header_line)) {
      EXPECT_THAT(line, MatchesPattern(kHeader[header_line]));
      header_line = (header_line + 1) % 4;
      if (header_line == 0) ++headers;
      continue;
    }
    // "<prefix><writer> record <n> <padding>"
    std::istringstream fields(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "");
    int writer = -1;
    int n = -1;
    std::string word;
    std::string padding;
    fields >> writer >> word >> n;
    fields.get();
    std::getline(fields, padding);
    ASSERT_TRUE(writer >= 0 && writer < kWriters && word == "record")
        << "a record cut into: " << line.substr(0, 200);
    EXPECT_EQ(n, next[writer]) << "writer " << writer;
    next[writer] = n + 1;
    EXPECT_EQ(padding, Padding(n)) << "writer " << writer << " record " << n;
  }
  EXPECT_EQ(headers, kWriters);
  EXPECT_THAT(next, testing::Each(kRecords));
}

// Holds a file as another program may: without write sharing (POSIX: read-only), or its turn.
HANDLE Hold(const std::wstring& file, bool turn) {
  testenv::WriteFile(file, "");
#ifndef _WIN32
  testenv::SetReadOnly(file, !turn);
#endif
  HANDLE handle =
      turn ? log_files::OpenForAppending(file)
           : CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  OVERLAPPED byte = FileLogger::TurnByte();
  EXPECT_TRUE(!turn || LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &byte));
  return handle;
}

// The file is found by its wide path whatever the code page, of any length,
// and where the folder was when the logger was made.
TEST_F(FileLoggerTest, FilesLandInTheirFolderWhateverItsName) {
  const std::wstring long_folder =
      temp_ / (L"long " + std::wstring(120, L'l') + L"/" + std::wstring(120, L'g'));
  struct Row {
    const char* name;
    std::wstring folder;  // as given to the logger
    std::wstring where;   // where the file lands
    int held = 0;         // by another program: 1 the usual file, 2 its turn
  };
  const Row rows[] = {
      {"outside any code page", temp_ / L"张三 Ünïcode", temp_ / L"张三 Ünïcode"},
      {"longer than MAX_PATH", long_folder, long_folder},
      {"relative, then the current folder changes", L"relative", temp_ / L"relative"},
      {"the file held", temp_ / L"held", temp_ / L"held", 1},
      {"its turn held", temp_ / L"turn", temp_ / L"turn", 2},
  };
  const fs::path old_current = fs::current_path();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testenv::MakeDirs(row.where);
    testenv::MakeDirs(temp_ / L"elsewhere/relative");
    fs::current_path(ToFsPath(temp_.path()));
    FileLogger logger(google::GLOG_INFO, row.folder, "zizaro_do", "log");
    fs::current_path(ToFsPath(temp_ / L"elsewhere"));
    HANDLE held = row.held > 0 ? Hold(FileIn(row.where), row.held == 2) : nullptr;
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 8; ++n)
      logger.Write(true, time(nullptr), Record(row.name).data(), Record(row.name).size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    if (held != nullptr) CloseHandle(held);
    fs::current_path(old_current);
    // A held file leaves the records to a second one, named after this process.
    std::wstring file = FileIn(row.where);
    if (row.held == 1) file.insert(file.size() - 3, std::to_wstring(GetCurrentProcessId()) + L".");
    EXPECT_THAT(ReadLogFileRecords(file),
                ElementsAreArray(std::vector<std::string>(8, std::string("I ") + row.name)));
  }
  EXPECT_THAT(testenv::ListTree(temp_ / L"elsewhere"), ElementsAre("relative/"));
}

// Without a folder the file goes to the library's default folders: the
// temporary folder first (whose name the library reads in the ANSI code page
// on Windows: a plain one).
TEST_F(FileLoggerTest, NoFolderLeavesThePlaceToTheLibrary) {
  const testenv::TempDir temporary_folder(L"temporary");
  const std::wstring temporary = temporary_folder.path();
  testenv::ScopedEnv posix_temporary("TEST_TMPDIR", temporary);
  testenv::ScopedEnv windows_temporary("TMP", temporary + kPathSeparator);
  FileLogger logger(google::GLOG_INFO, L"", "zizaro_do", "log");
  logger.Write(true, time(nullptr), Record("default").data(), Record("default").size());
  EXPECT_THAT(ReadFolderLog(temporary), ElementsAre("I default"));
}

// A file that has reached the size limit takes no more records; one below it
// takes the next whole, even past the limit.
TEST_F(FileLoggerTest, AFullFileTakesNoMoreRecords) {
  ScopedFlag<google::uint32> limit(&FLAGS_max_log_size, 1);
  constexpr size_t kLimit = 1 << 20;
  struct Row {
    size_t size;                      // of the file before
    std::vector<std::string> landed;  // of the records "one" and "two"
  };
  const Row rows[] = {
      {0, {Text("one"), Text("two")}},
      {kLimit - 1, {Text("one")}},
      {kLimit, {}},
      {kLimit + 5000, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    const std::string before(row.size, 'x');
    if (row.size > 0) testenv::WriteFile(FileIn(temp_.path()), before);
    FileLogger logger(google::GLOG_INFO, temp_.path(), "zizaro_do", "log");
    for (const char* text : {"one", "two"}) {
      logger.Write(true, time(nullptr), Record(text).data(), Record(text).size());
    }
    const std::string after = testenv::ReadFile(FileIn(temp_.path()));
    ASSERT_GE(after.size(), row.size);
    EXPECT_EQ(after.substr(0, row.size), before);
    EXPECT_THAT(Lines(after.substr(row.size)),
                ElementsAreArray(RunsOf(row.landed.empty() ? 0 : 1, row.landed)));
    fs::remove(ToFsPath(FileIn(temp_.path())));
  }
}

// A full disk stops the writing for the library's interval
// (FLAGS_logbufsecs); the records of that time are lost, and later ones land
// with their header.
TEST_F(FileLoggerTest, AFullDiskStopsTheWritingForAWhile) {
#ifdef _WIN32
  GTEST_SKIP() << "no full volume can be made here";
#else
  struct Row {
    bool stop_if_full;
    int32_t pause_seconds;
    bool second_lands;
  };
  const Row rows[] = {{true, 3600, false}, {true, 0, true}, {false, 3600, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.stop_if_full << " " << row.pause_seconds);
    ScopedFlag<bool> stop(&FLAGS_stop_logging_if_full_disk, row.stop_if_full);
    ScopedFlag<int32_t> pause(&FLAGS_logbufsecs, row.pause_seconds);
    const std::wstring file = FileIn(temp_.path());
    // The file is the device that is always full.
    ASSERT_EQ(symlink("/dev/full", ToFsPath(file).c_str()), 0);
    FileLogger logger(google::GLOG_INFO, temp_.path(), "zizaro_do", "log");
    logger.Write(true, time(nullptr), Record("lost").data(), Record("lost").size());
    fs::remove(ToFsPath(file));  // room again
    logger.Write(true, time(nullptr), Record("second").data(), Record("second").size());
    if (row.second_lands) {
      EXPECT_THAT(Lines(testenv::ReadFile(file)), ElementsAreArray(RunsOf(1, {Text("second")})));
    } else {
      EXPECT_FALSE(testenv::Exists(file));
    }
    fs::remove(ToFsPath(file));
  }
#endif
}

}  // namespace
