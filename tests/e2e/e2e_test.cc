// Whole runs of the shipped program, as the client and the user meet it: a
// real install root, a stand-in client running under the id the updater is
// given, the real 7-Zip, real message boxes (watched and answered under a
// virtual display on Windows; standard error on POSIX) and a browser
// recorder. Each run's log is compared with a transcript in
// tests/e2e/transcripts, written by hand from the record texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

#ifndef ZIZARO_TRANSCRIPTS
#error "ZIZARO_TRANSCRIPTS names the folder of the transcripts"
#endif

namespace {

namespace fs = std::filesystem;
using testenv::Utf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const char kFailureBox[] = "升级失败\t请手动下载安装最新的安装包";
const char kDownloadAddress[] = "https://download.quexa.example/quexapc/install/DADEVovava.exe\n";

// A process id that names no process.
constexpr DWORD kNoProcess = 0x7FFFFFF0;

// Replaces every occurrence of `from` in `text`.
void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

// The transcript lines: '#' starts a comment; "@repeat N" ... "@end" repeats
// the lines between N times.
std::vector<std::string> ReadTranscript(const std::string& name) {
  std::ifstream in(fs::path(ZIZARO_TRANSCRIPTS) / (name + ".txt"));
  EXPECT_TRUE(in.good()) << "no transcript " << name;
  std::vector<std::string> lines;
  std::vector<std::string> block;
  int repeat = 0;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("@repeat ", 0) == 0) {
      repeat = std::stoi(line.substr(8));
      block.clear();
    } else if (line == "@end") {
      for (int i = 0; i < repeat; ++i) lines.insert(lines.end(), block.begin(), block.end());
      repeat = 0;
    } else if (repeat > 0) {
      block.push_back(line);
    } else {
      lines.push_back(line);
    }
  }
  return lines;
}

struct RunOutcome {
  DWORD exit_status = 0;
  std::vector<std::string> boxes;  // "<caption>\t<text>", in the order shown
  long long last_box_closed = 0;   // ms since 1970; Windows only
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testenv::InstallUpdater(bin_, true);  // in a folder with a blank in its name
    testenv::MakeDirs(root_);
    testenv::MakeDirs(temp_ / L"下载");
  }

  void TearDown() override {
    for (PROCESS_INFORMATION& process : clients_) testenv::Stop(&process);
    // Whatever the run started as the new client.
    Utils::KillProcessesByName(kClientProcessName);
  }

  // A script that appends `word` to the scripts record.
  void WriteScript(const std::wstring& path, const std::string& word) {
#ifdef _WIN32
    testenv::WriteFile(path, "@echo " + word + ">> \"" + Utf8(scripts_) + "\"\r\n");
#else
    testenv::WriteFile(path, "echo " + word + " >> \"" + Utf8(scripts_) + "\"\n");
#endif
  }

  // A client folder: the stand-in as its executable, a version file and,
  // when asked, its two scripts.
  void MakeClient(const std::wstring& client_dir, const std::string& version, bool scripts) {
    testenv::InstallStandIn(client_dir + kPathSeparator + kClientProcessName);
    testenv::WriteFile(client_dir + L"/version.txt", version);
    if (!scripts) return;
    const std::wstring driver = client_dir + L"/resources/app/private_cloud/driver/";
    WriteScript(driver + L"uninstall.bat", "uninstall " + version);
    WriteScript(driver + L"install_include_firewall.bat", "firewall " + version);
  }

  // The archive of a new client (version 2.0, with its scripts).
  void MakeArchive() {
    MakeClient(temp_ / L"pack/Client", "2.0", true);
    testenv::RunResult run = testenv::Run(
        {testenv::BinFile(L"7z.exe"), L"a", L"-bso0", L"-bsp0", archive_, temp_ / L"pack/Client"});
    ASSERT_EQ(run.exit_status, 0u);
  }

  // The old client running: the copy whose id is handed over ends by itself
  // a second later (as the client does once it has started the updater); a
  // second copy stays until it is ended.
  DWORD StartOldClient() {
    const std::wstring exe = InstallLayout(root_).client_exe;
    clients_.push_back(testenv::StartProgram(exe, {L"--exit-after=1000"}));
    clients_.push_back(testenv::StartProgram(exe));
    return clients_[0].dwProcessId;
  }

  std::vector<std::string> ClientStarts() const {
    std::vector<std::string> lines;
    std::istringstream in(testenv::ReadFile(client_log_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  bool NewClientStarted() const {
    const std::string from = "\t" + Utf8(InstallLayout(root_).client_exe) + "\t";
    return testenv::WaitUntil(
        [&] {
          const std::vector<std::string> starts = ClientStarts();
          return starts.size() > clients_.size() && starts.back().find(from) != std::string::npos;
        },
        5000);
  }

  // Runs the program with `arguments`, watching and answering its boxes.
  RunOutcome RunProgram(const std::vector<std::wstring>& arguments) {
    arguments_ = arguments;
    std::vector<std::wstring> all = {program()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    RunOutcome outcome;
#ifdef _WIN32
    const std::wstring boxes = temp_ / L"boxes.txt";
    DeleteFileW(boxes.c_str());
    DeleteFileW((boxes + L".stop").c_str());
    PROCESS_INFORMATION watcher =
        testenv::StartProgram(testenv::BinFile(L"box_watcher.exe"), {boxes, L"120"});
    outcome.exit_status = testenv::Run(all).exit_status;
    testenv::WriteFile(boxes + L".stop", "");
    testenv::WaitExit(watcher.hProcess, 10000);
    testenv::Stop(&watcher);
    std::istringstream lines(testenv::ReadFile(boxes));
    for (std::string line; std::getline(lines, line);) {
      size_t tab = line.find('\t');
      outcome.last_box_closed = std::stoll(line.substr(0, tab));
      outcome.boxes.push_back(line.substr(tab + 1));
    }
#else
    testenv::RunResult run = testenv::Run(all);
    outcome.exit_status = run.exit_status;
    // Standard error holds the boxes ("caption: text") among the logging
    // library's own lines.
    static const std::regex kLogLine(R"(^[IWEF]\d{8} .*)");
    std::istringstream lines(run.error_output);
    for (std::string line; std::getline(lines, line);) {
      size_t separator = line.find(": ");
      if (std::regex_match(line, kLogLine) || separator == std::string::npos) continue;
      outcome.boxes.push_back(line.substr(0, separator) + "\t" + line.substr(separator + 2));
    }
#endif
    return outcome;
  }

  std::wstring program() const { return JoinPath(bin_, testenv::ExeName(L"zizaro_do")); }

  // The run's INFO log (every record), with the variable parts replaced.
  std::vector<std::string> Transcript() const {
    std::vector<std::string> normal;
    for (std::string record : ReadTodayLog(app_data_.path(), "INFO", true)) {
      // What other processes of the machine add to a walk is not this run's.
      if (IsWalkNoise(record)) continue;
      while (!record.empty() && record.back() == '\n') record.pop_back();
      normal.push_back(Normalise(record));
    }
    return normal;
  }

  std::string Normalise(std::string record) const {
    const std::pair<std::wstring, const char*> paths[] = {
        {program(), "<PROGRAM>"}, {bin_, "<BIN>"}, {archive_, "<ARCHIVE>"}, {root_, "<ROOT>"}};
    for (const auto& [path, name] : paths) {
      std::string text = Utf8(path);
      std::string escaped = text;
      ReplaceAll(&escaped, "\\", "\\\\");
      ReplaceAll(&record, escaped, name);
      ReplaceAll(&record, text, name);
    }
    ReplaceAll(&record, "\\\\", "/");
    ReplaceAll(&record, "\\", "/");
    for (const std::wstring& argument : arguments_) {
      if (argument.rfind(L"--pid=", 0) == 0) {
        const std::string pid = Utf8(argument.substr(6));
        ReplaceAll(&record, "--pid=" + pid, "--pid=<PID>");
        ReplaceAll(&record, "update with pid:" + pid + ",", "update with pid:<PID>,");
      }
    }
    static const std::pair<std::regex, const char*> kVariable[] = {
        {std::regex(R"(Terminate Process pid = \d+)"), "Terminate Process pid = <N>"},
        {std::regex(R"(new launch handle:[0-9A-F]+)"), "new launch handle:<HANDLE>"},
        {std::regex(R"(Shell ExecutedEx failed:\d+)"), "Shell ExecutedEx failed:<ERR>"},
        {std::regex(R"(,ec:[1-9]\d*)"), ",ec:<ERR>"},
        {std::regex(R"(zizaro_do-\d+)"), "zizaro_do-<RUN>"},
    };
    for (const auto& [pattern, replacement] : kVariable) {
      record = std::regex_replace(record, pattern, replacement);
    }
    return record;
  }

  void ExpectTranscript(const std::string& name) const {
    EXPECT_THAT(Transcript(), ElementsAreArray(ReadTranscript(name))) << "transcript " << name;
  }

  // The failure box was shown and closed, and only then the download
  // address was opened.
  void ExpectFailureShown(const RunOutcome& outcome, const testenv::BrowserRecorder& browser) {
    EXPECT_THAT(outcome.boxes, ElementsAre(kFailureBox));
    EXPECT_EQ(browser.Visits(), kDownloadAddress);
#ifdef _WIN32
    EXPECT_GT(browser.FirstVisitTime(), 0);
    EXPECT_LE(outcome.last_box_closed, browser.FirstVisitTime());
#endif
  }

  void ExpectNothingShown(const RunOutcome& outcome, const testenv::BrowserRecorder& browser) {
    EXPECT_THAT(outcome.boxes, IsEmpty());
    EXPECT_EQ(browser.Visits(500), "");
  }

  // The switches of an update of the install root.
  std::vector<std::wstring> Switches(const std::wstring& zip, DWORD pid) const {
    return {L"--unzip=" + zip, L"--root_dir=" + root_, L"--pid=" + std::to_wstring(pid)};
  }

  // Runs an update that ends well: exit code 0, nothing shown, the new
  // client started.
  void RunSuccessfully(const std::vector<std::wstring>& arguments) {
    testenv::BrowserRecorder browser;
    RunOutcome outcome = RunProgram(arguments);
    EXPECT_EQ(outcome.exit_status, 0u);
    ExpectNothingShown(outcome, browser);
    EXPECT_TRUE(NewClientStarted());
  }

  // Runs an update that fails: exit code 0, the failure box, then the
  // download address.
  void RunToFailure(const std::vector<std::wstring>& arguments) {
    testenv::BrowserRecorder browser;
    RunOutcome outcome = RunProgram(arguments);
    EXPECT_EQ(outcome.exit_status, 0u);
    ExpectFailureShown(outcome, browser);
  }

  // Runs an update that is refused before anything is destroyed: it fails as
  // any update does, the old client still runs, no script ran and the
  // install root is as it was.
  void RunRefused(const std::vector<std::wstring>& arguments) {
    const std::vector<std::string> before = testenv::TreeDigest(root_);
    StartOldClient();
    RunToFailure(arguments);
    EXPECT_TRUE(testenv::IsRunning(clients_[1].dwProcessId)) << "a client was ended";
    EXPECT_EQ(testenv::ReadFile(scripts_), "");
    EXPECT_EQ(testenv::TreeDigest(root_), before);
  }

  // The scripts that ran, in order, once they have had time to run.
  std::vector<std::string> ScriptsRun(size_t expected) const {
    std::vector<std::string> lines;
    testenv::WaitUntil(
        [&] {
          lines.clear();
          std::istringstream in(testenv::ReadFile(scripts_));
          for (std::string line; std::getline(in, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            lines.push_back(line);
          }
          return lines.size() >= expected;
        },
        5000);
    return lines;
  }

  testenv::TempDir temp_{L"e2e"};
  std::wstring bin_ = temp_ / L"program files";
  const std::wstring root_ = temp_ / L"Quexa Client";
  const std::wstring archive_ = temp_ / L"下载/update 2.0.7z";
  const std::wstring scripts_ = temp_ / L"scripts.txt";
  const std::wstring client_log_ = temp_ / L"client-starts.txt";
  testenv::TempDir app_data_{L"appdata"};
  testenv::ScopedEnv app_data_env_{"APPDATA", app_data_.path()};
  testenv::ScopedEnv client_log_env_{"ZIZARO_CLIENT_LOG", client_log_};
  std::vector<PROCESS_INFORMATION> clients_;
  std::vector<std::wstring> arguments_;
};

TEST_F(EndToEndTest, ArchiveUpdateWithTheClientRunning) {
  MakeClient(InstallLayout(root_).client_dir, "1.0", true);
  MakeArchive();
  const DWORD pid = StartOldClient();
  RunSuccessfully(Switches(archive_, pid));
  // Ended by the updater.
  EXPECT_EQ(WaitForSingleObject(clients_[1].hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(testenv::Exists(archive_));
  EXPECT_EQ(testenv::ReadFile(root_ + L"/Client/version.txt"), "2.0");
  EXPECT_THAT(ScriptsRun(2), ElementsAre("uninstall 1.0", "firewall 2.0"));
  ExpectTranscript("archive_update_client_running");
}

TEST_F(EndToEndTest, ArchiveUpdateWithTheClientNotRunning) {
  MakeClient(InstallLayout(root_).client_dir, "1.0", true);
  MakeArchive();
  RunSuccessfully(Switches(archive_, kNoProcess));
  EXPECT_FALSE(testenv::Exists(archive_));
  EXPECT_EQ(testenv::ReadFile(root_ + L"/Client/version.txt"), "2.0");
  ExpectTranscript("archive_update_client_not_running");
}

TEST_F(EndToEndTest, StagedUpdateWithTheClientRunning) {
  const InstallLayout layout(root_);
  MakeClient(layout.client_dir, "1.0", true);
  testenv::WriteFile(layout.client_dir + L"/settings/old.txt", "old");
  MakeClient(layout.staged_client_dir, "2.0", true);
  const std::vector<std::string> staged = testenv::ListTree(layout.staged_client_dir);
  const DWORD pid = StartOldClient();
  RunSuccessfully(Switches(L"", pid));
  EXPECT_EQ(WaitForSingleObject(clients_[1].hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(testenv::ListTree(layout.client_dir), staged);
  EXPECT_THAT(testenv::ListTree(layout.staging_dir), IsEmpty());
  // The old client's uninstall script ran to its end before its files went.
  EXPECT_THAT(ScriptsRun(2), ElementsAre("uninstall 1.0", "firewall 2.0"));
  ExpectTranscript("staged_update_client_running");
}

TEST_F(EndToEndTest, StagedUpdateWithTheClientNotRunning) {
  const InstallLayout layout(root_);
  MakeClient(layout.client_dir, "1.0", false);
  testenv::WriteFile(layout.client_dir + L"/settings/old.txt", "old");
  MakeClient(layout.staged_client_dir, "2.0", true);
  const std::vector<std::string> staged = testenv::ListTree(layout.staged_client_dir);
  RunSuccessfully(Switches(L"", 0));
  EXPECT_EQ(testenv::ListTree(layout.client_dir), staged);
  ExpectTranscript("staged_update_client_not_running");
}

TEST_F(EndToEndTest, NoArchiverBesideTheProgram) {
  const std::wstring bare = temp_ / L"no archiver";
  testenv::InstallUpdater(bare, false);
  bin_ = bare;
  MakeClient(InstallLayout(root_).client_dir, "1.0", true);
  MakeArchive();
  RunRefused(Switches(archive_, kNoProcess));
  EXPECT_TRUE(testenv::Exists(archive_));
  ExpectTranscript("no_archiver");
}

TEST_F(EndToEndTest, DamagedArchive) {
  MakeClient(InstallLayout(root_).client_dir, "1.0", true);
  testenv::WriteFile(archive_, "not an archive");
  RunRefused(Switches(archive_, kNoProcess));
  EXPECT_EQ(testenv::ReadFile(archive_), "not an archive");
  ExpectTranscript("damaged_archive");
}

// Data encrypted behind a plain index: 7-Zip, hidden, must not wait for a
// password (under a display it would, for ever); the update is refused.
TEST_F(EndToEndTest, EncryptedArchive) {
  MakeClient(InstallLayout(root_).client_dir, "1.0", true);
  MakeClient(temp_ / L"pack/Client", "2.0", true);
  ASSERT_EQ(testenv::Run({testenv::BinFile(L"7z.exe"), L"a", L"-bso0", L"-bsp0", L"-pSECRET",
                          archive_, temp_ / L"pack/Client"})
                .exit_status,
            0u);
  const std::string packed = testenv::ReadFile(archive_);
  RunRefused(Switches(archive_, kNoProcess));
  EXPECT_EQ(testenv::ReadFile(archive_), packed);
  EXPECT_THAT(ReadTodayLog(app_data_.path(), "ERROR"),
              ElementsAre("E update refused, archive not unpacked:" + Utf8(archive_)));
}

TEST_F(EndToEndTest, NoStagedFolder) {
  MakeClient(InstallLayout(root_).client_dir, "1.0", true);
  testenv::WriteFile(InstallLayout(root_).client_dir + L"/settings/kept.txt", "the user's");
  RunRefused(Switches(L"", 0));
  ExpectTranscript("no_staged_folder");
}

TEST_F(EndToEndTest, ExecutableThatCannotBeRemoved) {
  const InstallLayout layout(root_);
  testenv::WriteFile(layout.client_exe + L"/in the way.txt", "x");
  MakeClient(layout.staged_client_dir, "2.0", true);
  const std::vector<std::string> before = testenv::ListTree(root_);
  RunToFailure(Switches(L"", 0));
  EXPECT_EQ(testenv::ListTree(root_), before);
  ExpectTranscript("executable_cannot_be_removed");
}

TEST_F(EndToEndTest, NewClientThatCannotStart) {
  const InstallLayout layout(root_);
  MakeClient(layout.client_dir, "1.0", false);
  // The new client's executable is no program.
  testenv::WriteFile(layout.staged_client_dir + L"/version.txt", "2.0");
  testenv::WriteFile(layout.staged_client_dir + kPathSeparator + kClientProcessName, "no program");
  RunToFailure(Switches(L"", 0));
  EXPECT_EQ(testenv::ReadFile(layout.client_dir + L"/version.txt"), "1.0");
  EXPECT_EQ(testenv::ReadFile(layout.staged_client_dir + L"/version.txt"), "2.0");
  EXPECT_EQ(ClientStarts().size(), 0u);
  ExpectTranscript("new_client_cannot_start");
}

// Two updaters of one install root started together (the client asked twice,
// a retry after a time-out): one updates, the other finds the root's lock
// held and leaves without a word to the user; one new client runs.
TEST_F(EndToEndTest, TwoUpdatersOfOneRootStartedTogether) {
  const InstallLayout layout(root_);
  const int trials = testenv::RunningUnderWine() ? 5 : 20;
  const std::string held = "W another update of this install root is running:" + Utf8(root_);
  for (int trial = 0; trial < trials; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    fs::remove_all(ToFsPath(root_));
    testenv::WriteFile(client_log_, "");
    testenv::BrowserRecorder browser;
    MakeClient(layout.client_dir, "1.0", false);
    MakeClient(layout.staged_client_dir, "2.0", false);
    // The client that asked for the update ends a second later: the updater
    // that takes the lock first waits for it, and the other starts meanwhile.
    PROCESS_INFORMATION old_client =
        testenv::StartProgram(layout.client_exe, {L"--exit-after=1000"});
    std::vector<std::wstring> arguments = Switches(L"", old_client.dwProcessId);
    PROCESS_INFORMATION first = testenv::StartProgram(program(), arguments);
    PROCESS_INFORMATION second = testenv::StartProgram(program(), arguments);
    EXPECT_EQ(testenv::WaitExit(first.hProcess, 60000), 0u);
    EXPECT_EQ(testenv::WaitExit(second.hProcess, 60000), 0u);
    testenv::Stop(&first);
    testenv::Stop(&second);
    testenv::Stop(&old_client);
    EXPECT_EQ(testenv::ReadFile(layout.client_dir + L"/version.txt"), "2.0");
    // The old client's start, then exactly one new client's.
    ASSERT_TRUE(testenv::WaitUntil([&] { return ClientStarts().size() >= 2; }, 5000));
    Sleep(200);  // a second new client would have started by now
    const std::vector<std::string> starts = ClientStarts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_TRUE(testenv::IsRunning(static_cast<DWORD>(std::stoul(starts[1]))));
    const std::vector<std::string> records = ReadTodayLog(app_data_.path(), "WARNING");
    EXPECT_EQ(std::count(records.begin(), records.end(), held), trial + 1);
    EXPECT_EQ(browser.Visits(0), "");  // nobody was told to reinstall
    Utils::KillProcessesByName(kClientProcessName);
  }
}

struct SwitchRow {
  std::vector<std::wstring> arguments;
  const char* error_record;  // the ERROR record, or none
  const char* box;
};

TEST_F(EndToEndTest, SwitchErrors) {
  const SwitchRow rows[] = {
      {{},
       "E miss unzip",
       "error\tinvalid_argument: invalid argument int find target switch string update abort!"},
      {{L"--unzip"},
       "E parse switch errorunzip",
       "error\tinvalid_argument: invalid argument int get target string update abort!"},
      {{L"--unzip=a"},
       "E miss root_dir",
       "error\tinvalid_argument: invalid argument int find target switch string update abort!"},
      {{L"--unzip=a", L"--root_dir"},
       "E parse switch errorroot_dir",
       "error\tinvalid_argument: invalid argument int get target string update abort!"},
      {{L"--unzip=a", L"--root_dir=r"},
       "E miss pid",
       "error\tinvalid_argument: invalid argument int find target switch int update abort!"},
      {{L"--unzip=a", L"--root_dir=r", L"--pid"},
       "E parse switch errorpid",
       "error\tinvalid_argument: invalid argument int get target int update abort!"},
      {{L"--unzip=a", L"--root_dir=r", L"--pid=letters"},
       nullptr,
       "error\tinvalid_argument: invalid stoll argument update abort!"},
      {{L"--unzip=a", L"--root_dir=r", L"--pid=99999999999999999999"},
       nullptr,
       "error\tunknow error happened!update abort!"},
      // An install root that is empty once its quotes are removed is unusable.
      {{L"--unzip=", L"--root_dir=", L"--pid=0"},
       "E root_dir is empty",
       "error\tinvalid_argument: invalid argument int get target string update abort!"},
      {{L"--unzip=", L"--root_dir=\"\"", L"--pid=0"},
       "E root_dir is empty",
       "error\tinvalid_argument: invalid argument int get target string update abort!"},
  };
  for (const SwitchRow& row : rows) {
    SCOPED_TRACE(Utf8(testenv::JoinArguments(row.arguments)));
    testenv::TempDir app_data(L"appdata");
    testenv::ScopedEnv env("APPDATA", app_data.path());
    testenv::BrowserRecorder browser;
    RunOutcome outcome = RunProgram(row.arguments);
    EXPECT_EQ(outcome.exit_status, testenv::ExitStatusOf(-1));
    EXPECT_THAT(outcome.boxes, ElementsAre(row.box));
    EXPECT_EQ(browser.Visits(300), "");
    const std::vector<std::string> errors = ReadTodayLog(app_data.path(), "ERROR");
    if (row.error_record != nullptr) {
      EXPECT_THAT(errors, ElementsAre(row.error_record));
    } else {
      EXPECT_THAT(errors, IsEmpty());
    }
  }
}

// A log's text cut into records: each whole, with its prefix and the further
// lines of its text; and where the library's header stood (the index of the
// record after each), with any line that is neither in `strays`.
struct LogText {
  std::vector<std::string> records;
  std::vector<size_t> headers;
  std::vector<std::string> strays;
};

LogText ParseLog(const std::string& text) {
  static const std::regex kRecord(R"(^[IWEF]\d{8} \d\d:\d\d:\d\d\.\d{6} +\d+ [^ :]+:\d+\] .*)");
  static const std::regex kHeader[] = {
      std::regex(R"(Log file created at: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d)"),
      std::regex(R"(Running on machine: .*)"),
      std::regex(R"(Running duration \(h:mm:ss\): \d+:\d\d:\d\d)"),
      std::regex(R"(Log line format: \[IWEF\]yyyymmdd hh:mm:ss\.uuuuuu threadid file:line\] msg)"),
  };
  LogText log;
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("Log file created at: ", 0) == 0) {
      bool whole = i + 4 <= lines.size();
      for (size_t k = 0; whole && k < 4; ++k) whole = std::regex_match(lines[i + k], kHeader[k]);
      if (whole) {
        log.headers.push_back(log.records.size());
        i += 3;
        continue;
      }
    }
    if (std::regex_match(lines[i], kRecord)) {
      log.records.push_back(lines[i]);
    } else if (!log.records.empty()) {
      log.records.back() += "\n" + lines[i];
    } else {
      log.strays.push_back(lines[i]);
    }
  }
  return log;
}

// Whether a record (as ParseLog keeps it) belongs in the file of a severity.
bool BelongsIn(const std::string& record, const std::string& severity) {
  static const std::string kOrder = "IWEF";
  return kOrder.find(record[0]) >= kOrder.find(severity[0]);
}

// Updaters started together (a client that asks twice, several installs
// updated on one day) share one application-data folder, hence the day's
// log. Each run also writes its records to standard error
// (GLOG_alsologtostderr), which tells what it wrote.
class UpdatersTogetherTest : public EndToEndTest {
 protected:
  // Starts `count` staged updates at once (of one root, or of a root each)
  // and checks the day's files against what the runs wrote: every record
  // lands in the file of each severity it belongs to, once, whole and in its
  // run's order; each run's first record there follows a header of the
  // library's, and the files bear the library's names. The day's folder is
  // there beforehand, or each run races the others to make it.
  void RunTogether(int count, bool one_root, bool day_folder_there) {
    SCOPED_TRACE(testing::Message() << count << (one_root ? " updaters of one root" : " roots")
                                    << (day_folder_there ? ", day's folder there" : ""));
    testenv::TempDir group(L"together");
    testenv::TempDir app_data(L"appdata");
    testenv::ScopedEnv app_data_env("APPDATA", app_data.path());
    testenv::ScopedEnv records_to_stderr("GLOG_alsologtostderr", L"1");
    const std::wstring day = TodayLogFolder(app_data.path());
    if (day_folder_there) testenv::MakeDirs(day);
    std::vector<std::wstring> roots;
    for (int i = 0; i < (one_root ? 1 : count); ++i) {
      roots.push_back(group / (L"root " + std::to_wstring(i)));
      MakeClient(InstallLayout(roots.back()).client_dir, "1.0", false);
      MakeClient(InstallLayout(roots.back()).staged_client_dir, "2.0", false);
    }
    // Of one root, the client that asked ends a second later: the updater
    // that takes the root's lock waits for it while the others start.
    PROCESS_INFORMATION old_client = {};
    if (one_root) {
      old_client =
          testenv::StartProgram(InstallLayout(roots[0]).client_exe, {L"--exit-after=1000"});
    }
    const std::wstring pid = L"--pid=" + std::to_wstring(old_client.dwProcessId);
    // A run that starts only after the update is done fails (nothing is
    // staged any more): its box is answered, and its records count as well.
    testenv::BrowserRecorder browser;
#ifdef _WIN32
    const std::wstring boxes = group / L"boxes.txt";
    PROCESS_INFORMATION watcher =
        testenv::StartProgram(testenv::BinFile(L"box_watcher.exe"), {boxes, L"120"});
#endif
    std::vector<PROCESS_INFORMATION> runs;
    for (int i = 0; i < count; ++i) {
      runs.push_back(testenv::StartWithOutputTo(
          {program(), L"--unzip=", L"--root_dir=" + roots[one_root ? 0 : i], pid},
          group / (L"output " + std::to_wstring(i) + L".txt")));
    }
    for (PROCESS_INFORMATION& run : runs) {
      EXPECT_EQ(testenv::WaitExit(run.hProcess, 120000), 0u);
      testenv::Stop(&run);
    }
#ifdef _WIN32
    testenv::WriteFile(boxes + L".stop", "");
    testenv::WaitExit(watcher.hProcess, 10000);
    testenv::Stop(&watcher);
#endif
    testenv::Stop(&old_client);
    Utils::KillProcessesByName(kClientProcessName);  // the new clients

    std::vector<std::vector<std::string>> written;
    std::map<std::string, size_t> run_of;
    for (int i = 0; i < count; ++i) {
      const LogText output = ParseLog(
          WithoutBoxes(testenv::ReadFile(group / (L"output " + std::to_wstring(i) + L".txt"))));
      ASSERT_FALSE(output.records.empty()) << "run " << i << " wrote nothing";
      for (const std::string& record : output.records) {
        ASSERT_TRUE(run_of.emplace(record, written.size()).second) << "twice: " << record;
      }
      written.push_back(output.records);
    }
    std::vector<std::string> names;
    for (const char* severity : {"INFO", "WARNING", "ERROR"}) {
      SCOPED_TRACE(severity);
      std::vector<std::vector<std::string>> expected(written.size());
      for (size_t run = 0; run < written.size(); ++run) {
        std::copy_if(written[run].begin(), written[run].end(), std::back_inserter(expected[run]),
                     [&](const std::string& record) { return BelongsIn(record, severity); });
      }
      const size_t runs_here = static_cast<size_t>(std::count_if(
          expected.begin(), expected.end(), [](const auto& records) { return !records.empty(); }));
      if (runs_here == 0) continue;
      names.push_back(LogFileName(severity));
      const LogText file = ParseLog(testenv::ReadFile(JoinPath(day, Wide(names.back()))));
      EXPECT_THAT(file.strays, IsEmpty());
      // Each run's records, in the order the file holds them.
      std::vector<std::vector<std::string>> found(written.size());
      for (const std::string& record : file.records) {
        const auto run = run_of.find(record);
        if (run == run_of.end()) {
          ADD_FAILURE() << "a record no run wrote (cut into?): " << record.substr(0, 300);
          continue;
        }
        found[run->second].push_back(record);
      }
      EXPECT_EQ(found, expected);
      // One header per run, right before its first record.
      EXPECT_EQ(file.headers.size(), runs_here);
      for (size_t header : file.headers) {
        ASSERT_LT(header, file.records.size());
        const std::vector<std::string>& own = expected[run_of[file.records[header]]];
        EXPECT_EQ(file.records[header], own.front()) << "not a run's first record after a header";
      }
    }
    std::vector<std::string> present;
    for (const auto& entry : fs::directory_iterator(ToFsPath(day))) {
      present.push_back(entry.path().filename().u8string());
    }
    EXPECT_THAT(present, testing::UnorderedElementsAreArray(names));
  }

  static std::wstring Wide(const std::string& text) { return WideText(text, CP_UTF8); }

  // A program's output without the failure box, which POSIX shows there
  // ("<caption>: <text>") among the records.
  static std::string WithoutBoxes(const std::string& output) {
    std::string kept;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("升级失败: ", 0) != 0) kept += line + "\n";
    }
    return kept;
  }

  const int trials_ = testenv::RunningUnderWine() ? 5 : 20;
};

TEST_F(UpdatersTogetherTest, OfARootEachLogEveryRecordWhole) {
  for (int trial = 0; trial < trials_; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    RunTogether(2, false, trial % 2 == 0);
    RunTogether(8, false, trial % 2 == 0);
  }
}

TEST_F(UpdatersTogetherTest, OfOneRootEachLogEveryRecordWhole) {
  for (int trial = 0; trial < trials_; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    RunTogether(2, true, trial % 2 == 0);
    RunTogether(8, true, trial % 2 == 0);
  }
}

}  // namespace
