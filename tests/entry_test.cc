// The shipped program run as a client runs it: switches, exit status, the
// log files and what the user is shown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "platform/win32.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "update/utils.h"
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
        "I " + testenv::Utf8(L"\"" + *program_ + L"\"" + (line.empty() ? L"" : L" ") + line)};
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
  EXPECT_THAT(Records("ERROR"), ElementsAre("E parse switch errorunzip", "E miss unzip"));
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
  testenv::MakeDirs(root / L"Client");
  const std::wstring archive = root / L"update.7z";
  testenv::WriteFile(archive, "kept");
  // 2 to the 32nd: the run uses the low 32 bits, 0.
  testenv::RunResult run =
      RunProgram({L"--unzip=" + archive, L"--root_dir=" + root.path(), L"--pid=4294967296"});
  EXPECT_EQ(run.exit_status, 0u);
  std::vector<std::string> records = Records();
  ASSERT_THAT(records, SizeIs(testing::Ge(2u)));
  records.erase(records.begin(), records.begin() + 2);  // the command-line records
  EXPECT_THAT(records, ElementsAre("I update with pid:0,unzip:" + testenv::Utf8(archive) + " ," +
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

namespace {

// The log lands where it belongs, whatever the profile's name or the state of
// the folder chain; where a link of the chain is not a folder, the run falls
// back as when it cannot be created, and nothing existing is touched.
struct LogPlace {
  const char* name;
  std::wstring profile;     // APPDATA, relative to the test's folder
  std::wstring in_the_way;  // a file where a folder of the chain should be
  std::wstring log_folder;  // where today's records land, relative to the test's folder
};

TEST_F(EntryTest, TheLogLandsWhereItBelongs) {
  const std::wstring today = testenv::TodayFolderName();
  const std::wstring chain = L"张三/AppData/Roaming/QuexaZevuvEdov2";
  const LogPlace places[] = {
      // A profile name that the ANSI code page may not write: the files are
      // opened by their wide paths.
      {"profile outside the code page", L"张三/AppData/Roaming", L"", chain + L"/log/" + today},
      // The application-data or log folder is a file: the bare date folder in
      // the current folder, as when they cannot be created.
      {"application-data folder is a file", L"张三/AppData/Roaming", chain, L"cwd/" + today},
      {"log folder is a file", L"张三/AppData/Roaming", chain + L"/log", L"cwd/" + today},
  };
  for (const LogPlace& place : places) {
    SCOPED_TRACE(place.name);
    testenv::TempDir folder(L"log place");
    testenv::MakeDirs(folder / L"cwd");
    testenv::ScopedEnv env("APPDATA", folder / place.profile);
    if (!place.in_the_way.empty()) testenv::WriteFile(folder / place.in_the_way, "in the way");
    EXPECT_EQ(testenv::Run({*program_}, folder / L"cwd").exit_status, testenv::ExitStatusOf(-1));
    const std::vector<std::string> found = ReadFolderLog(folder / place.log_folder);
    ASSERT_FALSE(found.empty()) << "no log in " << testenv::Utf8(folder / place.log_folder);
    EXPECT_EQ(found.back(), "E miss unzip");
    if (!place.in_the_way.empty()) {
      EXPECT_EQ(testenv::ReadFile(folder / place.in_the_way), "in the way");
    }
  }
}

TEST_F(EntryTest, ClosedStandardStreamsDoNotTakeTheLogFiles) {
  // Otherwise the log files take descriptors 0 to 2, and everything written
  // to standard error (the box text, ERROR records) lands in a log file.
  EXPECT_EQ(testenv::Run({*program_}, L"", true).exit_status, testenv::ExitStatusOf(-1));
  EXPECT_THAT(Records("ERROR"), ElementsAre("E miss unzip"));
  EXPECT_THAT(Records("WARNING"), ElementsAre("E miss unzip"));
  EXPECT_THAT(Records("INFO"), RunRecords({}, {"E miss unzip"}));
}

#ifdef _WIN32
// Makes Wine prefer a library found on the search path to its own copy for
// the named programs, as Windows does for a library that is not a known
// system one (Windows itself ignores this key).
class PreferFoundLibrary {
 public:
  PreferFoundLibrary(const wchar_t* library, std::vector<std::wstring> programs)
      : programs_(std::move(programs)) {
    for (const std::wstring& program : programs_) {
      HKEY key = nullptr;
      const std::wstring path = kAppDefaults + program + L"\\DllOverrides";
      if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          &key, nullptr) == ERROR_SUCCESS) {
        static const wchar_t kOrder[] = L"native,builtin";
        RegSetValueExW(key, library, 0, REG_SZ, reinterpret_cast<const BYTE*>(kOrder),
                       sizeof(kOrder));
        RegCloseKey(key);
      }
    }
  }
  ~PreferFoundLibrary() {
    for (const std::wstring& program : programs_) {
      RegDeleteTreeW(HKEY_CURRENT_USER, (kAppDefaults + program).c_str());
    }
  }

 private:
  static constexpr const wchar_t* kAppDefaults = L"Software\\Wine\\AppDefaults\\";
  std::vector<std::wstring> programs_;
};
#endif

// A library planted beside the program under the name of one that the
// program's calls load on demand (the message box loads uxtheme.dll) is never
// loaded.
TEST_F(EntryTest, NoLibraryPlantedBesideTheProgramIsLoaded) {
  if (!testenv::Exists(testenv::BinFile(L"planted_library.dll"))) {
    GTEST_SKIP() << "a POSIX program loads no libraries on demand from its own folder";
  }
  testenv::TempDir folder(L"planted");
  const std::wstring bin = folder / L"bin";
  const std::wstring program = testenv::InstallUpdater(bin, true);
  testenv::CopyFile(testenv::BinFile(L"planted_library.dll"), JoinPath(bin, L"uxtheme.dll"));
  testenv::CopyFile(testenv::BinFile(L"launcher.exe"), JoinPath(bin, L"launcher.exe"));
  const std::wstring loads = folder / L"loads.txt";
  testenv::ScopedEnv log("ZIZARO_PLANTED_LOG", loads);
#ifdef _WIN32
  PreferFoundLibrary prefer(L"uxtheme", {L"launcher.exe", L"zizaro_do.exe"});
#endif
  // Without the lock-down a program shows a box and loads the planted library.
  testenv::Run({JoinPath(bin, L"launcher.exe")});
  ASSERT_THAT(testenv::ReadFile(loads), HasSubstr("launcher.exe"))
      << "the planted library is not loaded even without the lock-down: this check shows nothing";
  testenv::WriteFile(loads, "");
  // A failed update (box, browser) and a successful one (script, archiver, relaunch).
  testenv::BrowserRecorder browser;
  const std::wstring root = folder / L"root";
  testenv::InstallStandIn(InstallLayout(root).client_exe);
  testenv::WriteFile(InstallLayout(root).uninstall_script, "@echo off\r\n");
  EXPECT_EQ(testenv::Run({program, L"--unzip=" + (folder / L"missing.7z"), L"--root_dir=" + root,
                          L"--pid=0"})
                .exit_status,
            0u);
  testenv::InstallStandIn(folder / L"pack/Client/QXDazavAzir.exe");
  const std::wstring archive = folder / L"update.7z";
  ASSERT_EQ(testenv::Run({JoinPath(bin, L"7z.exe"), L"a", L"-bso0", L"-bsp0", archive,
                          folder / L"pack/Client"})
                .exit_status,
            0u);
  EXPECT_EQ(
      testenv::Run({program, L"--unzip=" + archive, L"--root_dir=" + root, L"--pid=0"}).exit_status,
      0u);
  EXPECT_FALSE(testenv::Exists(archive));
  Sleep(500);  // the new client and the script start on their own
  EXPECT_EQ(testenv::ReadFile(loads), "");
  Utils::KillProcessesByName(kClientProcessName);
}

}  // namespace
