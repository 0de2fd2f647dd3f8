// Faults met by whole updates of the shipped program: for every mandatory
// step and every fault it can meet, the run ends as it should, and nothing is
// lost: the archive stays unless it was extracted, the staged client's files
// stay byte for byte (in the staging folder or in the client folder), and
// nothing outside the install root changes. Then the updater itself is
// killed at many moments of a staged update.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

namespace {

namespace fs = std::filesystem;
using testenv::Utf8;
using ::testing::Contains;
using ::testing::IsEmpty;

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
    handle_ = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    pinned_ = handle_ != INVALID_HANDLE_VALUE;
#else
    pinned_ = std::system(("chattr +i '" + Utf8(path) + "' 2>/dev/null").c_str()) == 0;
#endif
  }
  ~Pinned() {
#ifdef _WIN32
    if (pinned_) CloseHandle(handle_);
#else
    if (pinned_) std::system(("chattr -i '" + Utf8(path_) + "'").c_str());
#endif
  }
  bool pinned() const { return pinned_; }

 private:
  std::wstring path_;
  bool pinned_ = false;
#ifdef _WIN32
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#endif
};

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    updater_ = testenv::InstallUpdater(temp_ / L"bin", true);
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
    if (big)
      testenv::WriteFile(layout_.staged_client_dir + L"/data/big.bin", RandomBytes(24 << 20));
    staged_ = testenv::TreeDigest(layout_.staged_client_dir);
  }

  // The staged client packed as the update archive (and the staging folder
  // left as it was).
  void Pack(bool big = false) {
    Stage(big);
    fs::remove(ToFsPath(archive_));
    testenv::MakeDirs(temp_ / L"archive");
    testenv::RunResult run = testenv::Run({testenv::BinFile(L"7z.exe"), L"a", L"-mx=1", L"-bso0",
                                           L"-bsp0", archive_, layout_.staged_client_dir});
    ASSERT_EQ(run.exit_status, 0u);
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
  // `current_folder` when one is given.
  std::vector<std::string> Update(bool with_archive, const std::wstring& current_folder = L"") {
    testenv::RunResult run = testenv::Run({updater_, L"--unzip=" + (with_archive ? archive_ : L""),
                                           L"--root_dir=" + root_, L"--pid=0"},
                                          current_folder);
    EXPECT_EQ(run.exit_status, 0u);
    return Records();
  }

  // Runs an update that must be refused before anything is destroyed: it ends
  // with the ERROR `reason` (a pattern), the old client still runs, and the
  // install root and the archive are as they were.
  void ExpectRefused(bool with_archive, const std::string& reason) {
    const std::vector<std::string> root_before = testenv::TreeDigest(root_);
    const std::vector<std::string> archive_before = testenv::TreeDigest(temp_ / L"archive");
    PROCESS_INFORMATION client = testenv::StartProgram(layout_.client_exe);
    ExpectEnding(Update(with_archive), "E update refused, " + reason, false);
    EXPECT_TRUE(testenv::IsRunning(client.dwProcessId)) << "a client was ended";
    testenv::Stop(&client);
    EXPECT_EQ(testenv::TreeDigest(root_), root_before);
    EXPECT_EQ(testenv::TreeDigest(temp_ / L"archive"), archive_before);
    ExpectNothingLost();
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

  // The run ended with `last` (a pattern) and then "update finished <result>".
  static void ExpectEnding(const std::vector<std::string>& records, const std::string& last,
                           bool result) {
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.back(), std::string("I update finished ") + (result ? "1" : "0") + "\n");
    EXPECT_THAT(records[records.size() - 2], MatchesPattern(last));
  }

  testenv::TempDir temp_{L"faults"};
  const std::wstring root_ = temp_ / L"root";
  const InstallLayout layout_{root_};
  const std::wstring archive_ = temp_ / L"archive/update.7z";
  testenv::TempDir app_data_{L"appdata"};
  testenv::ScopedEnv app_data_env_{"APPDATA", app_data_.path()};
  testenv::BrowserRecorder browser_;
  std::wstring updater_;
  std::vector<std::string> staged_;
  std::vector<std::string> sibling_before_;
  std::vector<std::string> linked_before_;
};

// Updates that can only fail are refused before the old client is touched.
TEST_F(FaultsTest, UpdatesBoundToFailAreRefusedBeforeAnythingIsDestroyed) {
  struct Row {
    const char* name;
    std::function<void()> prepare;
    bool with_archive;
    const char* reason;
  };
  const Row rows[] = {
      {"no archive", [&] { fs::remove(ToFsPath(archive_)); }, true, "no archive:.*update\\.7z"},
      {"no archiver", [&] { fs::remove(ToFsPath(temp_ / L"bin/7z.exe")); }, true,
       "no archiver:.*7z\\.exe"},
      {"damaged archive", [&] { testenv::WriteFile(archive_, "7z\xbc\xaf\x27\x1c damaged"); }, true,
       "archive unreadable:.*,7z exit code:2"},
      {"archive cut short",
       [&] {
         const std::string whole = testenv::ReadFile(archive_);
         testenv::WriteFile(archive_, whole.substr(0, whole.size() / 2));
       },
       true, "archive unreadable:.*,7z exit code:2"},
      {"archive larger than the disk",
       [&] {
         testenv::WriteFile(archive_, testenv::ZipWithoutData("data.bin", uint64_t{1} << 50));
       },
       true, "not enough disk space:[0-9]+ bytes needed,[0-9]+ bytes free on the volume of .*"},
      {"no staged client folder", [&] { fs::remove_all(ToFsPath(layout_.staging_dir)); }, false,
       "no staged client folder:.*"},
      {"a file instead of the staged folder",
       [&] {
         fs::remove_all(ToFsPath(layout_.staged_client_dir));
         testenv::WriteFile(layout_.staged_client_dir, "not a folder");
       },
       false, "no staged client folder:.*"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(ToFsPath(layout_.staging_dir));
    testenv::InstallUpdater(temp_ / L"bin", true);
    Pack();
    staged_.clear();  // nothing is promoted in these runs
    row.prepare();
    ExpectRefused(row.with_archive, row.reason);
  }
}

TEST_F(FaultsTest, ArchiverKilledMidway) {
  Pack(true);
  // Kill the archiver once the big file has begun to appear.
  std::atomic<bool> done{false};
  std::atomic<int> killed{0};
  std::thread killer([&] {
    const std::wstring big = root_ + L"/Client/data/big.bin";
    while (!done && killed == 0) {
      if (testenv::Exists(big)) killed += KillImage(ArchiverImage());
      Sleep(1);
    }
  });
  std::vector<std::string> records = Update(true);
  done = true;
  killer.join();
  if (killed == 0) GTEST_SKIP() << "the archiver finished before it could be killed";
  ExpectEnding(records, "I 7z exit with code:[1-9][0-9]*,ret:1", false);
  EXPECT_TRUE(testenv::Exists(archive_));
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

TEST_F(FaultsTest, ClientFolderNotRemovable) {
  Stage();
  testenv::WriteFile(layout_.client_dir + L"/zz-pinned.dat", "in use");
  Pinned pinned(layout_.client_dir + L"/zz-pinned.dat");
  if (!pinned.pinned()) GTEST_SKIP() << "this system cannot pin a file (chattr +i)";
  ExpectEnding(Update(false), "I move result:0,from:.*qxcg_update_tmp.Client,to:.*root.Client",
               false);
  ExpectNothingLost();
}

TEST_F(FaultsTest, ExecutableNotRemovable) {
  Pack();
  fs::remove(ToFsPath(layout_.client_exe));
  testenv::WriteFile(layout_.client_exe + L"/in the way.txt", "x");
  ExpectEnding(Update(true), "E enforce kill process and delete QXDazavAzir\\.exe failed", false);
  EXPECT_TRUE(testenv::Exists(archive_));
  ExpectNothingLost();
}

TEST_F(FaultsTest, MoveFailing) {
  Stage();
  // The client folder's name is taken by a file that cannot be removed: the
  // staged folder cannot move there.
  fs::rename(ToFsPath(layout_.client_dir), ToFsPath(temp_ / L"old client"));
  testenv::WriteFile(layout_.client_dir, "a file in the way");
  Pinned pinned(layout_.client_dir);
  if (!pinned.pinned()) GTEST_SKIP() << "this system cannot pin a file (chattr +i)";
  std::vector<std::string> records = Update(false);
  ExpectEnding(records, "I move result:0,from:.*qxcg_update_tmp.Client,to:.*root.Client", false);
  EXPECT_THAT(records, Contains(MatchesPattern("E move file failed,src path:.* "
                                               "getlasterror:[1-9][0-9]*")));
  ExpectNothingLost();
}

TEST_F(FaultsTest, NewClientNotStarting) {
  Stage();
  fs::remove(ToFsPath(layout_.staged_client_dir + kPathSeparator + kClientProcessName));
  staged_ = testenv::TreeDigest(layout_.staged_client_dir);
  ExpectEnding(Update(false), "I launch process vaild:0 path:.*", false);
  ExpectNothingLost();
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
// the staged client is never lost.
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
// user's files beside the client survive however the staging folder is
// reached and however the root is written.
TEST_F(FaultsTest, TheInstallRootSurvivesLinksAndPathForms) {
  struct Row {
    const char* name;
    // Moves the staged client (staging folder `staging`) behind a link, where
    // the row asks for one; false when this system cannot make the link.
    std::function<bool(const InstallLayout&, const std::wstring& elsewhere)> link;
    std::wstring prefix;  // put before the root on the command line
  };
  const Row rows[] = {
      {"staging folder reached through a link",
       [](const InstallLayout& layout, const std::wstring& elsewhere) {
         fs::rename(ToFsPath(layout.staging_dir), ToFsPath(elsewhere));
         return testenv::MakeFolderLink(layout.staging_dir, elsewhere);
       },
       L""},
      {"staged client folder reached through a link",
       [](const InstallLayout& layout, const std::wstring& elsewhere) {
         fs::create_directories(ToFsPath(elsewhere));
         fs::rename(ToFsPath(layout.staged_client_dir), ToFsPath(elsewhere + L"/Client"));
         return testenv::MakeFolderLink(layout.staged_client_dir, elsewhere + L"/Client");
       },
       L""},
      {"root in extended-length form", nullptr, L"\\\\?\\"},
      {"root in device form", nullptr, L"\\\\.\\"},
  };
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
    testenv::RunResult run =
        testenv::Run({updater_, L"--unzip=", L"--root_dir=" + row.prefix + root, L"--pid=0"});
    EXPECT_EQ(run.exit_status, 0u);
    Utils::KillProcessesByName(kClientProcessName);
    EXPECT_EQ(testenv::ReadFile(root + L"/user data/notes.txt"), "the user's");
    EXPECT_TRUE(testenv::TreeDigest(layout.staged_client_dir) == staged ||
                testenv::TreeDigest(layout.client_dir) == staged)
        << "the staged client's files are neither staged nor in place";
  }
  ExpectNothingLost();
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
  fs::create_directories(ToFsPath(root_));
  if (!testenv::MakeFolderLink(layout_.staging_dir, memory->path())) {
    GTEST_SKIP() << "this system cannot make a folder link";
  }
  Utils::FileFacts staged;
  Utils::FileFacts root;
  if (!Utils::GetFileFacts(layout_.staged_client_dir, &staged) ||
      !Utils::GetFileFacts(root_, &root) || staged.volume == root.volume) {
    GTEST_SKIP() << "this system shows both folders on one volume";
  }
  ExpectRefused(false, "staged client folder on another volume than .*");
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
