// Faults met by whole updates of the shipped program: for every mandatory
// step and every fault it can meet, the run ends as it should, and nothing is
// lost: either the old client is complete (every file as before, but for the
// executable when the failure came after its deletion) or the new one is
// complete and started; the archive stays unless the switch completed, the
// staged client's files stay byte for byte (in the staging folder or in the
// client folder), and nothing outside the install root changes. Then the
// updater itself is killed at many moments of a staged update.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/long_paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/journal.h"
#include "update/run_state.h"
#include "update/update.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

namespace {

namespace fs = std::filesystem;
using testenv::Utf8;
using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;

// Ends every process whose image file is named `name`, with exit code 1
// (as the task manager would); returns how many.
int KillImage(const std::wstring& name) {
  struct Match {
    std::wstring name;
    int killed = 0;
  } match{name};
  Utils::ForEachProcess(
      [](DWORD pid, const std::wstring& path, void* context) {
        auto* m = static_cast<Match*>(context);
        size_t slash = path.find_last_of(L"\\/");
        if (path.substr(slash == std::wstring::npos ? 0 : slash + 1) != m->name) return true;
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (process != nullptr && TerminateProcess(process, 1)) ++m->killed;
        if (process != nullptr) CloseHandle(process);
        return true;
      },
      &match);
  return match.killed;
}

// The archiver's image name as the process list shows it.
std::wstring ArchiverImage() {
#ifdef _WIN32
  return L"7z.exe";
#else
  return L"7zz";  // 7z.exe beside the updater is a link to the system's 7-Zip
#endif
}

// Makes a file impossible to remove, even for root, until the object goes.
class Pinned {
 public:
  explicit Pinned(const std::wstring& path) : path_(path) {
#ifdef _WIN32
    // Others may read it, but neither write, rename nor delete it.
    handle_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    pinned_ = handle_ != INVALID_HANDLE_VALUE;
#else
    pinned_ = testenv::Shell("chattr +i " + testenv::Quoted(path));
#endif
  }
  ~Pinned() {
#ifdef _WIN32
    if (pinned_) CloseHandle(handle_);
#else
    if (pinned_) testenv::Shell("chattr -i " + testenv::Quoted(path_));
#endif
  }
  bool pinned() const { return pinned_; }
  // The pinned file has moved (with its folder) to `path`.
  void MovedTo(const std::wstring& path) { path_ = path; }

 private:
  std::wstring path_;
  bool pinned_ = false;
#ifdef _WIN32
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#endif
};

// Names that Windows reads otherwise in plain paths: devices, and names
// whose trailing periods and blanks a plain path drops.
const wchar_t* const kOddNames[] = {L"CON",    L"aux.js", L"nul",    L"lpt1.log",
                                    L"notes.", L"sp ",    L"dots..."};
std::vector<std::pair<std::wstring, std::string>> OddNamesIn(const std::wstring& folder) {
  std::vector<std::pair<std::wstring, std::string>> files;
  for (const wchar_t* name : kOddNames) files.push_back({folder + name, "odd"});
  return files;
}

class FaultsTest : public ::testing::Test {
 protected:
  // The install root and the archive lie in the folder `volume` of the
  // test's folder, or in the test's folder itself.
  explicit FaultsTest(const std::wstring& volume = L"")
      : volume_(volume.empty() ? temp_.path() : temp_ / volume) {}

  void SetUp() override {
    updater_ = testenv::InstallUpdater(temp_ / L"bin", true);
    testenv::CopyFile(testenv::BinFile(testenv::ExeName(L"ending_updater")),
                      temp_ / (L"bin/" + testenv::ExeName(L"ending_updater")));
    // Outside the install root: a sibling folder, and a folder that a link
    // inside the client folder leads to (inside the root under Wine, which
    // cannot remove a host link to a folder).
    testenv::WriteFile(temp_ / L"sibling/notes.txt", "the user's notes");
    testenv::WriteFile(temp_ / L"linked/save.dat", "saved game");
    testenv::WriteFile(temp_ / L"linked/locked.dat", "read-only");
    testenv::SetReadOnly(temp_ / L"linked/locked.dat", true);
    testenv::InstallStandIn(layout_.client_exe);
    testenv::WriteFile(layout_.client_dir + L"/version.txt", "1.0");
    const std::wstring link_folder = testenv::RunningUnderWine() ? root_ : layout_.client_dir;
    if (!testenv::MakeFolderLink(JoinPath(link_folder, L"saves"), temp_ / L"linked")) {
      GTEST_SKIP() << "this system cannot make a folder link";
    }
    sibling_before_ = testenv::TreeDigest(temp_ / L"sibling");
    linked_before_ = testenv::TreeDigest(temp_ / L"linked");
  }

  void TearDown() override {
    Utils::KillProcessesByName(kClientProcessName);
    testenv::SetReadOnly(temp_ / L"linked/locked.dat", false);
  }

  // The new client, staged, with the big file when asked.
  void Stage(bool big = false) {
    testenv::InstallStandIn(layout_.staged_client_dir + kPathSeparator + kClientProcessName);
    testenv::WriteFile(layout_.staged_client_dir + L"/version.txt", "2.0");
    testenv::WriteFile(layout_.staged_client_dir + L"/data/table.bin", std::string(4096, '\x5a'));
    testenv::WriteFile(layout_.staged_client_dir + L"/cache/index.bin", "index");
    if (big)
      testenv::WriteFile(layout_.staged_client_dir + L"/data/big.bin", RandomBytes(24 << 20));
    staged_ = testenv::TreeDigest(layout_.staged_client_dir);
  }

  // The staged client packed as the update archive (and the staging folder
  // left as it was), with more switches for 7-Zip when given, or the entries
  // `packed` instead of the client folder.
  void Pack(bool big = false, const std::vector<std::wstring>& switches = {},
            const std::wstring& packed = L"") {
    Stage(big);
    PackAs(archive_, switches, packed.empty() ? layout_.staged_client_dir : packed);
  }
  static void PackAs(const std::wstring& archive, const std::vector<std::wstring>& switches,
                     const std::wstring& packed) {
    fs::remove(ToFsPath(archive));
    testenv::MakeDirs(FromFsPath(ToFsPath(archive).parent_path()));
    std::vector<std::wstring> command = {testenv::BinFile(L"7z.exe"), L"a", L"-bso0", L"-bsp0"};
    command.insert(command.end(), switches.begin(), switches.end());
    command.insert(command.end(), {archive, packed});
    ASSERT_EQ(testenv::Run(command).exit_status, 0u);
  }

  static std::string RandomBytes(size_t size) {
    std::mt19937_64 random(42);
    std::string bytes(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
      uint64_t value = random();
      memcpy(&bytes[i], &value, 8);
    }
    return bytes;
  }

  // Runs the updater with the archive (or the staging folder), from
  // `current_folder` when one is given, on the install root or on `root`,
  // with the archive `archive` when one is given.
  std::vector<std::string> Update(bool with_archive, const std::wstring& current_folder = L"",
                                  const std::wstring& root = L"",
                                  const std::wstring& archive = L"") {
    testenv::RunResult run =
        testenv::Run({updater_,
                      L"--unzip=" + (!archive.empty() ? archive
                                     : with_archive   ? archive_
                                                      : L""),
                      L"--root_dir=" + (root.empty() ? root_ : root), L"--pid=0"},
                     current_folder);
    EXPECT_EQ(run.exit_status, 0u);
    return Records();
  }

  // Runs an update that must be refused before anything is destroyed: it ends
  // with the ERROR `reason` (a pattern), the old client still runs, and the
  // install root and the archive are as they were. `root` as for Update.
  void ExpectRefused(bool with_archive, const std::string& reason, const std::wstring& root = L"") {
    const std::vector<std::string> root_before = testenv::TreeDigest(root_);
    const std::vector<std::string> archive_before = testenv::TreeDigest(temp_ / L"archive");
    PROCESS_INFORMATION client = testenv::StartProgram(layout_.client_exe);
    ExpectEnding(Update(with_archive, L"", root), "E update refused, " + reason, false);
    EXPECT_TRUE(testenv::IsRunning(client.dwProcessId)) << "a client was ended";
    testenv::Stop(&client);
    EXPECT_EQ(testenv::TreeDigest(root_), root_before);
    EXPECT_EQ(testenv::TreeDigest(temp_ / L"archive"), archive_before);
    ExpectNothingLost();
  }

  // After a run that failed once the old executable was deleted: the old
  // client is complete, its executable included, and the run's folders are
  // gone from the staging folder.
  void ExpectOldClientBack(const std::vector<std::string>& old_client) {
    EXPECT_EQ(testenv::TreeDigest(layout_.client_dir), old_client);
    ExpectNoRunFolder();
  }
  // No run folder with a journal is left (what is left of one that met a
  // running program's file as it went is removed by the next run).
  void ExpectNoRunFolder() {
    for (const std::string& entry : testenv::TreeDigest(layout_.staging_dir)) {
      EXPECT_TRUE(entry.rfind("zizaro_do-", 0) != 0 || entry.find(".done/") != std::string::npos)
          << entry;
    }
  }

  // A fresh install of this branch: the old client with the user's files
  // (settings only it has, a save in a folder both clients have), and the
  // new client staged, or packed into a copy of the archive made once.
  void Reinstall(bool with_archive) {
    Utils::KillProcessesByName(kClientProcessName);
    testenv::RemoveTree(layout_.client_dir);
    testenv::RemoveTree(layout_.staging_dir);
    testenv::InstallStandIn(layout_.client_exe);
    testenv::WriteFile(layout_.client_dir + L"/settings/user.ini", "the user's");
    testenv::WriteFile(layout_.client_dir + L"/data/save.dat", "saved");
    // More of the user's in a folder both have than the new client brings.
    for (const wchar_t* name : {L"1", L"2", L"3", L"4"}) {
      testenv::WriteFile(layout_.client_dir + L"/cache/" + name, "cached");
    }
    if (!with_archive) return Stage();
    if (!testenv::Exists(temp_ / L"archive/pristine.7z")) {
      Pack();
      packed_ = staged_;
      testenv::CopyFile(archive_, temp_ / L"archive/pristine.7z");
      testenv::RemoveTree(layout_.staging_dir);
    }
    fs::remove(ToFsPath(archive_));
    testenv::CopyFile(temp_ / L"archive/pristine.7z", archive_);
    staged_.clear();
  }

  // The updater built to end at a point (as ZIZARO_END_AT names it), with
  // the archive or the staging folder, or refused (an archive that is not
  // there); true when it ended there, false when it went through.
  bool RunEnding(const std::wstring& end_at, bool with_archive, bool refused = false) {
    const std::wstring ending = temp_ / (L"bin/" + testenv::ExeName(L"ending_updater"));
    testenv::ScopedEnv end("ZIZARO_END_AT", end_at);
    const std::wstring archive = refused ? temp_ / L"none.7z" : with_archive ? archive_ : L"";
    return testenv::Run({ending, L"--unzip=" + archive, L"--root_dir=" + root_, L"--pid=0"})
               .exit_status == 3;
  }

  // One complete client that starts: the old one as it was, or the new one
  // (from the archive with every file of the user's, and what the user saved
  // since), running; no run folder left with a journal, nothing lost.
  void ExpectOneWholeClient(const std::vector<std::string>& old_client, bool with_archive,
                            bool updated) {
    // What the user saved since with whatever client there was, there still
    // (in the client folder, a folder both clients have, one only the old
    // client has).
    for (const std::wstring& file : saved_since_) {
      EXPECT_EQ(testenv::ReadFile(JoinPath(layout_.client_dir, file)), "saved since") << Utf8(file);
      fs::remove(ToFsPath(JoinPath(layout_.client_dir, file)));
    }
    saved_since_.clear();
    // What the user rewrote (in place, by a rename over it) and deleted, at
    // its newest; then as it was, for the comparisons below.
    if (edited_) {
      EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/settings/user.ini"), "rewritten");
      EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/data/save.dat"), "replaced");
      EXPECT_FALSE(testenv::Exists(layout_.client_dir + L"/cache/1"));
      testenv::WriteFile(layout_.client_dir + L"/settings/user.ini", "the user's");
      testenv::WriteFile(layout_.client_dir + L"/data/save.dat", "saved");
      testenv::WriteFile(layout_.client_dir + L"/cache/1", "cached");
      edited_ = false;
    }
    const bool is_new =
        testenv::ReadFile(layout_.client_dir + L"/version.txt") == "2.0" &&
        (with_archive
             ? testenv::ReadFile(layout_.client_dir + L"/settings/user.ini") == "the user's" &&
                   testenv::ReadFile(layout_.client_dir + L"/data/save.dat") == "saved" &&
                   testenv::ReadFile(layout_.client_dir + L"/cache/4") == "cached" &&
                   testenv::ReadFile(layout_.client_dir + L"/cache/index.bin") == "index"
             : testenv::TreeDigest(layout_.client_dir) == staged_);
    EXPECT_TRUE(is_new || (!updated && testenv::TreeDigest(layout_.client_dir) == old_client));
    EXPECT_TRUE(!is_new || testenv::WaitUntil([&] { return ClientRuns(layout_); }, 10000));
    ExpectNoRunFolder();
    ExpectNothingLost();
  }

  // The crash sweep: an update ended at each of its changes of the file
  // system in turn (journal records under Windows), its recovery (a refused
  // run) ended at each of its own; then a refused run must leave one complete
  // client that starts, and a good run must update. Every other point from
  // `first` (1 or 2): the two halves run side by side.
  void SweepCrashes(bool with_archive, int first) {
    int points = 0;
    int nested = 0;
    for (int n = first; !HasFailure(); n += 2) {
      Reinstall(with_archive);
      const std::vector<std::string> old_client = testenv::TreeDigest(layout_.client_dir);
      if (!RunEnding(std::to_wstring(n), with_archive)) break;
      ++points;
      // The client folder holds a client that starts, but between the
      // switch's two renames.
      EXPECT_TRUE(testenv::Exists(layout_.client_exe) || !testenv::Exists(layout_.client_dir));
      for (int m = 1; !HasFailure(); ++m) {
        SCOPED_TRACE("ended at " + std::to_string(n) + ", recovery at " + std::to_string(m));
        if (m > 1) Reinstall(with_archive), RunEnding(std::to_wstring(n), with_archive);
        // Once the new client is in place, the run is finished, never undone.
        const bool committed = testenv::ReadFile(layout_.client_dir + L"/version.txt") == "2.0";
        ExpectLeftoversHold();
        if (testenv::Exists(layout_.client_exe)) {
          saved_since_ = {L"saved.ini", L"data/saved.dat"};
          if (with_archive) saved_since_.push_back(L"settings/saved.ini");
          for (const std::wstring& file : saved_since_) {
            testenv::WriteFile(JoinPath(layout_.client_dir, file), "saved since");
          }
          // And rewrites in place, renames over and deletes what it had.
          edited_ = with_archive;
          if (edited_) {
            testenv::WriteFile(layout_.client_dir + L"/settings/user.ini", "rewritten");
            testenv::WriteFile(layout_.client_dir + L"/data/save.dat.new", "replaced");
            fs::rename(ToFsPath(layout_.client_dir + L"/data/save.dat.new"),
                       ToFsPath(layout_.client_dir + L"/data/save.dat"));
            fs::remove(ToFsPath(layout_.client_dir + L"/cache/1"));
          }
        }
        const bool cut = RunEnding(std::to_wstring(m), with_archive, true);
        nested += cut;
        if (cut) ExpectLeftoversHold();
        RunEnding(L"", with_archive, true);
        ExpectOneWholeClient(old_client, with_archive, committed);
        if (!cut) break;
      }
      SCOPED_TRACE("ended at " + std::to_string(n) + ", then updated");
      RunEnding(L"", with_archive);
      ExpectOneWholeClient(old_client, with_archive, true);
    }
    RecordProperty("points", points);
    RecordProperty("nested_points", nested);
    EXPECT_GT(points, 3);
  }

  // Every run folder's journal finds the disk as its state says
  // (StateHolds).
  void ExpectLeftoversHold() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(ToFsPath(layout_.staging_dir), error)) {
      const std::wstring name = FromFsPath(entry.path().filename());
      JournalContents contents;
      RunState state = RunState::kNone;
      const std::wstring below = FromFsPath(fs::path("qxcg_update_tmp") / entry.path().filename());
      if (name.rfind(L"zizaro_do-", 0) != 0 ||
          ReadJournal(SystemPath(layout_, below), &contents) != JournalRead::kRead ||
          !ReplayJournal(contents.records, &state)) {
        continue;
      }
      std::string why;
      EXPECT_TRUE(StateHolds(layout_, below, state, &why)) << why << ": " << Utf8(name);
    }
  }

  // The contents of the files of a tree.
  static std::multiset<std::string> Contents(const std::wstring& folder) {
    std::multiset<std::string> contents;
    for (const std::string& file : testenv::ListTree(folder)) {
      contents.insert(testenv::ReadFile(JoinPath(folder, FromFsPath(fs::u8path(file)))));
    }
    return contents;
  }

  std::vector<std::string> Records() const {
    std::vector<std::string> records;
    for (const std::string& record : ReadTodayLog(app_data_.path())) {
      if (!IsWalkNoise(record)) records.push_back(record);
    }
    return records;
  }

  // What must hold after any run: the staged client's files are all there,
  // byte for byte, in the staging folder or in the client folder, and
  // nothing outside the install root changed.
  void ExpectNothingLost() {
    if (!staged_.empty()) {
      const bool staged = testenv::TreeDigest(layout_.staged_client_dir) == staged_;
      const bool promoted = testenv::TreeDigest(layout_.client_dir) == staged_;
      EXPECT_TRUE(staged || promoted)
          << "the staged client's files are neither staged nor in place";
    }
    EXPECT_EQ(testenv::TreeDigest(temp_ / L"sibling"), sibling_before_);
    EXPECT_EQ(testenv::TreeDigest(temp_ / L"linked"), linked_before_);
    EXPECT_TRUE(testenv::IsReadOnly(temp_ / L"linked/locked.dat"));
  }

  // The run ended with `last` (a pattern), then at most the removal of its
  // own folder, and then "update finished <result>".
  static void ExpectEnding(std::vector<std::string> records, const std::string& last, bool result) {
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.back(), std::string("I update finished ") + (result ? "1" : "0") + "\n");
    records.pop_back();
    // The removal of the run's folder, and the error that may have stopped it.
    for (const char* removal : {"I delete file result:.*zizaro_do-[0-9]+.*",
                                "E error happened:.*zizaro_do-[0-9]+.*", "I remove the zip file"}) {
      if (!records.empty() && std::regex_match(records.back(), std::regex(removal))) {
        records.pop_back();
      }
    }
    ASSERT_FALSE(records.empty());
    EXPECT_THAT(records.back(), MatchesPattern(last));
  }

  testenv::TempDir temp_{L"faults"};
  const std::wstring volume_;
  const std::wstring root_ = JoinPath(volume_, L"root");
  const InstallLayout layout_{root_};
  const std::wstring archive_ = JoinPath(JoinPath(volume_, L"archive"), L"update.7z");
  testenv::TempDir app_data_{L"appdata"};
  testenv::ScopedEnv app_data_env_{"APPDATA", app_data_.path()};
  testenv::BrowserRecorder browser_;
  std::wstring updater_;
  std::vector<std::string> staged_;
  std::vector<std::string> packed_;        // what the archive holds, as staged
  std::vector<std::wstring> saved_since_;  // below the client folder
  bool edited_ = false;                    // the user's files rewritten and deleted
  std::vector<std::string> sibling_before_;
  std::vector<std::string> linked_before_;
};

// Updates that can only fail are refused before the old client is touched:
// the new client must be whole on disk beside the old one first.
TEST_F(FaultsTest, UpdatesBoundToFailAreRefusedBeforeAnythingIsDestroyed) {
  struct Row {
    const char* name;
    std::function<bool()> prepare;  // false: this system cannot set the row up
    bool with_archive;
    const char* reason;
    std::wstring root = L"";  // given instead of the install root
  };
  std::optional<Pinned> pinned;
  auto flip_middle = [&] {
    std::string bytes = testenv::ReadFile(archive_);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) bytes[i] ^= 0x5A;
    testenv::WriteFile(archive_, bytes);
    return true;
  };
  const std::string no_client_inside = "no QXDazavAzir\\.exe in the archive's client folder:.*";
  const Row rows[] = {
      {"no archive", [&] { return fs::remove(ToFsPath(archive_)); }, true,
       "no archive:.*update\\.7z"},
      {"no archiver", [&] { return fs::remove(ToFsPath(temp_ / L"bin/7z.exe")); }, true,
       "no archiver:.*7z\\.exe"},
      {"damaged archive",
       [&] {
         testenv::WriteFile(archive_, "7z\xbc\xaf\x27\x1c damaged");
         return true;
       },
       true, "archive unreadable:.*,7z exit code:2"},
      {"archive cut short",
       [&] {
         const std::string whole = testenv::ReadFile(archive_);
         testenv::WriteFile(archive_, whole.substr(0, whole.size() / 2));
         return true;
       },
       true, "archive unreadable:.*,7z exit code:2"},
      {"archive larger than the disk",
       [&] {
         testenv::WriteFile(archive_, testenv::ZipWithoutData("data.bin", uint64_t{1} << 50));
         return true;
       },
       true, "not enough disk space:[0-9]+ bytes needed,[0-9]+ bytes free on the volume of .*"},
      {"index whole, data damaged", [&] { return Pack(false, {L"-mx=0"}), flip_middle(); }, true,
       "archive not unpacked:.*update\\.7z"},
      {"data encrypted", [&] { return Pack(false, {L"-pSECRET"}), true; }, true,
       "archive not unpacked:.*update\\.7z"},
      {"zip data encrypted",
       [&] {
         return Pack(false, {L"-tzip", L"-pSECRET"}), true;
       },
       true, "archive not unpacked:.*update\\.7z"},
      {"index encrypted",
       [&] {
         return Pack(false, {L"-pSECRET", L"-mhe=on"}), true;
       },
       true, "archive unreadable:.*,7z exit code:2"},
      {"a tar in a gzip",
       [&] {
         PackAs(temp_ / L"tar/update.tar", {L"-ttar"}, layout_.staged_client_dir);
         PackAs(archive_, {L"-tgzip"}, temp_ / L"tar/update.tar");
         return true;
       },
       true, no_client_inside.c_str()},
      {"packed one folder too high",
       [&] {
         fs::create_directories(ToFsPath(temp_ / L"high/Quexa"));
         fs::copy(ToFsPath(layout_.staged_client_dir), ToFsPath(temp_ / L"high/Quexa/Client"),
                  fs::copy_options::recursive);
         return Pack(false, {}, temp_ / L"high/Quexa"), true;
       },
       true, no_client_inside.c_str()},
      {"packed without its client folder",
       [&] { return Pack(false, {}, layout_.staged_client_dir + kPathSeparator + L"*"), true; },
       true, no_client_inside.c_str()},
      {"a file of the root where the archive has a folder",
       [&] {
         testenv::WriteFile(layout_.client_dir + L"/data", "a file");
         return true;
       },
       true,
       "archive entry conflicts with the install root:.*Client.data,a file where the archive has a "
       "folder"},
      {"a link where the archive has a folder (under Wine a host link is a folder)",
       [&] {
         return !testenv::RunningUnderWine() &&
                testenv::MakeFolderLink(layout_.client_dir + L"/cache", temp_ / L"linked");
       },
       true,
       "archive entry conflicts with the install root:.*cache,a link where the archive has a "
       "folder"},
      {"archive path naming a pipe",
       [&] {
         fs::remove(ToFsPath(archive_));
#ifdef _WIN32
         return false;
#else
         return mkfifo(Utf8(archive_).c_str(), 0600) == 0;
#endif
       },
       true, "no archive:.*update\\.7z"},
      {"install root that does not exist", [] { return true; }, true, "no install root:.*",
       root_ + L" missing"},
      {"install root in other letter case", [&] { return !testenv::Exists(temp_ / L"ROOT"); }, true,
       "no install root:.*", temp_ / L"ROOT"},
      {"install root that cannot be written", [&] { return pinned.emplace(root_).pinned(); }, true,
       "folder cannot be written:.*root,getlasterror:[0-9]+"},
      {"no staged client folder", [&] { return fs::remove_all(ToFsPath(layout_.staging_dir)); },
       false, "no staged client folder:.*"},
      {"a file instead of the staged folder",
       [&] {
         fs::remove_all(ToFsPath(layout_.staged_client_dir));
         testenv::WriteFile(layout_.staged_client_dir, "not a folder");
         return true;
       },
       false, "no staged client folder:.*"},
      {"staged client folder cut short",
       [&] {
         return fs::remove(
             ToFsPath(layout_.staged_client_dir + kPathSeparator + kClientProcessName));
       },
       false, "no QXDazavAzir\\.exe in the staged client folder:.*"},
      {"staged client folder inside the client folder through a link",
       [&] {
         fs::rename(ToFsPath(layout_.staged_client_dir),
                    ToFsPath(layout_.client_dir + L"/staging"));
         return testenv::MakeFolderLink(layout_.staged_client_dir,
                                        layout_.client_dir + L"/staging");
       },
       false, "staged client folder inside the client folder:.*"},
      {"staging folder that is a link: no lock file lands where it leads",
       [&] {
         fs::rename(ToFsPath(layout_.staging_dir), ToFsPath(layout_.client_dir + L"/staging"));
         return testenv::MakeFolderLink(layout_.staging_dir, layout_.client_dir + L"/staging");
       },
       false, "staging folder is a link:.*qxcg_update_tmp"},
      {"a folder at the lock file's name",
       [&] { return testenv::MakeDirs(layout_.staging_dir + L"/zizaro_do.lock"), true; }, false,
       "install root lock not taken:.*zizaro_do.lock,getlasterror:[0-9]+"},
      {"a volume with no room left",
       [&] {
#ifdef _WIN32
         return false;
#else
         const std::wstring small = temp_ / L"small";
         testenv::MakeDirs(small);
         if (!testenv::Shell("mount -t tmpfs -o size=8m tmpfs " + testenv::Quoted(small))) {
           return false;
         }
         testenv::InstallStandIn(small + L"/root/Client/" + kClientProcessName);
         // One page left: the run's journal takes it, the listing finds none.
         const uint64_t left = fs::space(ToFsPath(small)).available;
         return testenv::Shell("fallocate -l " + std::to_string(left - 4096) + " " +
                               testenv::Quoted(small + L"/filler"));
#endif
       },
       true, "archive unreadable:.*,getlasterror:112", temp_ / L"small/root"},
      {"staging folder bind-mounted from elsewhere",
       [&] {
#ifdef _WIN32
         return false;
#else
         fs::rename(ToFsPath(layout_.staging_dir), ToFsPath(temp_ / L"elsewhere"));
         fs::create_directories(ToFsPath(layout_.staging_dir));
         return testenv::Shell("mount --bind " + testenv::Quoted(temp_ / L"elsewhere") + " " +
                               testenv::Quoted(layout_.staging_dir));
#endif
       },
       false, "staging folder is a mount point:.*qxcg_update_tmp"},
      {"no place for the install root's lock",
       [&] {
         testenv::RemoveTree(layout_.staging_dir);
         return testenv::WriteFile(layout_.staging_dir, "not a folder"), true;
       },
       true, "staging folder is not a folder:.*qxcg_update_tmp"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testenv::RemoveTree(layout_.staging_dir);
    testenv::RemoveTree(layout_.client_dir + L"/staging");
    fs::remove(ToFsPath(layout_.client_dir + L"/data"));
    fs::remove(ToFsPath(layout_.client_dir + L"/cache"));
    testenv::InstallUpdater(temp_ / L"bin", true);
    Pack();
    const bool set_up = row.prepare();
    RecordProperty(row.name, set_up ? "run" : "not set up here");
    if (set_up) {
      staged_.clear();  // nothing is promoted in these runs
      ExpectRefused(row.with_archive, row.reason, row.root);
    }
    pinned.reset();
#ifndef _WIN32
    for (const std::wstring& mount : {layout_.staging_dir, temp_ / L"small"}) {
      testenv::Shell("umount " + testenv::Quoted(mount));
    }
#endif
  }
}

// Switches that cannot complete, and odd old clients that must not stop one:
// every row ends with the old client complete, its executable included and
// read-only as it was, or the new client complete and started; the archive
// goes only once the new client has started.
TEST_F(FaultsTest, TheSwitchEndsWithOneWholeClient) {
  struct Row {
    const char* name;
    bool with_archive;
    // Sets the row up in the old client; false when this system cannot.
    std::function<bool()> prepare;
    std::optional<bool> updates;  // the outcome, where every system must reach the same
    bool nothing_left = false;    // the old copy is removed after a successful update
    // Files (below the client folder) that the new client must hold, with
    // their contents (when given), after this update and another like it.
    std::vector<std::pair<std::wstring, std::string>> kept = {};
    // Contents that a file of the client must hold, whatever its name.
    std::vector<std::string> anywhere = {};
  };
  std::optional<Pinned> pinned;
  std::optional<PROCESS_INFORMATION> other;
  auto script_removing_the_staging_folder = [&] {
    const std::wstring script =
        layout_.client_dir + L"/resources/app/private_cloud/driver/" + L"uninstall.bat";
#ifdef _WIN32
    testenv::WriteFile(script, "@rd /s /q \"" + Utf8(layout_.staging_dir) + "\"\r\n");
#else
    testenv::WriteFile(script, "rm -rf '" + Utf8(layout_.staging_dir) + "'\n");
#endif
    return true;
  };
  const Row rows[] = {
      {"a file the archive replaces cannot be moved",
       true,
       [&] { return pinned.emplace(layout_.client_dir + L"/version.txt").pinned(); },
       {}},
      {"the client folder is another process's current folder",
       false,
       [&] {
         testenv::MakeDirs(layout_.client_dir + L"/settings");
         other = testenv::Start(
             testenv::CommandLineOf({testenv::BinFile(testenv::ExeName(L"stand_in_client"))}),
             layout_.client_dir + L"/settings");
         return true;
       },
       {}},
      {"the uninstall script removes the staging folder", false, script_removing_the_staging_folder,
       false},
      {"the uninstall script removes the unpacked archive",
       true,
       script_removing_the_staging_folder,
       {}},
      {"names that Windows reads otherwise in plain paths", false,
       [&] {
         for (const wchar_t* name : kOddNames) {
           testenv::WriteFile(layout_.client_dir + L"/odd/" + name, "odd");
         }
         return true;
       },
       true, true},
      {"another program of the client runs", true,
       [&] {
         const std::wstring handler =
             layout_.client_dir + kPathSeparator + testenv::ExeName(L"crash_handler");
         testenv::CopyFile(testenv::BinFile(testenv::ExeName(L"stand_in_client")), handler);
         other = testenv::StartProgram(handler);
         return true;
       },
       true},
      {"the uninstall script leaves a file of the user's in a folder of the new client",
       true,
       [&] {
         testenv::MakeDirs(layout_.client_dir + L"/data");
#ifdef _WIN32
         testenv::WriteFile(layout_.uninstall_script,
                            "@echo late> \"" + Utf8(layout_.client_dir) + "\\data\\late.ini\"\r\n");
#else
         testenv::WriteFile(layout_.uninstall_script,
                            "echo late > '" + Utf8(layout_.client_dir) + "/data/late.ini'\n");
#endif
         // The folders settle: the switch trusts what it saw before the client ended.
         Sleep(2100);
         return true;
       },
       true,
       false,
       {{L"data/late.ini", ""}}},
      {"names that Windows reads otherwise, in a folder both clients have", true,
       [&] {
         for (const wchar_t* name : kOddNames) {
           testenv::WriteFile(layout_.client_dir + L"/data/" + name, "odd");
         }
         return true;
       },
       true, false, OddNamesIn(L"data/")},
      {"names that the volume reads as one, the new one winning",
       true,
       [&] {
         testenv::WriteFile(layout_.staged_client_dir + L"/config.ini", "new");
         testenv::WriteFile(layout_.client_dir + L"/Config.ini", "old");
         testenv::WriteFile(layout_.client_dir + L"/Data/user.txt", "the user's");
         // Where the volume keeps short (8.3) names: an old file named as a
         // new one's short form, and a new file named as the short form of
         // the user's folder. Each is another name: nothing of the user's goes.
         const std::wstring long_name = layout_.staged_client_dir + L"/data/longer file name.txt";
         testenv::WriteFile(long_name, "new");
         const std::wstring saves = layout_.client_dir + L"/data/My Saved Games";
         testenv::WriteFile(saves + L"/slot.sav", "the user's saved game");
         const auto short_name = [](const std::wstring& path) {
           return FromFsPath(ToFsPath(long_paths::ShortForm(path)).filename());
         };
         if (long_paths::ShortForm(long_name) != long_name) {
           testenv::WriteFile(layout_.client_dir + L"/data/" + short_name(long_name),
                              "the user's, short-named");
           testenv::WriteFile(layout_.staged_client_dir + L"/data/" + short_name(saves), "new");
         }
         return true;
       },
       true,
       false,
       {{L"config.ini", "new"},
        {L"Data/user.txt", "the user's"},
        {L"data/longer file name.txt", "new"},
        {L"data/My Saved Games/slot.sav", "the user's saved game"}},
       {"the user's, short-named"}},
      {"a read-only lock file: a lock needs no write access", false,
       [&] {
         const std::wstring lock = layout_.staging_dir + L"/zizaro_do.lock";
         testenv::WriteFile(lock, "");
         testenv::SetReadOnly(lock, true);
         return true;
       },
       true},
      {"an immutable lock file", false,
       [&] {
         testenv::WriteFile(layout_.staging_dir + L"/zizaro_do.lock", "");
         // Windows holds a file open to pin it, which a lock's own open meets.
         return !testenv::RunningUnderWine() &&
                pinned.emplace(layout_.staging_dir + L"/zizaro_do.lock").pinned();
       },
       true},
      {"the updater lives in the client folder", false,
       [&] {
         return !(updater_ = testenv::InstallUpdater(layout_.client_dir + L"/bin", true)).empty();
       },
       true},
  };
  const std::wstring updater = updater_;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    updater_ = updater;
    Utils::KillProcessesByName(kClientProcessName);
    testenv::RemoveTree(layout_.client_dir);
    testenv::RemoveTree(layout_.staging_dir);
    fs::remove(ToFsPath(archive_));
    testenv::InstallStandIn(layout_.client_exe);
    testenv::WriteFile(layout_.client_dir + L"/version.txt", "1.0");
    testenv::WriteFile(layout_.client_dir + L"/settings/user.ini", "the user's");
    // Read-only, as an installer may leave them: so they stay when put back.
    testenv::SetReadOnly(layout_.client_exe, true);
    testenv::SetReadOnly(layout_.client_dir + L"/settings/user.ini", true);
    Stage();
    if (!row.prepare()) continue;
    const std::vector<std::string> new_client = testenv::TreeDigest(layout_.staged_client_dir);
    staged_ = new_client;
    if (row.with_archive) {
      Pack();
      testenv::RemoveTree(layout_.staging_dir);
      staged_.clear();  // the archive holds the new client
    }
    const std::vector<std::string> old_client = testenv::TreeDigest(layout_.client_dir);
    const std::multiset<std::string> had = Contents(layout_.client_dir);
    std::vector<std::string> records = Update(row.with_archive);
    // An updater in the client folder hands the update to a copy of itself.
    testenv::WaitUntil([&] { return (records = Records()).back().rfind("I update fin", 0) == 0; },
                       60000);
    // A file pinned by chattr stays pinned where the old client folder went.
    for (const std::string& entry : pinned&& testenv::Exists(layout_.staging_dir)
                                        ? testenv::ListTree(layout_.staging_dir)
                                        : std::vector<std::string>()) {
      if (entry.find("/old/version.txt") != std::string::npos) {
        pinned->MovedTo(JoinPath(layout_.staging_dir, FromFsPath(fs::u8path(entry))));
      }
    }
    pinned.reset();
    if (other) testenv::Stop(&*other), other.reset();
    const bool updated = records.back() == "I update finished 1\n";
    RecordProperty(row.name, updated ? "updated" : "old client kept");
    if (row.updates) {
      EXPECT_EQ(updated, *row.updates);
    }
    if (updated) {
      EXPECT_THAT(records, Contains(MatchesPattern("I launch process vaild:1 path:.*")));
      EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/version.txt"), "2.0");
      if (row.with_archive) {
        // Extracted over the old client: what only the old one had stays.
        EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/settings/user.ini"), "the user's");
      } else {
        EXPECT_EQ(testenv::TreeDigest(layout_.client_dir), new_client);
      }
      EXPECT_FALSE(testenv::Exists(archive_));
      for (int run = 0; run < (row.kept.empty() ? 1 : 2); ++run) {
        if (run == 1) Pack(), ExpectEnding(Update(true), "I launch process vaild:1 path:.*", true);
        for (const auto& [file, content] : row.kept) {
          const std::wstring path = JoinPath(layout_.client_dir, file);
          EXPECT_TRUE(content.empty() ? testenv::Exists(path) : testenv::ReadFile(path) == content)
              << Utf8(file);
        }
        for (const std::string& content : row.anywhere) {
          EXPECT_EQ(Contents(layout_.client_dir).count(content), had.count(content)) << content;
        }
      }
      // The old copy went, whatever names it held.
      if (row.nothing_left) {
        EXPECT_THAT(testenv::TreeDigest(layout_.staging_dir), IsEmpty());
      }
    } else {
      ExpectOldClientBack(old_client);
      EXPECT_EQ(testenv::Exists(archive_), row.with_archive);
      EXPECT_TRUE(testenv::IsReadOnly(layout_.client_exe));
      EXPECT_TRUE(testenv::IsReadOnly(layout_.client_dir + L"/settings/user.ini"));
    }
    // The staged client stays whole unless the row's own script removed it.
    if (!testenv::Exists(layout_.staged_client_dir)) staged_.clear();
    ExpectNothingLost();
  }
}

// What another program saves into the client while the switch runs is
// kept: into a folder after it was carried and before the client folder is
// set aside (it lands in the new client, beside the new client's own entry
// where that has the name), or into a client folder made again once it was
// set aside (the commit never replaces it: the old client comes back with it).
TEST_F(FaultsTest, SavesMadeWhileTheSwitchRunsAreKept) {
  const std::wstring client = layout_.client_dir + L"/";
  const struct {
    bool with_archive;
    const wchar_t* at;
    std::vector<std::pair<std::wstring, std::string>> saved;  // below the client folder
    const char* version;
  } rows[] = {
      {true,
       L"move Client\tqxcg_update_tmp",
       {{L"data/late.txt", "saved meanwhile"},
        {L"data/table (kept).bin", "saved meanwhile"},
        {L"data/table.bin", std::string(4096, '\x5a')},
        {L"data/save.dat", "saved"}},
       "2.0"},
      {true, L"commit", {{L"helper.log", "saved meanwhile"}}, "1.0"},
      {false, L"commit", {{L"helper.log", "saved meanwhile"}}, "1.0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Utf8(row.at) + (row.with_archive ? " (archive)" : " (staged)"));
    Reinstall(row.with_archive);
    testenv::WriteFile(client + L"version.txt", "1.0");
    std::wstring files;
    for (const auto& [file, content] : row.saved) {
      if (content == "saved meanwhile") files += (files.empty() ? L"" : L"|") + client + file;
    }
    testenv::ScopedEnv at("ZIZARO_SAVE_AT", row.at);
    testenv::ScopedEnv to("ZIZARO_SAVE_FILES", files);
    EXPECT_FALSE(RunEnding(L"", row.with_archive));
    EXPECT_EQ(testenv::ReadFile(client + L"version.txt"), row.version);
    for (const auto& [file, content] : row.saved) {
      EXPECT_EQ(testenv::ReadFile(client + file), content) << Utf8(file);
    }
    ExpectNoRunFolder();
  }
}

TEST_F(FaultsTest, AStagedUpdateCutShortAnywhereConverges) { SweepCrashes(false, 1); }
TEST_F(FaultsTest, AStagedUpdateCutShortAnywhereElseConverges) { SweepCrashes(false, 2); }
TEST_F(FaultsTest, AnArchiveUpdateCutShortAnywhereConverges) { SweepCrashes(true, 1); }

// What earlier runs left is acted on by its journal alone and never blocks an
// update: a leftover whose journal cannot be trusted, or whose install changed
// since, stays untouched; whatever stands in an undo's way is set aside.
TEST_F(FaultsTest, LeftoversAreActedOnByTheirJournalsAlone) {
  struct Row {
    const char* name;
    bool with_archive;
    std::function<bool()> leave;  // leaves the leftover; false where it cannot be made here
    const char* record;           // a record of the next run with good inputs
    const char* version = "2.0";  // the client's after that run
  };
  const std::wstring link = testenv::RunningUnderWine() ? L"saves" : L"Client/saves";
  std::vector<std::wstring> planted;
  // A run folder `name` of the staging folder with a file of its own and a
  // journal of these records.
  auto plant = [&](const std::wstring& name, const std::vector<std::string>& records) {
    const std::wstring folder = layout_.staging_dir + L"/" + name;
    planted.push_back(folder + L"/planted");
    testenv::WriteFile(planted.back(), "planted");
    std::string journal = "zizaro_do run 1\n";
    for (const std::string& record : records) journal += record + "\n";
    testenv::WriteFile(folder + L"/journal", journal);
    return folder + L"/journal";
  };
  // The record of a move of `from` to the file planted in `run`.
  auto move = [&](const std::wstring& from, const std::wstring& run) {
    const std::wstring to = FromFsPath(fs::path("qxcg_update_tmp") / ToFsPath(run) / "planted");
    return "move " + EscapePath(FromFsPath(ToFsPath(from).make_preferred())) + "\t" +
           EscapePath(to) + "\t" + IdText(IdentityOf(JoinPath(root_, to)));
  };
  auto only_run_folder = [&] {
    for (const auto& entry : fs::directory_iterator(ToFsPath(layout_.staging_dir))) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("zizaro_do-", 0) == 0 && name.find(".done") == std::string::npos) {
        return FromFsPath(entry.path());
      }
    }
    return std::wstring();
  };
  const Row rows[] = {
      {"no journal", false, [&] { return testenv::WriteFile(plant(L"zizaro_do-1", {}), ""), true; },
       "W leftover of an earlier run kept, no journal:.*zizaro_do-1"},
      {"a path out of the root", false,
       [&] { return plant(L"zizaro_do-2", {move(L"../sibling/notes.txt", L"zizaro_do-2")}), true; },
       "W leftover of an earlier run kept, journal not trusted:.*zizaro_do-2"},
      {"a full path", false,
       [&] {
         return plant(L"zizaro_do-3", {move(temp_ / L"sibling/notes.txt", L"zizaro_do-3")}), true;
       },
       "W leftover of an earlier run kept, journal not trusted:.*zizaro_do-3"},
      {"a path through a link that leads out of the root", false,
       [&] {
         testenv::MakeFolderLink(JoinPath(root_, link), temp_ / L"linked");
         return plant(L"zizaro_do-4", {move(link + L"/save.dat", L"zizaro_do-4")}), true;
       },
       "W leftover of an earlier run kept, journal not trusted:.*zizaro_do-4"},
      {"a run folder that is a link", false,
       [&] {
         plant(L"../elsewhere", {move(L"Client", L"elsewhere")});
         return testenv::MakeFolderLink(layout_.staging_dir + L"/zizaro_do-5",
                                        root_ + L"/elsewhere");
       },
       "W leftover of an earlier run kept, .*zizaro_do-5"},
      {"a journal that is a device", false,
       [&] {
         const fs::path journal = ToFsPath(plant(L"zizaro_do-6", {}));
         return !testenv::RunningUnderWine() && fs::remove(journal) &&
                (fs::create_symlink("/dev/zero", journal), true);
       },
       "W leftover of an earlier run kept, journal not trusted:.*zizaro_do-6"},
      {"a journal larger than a run writes", false,
       [&] { return fs::resize_file(ToFsPath(plant(L"zizaro_do-7", {})), 65 << 20), true; },
       "W leftover of an earlier run kept, journal not trusted:.*zizaro_do-7"},
      {"a client folder made where the old one goes back", false,
       [&] { return RunEnding(L"commit", false) && (testenv::MakeDirs(layout_.client_dir), true); },
       "I put back result:1,.*"},
      {"a journal read only after a later update", true,
       [&] {
         RunEnding(L"commit", true);
         const std::wstring run = only_run_folder();
         fs::rename(ToFsPath(run + L"/journal"), ToFsPath(temp_ / L"hidden"));
         Update(true);
         fs::rename(ToFsPath(temp_ / L"hidden"), ToFsPath(run + L"/journal"));
         return true;
       },
       "I put back result:1,.*"},
      {"a run of the earlier version ended once it had set the client aside", true,
       [&] {
         const std::wstring run = layout_.staging_dir + L"/zizaro_do-8";
         const std::wstring old = FromFsPath(fs::path("qxcg_update_tmp") / "zizaro_do-8" / "old");
         plant(L"zizaro_do-8", {"kept", "move Client\t" + EscapePath(old)});
         planted.pop_back();  // it goes with the run folder
         fs::rename(ToFsPath(layout_.client_exe),
                    ToFsPath(run + kPathSeparator + kClientProcessName));
         fs::rename(ToFsPath(layout_.client_dir), ToFsPath(JoinPath(root_, old)));
         return fs::remove(ToFsPath(archive_));
       },
       "I put back result:1,entries:1,.*", "1.0"},
      {"a new client that cannot start, its start owed, the user's saves made with it", false,
       [&] {
         testenv::WriteFile(layout_.staged_client_dir + kPathSeparator + kClientProcessName,
                            "no program");
         staged_ = testenv::TreeDigest(layout_.staged_client_dir);
         if (!RunEnding(L"switched", false)) return false;
         // The old client comes back with what was saved with the new one.
         planted.push_back(layout_.client_dir + L"/saved.ini");
         testenv::WriteFile(planted.back(), "planted");
         return true;
       },
       "W the new client of an earlier run does not start, the old one comes back:.*", "1.0"},
      {"a journal torn in the record of the client folder's set-aside", false,
       [&] {
         if (!RunEnding(L"commit", false)) return false;
         const std::wstring journal = only_run_folder() + L"/journal";
         const std::string text = testenv::ReadFile(journal);
         testenv::WriteFile(journal, text.substr(0, text.find("move Client") + 6));
         return true;
       },
       "W old client put back without its record:.*"},
      {"a link out of the root put in place of the run folder between the journal's check and "
       "the undo",
       true,
       [&] {
         // A host link is made here: under Wine a link a test makes is the host's.
         if (testenv::RunningUnderWine() || !RunEnding(L"commit", true)) return false;
         const std::wstring run = only_run_folder();
         testenv::MakeDirs(temp_ / L"decoy/old");
         {
           testenv::ScopedEnv at("ZIZARO_LINK_AT", L"undoing");
           testenv::ScopedEnv link("ZIZARO_LINK", run + L"|" + temp_ / L"decoy");
           RunEnding(L"", true, true);
         }
         fs::remove(ToFsPath(run));
         fs::rename(ToFsPath(run + L".moved"), ToFsPath(run));
         return true;
       },
       "E entry not put back, a link leads out of the install root:.*"},
      {"entries an undo of an earlier version set aside", true,
       [&] {
         const fs::path run = fs::path("qxcg_update_tmp") / "zizaro_do-9";
         const std::wstring from = FromFsPath(fs::path("Client") / "settings" / "user.ini");
         const std::wstring to = FromFsPath(run / "displaced" / "1");
         plant(L"zizaro_do-9",
               {"switching -", "undoing",
                "displace " + EscapePath(from) + "\t" + EscapePath(to) + "\t-", "undone"});
         planted.pop_back();  // it goes with the run folder
         testenv::WriteFile(JoinPath(root_, to), "kept since");
         // Older than what stands in its place: that keeps the name.
         fs::last_write_time(ToFsPath(JoinPath(root_, to)),
                             fs::file_time_type::clock::now() - std::chrono::hours(1));
         return true;
       },
       "W entry kept beside a newer one:.*user .kept..ini,newer:.*user.ini"},
      {"a staged switch cut before its commit, its staged client gone since", false,
       [&] {
         if (!RunEnding(L"commit", false)) return false;
         testenv::RemoveTree(layout_.staged_client_dir);
         staged_.clear();
         return true;
       },
       "I put back result:1,.*", "1.0"},
      {"an undo of a staged switch cut short, a client staged since", false,
       [&] {
         testenv::WriteFile(layout_.staged_client_dir + kPathSeparator + kClientProcessName,
                            "no program");
         if (!RunEnding(L"undoing", false)) return false;
         // The caller stages another client; it wins over the run's.
         Stage();
         testenv::WriteFile(layout_.staged_client_dir + L"/version.txt", "3.0");
         staged_ = testenv::TreeDigest(layout_.staged_client_dir);
         return true;
       },
       "I put back result:1,.*", "3.0"},
      {"ended during the uninstall script", false,
       [&] {
#ifdef _WIN32
         testenv::WriteFile(layout_.uninstall_script, "@echo up> \"" + Utf8(temp_ / L"up") +
                                                          "\"\r\n@ping -n 20 127.0.0.1 >nul\r\n");
#else
         testenv::WriteFile(layout_.uninstall_script,
                            "echo up > '" + Utf8(temp_ / L"up") + "'; exec sleep 20\n");
#endif
         PROCESS_INFORMATION run =
             testenv::StartProgram(updater_, {L"--unzip=", L"--root_dir=" + root_, L"--pid=0"});
         const bool up = testenv::WaitUntil([&] { return testenv::Exists(temp_ / L"up"); }, 20000);
         // A logout ends the updater and its script.
         TerminateProcess(run.hProcess, 1);
         testenv::Stop(&run);
         KillImage(testenv::RunningUnderWine() ? L"ping.exe" : L"sleep");
         EXPECT_TRUE(testenv::Exists(layout_.client_exe));
         fs::remove(ToFsPath(layout_.uninstall_script));
         return up;
       },
       "I leftover of an earlier run:.*,state:begun"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reinstall(row.with_archive);
    testenv::WriteFile(layout_.client_dir + L"/version.txt", "1.0");
    planted.clear();
    const bool left = row.leave();
    RecordProperty(row.name, left ? "run" : "not set up here");
    if (left) {
      const std::vector<std::string> records = Update(row.with_archive);
      EXPECT_THAT(records, Contains(MatchesPattern(row.record)));
      EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/version.txt"), row.version);
      EXPECT_TRUE(testenv::Exists(layout_.client_exe));
      // The user's files, whichever client there is.
      if (row.with_archive) {
        EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/settings/user.ini"), "the user's");
        EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/data/save.dat"), "saved");
        EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/cache/4"), "cached");
      }
      for (const std::wstring& file : planted) EXPECT_EQ(testenv::ReadFile(file), "planted");
      ExpectNothingLost();
    }
    testenv::RemoveTree(root_ + L"/elsewhere");
  }
}

TEST_F(FaultsTest, ArchiverKilledMidway) {
  Pack(true);
  // Kill the archiver once the big file has begun to appear in the run's
  // folder.
  std::atomic<bool> done{false};
  std::atomic<int> killed{0};
  std::thread killer([&] {
    while (!done && killed == 0) {
      std::error_code error;
      for (const auto& run : fs::directory_iterator(ToFsPath(layout_.staging_dir), error)) {
        if (fs::exists(run.path() / "new/Client/data/big.bin", error)) {
          killed += KillImage(ArchiverImage());
        }
      }
      Sleep(1);
    }
  });
  std::vector<std::string> records = Update(true);
  done = true;
  killer.join();
  if (killed == 0) GTEST_SKIP() << "the archiver finished before it could be killed";
  ExpectEnding(records, "E update refused, archive not unpacked:.*", false);
  EXPECT_THAT(records, Contains(MatchesPattern("I 7z exit with code:[1-9][0-9]*,ret:1")));
  EXPECT_TRUE(testenv::Exists(archive_));
  EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/version.txt"), "1.0");
  ExpectNothingLost();
}

TEST_F(FaultsTest, StagedFolderPartlyUnreadable) {
  Stage();
  const std::wstring sealed = L"/data/sealed.bin";
  testenv::WriteFile(layout_.staged_client_dir + sealed, "sealed");
  staged_ = testenv::TreeDigest(layout_.staged_client_dir);
  // Nobody may read or write it now (on Windows: read-only); the move does
  // not need to.
  fs::permissions(ToFsPath(layout_.staged_client_dir + sealed), fs::perms::none);
  ExpectEnding(Update(false), "I launch process vaild:1 path:.*", true);
  fs::permissions(ToFsPath(layout_.client_dir + sealed),
                  fs::perms::owner_read | fs::perms::owner_write);
  ExpectNothingLost();
}

TEST_F(FaultsTest, AnArchiveUpdateCutShortAnywhereElseConverges) { SweepCrashes(true, 2); }

// A power cut at any moment of an update keeps one whole client: the install
// root on an image of the kernel's own ext4 or xfs, attached through a loop
// device; at the moment of the cut the image is copied as the device holds
// it (the file system's unwritten cache is not in the copy), and the copy is
// attached in its place, as the machine starts again.
class PowerCutTest : public FaultsTest {
 protected:
  PowerCutTest() : FaultsTest(L"volume") {}

  void SetUp() override {
    testenv::MakeDirs(volume_);
    if (!Fresh("ext4")) GTEST_SKIP() << "no loop device can be made here";
    FaultsTest::SetUp();
  }
  void TearDown() override {
    FaultsTest::TearDown();
    Detach();
  }

  // A new file system of `type` attached at the volume folder.
  bool Fresh(const std::string& type) {
    Detach();
    type_ = type;
    const std::string image = testenv::Quoted(temp_ / L"volume.img");
    return testenv::Shell("rm -f " + image + " && truncate -s 320M " + image + " && mkfs." + type +
                          " -q " + image) &&
           Attach(L"volume.img");
  }
  // An image attached (an xfs copy also while its original lingers).
  bool Attach(const std::wstring& image) {
    return testenv::Shell("mount " + std::string(type_ == "xfs" ? "-o nouuid " : "") +
                          "\"$(losetup -f --show " + testenv::Quoted(temp_ / image) + ")\" " +
                          testenv::Quoted(volume_));
  }
  void Detach() {
    Utils::KillProcessesByName(kClientProcessName);
    // Ended programs let go of the volume only as they finish ending (under
    // Wine, its server later still): then it goes from the tree at once.
    std::string detach = "for n in $(seq 30); do mountpoint -q " + testenv::Quoted(volume_) +
                         " || break; umount " + testenv::Quoted(volume_) +
                         " || sleep 0.1; done; umount -l " + testenv::Quoted(volume_);
    for (const wchar_t* image : {L"volume.img", L"cut.img"}) {
      detach += "; losetup -j " + testenv::Quoted(temp_ / image) +
                " | cut -d: -f1 | xargs -r -n1 losetup -d";
    }
    testenv::Shell(detach);
  }
  // The power goes now: the image as the device holds it takes its place.
  bool CutPower() {
    const bool copied =
        testenv::Shell("cp --sparse=always " + testenv::Quoted(temp_ / L"volume.img") + " " +
                       testenv::Quoted(temp_ / L"cut.img"));
    Detach();
    return copied && Attach(L"cut.img");
  }

  // The update cut short at each of its points in turn (under Wine, its
  // journal's), the power cut at once; and run whole, the power cut right
  // after it and some seconds after it. Then the next run on the copy
  // (with the archive where the cut run kept it) must leave one whole
  // client that starts, every file the user had, and no run folder.
  void SweepPowerCuts(const std::string& type, bool with_archive) {
    int points = 0;
    for (int n = -1; !HasFailure(); ++n) {
      SCOPED_TRACE(type + ", the power cut at " + std::to_string(n));
      ASSERT_TRUE(Fresh(type));
      Reinstall(with_archive);
      const std::vector<std::string> old_client = testenv::TreeDigest(layout_.client_dir);
      ASSERT_TRUE(testenv::Shell("sync -f " + testenv::Quoted(volume_)));
      if (n > 0 && !RunEnding(std::to_wstring(n), with_archive)) break;
      if (n <= 0) RunEnding(L"", with_archive);
      // Some seconds later the file system has written its log (here forced
      // by a sync of a file of its own), and with it what the run changed in
      // folders, but not the data of a file it never wrote back.
      if (n == 0) {
        Sleep(6000);
        testenv::WriteFile(JoinPath(volume_, L"other"), "other");
        ASSERT_TRUE(testenv::Shell("sync " + testenv::Quoted(JoinPath(volume_, L"other"))));
      }
      ASSERT_TRUE(CutPower());
      ++points;
      const bool kept =
          with_archive ? testenv::Exists(archive_) : testenv::Exists(layout_.staged_client_dir);
      RunEnding(L"", with_archive, with_archive && !kept);
      const std::vector<std::string> client = testenv::TreeDigest(layout_.client_dir);
      const std::vector<std::string>& fresh = with_archive ? packed_ : staged_;
      const bool is_new = std::includes(client.begin(), client.end(), fresh.begin(), fresh.end());
      EXPECT_TRUE(is_new || (!kept && client == old_client)) << testing::PrintToString(client);
      for (const std::string& entry : client) {
        EXPECT_EQ(entry.find(" 0 "), std::string::npos) << "an empty file: " << entry;
      }
      if (with_archive) {
        EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/settings/user.ini"), "the user's");
        EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/cache/4"), "cached");
      }
      PROCESS_INFORMATION started = testenv::StartProgram(layout_.client_exe);
      Sleep(100);
      EXPECT_TRUE(testenv::IsRunning(started.dwProcessId)) << "the client does not start";
      testenv::Stop(&started);
      ExpectNoRunFolder();
    }
    RecordProperty("points", points);
    EXPECT_GT(points, 3);
  }

  std::string type_ = "ext4";
};

// The order of a run's system calls, checked without a disk (every process
// of the run traced, the archiver included): the rename that commits the new
// client comes after a sync of its volume that follows the archiver's end,
// and nothing is removed after it before the folders it changed were synced.
TEST_F(FaultsTest, NothingIsReliedOnBeforeItIsOnDisk) {
#ifdef _WIN32
  GTEST_SKIP() << "the trace is of Linux's system calls";
#else
  if (!testenv::Exists(L"/usr/bin/strace")) GTEST_SKIP() << "no strace here";
  for (const bool with_archive : {true, false}) {
    SCOPED_TRACE(with_archive ? "archive" : "staged");
    Reinstall(with_archive);
    const std::wstring trace = temp_ / L"trace.txt";
    const auto finished = [this] {
      const std::vector<std::string> records = Records();
      return std::count_if(records.begin(), records.end(), [](const std::string& record) {
        return record.rfind("I update finished", 0) == 0;
      });
    };
    const auto runs_before = finished();
    PROCESS_INFORMATION tracer = testenv::StartProgram(
        L"/usr/bin/strace",
        {L"-f", L"-y", L"-qq", L"-o", trace, L"-e",
         L"trace=execve,exit_group,syncfs,fsync,rename,renameat,renameat2,unlink,unlinkat,rmdir",
         updater_, L"--unzip=" + (with_archive ? archive_ : L""), L"--root_dir=" + root_,
         L"--pid=0"});
    // The new client it starts is traced too: it is ended once the run is.
    EXPECT_TRUE(testenv::WaitUntil([&] { return finished() > runs_before; }, 60000));
    Utils::KillProcessesByName(kClientProcessName);
    testenv::WaitExit(tracer.hProcess, 30000);
    testenv::Stop(&tracer);
    std::istringstream lines(testenv::ReadFile(trace));
    const auto Succeeded = [](const std::string& line) {
      return line.size() > 4 && line.compare(line.size() - 4, 4, " = 0") == 0;
    };
    const std::string root = Utf8(root_);
    const std::string from = with_archive ? "/new/Client\"" : "/qxcg_update_tmp/Client\"";
    int extracting = -1;  // the archiver's process while it unpacks
    bool extracted = !with_archive, synced = false, committed = false, folders_synced = false;
    for (std::string line; std::getline(lines, line);) {
      const int pid = std::atoi(line.c_str());
      const std::string call = line.substr(line.find_first_not_of(' ', line.find(' ')));
      if (call.rfind("execve(", 0) == 0 && call.find(", \"x\", ") != std::string::npos) {
        extracting = pid;
      } else if (pid == extracting && call.rfind("exit_group(", 0) == 0) {
        extracted = true;
      } else if (call.rfind("syncfs(", 0) == 0 && Succeeded(line)) {
        synced = synced || extracted;
        folders_synced = folders_synced || committed;
      } else if (call.rfind("rename", 0) == 0 && call.find(from) != std::string::npos &&
                 call.find(root + "/Client\"") != std::string::npos && Succeeded(line)) {
        EXPECT_TRUE(synced) << "committed before the new files were synced: " << line;
        committed = true;
      } else if (committed && call.rfind("fsync(", 0) == 0 &&
                 call.find("<" + root + ">") != std::string::npos) {
        folders_synced = true;
      } else if (committed && (call.rfind("unlink", 0) == 0 || call.rfind("rmdir", 0) == 0)) {
        EXPECT_TRUE(folders_synced) << "removed before the switch was synced: " << line;
      }
    }
    EXPECT_TRUE(committed);
    EXPECT_TRUE(folders_synced);
  }
#endif
}

TEST_F(PowerCutTest, AnArchiveUpdateOnExt4) { SweepPowerCuts("ext4", true); }
TEST_F(PowerCutTest, AnArchiveUpdateOnXfs) { SweepPowerCuts("xfs", true); }
TEST_F(PowerCutTest, AStagedUpdateOnExt4) { SweepPowerCuts("ext4", false); }
TEST_F(PowerCutTest, AStagedUpdateOnXfs) { SweepPowerCuts("xfs", false); }

// An old client that cannot be removed no longer stops an update: its copy
// stays in the staging folder, and the next update removes it.
TEST_F(FaultsTest, OldClientThatCannotBeRemovedIsRemovedByTheNextRun) {
  Stage();
  testenv::WriteFile(layout_.client_dir + L"/zz-pinned.dat", "in use");
  std::optional<Pinned> pinned;
  // Windows pins a file by holding it open, which keeps its folder from
  // moving too; an immutable file (chattr +i) lets its folder move.
  if (testenv::RunningUnderWine() ||
      !pinned.emplace(layout_.client_dir + L"/zz-pinned.dat").pinned()) {
    GTEST_SKIP() << "this system cannot pin a file without pinning its folder";
  }
  std::vector<std::string> records = Update(false);
  ExpectEnding(records, "I launch process vaild:1 path:.*", true);
  EXPECT_THAT(records, Contains(MatchesPattern("I delete file result:0,path:.*zizaro_do-.*")));
  ExpectNothingLost();
  std::vector<std::string> left = testenv::ListTree(layout_.staging_dir);
  ASSERT_FALSE(left.empty());
  const std::string name = left.front().substr(0, left.front().find('/'));
  const std::wstring leftover =
      JoinPath(layout_.staging_dir, std::wstring(name.begin(), name.end()));
  // The pinned file moved with its folder: unpin it there, then update again.
  pinned->MovedTo(JoinPath(leftover, L"old/zz-pinned.dat"));
  pinned.reset();
  Utils::KillProcessesByName(kClientProcessName);
  Stage();
  ExpectEnding(Update(false), "I launch process vaild:1 path:.*", true);
  EXPECT_FALSE(testenv::Exists(leftover));
  ExpectNothingLost();
}

TEST_F(FaultsTest, ExecutableNotRemovable) {
  Stage();
  fs::remove(ToFsPath(layout_.client_exe));
  testenv::WriteFile(layout_.client_exe + L"/in the way.txt", "x");
  ExpectEnding(Update(false), "E enforce kill process and delete QXDazavAzir\\.exe failed", false);
  ExpectNothingLost();
}

// A new client that cannot start gets the old one back, complete.
TEST_F(FaultsTest, NewClientNotStarting) {
  // The new executable is no program, or one whose library is missing: its
  // process is made, and ends at once.
  // Or it dies of a fault as it starts: the status Windows gives that fault.
  const std::pair<const char*, const char*> clients[] = {
      {"no program", "I launch process vaild:0 path:.*"},
      {"unloadable", "E new client ended at its start,exit code:C0000135"},
      {"access", "E new client ended at its start,exit code:C0000005"},
      {"instruction", "E new client ended at its start,exit code:C000001D"}};
  for (const auto& [client, record] : clients) {
    SCOPED_TRACE(client);
    Stage();
    const std::wstring exe = layout_.staged_client_dir + kPathSeparator + kClientProcessName;
    std::optional<testenv::ScopedEnv> fault;
    if (client == std::string("no program")) {
      testenv::WriteFile(exe, "no program");
    } else if (client == std::string("unloadable")) {
      testenv::CopyFile(testenv::BinFile(testenv::ExeName(L"unloadable")), exe);
    } else {
      fault.emplace("ZIZARO_CLIENT_FAULT", std::wstring(client, client + strlen(client)));
    }
    staged_ = testenv::TreeDigest(layout_.staged_client_dir);
    const std::vector<std::string> old_client = testenv::TreeDigest(layout_.client_dir);
    const std::vector<std::string> records = Update(false);
    EXPECT_THAT(records, Contains(MatchesPattern(record)));
    ExpectEnding(records, "I put back result:1,entries:2,from:.*", false);
    ExpectOldClientBack(old_client);
    ExpectNothingLost();
  }
}

TEST_F(FaultsTest, LogFolderNotWritable) {
  Stage();
  // Today's log folder is a file: the log cannot be written, the update runs.
  testenv::WriteFile(TodayLogFolder(app_data_.path()), "not a folder");
  testenv::ScopedEnv client_log("ZIZARO_CLIENT_LOG", temp_ / L"starts.txt");
  Update(false);
  EXPECT_TRUE(
      testenv::WaitUntil([&] { return !testenv::ReadFile(temp_ / L"starts.txt").empty(); }, 5000));
  EXPECT_EQ(testenv::TreeDigest(layout_.client_dir), staged_);
  ExpectNothingLost();
}

// The updater killed at a different moment of a staged update each time:
// the staged client is never lost, and the next run completes the update.
TEST_F(FaultsTest, KillingTheUpdaterNeverLosesTheStagedClient) {
  constexpr int kTrials = 20;
  // A fresh install: the old client and the staged new one.
  auto reinstall = [&] {
    Utils::KillProcessesByName(kClientProcessName);
    fs::remove_all(ToFsPath(layout_.client_dir));
    testenv::InstallStandIn(layout_.client_exe);
    fs::remove_all(ToFsPath(layout_.staging_dir));
    Stage();
  };
  auto start = [&] {
    return testenv::StartProgram(updater_, {L"--unzip=", L"--root_dir=" + root_, L"--pid=0"});
  };
  // How long a whole run takes here: the kills are spread over it.
  reinstall();
  const auto begin = std::chrono::steady_clock::now();
  PROCESS_INFORMATION whole = start();
  WaitForSingleObject(whole.hProcess, 60000);
  const auto run_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - begin)
                          .count();
  testenv::Stop(&whole);
  int killed_midway = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    reinstall();
    PROCESS_INFORMATION updater = start();
    Sleep(static_cast<DWORD>(run_ms * trial / kTrials));
    if (TerminateProcess(updater.hProcess, 1)) ++killed_midway;
    WaitForSingleObject(updater.hProcess, 10000);
    CloseHandle(updater.hThread);
    CloseHandle(updater.hProcess);
    ExpectNothingLost();
    // The next run finishes what the killed one began: the new client in
    // place, and nothing left in the staging folder.
    Utils::KillProcessesByName(kClientProcessName);
    Update(false);
    EXPECT_EQ(testenv::TreeDigest(layout_.client_dir), staged_);
    EXPECT_THAT(testenv::TreeDigest(layout_.staging_dir), IsEmpty());
  }
  RecordProperty("trials", kTrials);
  RecordProperty("killed_midway", killed_midway);
  RecordProperty("run_ms", static_cast<int>(run_ms));
  EXPECT_GT(killed_midway, kTrials / 2);
  // A killed updater leaves no lock behind: the next update runs.
  reinstall();
  ExpectEnding(Update(false), "I launch process vaild:1 path:.*", true);
}

// The first promotion names the install root itself as its destination: the
// user's files beside the client survive however the staged client folder
// is reached and however the root is written, and each spelling of the root
// updates the root it names.
TEST_F(FaultsTest, TheInstallRootSurvivesLinksAndPathForms) {
  struct Row {
    const char* name;
    // Moves the staged client (staging folder `staging`) behind a link, where
    // the row asks for one; false when this system cannot make the link.
    std::function<bool(const InstallLayout&, const std::wstring& elsewhere)> link;
    // The root as the command line gives it; empty when this system cannot
    // write it so.
    std::function<std::wstring(const std::wstring& root)> spelling;
    bool from_the_client_folder = false;  // the updater starts there, through the spelling
  };
  auto as_given = [](const std::wstring& root) { return root; };
  auto through_a_link = [](const std::wstring& root) {
    return testenv::MakeFolderLink(root + L" link", root) ? root + L" link" : L"";
  };
  const Row rows[] = {
      {"staged client folder reached through a link",
       [](const InstallLayout& layout, const std::wstring& elsewhere) {
         fs::create_directories(ToFsPath(elsewhere));
         fs::rename(ToFsPath(layout.staged_client_dir), ToFsPath(elsewhere + L"/Client"));
         return testenv::MakeFolderLink(layout.staged_client_dir, elsewhere + L"/Client");
       },
       as_given},
      {"root in extended-length form", nullptr, [](auto& root) { return L"\\\\?\\" + root; }},
      {"root in device form", nullptr, [](auto& root) { return L"\\\\.\\" + root; }},
      {"root with a trailing blank", nullptr, [](auto& root) { return root + L" "; }},
      {"root with a trailing period", nullptr, [](auto& root) { return root + L"."; }},
      {"root through a link, started from the client folder", nullptr, through_a_link, true},
  };
  const std::wstring starts = temp_ / L"starts.txt";
  testenv::ScopedEnv client_log("ZIZARO_CLIENT_LOG", starts);
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A root of its own for each row, with the user's files beside Client.
    const std::wstring root = temp_ / (L"roots/" + std::to_wstring(index++));
    const InstallLayout layout(root);
    testenv::InstallStandIn(layout.client_exe);
    testenv::WriteFile(root + L"/user data/notes.txt", "the user's");
    testenv::InstallStandIn(layout.staged_client_dir + kPathSeparator + kClientProcessName);
    testenv::WriteFile(layout.staged_client_dir + L"/version.txt", "2.0");
    const std::vector<std::string> staged = testenv::TreeDigest(layout.staged_client_dir);
    if (row.link && !row.link(layout, root + L" elsewhere")) {
      ADD_FAILURE() << "cannot make a folder link";
      continue;
    }
    const std::wstring given = row.spelling(root);
    if (given.empty()) continue;
    testenv::WriteFile(starts, "");
    testenv::RunResult run =
        testenv::Run({updater_, L"--unzip=", L"--root_dir=" + given, L"--pid=0"},
                     row.from_the_client_folder ? JoinPath(given, L"Client") : L"");
    EXPECT_EQ(run.exit_status, 0u);
    // The new client started in a folder that exists (its current folder,
    // the last field of its start's line).
    EXPECT_TRUE(testenv::WaitUntil([&] { return !testenv::ReadFile(starts).empty(); }, 10000));
    Utils::KillProcessesByName(kClientProcessName);
    EXPECT_EQ(testenv::ReadFile(root + L"/user data/notes.txt"), "the user's");
    EXPECT_EQ(testenv::TreeDigest(layout.client_dir), staged) << "the root named was not updated";
    const std::string start = testenv::ReadFile(starts);
    ASSERT_FALSE(start.empty());
    const std::string current = start.substr(start.rfind('\t') + 1);
    EXPECT_TRUE(Utils::IsDirectory(FromFsPath(fs::u8path(current.substr(0, current.find('\n'))))));
  }
  ExpectNothingLost();
}

// Two updaters of one install root under two spellings of it: the lock is
// the folder's, whatever names it, so they take turns; one new client starts
// and nothing is lost.
TEST_F(FaultsTest, TwoUpdatersOfOneRootUnderTwoSpellings) {
  const std::wstring root = temp_ / L"Quexa Client Root";
  const InstallLayout layout(root);
  const std::wstring starts = temp_ / L"starts.txt";
  testenv::ScopedEnv client_log("ZIZARO_CLIENT_LOG", starts);
  testenv::MakeDirs(root);
  const int trials = testenv::RunningUnderWine() ? 5 : 20;
  struct Row {
    const char* name;
    std::function<std::wstring()> alias;  // empty when this system cannot make it
    std::function<void()> undo = [] {};
  };
  const Row rows[] = {
      {"through a link",
       [&] { return testenv::MakeFolderLink(root + L" link", root) ? root + L" link" : L""; }},
      {"a bind mount",
       [&] {
#ifdef _WIN32
         return std::wstring();
#else
         testenv::MakeDirs(root + L" bound");
         return testenv::Shell("mount --bind " + testenv::Quoted(root) + " " +
                               testenv::Quoted(root + L" bound"))
                    ? root + L" bound"
                    : L"";
#endif
       },
       [&] { testenv::Shell("umount " + testenv::Quoted(root + L" bound")); }},
      {"its short (8.3) form",
       [&] {
         const std::wstring short_form = long_paths::ShortForm(root);
         return short_form != root ? short_form : L"";
       }},
      {"another drive letter",
       [&] {
         // Drive Q: of the test prefix leads to the folder of C:.
         return Utils::IsDirectory(L"q:\\") && root.size() > 2 && root[1] == L':'
                    ? L"q:" + root.substr(2)
                    : L"";
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::wstring alias = row.alias();
    RecordProperty(row.name, alias.empty() ? "not set up here" : Utf8(alias));
    if (alias.empty()) continue;
    for (int trial = 0; trial < trials; ++trial) {
      SCOPED_TRACE("trial " + std::to_string(trial));
      Utils::KillProcessesByName(kClientProcessName);
      testenv::RemoveTree(layout.client_dir);
      testenv::RemoveTree(layout.staging_dir);
      testenv::InstallStandIn(layout.client_exe);
      testenv::WriteFile(root + L"/user data/notes.txt", "the user's");
      testenv::InstallStandIn(layout.staged_client_dir + kPathSeparator + kClientProcessName);
      testenv::WriteFile(layout.staged_client_dir + L"/version.txt", "2.0");
      const std::vector<std::string> staged = testenv::TreeDigest(layout.staged_client_dir);
      testenv::WriteFile(starts, "");
      // The client that asked ends a moment later: the updater that locked
      // the root first waits for it, and the other starts meanwhile.
      PROCESS_INFORMATION old_client =
          testenv::StartProgram(layout.client_exe, {L"--exit-after=300"});
      const std::wstring pid = L"--pid=" + std::to_wstring(old_client.dwProcessId);
      PROCESS_INFORMATION first =
          testenv::StartProgram(updater_, {L"--unzip=", L"--root_dir=" + root, pid});
      PROCESS_INFORMATION second =
          testenv::StartProgram(updater_, {L"--unzip=", L"--root_dir=" + alias, pid});
      EXPECT_EQ(testenv::WaitExit(first.hProcess, 60000), 0u);
      EXPECT_EQ(testenv::WaitExit(second.hProcess, 60000), 0u);
      testenv::Stop(&first);
      testenv::Stop(&second);
      testenv::Stop(&old_client);
      EXPECT_EQ(testenv::TreeDigest(layout.client_dir), staged);
      EXPECT_EQ(testenv::ReadFile(root + L"/user data/notes.txt"), "the user's");
      // The old client's start, then exactly one new client's.
      Sleep(200);
      std::string lines = testenv::ReadFile(starts);
      EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    }
    row.undo();
  }
  ExpectNothingLost();
}

// Two folders whose names differ only in letter case, where the system
// tells them apart, are two install roots: updated side by side.
TEST_F(FaultsTest, RootsDifferingInLetterCaseAreTwoRoots) {
  const std::wstring upper = temp_ / L"Quexa";
  const std::wstring lower = temp_ / L"quexa";
  testenv::MakeDirs(upper);
  if (testenv::Exists(lower)) GTEST_SKIP() << "this system does not tell letter case apart";
  std::vector<PROCESS_INFORMATION> updaters;
  for (const std::wstring& root : {upper, lower}) {
    const InstallLayout layout(root);
    testenv::InstallStandIn(layout.client_exe);
    testenv::InstallStandIn(layout.staged_client_dir + kPathSeparator + kClientProcessName);
    testenv::WriteFile(layout.staged_client_dir + L"/version.txt", "2.0");
  }
  for (const std::wstring& root : {upper, lower}) {
    updaters.push_back(
        testenv::StartProgram(updater_, {L"--unzip=", L"--root_dir=" + root, L"--pid=0"}));
  }
  for (PROCESS_INFORMATION& updater : updaters) {
    EXPECT_EQ(testenv::WaitExit(updater.hProcess, 60000), 0u);
    testenv::Stop(&updater);
  }
  for (const std::wstring& root : {upper, lower}) {
    EXPECT_EQ(testenv::ReadFile(InstallLayout(root).client_dir + L"/version.txt"), "2.0")
        << Utf8(root);
  }
}

// One update of a root at a time for every user of the machine: a run of
// another user finds the lock that this process holds, and leaves.
TEST_F(FaultsTest, OneLockForEveryUserOfARoot) {
#ifdef _WIN32
  GTEST_SKIP() << "under Wine every process is one user's";
#else
  if (geteuid() != 0) GTEST_SKIP() << "another user's program needs root to start";
  Stage();
  // A root that the machine's users share: the staging folder that the
  // lock makes is theirs too, whatever this process's umask.
  for (const std::wstring& shared : {root_, app_data_.path()}) {
    fs::permissions(ToFsPath(shared), fs::perms::all);
  }
  const std::wstring staged = temp_ / L"staged";
  fs::rename(ToFsPath(layout_.staged_client_dir), ToFsPath(staged));
  testenv::RemoveTree(layout_.staging_dir);
  const mode_t umask_before = umask(022);
  ASSERT_EQ(LockInstallRoot(layout_), RootLock::kTaken);
  umask(umask_before);
  fs::rename(ToFsPath(staged), ToFsPath(layout_.staged_client_dir));
  testenv::Run({L"/usr/bin/setpriv", L"--reuid=65534", L"--regid=65534", L"--clear-groups",
                updater_, L"--unzip=", L"--root_dir=" + root_, L"--pid=0"});
  EXPECT_THAT(Records(),
              Contains(MatchesPattern("W another update of this install root is running:.*")));
  EXPECT_TRUE(testenv::Exists(layout_.client_exe));
  ExpectNothingLost();
#endif
}

// Folders of the user's that even their owner may not write (0555) or read
// (000) move into the new client as Windows moves them, keeping their mode:
// on Linux, as a user who is not root.
TEST_F(FaultsTest, FoldersTheirOwnerMayNotWriteMoveAsOnWindows) {
#ifdef _WIN32
  GTEST_SKIP() << "under Wine the suites run as root";
#else
  if (geteuid() != 0) GTEST_SKIP() << "another user's program needs root to start";
  Pack();
  testenv::RemoveTree(layout_.staging_dir);
  // Entries move out of "data", a folder both clients have, as well.
  const std::pair<const wchar_t*, fs::perms> folders[] = {
      {L"/locked", fs::perms(0555)}, {L"/sealed", fs::perms::none}, {L"/data", fs::perms(0555)}};
  for (const auto& [name, mode] : folders) {
    testenv::WriteFile(layout_.client_dir + name + L"/user.txt", "the user's");
    fs::permissions(ToFsPath(layout_.client_dir + name), mode);
  }
  testenv::Shell("chown -R 65534:65534 " + testenv::Quoted(temp_.path()) + " " +
                 testenv::Quoted(app_data_.path()));
  testenv::Run({L"/usr/bin/setpriv", L"--reuid=65534", L"--regid=65534", L"--clear-groups",
                updater_, L"--unzip=" + archive_, L"--root_dir=" + root_, L"--pid=0"});
  ExpectEnding(Records(), "I launch process vaild:1 path:.*", true);
  for (const auto& [name, mode] : folders) {
    // The new client's own folder keeps the mode it came with.
    if (name != std::wstring(L"/data")) {
      EXPECT_EQ(fs::status(ToFsPath(layout_.client_dir + name)).permissions(), mode);
    }
    EXPECT_EQ(testenv::ReadFile(layout_.client_dir + name + L"/user.txt"), "the user's");
  }
#endif
}

// A root so deep that its scripts' paths pass MAX_PATH: Windows starts them
// through their short (8.3) forms, where the system keeps them.
TEST_F(FaultsTest, UninstallScriptOfADeepRootRuns) {
  std::wstring root = temp_ / L"deep";
  while (root.size() < 214) {
    root += kPathSeparator + std::wstring(std::min<size_t>(30, 213 - root.size()), L'r');
  }
  const InstallLayout layout(root);
  ASSERT_GE(layout.uninstall_script.size(), static_cast<size_t>(MAX_PATH));
  testenv::InstallStandIn(layout.client_exe);
  testenv::InstallStandIn(layout.staged_client_dir + kPathSeparator + kClientProcessName);
  const std::wstring ran = temp_ / L"ran.txt";
  const std::wstring firewall_ran = temp_ / L"firewall ran.txt";
  const std::wstring firewall = InstallLayout(layout.staging_dir).firewall_script;
#ifdef _WIN32
  testenv::WriteFile(layout.uninstall_script, "@echo ran> \"" + Utf8(ran) + "\"\r\n");
  testenv::WriteFile(firewall, "@echo ran> \"" + Utf8(firewall_ran) + "\"\r\n");
#else
  testenv::WriteFile(layout.uninstall_script, "echo ran > '" + Utf8(ran) + "'\n");
  testenv::WriteFile(firewall, "echo ran > '" + Utf8(firewall_ran) + "'\n");
#endif
  std::vector<std::string> records = Update(false, L"", root);
  ExpectEnding(records, "I launch process vaild:1 path:.*", true);
  // Waited for: it has run by the time the update ends.
  EXPECT_EQ(testenv::ReadFile(ran).substr(0, 3), "ran");
  EXPECT_TRUE(testenv::WaitUntil([&] { return testenv::Exists(firewall_ran); }, 10000));
}

// A client that starts the updater from its own folder hands that folder on
// as the updater's current folder, which Windows keeps open.
TEST_F(FaultsTest, CurrentFolderInsideTheClientFolder) {
  Stage();
  const std::vector<std::string> records = Update(false, layout_.client_dir);
  ExpectEnding(records, "I launch process vaild:1 path:.*", true);
  EXPECT_THAT(records, Contains(MatchesPattern("I current folder change to:.*bin.?")));
  ExpectNothingLost();
}

// More that can only fail, refused before anything is destroyed, where this
// system can set it up.
TEST_F(FaultsTest, StagedFolderOnAnotherVolume) {
  // The staging folder on another file system than the install root: the
  // memory file system of Linux, where there is one.
  const std::wstring shm = FromFsPath(fs::path("/dev/shm"));
  if (!Utils::IsDirectory(shm)) GTEST_SKIP() << "no second file system to stage on";
  std::optional<testenv::TempDir> memory;
  memory.emplace(L"volume", shm);
  testenv::WriteFile(memory->path() + L"/Client/version.txt", "2.0");
  testenv::InstallStandIn(memory->path() + L"/Client/" + kClientProcessName);
  // The staging folder itself must be the root's own: the staged client
  // folder is mounted there (Linux, as root).
  fs::create_directories(ToFsPath(layout_.staged_client_dir));
#ifndef _WIN32
  if (!testenv::Shell("mount --bind " + testenv::Quoted(memory->path() + L"/Client") + " " +
                      testenv::Quoted(layout_.staged_client_dir)))
#endif
  {
    GTEST_SKIP() << "this system cannot mount a folder";
  }
  Utils::FileFacts staged;
  Utils::FileFacts root;
  if (!Utils::GetFileFacts(layout_.staged_client_dir, &staged) ||
      !Utils::GetFileFacts(root_, &root) || staged.volume == root.volume) {
    GTEST_SKIP() << "this system shows both folders on one volume";
  }
  ExpectRefused(false, "staged client folder on another volume than .*");
#ifndef _WIN32
  testenv::Shell("umount " + testenv::Quoted(layout_.staged_client_dir));
#endif
}

TEST_F(FaultsTest, StagingFolderThatCannotBeWritten) {
  Stage();
  staged_.clear();
  Pinned pinned(layout_.staging_dir);
  if (!pinned.pinned()) GTEST_SKIP() << "this system cannot pin a folder (chattr +i)";
  ExpectRefused(false, "folder cannot be written:.*qxcg_update_tmp,getlasterror:[0-9]+");
}

// A client tree deeper than MAX_PATH, as a client of unpacked packages has
// one: a read-only file and a folder at 300 characters. Windows refuses such
// plain paths without its long-path setting (and so does the POSIX layer).
TEST_F(FaultsTest, ClientTreesDeeperThanMaxPath) {
  // The same relative paths in the old client and in the new one.
  std::wstring deep = L"/resources/app/node_modules";
  while (layout_.client_dir.size() + deep.size() < 270) deep += L"/pkg_long_name";
  const size_t name_length = 300 - layout_.client_dir.size() - deep.size() - 1;
  const std::wstring deep_file = deep + L"/" + std::wstring(name_length, L'f');
  const std::wstring deep_folder = deep + L"/" + std::wstring(name_length, L'd');
  auto deepen = [&](const std::wstring& client) {
    testenv::WriteFile(client + deep_file, "deep");
    testenv::SetReadOnly(client + deep_file, true);
    testenv::MakeDirs(client + deep_folder);
    return client + deep_file;
  };
  for (const bool with_archive : {false, true}) {
    SCOPED_TRACE(with_archive ? "archive" : "staged");
    Utils::KillProcessesByName(kClientProcessName);
    testenv::RemoveTree(layout_.client_dir);
    testenv::RemoveTree(layout_.staging_dir);
    testenv::InstallStandIn(layout_.client_exe);
    const std::wstring old_file = deepen(layout_.client_dir);
    ASSERT_EQ(old_file.size(), 300u);
    testenv::InstallStandIn(layout_.staged_client_dir + kPathSeparator + kClientProcessName);
    testenv::WriteFile(layout_.staged_client_dir + L"/version.txt", "2.0");
    deepen(layout_.staged_client_dir);
    staged_ = testenv::TreeDigest(layout_.staged_client_dir);
    if (with_archive) {
      fs::remove(ToFsPath(archive_));
      testenv::MakeDirs(temp_ / L"archive");
      ASSERT_EQ(testenv::Run({testenv::BinFile(L"7z.exe"), L"a", L"-bso0", L"-bsp0", archive_,
                              layout_.staged_client_dir})
                    .exit_status,
                0u);
      testenv::RemoveTree(layout_.staging_dir);
    }
    ExpectEnding(Update(with_archive), "I launch process vaild:1 path:.*", true);
    EXPECT_EQ(testenv::ReadFile(layout_.client_dir + L"/version.txt"), "2.0");
    if (!with_archive) {
      EXPECT_EQ(testenv::TreeDigest(layout_.client_dir), staged_);
    }
    EXPECT_EQ(testenv::ReadFile(old_file), "deep");  // the new client's own copy
    staged_.clear();
    ExpectNothingLost();
  }
}

// A client that a supervisor starts again as soon as it ends: Windows refuses
// to delete a running program's file, so the update never reports success
// while the old program still runs (on POSIX, from its deleted file).
TEST_F(FaultsTest, ClientRestartedBySupervisor) {
  Stage();
  const std::wstring starts = temp_ / L"starts.txt";
  testenv::ScopedEnv client_log("ZIZARO_CLIENT_LOG", starts);
  const std::wstring supervisor = temp_ / L"supervisor.bat";
#ifdef _WIN32
  testenv::WriteFile(supervisor,
                     ":again\r\n\"" + Utf8(layout_.client_exe) + "\"\r\ngoto again\r\n");
  PROCESS_INFORMATION loop = testenv::Start(L"cmd.exe /c \"" + supervisor + L"\"");
#else
  testenv::WriteFile(supervisor,
                     "while :; do \"" + Utf8(layout_.client_exe) + "\"; sleep 0.001; done\n");
  PROCESS_INFORMATION loop = testenv::Start(L"/bin/sh " + testenv::Quote(supervisor));
#endif
  ASSERT_TRUE(testenv::WaitUntil([&] { return !testenv::ReadFile(starts).empty(); }, 10000));
  const std::vector<std::string> records = Update(false);
  const bool updated = records.back() == "I update finished 1\n";
  // Stop the supervisor, then look for the old program still running.
  testenv::Stop(&loop);
  const int stale = testenv::DeletedImagesRunning(root_);
  Utils::KillProcessesByName(kClientProcessName);
  EXPECT_FALSE(updated && stale > 0) << "success reported while the old client runs on";
  RecordProperty("updated", updated ? 1 : 0);
  ExpectNothingLost();
}

}  // namespace
