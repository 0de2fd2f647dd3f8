// Install roots and archive paths nobody controls, and trees far larger and
// deeper than a client's: no crash, a clear record, no shell, nothing outside
// the install root touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

namespace {

namespace fs = std::filesystem;
using testenv::Utf8;
using ::testing::Contains;
using ::testing::HasSubstr;

// A name that might be handed to a shell: if one ran it, the file named
// would appear.
struct Hostile {
  std::wstring name;
  bool portable;  // a file name on Windows too
};

const Hostile kHostileNames[] = {
    {L"blank and 非 ASCII 目录", true},
    {L"semi;colon & ampersand", true},
    {L"pipe | and > redirect", false},
    {L"$(touch pwned-dollar)", true},
    {L"`touch pwned-backtick`", true},
    {L"%PATH% and %APPDATA%", true},
    {L"quote\"d", false},
    {L"new\nline", false},
    // Bytes that are not UTF-8 (POSIX names only): the byte 0xFF as wide text.
    {L"r\xDCFFoot and upd\xDCFF", false},
    // A backslash that a quoted command-line argument would read as an escape
    // of its closing quote (POSIX names only).
    {L"ends in a backslash\\", false},
};

// The name as a layer that replaced bytes it could not decode would see it.
std::wstring Replaced(std::wstring name) {
  for (wchar_t& c : name) {
    if (c >= 0xDC80 && c <= 0xDCFF) c = 0xFFFD;
  }
  return name;
}

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    updater_ = testenv::InstallUpdater(temp_ / L"bin", true);
    testenv::WriteFile(temp_ / L"sibling/notes.txt", "the user's notes");
    sibling_ = testenv::TreeDigest(temp_ / L"sibling");
    testenv::MakeDirs(cwd_);
  }
  void TearDown() override {
    // Every client a run started, also one whose path is too long to be
    // found by name.
    Utils::KillProcessesByName(kClientProcessName);
    std::istringstream starts(testenv::ReadFile(client_log_));
    for (std::string line; std::getline(starts, line);) {
      if (line.empty() || line[0] < '0' || line[0] > '9') continue;  // a path's line break
      HANDLE client =
          OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(line)));
      if (client == nullptr) continue;
      TerminateProcess(client, 1);
      WaitForSingleObject(client, 10000);
      CloseHandle(client);
    }
  }

  static bool Creatable(const Hostile& hostile) {
#ifdef _WIN32
    return hostile.portable;
#else
    (void)hostile;
    return true;
#endif
  }

  // An install root with the old client and a staged new one.
  void Install(const std::wstring& root) {
    const InstallLayout layout(root);
    testenv::InstallStandIn(layout.client_exe);
    testenv::InstallStandIn(layout.staged_client_dir + kPathSeparator + kClientProcessName);
    testenv::WriteFile(layout.staged_client_dir + L"/version.txt", "2.0");
#ifndef _WIN32
    // A file whose name is not UTF-8, in the old client and in the new one.
    testenv::WriteFile(layout.client_dir + L"/old\xDCFE.dat", "old");
    testenv::WriteFile(layout.staged_client_dir + L"/new\xDCFE.dat", "new");
#endif
  }

  // Runs the updater in the test's current folder; the run's records.
  std::vector<std::string> Update(const std::wstring& zip, const std::wstring& root) {
    testenv::TempDir app_data(L"appdata");
    testenv::ScopedEnv env("APPDATA", app_data.path());
    testenv::RunResult run =
        testenv::Run({updater_, L"--unzip=" + zip, L"--root_dir=" + root, L"--pid=0"}, cwd_);
    EXPECT_EQ(run.exit_status, 0u) << "the run did not end normally";
    return ReadTodayLog(app_data.path());
  }

  // No shell ran anything, and nothing outside the install root changed.
  void ExpectContained() {
    std::error_code error;
    for (fs::recursive_directory_iterator it(ToFsPath(temp_.path()), error), end;
         !error && it != end; it.increment(error)) {
      EXPECT_EQ(it->path().filename().u8string().rfind("pwned", 0), std::string::npos)
          << "a shell ran: " << it->path().u8string();
    }
    EXPECT_EQ(testenv::TreeDigest(temp_ / L"sibling"), sibling_);
  }

  static bool Updated(const std::vector<std::string>& records) {
    return !records.empty() && records.back() == "I update finished 1\n";
  }

  testenv::TempDir temp_{L"hostile"};
  const std::wstring cwd_ = temp_ / L"cwd";
  testenv::BrowserRecorder browser_;
  const std::wstring client_log_ = temp_ / L"client-starts.txt";
  testenv::ScopedEnv client_log_env_{"ZIZARO_CLIENT_LOG", client_log_};
  std::wstring updater_;
  std::vector<std::string> sibling_;
};

TEST_F(HostileTest, InstallRootsWithCharactersThatAShellWouldRead) {
  for (const Hostile& hostile : kHostileNames) {
    SCOPED_TRACE(Utf8(hostile.name));
    const std::wstring root = temp_ / (L"roots/" + hostile.name);
    if (Creatable(hostile)) Install(root);
    std::vector<std::string> records = Update(L"", root);
    ASSERT_FALSE(records.empty());
    EXPECT_THAT(records, Contains("I update with pid:0,unzip: ," + Utf8(root)));
    // A quote would end the quoted client path of the relaunch early: such a
    // root (possible on POSIX only) is refused before anything is touched.
    const bool quoted = hostile.name.find(L'"') != std::wstring::npos;
    EXPECT_EQ(Updated(records), Creatable(hostile) && !quoted);
    if (Creatable(hostile)) {
      EXPECT_EQ(testenv::ReadFile(InstallLayout(root).client_dir + L"/version.txt"),
                quoted ? "" : "2.0");
      EXPECT_TRUE(testenv::Exists(InstallLayout(root).client_exe));
    }
    ExpectContained();
  }
}

TEST_F(HostileTest, ArchivePathsWithCharactersThatAShellWouldRead) {
  testenv::WriteFile(temp_ / L"pack/Client/version.txt", "2.0");
  testenv::InstallStandIn(temp_ / L"pack/Client/QXDazavAzir.exe");
  const std::wstring packed = temp_ / L"packed.7z";
  ASSERT_EQ(testenv::Run({testenv::BinFile(L"7z.exe"), L"a", L"-bso0", L"-bsp0", packed,
                          temp_ / L"pack/Client"})
                .exit_status,
            0u);
  const std::wstring root = temp_ / L"root";
  for (const Hostile& hostile : kHostileNames) {
    if (!Creatable(hostile)) continue;
    SCOPED_TRACE(Utf8(hostile.name));
    const std::wstring archive = temp_ / (L"archives/" + hostile.name + L".7z");
    testenv::CopyFile(packed, archive);
    // Beside it, the archive its name would be mistaken for if bytes were
    // replaced: never touched.
    const std::wstring decoy = temp_ / (L"archives/" + Replaced(hostile.name) + L".7z");
    if (decoy != archive) testenv::WriteFile(decoy, "decoy");
    Utils::KillProcessesByName(kClientProcessName);  // the client the last round started
    testenv::InstallStandIn(InstallLayout(root).client_exe);
    std::vector<std::string> records = Update(archive, root);
    // A quote cannot be passed inside the archiver's quoted argument: that
    // archive is not found, and it stays.
    const bool quoted = hostile.name.find(L'"') != std::wstring::npos;
    EXPECT_EQ(Updated(records), !quoted);
    EXPECT_EQ(testenv::Exists(archive), quoted);
    if (decoy != archive) {
      EXPECT_EQ(testenv::ReadFile(decoy), "decoy");
    }
    ExpectContained();
    fs::remove_all(ToFsPath(temp_ / L"archives"));
  }
  // An archive path that ends in a backslash (possible on POSIX only) cannot
  // go to the archiver in double quotes: refused, and kept.
  if (Creatable(Hostile{L"", false})) {
    const std::wstring archive = temp_ / L"archives/ends in a backslash\\";
    testenv::CopyFile(packed, archive);
    EXPECT_THAT(
        Update(archive, root),
        Contains("E update refused, path cannot be passed on a command line:" + Utf8(archive)));
    EXPECT_TRUE(testenv::Exists(archive));
  }
}

TEST_F(HostileTest, EmptyRelativeAndTrailingRoots) {
  // Empty, also once its quotes are removed: every path would be relative to
  // the current folder or the drive's root. Refused like a switch without a
  // value, and the client in the current folder is not touched.
  Install(cwd_);
  const std::vector<std::string> current_before = testenv::TreeDigest(cwd_);
  for (const wchar_t* empty : {L"", L"\"\""}) {
    testenv::TempDir app_data(L"appdata");
    testenv::ScopedEnv env("APPDATA", app_data.path());
    testenv::RunResult run = testenv::Run(
        {updater_, L"--unzip=", std::wstring(L"--root_dir=") + empty, L"--pid=0"}, cwd_);
    EXPECT_EQ(run.exit_status, testenv::ExitStatusOf(-1));
    EXPECT_THAT(ReadTodayLog(app_data.path(), "ERROR"),
                testing::ElementsAre("E root_dir is empty"));
  }
  EXPECT_EQ(testenv::TreeDigest(cwd_), current_before);
  ExpectContained();

  // Relative to the current folder: a whole update.
  Install(cwd_ + kPathSeparator + L"rel dir");
  EXPECT_TRUE(Updated(Update(L"", L"rel dir")));
  EXPECT_EQ(testenv::ReadFile(cwd_ + L"/rel dir/Client/version.txt"), "2.0");

  // A trailing separator.
  const std::wstring trailing = temp_ / L"trailing" + kPathSeparator;
  Install(trailing);
  EXPECT_TRUE(Updated(Update(L"", trailing)));
  EXPECT_EQ(testenv::ReadFile(trailing + L"Client/version.txt"), "2.0");
  ExpectContained();
}

TEST_F(HostileTest, TheRootOfTheFileSystemTouchesOnlyItsClientFolders) {
  const std::wstring root = FromFsPath(fs::absolute(ToFsPath(temp_.path())).root_path());
  const InstallLayout layout(root);
  if (testenv::Exists(layout.client_dir) || testenv::Exists(layout.staging_dir)) {
    GTEST_SKIP() << "this machine has a client at the root of its file system";
  }
  std::vector<std::string> records = Update(L"", root);
  EXPECT_FALSE(Updated(records));
  EXPECT_FALSE(testenv::Exists(layout.client_dir));
  EXPECT_FALSE(testenv::Exists(layout.staging_dir));
  ExpectContained();
}

TEST_F(HostileTest, LongRootsAndLinkedRoots) {
  std::wstring long_root = temp_ / L"long";
  while (long_root.size() < 300) long_root += kPathSeparator + std::wstring(40, L'l');
  Install(long_root);
  std::vector<std::string> records = Update(L"", long_root);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().rfind("I update finished ", 0), 0u);
  ExpectContained();

  const std::wstring real = temp_ / L"real root";
  Install(real);
  if (testenv::MakeFolderLink(temp_ / L"linked root", real)) {
    EXPECT_TRUE(Updated(Update(L"", temp_ / L"linked root")));
    EXPECT_EQ(testenv::ReadFile(real + L"/Client/version.txt"), "2.0");
    ExpectContained();
  }
}

class LargeTreeTest : public LoggedTest {
 protected:
  testenv::TempDir temp_{L"large"};
};

TEST_F(LargeTreeTest, FiftyThousandFilesAreMovedAndRemoved) {
  const std::wstring tree = temp_ / L"tree";
  for (int folder = 0; folder < 1000; ++folder) {
    const fs::path dir = ToFsPath(tree + kPathSeparator + L"d" + std::to_wstring(folder));
    fs::create_directories(dir);
    for (int file = 0; file < 50; ++file) std::ofstream(dir / ("f" + std::to_string(file))) << file;
  }
  EXPECT_NE(Utils::MoveDir(tree, temp_ / L"moved/tree"), 0);
  EXPECT_TRUE(Utils::RemoveAll(temp_ / L"moved/tree"));
  EXPECT_THAT(log_.Lines().back(), HasSubstr(",count:51001"));
  EXPECT_FALSE(testenv::Exists(temp_ / L"moved/tree"));
}

TEST_F(LargeTreeTest, TwoHundredLevelsAreMovedAndRemoved) {
  std::wstring deep = temp_ / L"deep";
  for (int level = 0; level < 200; ++level) deep += kPathSeparator + std::wstring(L"d");
  fs::create_directories(ToFsPath(deep));
  std::ofstream(ToFsPath(deep + kPathSeparator + L"leaf.txt")) << "leaf";
  testenv::SetReadOnly(deep + kPathSeparator + L"leaf.txt", true);
  EXPECT_NE(Utils::MoveDir(temp_ / L"deep", temp_ / L"moved"), 0);
  EXPECT_TRUE(Utils::RemoveAll(temp_ / L"moved"));
  EXPECT_THAT(log_.Lines().back(), HasSubstr(",count:202"));
  EXPECT_FALSE(testenv::Exists(temp_ / L"moved"));
}

}  // namespace
