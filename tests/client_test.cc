// Ending the old client until its executable could go, with a real client,
// and removing a client tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testenv::Utf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class StopAndRemoveClientTest : public LoggedTest {
 protected:
  testenv::TempDir temp_{L"client root"};
  const std::wstring root_ = temp_.path();
  const InstallLayout layout_{root_};
  const std::wstring exe_ = layout_.client_exe;
};

TEST_F(StopAndRemoveClientTest, RunningClientIsEndedAndItsExecutableKept) {
  testenv::InstallStandIn(exe_);
  PROCESS_INFORMATION client = testenv::StartProgram(exe_);
  EXPECT_TRUE(StopAndRemoveClient(layout_));
  EXPECT_THAT(log_.OwnLines(),
              ElementsAre("I will kill:" + Utf8(exe_),
                          "I Terminate Process pid = " + std::to_string(client.dwProcessId),
                          "I 1 process killed,QXDazavAzir.exe",
                          "I can remove " + Utf8(exe_) + " result:1,ec:0"));
  EXPECT_TRUE(testenv::Exists(exe_));
  EXPECT_EQ(testenv::WaitExit(client.hProcess, 10000), 0u);
  testenv::Stop(&client);
}

TEST_F(StopAndRemoveClientTest, NothingRunningAndNoExecutableSucceedsAtOnce) {
  EXPECT_TRUE(StopAndRemoveClient(layout_));
  EXPECT_THAT(log_.OwnLines(), ElementsAre("I 0 process killed,QXDazavAzir.exe",
                                           "W kill QXDazavAzir.exe failed or no such Process"));
}

TEST_F(StopAndRemoveClientTest, AnExecutableThatCannotBeRemovedFailsAfterFiftyAttempts) {
  // A non-empty folder under the executable's name resists removal, even for root.
  testenv::WriteFile(exe_ + L"/keep.txt", "keep");
  EXPECT_FALSE(StopAndRemoveClient(layout_));
  std::vector<std::string> expected;
  for (int attempt = 0; attempt < 50; ++attempt) {
    expected.push_back("I 0 process killed,QXDazavAzir.exe");
    expected.push_back("W kill QXDazavAzir.exe failed or no such Process");
    expected.push_back("I can remove " + Utf8(exe_) +
                       " result:0,ec:" + std::to_string(ERROR_ACCESS_DENIED));
    expected.push_back("W delete file  QXDazavAzir.exe failed ");
  }
  expected.push_back("E enforce kill process and delete QXDazavAzir.exe failed");
  EXPECT_THAT(log_.OwnLines(), ElementsAreArray(expected));
  EXPECT_EQ(testenv::ReadFile(exe_ + L"/keep.txt"), "keep");
}

// The executable stays, read-only where it was; only a running client's
// file cannot go.
TEST_F(StopAndRemoveClientTest, ClientExeCanGoReportsWhatItFound) {
  EXPECT_TRUE(ClientExeCanGo(layout_));  // nothing there: no record
  testenv::InstallStandIn(exe_);
  testenv::SetReadOnly(exe_, true);
  EXPECT_TRUE(ClientExeCanGo(layout_));
  EXPECT_TRUE(testenv::IsReadOnly(exe_));
  testenv::SetReadOnly(exe_, false);
  PROCESS_INFORMATION client = testenv::StartProgram(exe_);
  ASSERT_TRUE(testenv::WaitUntil([&] { return testenv::IsRunning(client.dwProcessId); }, 5000));
  Sleep(200);  // the program has been loaded from its file
  EXPECT_FALSE(ClientExeCanGo(layout_));
  testenv::Stop(&client);
  EXPECT_THAT(log_.OwnLines(), ElementsAre("I can remove " + Utf8(exe_) + " result:1,ec:0",
                                           "I can remove " + Utf8(exe_) + " result:0,ec:" +
                                               std::to_string(ERROR_SHARING_VIOLATION)));
}

// Every file of a client tree carries the execute bit (on POSIX): the
// removal takes them all but the file of a program that runs, which it
// refuses (error 5) as Windows does, and takes once it has ended.
TEST_F(StopAndRemoveClientTest, ARemovalTakesEveryFileButARunningProgramsOwn) {
  const std::wstring tree = temp_ / L"tree";
  const std::wstring running = tree + L"/bin/QXDazavAzir.exe";
  const std::wstring copy = tree + L"/bin/copy of the client.exe";
  testenv::InstallStandIn(running);
  testenv::InstallStandIn(copy);
  for (int i = 0; i < 40; ++i) {
    const std::wstring file =
        tree + L"/lib " + std::to_wstring(i % 4) + L"/part" + std::to_wstring(i) + L".dll";
    testenv::WriteFile(file, "part");
    std::filesystem::permissions(ToFsPath(file), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
  }
  PROCESS_INFORMATION client = testenv::StartProgram(running);
  ASSERT_TRUE(testenv::WaitUntil([&] { return testenv::IsRunning(client.dwProcessId); }, 5000));
  Sleep(200);  // the program has been loaded from its file
  EXPECT_FALSE(DeleteFileW(running.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(DeleteFileW(copy.c_str())) << GetLastError();
  EXPECT_FALSE(Utils::RemoveAll(tree));
  EXPECT_THAT(testenv::ListTree(tree), testing::Contains("bin/QXDazavAzir.exe"));
  testenv::Stop(&client);
  ASSERT_TRUE(testenv::WaitUntil([&] { return Utils::RemoveAll(tree); }, 5000));
  EXPECT_FALSE(testenv::Exists(tree));
}

// The file of a program that another user runs is refused as well, though
// this user cannot see which program that process runs (Windows refuses
// whoever runs it).
TEST_F(StopAndRemoveClientTest, AProgramThatAnotherUserRunsIsRefusedToo) {
#ifdef _WIN32
  GTEST_SKIP() << "every process under Wine is of one user";
#else
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const uid_t other = 65534;
  const std::wstring home = temp_ / L"home";
  const std::wstring program = home + L"/QXDazavAzir.exe";
  const std::wstring copy = home + L"/copy of the client.exe";
  testenv::InstallStandIn(program);
  testenv::InstallStandIn(copy);
  for (const std::wstring& path : {home, program, copy}) {
    ASSERT_EQ(chown(ToFsPath(path).c_str(), other, other), 0);
  }
  // Deletes `path` as the other user; the error, 0 when deleted.
  auto delete_as_other = [&](const std::wstring& path) {
    EXPECT_EQ(setegid(other), 0);
    EXPECT_EQ(seteuid(other), 0);
    const DWORD error = DeleteFileW(path.c_str()) ? 0 : GetLastError();
    EXPECT_EQ(seteuid(0), 0);
    EXPECT_EQ(setegid(0), 0);
    return error;
  };
  PROCESS_INFORMATION client = testenv::StartProgram(program);  // run by root
  ASSERT_TRUE(testenv::WaitUntil([&] { return testenv::IsRunning(client.dwProcessId); }, 5000));
  Sleep(200);                              // the program has been loaded from its file
  EXPECT_TRUE(DeleteFileW(copy.c_str()));  // nobody runs it
  EXPECT_EQ(delete_as_other(program), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  testenv::Stop(&client);
  EXPECT_EQ(delete_as_other(program), 0u);
  EXPECT_FALSE(testenv::Exists(program));
#endif
}

// A folder that refuses its owner the listing, the search or the writing is
// opened up as the removal meets it, as Windows removes a tree whatever its
// folders' attributes. (Permission bits do not stop root: root removes the
// tree as another user who owns it.)
TEST_F(StopAndRemoveClientTest, FoldersRefusingTheirOwnerAreOpenedUpForTheRemoval) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows folders have no owner's rights to take away here";
#else
  const std::wstring home = temp_ / L"home";
  const std::wstring tree = home + L"/Client";
  struct Folder {
    const wchar_t* path;
    mode_t mode;
  };
  const Folder folders[] = {{L"/none", 0000},        {L"/none/inner", 0000},
                            {L"/search only", 0100}, {L"/read only", 0400},
                            {L"/no writing", 0500},  {L"/no writing/inner", 0300}};
  for (const Folder& folder : folders) testenv::WriteFile(tree + folder.path + L"/file", "x");
  const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
  if (geteuid() == 0) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(ToFsPath(home))) {
      ASSERT_EQ(lchown(entry.path().c_str(), owner, owner), 0);
    }
    ASSERT_EQ(lchown(ToFsPath(home).c_str(), owner, owner), 0);
  }
  // Inner folders first, while the outer ones can still be searched.
  for (auto folder = std::rbegin(folders); folder != std::rend(folders); ++folder) {
    ASSERT_EQ(chmod(ToFsPath(tree + folder->path).c_str(), folder->mode), 0);
  }
  bool removed = false;
  if (geteuid() == 0) {
    ASSERT_EQ(setegid(owner), 0);
    ASSERT_EQ(seteuid(owner), 0);
    removed = Utils::RemoveAll(tree);
    ASSERT_EQ(seteuid(0), 0);
    ASSERT_EQ(setegid(0), 0);
  } else {
    removed = Utils::RemoveAll(tree);
  }
  EXPECT_TRUE(removed);
  EXPECT_FALSE(testenv::Exists(tree));
#endif
}

}  // namespace
