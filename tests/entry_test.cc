// The shipped program run as a client runs it: switches, exit status, the
// log files and what the user is shown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "utility/base/file_path.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

class EntryTest : public ::testing::Test {
 protected:
  // One copy of the program for the suite, in a folder whose name has a
  // blank, so that its path is quoted alike on every platform.
  static void SetUpTestSuite() {
    program_dir_ = new testenv::TempDir(L"entry");
    program_ = new std::wstring(testenv::InstallUpdater(*program_dir_ / L"bin dir", false));
  }
  static void TearDownTestSuite() {
    delete program_;
    delete program_dir_;
  }

  // Runs the program with `arguments` and APPDATA in this test's folder.
  testenv::RunResult RunProgram(const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> all = {*program_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return testenv::Run(all);
  }

  std::vector<std::string> Records(const std::string& severity = "INFO") const {
    return ReadTodayLog(app_data_.path(), severity);
  }

  // The records of a run: origin command line, the parser's record, then `rest`.
  std::vector<std::string> RunRecords(const std::vector<std::wstring>& arguments,
                                      const std::vector<std::string>& rest) const {
    std::wstring line = testenv::JoinArguments(arguments);
    std::vector<std::string> expected = {
        "I origin cmdline:" + testenv::Utf8(line),
        "I " +
            testenv::Utf8(L"\"" + *program_ + L"\"" + (line.empty() ? L"" : L" ") + line)};
    expected.insert(expected.end(), rest.begin(), rest.end());
    return expected;
  }

  testenv::TempDir app_data_{L"appdata"};
  testenv::ScopedEnv app_data_env_{"APPDATA", app_data_.path()};
  static testenv::TempDir* program_dir_;
  static std::wstring* program_;
};

testenv::TempDir* EntryTest::program_dir_ = nullptr;
std::wstring* EntryTest::program_ = nullptr;

struct SwitchCase {
  std::vector<std::wstring> arguments;
  std::vector<std::string> records_after_command_line;
  std::string box;  // caption, ": ", text
};

TEST_F(EntryTest, SwitchErrorsEndTheRunWithABoxAndMinusOne) {
  const std::string kStringMissing =
      "error: invalid_argument: invalid argument int find target switch string update abort!";
  const std::string kStringNoValue =
      "error: invalid_argument: invalid argument int get target string update abort!";
  const SwitchCase cases[] = {
      {{}, {"E miss unzip"}, kStringMissing},
      {{L"--unzip"}, {"E parse switch errorunzip"}, kStringNoValue},
      {{L"--unzipped=x"}, {"E parse switch errorunzip"}, kStringNoValue},
      {{L"--UNZIP=x", L"-unzip=x", L"/unzip=x"}, {"E miss unzip"}, kStringMissing},
      {{L"--unzip="}, {"E miss root_dir"}, kStringMissing},
      // root_dir missing: pid is never looked at, good or bad.
      {{L"--unzip=a", L"--pid=x"}, {"E miss root_dir"}, kStringMissing},
      {{L"--unzip=", L"--root_dir"}, {"E parse switch errorroot_dir"}, kStringNoValue},
      {{L"--unzip=", L"--root_dir=r"},
       {"E miss pid"},
       "error: invalid_argument: invalid argument int find target switch int update abort!"},
      {{L"--unzip=", L"--root_dir=r", L"--pid", L"5"},
       {"E parse switch errorpid"},
       "error: invalid_argument: invalid argument int get target int update abort!"},
      {{L"--unzip=", L"--root_dir=r", L"--pid=abc"},
       {},
       "error: invalid_argument: invalid stoll argument update abort!"},
      {{L"--unzip=", L"--root_dir=r", L"--pid=99999999999999999999"},
       {},
       "error: unknow error happened!update abort!"},
  };
  for (const SwitchCase& c : cases) {
    testenv::TempDir app_data(L"appdata");
    testenv::ScopedEnv env("APPDATA", app_data.path());
    SCOPED_TRACE(testenv::Utf8(testenv::JoinArguments(c.arguments)));
    testenv::RunResult run = RunProgram(c.arguments);
    EXPECT_EQ(run.exit_status, testenv::ExitStatusOf(-1));
    EXPECT_EQ(ReadTodayLog(app_data.path()), RunRecords(c.arguments, c.records_after_command_line));
#ifndef _WIN32
    // Boxes are standard error on POSIX; on Windows they are windows, read by
    // the end-to-end suite.
    EXPECT_THAT(run.error_output, HasSubstr(c.box + "\n"));
#endif
  }
}

TEST_F(EntryTest, ErrorRecordsReachAllThreeFilesOfTheDatedFolder) {
  EXPECT_EQ(RunProgram({}).exit_status, testenv::ExitStatusOf(-1));
  EXPECT_THAT(Records("ERROR"), ElementsAre("E miss unzip"));
  EXPECT_THAT(Records("WARNING"), ElementsAre("E miss unzip"));
  EXPECT_THAT(Records("INFO"), SizeIs(3));
  EXPECT_EQ(Records("INFO").back(), "E miss unzip");
}

TEST_F(EntryTest, RunsOfOneDayAppendToTheSameFiles) {
  RunProgram({L"--unzip"});
  RunProgram({});
  std::vector<std::string> both = RunRecords({L"--unzip"}, {"E parse switch errorunzip"});
  std::vector<std::string> second = RunRecords({}, {"E miss unzip"});
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(Records("INFO"), both);
  EXPECT_THAT(Records("ERROR"),
              ElementsAre("E parse switch errorunzip", "E miss unzip"));
  int files = 0;
  for (const auto& entry : fs::directory_iterator(ToFsPath(TodayLogFolder(app_data_.path())))) {
    if (entry.is_regular_file() && !entry.is_symlink()) ++files;
  }
  EXPECT_EQ(files, 3);
}

TEST_F(EntryTest, FailedUpdateShowsTheBoxOpensTheDownloadAddressAndExitsWithZero) {
  testenv::TempDir root(L"root");
  testenv::BrowserRecorder browser;
  // This copy of the program has no 7z.exe beside it: the update is refused.
  const std::wstring archive = root / L"update.7z";
  testenv::WriteFile(archive, "kept");
  // 2 to the 32nd: the run uses the low 32 bits, 0.
  testenv::RunResult run =
      RunProgram({L"--unzip=" + archive, L"--root_dir=" + root.path(), L"--pid=4294967296"});
  EXPECT_EQ(run.exit_status, 0u);
  std::vector<std::string> records = Records();
  ASSERT_THAT(records, SizeIs(testing::Ge(2u)));
  records.erase(records.begin(), records.begin() + 2);  // the command-line records
  EXPECT_THAT(records,
              ElementsAre("I update with pid:0,unzip:" + testenv::Utf8(archive) + " ," +
                              testenv::Utf8(root.path()),
                          "I wait result0",
                          "E update refused, no archiver:" +
                              testenv::Utf8(program_dir_->operator/(L"bin dir/7z.exe")),
                          "I update finished 0\n"));
  EXPECT_EQ(testenv::ReadFile(archive), "kept");
#ifndef _WIN32
  EXPECT_THAT(run.error_output, HasSubstr("升级失败: 请手动下载安装最新的安装包\n"));
#endif
  EXPECT_EQ(browser.Visits(), "https://download.quexa.example/quexapc/install/DADEVovava.exe\n");
}

TEST_F(EntryTest, SwitchValuesAreRecordedBeforeTheirQuotesAreRemoved) {
  testenv::TempDir root(L"root");
  testenv::BrowserRecorder browser;
  const std::wstring quoted_root = L"\"" + root.path() + L"\"";
  RunProgram({L"--unzip=\"\"", L"--root_dir=" + quoted_root, L"--pid=-1"});
  std::vector<std::string> records = Records();
  ASSERT_THAT(records, SizeIs(testing::Ge(5u)));
  EXPECT_EQ(records[2], "I update with pid:-1,unzip:\"\" ," + testenv::Utf8(quoted_root));
  EXPECT_EQ(records[3], "I root dir change to:" + testenv::Utf8(root.path()));
  EXPECT_EQ(records[4], "I zip file change to:");
}

}  // namespace
