// File operations on real folders: attributes, removal and moves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <sstream>

#include "platform/long_paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/entries.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

namespace {

namespace fs = std::filesystem;
using testenv::Utf8;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// A path as the removal record writes it (the test paths are ASCII).
std::string Quoted(const std::wstring& path) {
  std::ostringstream out;
  out << std::quoted(Utf8(path));
  return out.str();
}

std::string RemovalRecord(const std::wstring& path, int count) {
  return "I delete file result:" + std::string(count > 0 ? "1" : "0") + ",path:" + Quoted(path) +
         ",count:" + std::to_string(count);
}

class FilesTest : public LoggedTest {
 protected:
  // root/a.txt (read-only), root/sub/b.txt (read-only), root/sub/deep/c.txt,
  // root/empty/: seven entries with the root.
  std::wstring MakeTree(const std::wstring& relative) {
    const std::wstring root = temp_ / relative;
    testenv::WriteFile(root + L"/a.txt", "a");
    testenv::WriteFile(root + L"/sub/b.txt", "b");
    testenv::WriteFile(root + L"/sub/deep/c.txt", "c");
    testenv::MakeDirs(root + L"/empty");
    testenv::SetReadOnly(temp_ / (relative + L"/a.txt"), true);
    testenv::SetReadOnly(temp_ / (relative + L"/sub/b.txt"), true);
    return root;
  }

  testenv::TempDir temp_{L"files"};
};

// An identity names one entry: not a new entry that took a freed index, and
// the same entry of a volume attached again through another device.
TEST_F(FilesTest, AnIdentityNamesOneEntryOverTimeAndAttachments) {
#ifdef _WIN32
  GTEST_SKIP() << "under Wine a file index is the host's inode, without NTFS's sequence number";
#else
  const auto id_of = [](const std::wstring& path) {
    return IdentityOf(long_paths::ExtendedForm(path));
  };
  testenv::WriteFile(temp_ / L"first", "1");
  const EntryId first = id_of(temp_ / L"first");
  ASSERT_TRUE(first.known);
  fs::remove(ToFsPath(temp_ / L"first"));
  int reused = 0;
  for (int i = 0; i < 20; ++i) {
    const std::wstring next = temp_ / (L"next" + std::to_wstring(i));
    testenv::WriteFile(next, "2");
    const EntryId other = id_of(next);
    reused += other.index == first.index && other.volume == first.volume;
    EXPECT_NE(other, first);
  }
  RecordProperty("index reused", reused);
  // Two loop devices of one image, one after the other: each attach takes a
  // device of its own while the one before stays attached.
  const std::string image = testenv::Quoted(temp_ / L"volume.img");
  const std::string mount = testenv::Quoted(temp_ / L"mounted");
  const std::string attach = "mount \"$(losetup -f --show " + image + ")\" " + mount;
  if (geteuid() != 0 || !testenv::Shell("mkdir " + mount + " && truncate -s 8M " + image +
                                        " && mkfs.ext4 -q " + image + " && " + attach)) {
    GTEST_SKIP() << "no loop device can be made here";
  }
  testenv::WriteFile(temp_ / L"mounted/save.dat", "saved");
  const EntryId attached = id_of(temp_ / L"mounted/save.dat");
  EXPECT_TRUE(testenv::Shell("umount " + mount + " && " + attach));
  EXPECT_EQ(id_of(temp_ / L"mounted/save.dat"), attached);
  testenv::Shell("umount " + mount + "; losetup -j " + image +
                 " | cut -d: -f1 | xargs -r -n1 losetup -d");
#endif
}

TEST_F(FilesTest, IsDirectoryFollowsLinksAndNeverRaises) {
  testenv::WriteFile(temp_ / L"file.txt", "x");
  testenv::MakeDirs(temp_ / L"folder");
  EXPECT_TRUE(Utils::IsDirectory(temp_ / L"folder"));
  EXPECT_TRUE(Utils::IsDirectory(temp_.path() + kPathSeparator));
  EXPECT_FALSE(Utils::IsDirectory(temp_ / L"file.txt"));
  EXPECT_FALSE(Utils::IsDirectory(temp_ / L"missing"));
  EXPECT_FALSE(Utils::IsDirectory(temp_ / L"file.txt/below"));
  EXPECT_FALSE(Utils::IsDirectory(L""));
  if (!testenv::MakeFolderLink(temp_ / L"link", temp_ / L"folder")) {
    GTEST_SKIP() << "this system cannot make a folder link";
  }
  EXPECT_TRUE(Utils::IsDirectory(temp_ / L"link"));
}

TEST_F(FilesTest, ClearReadOnlyClearsFilesOnlyAndNeverFolders) {
  const std::wstring root = MakeTree(L"tree");
  testenv::SetReadOnly(temp_ / L"tree/empty", true);
  // Wine keeps no read-only attribute on folders; Windows and POSIX do.
  const bool folder_attribute_kept = testenv::IsReadOnly(temp_ / L"tree/empty");
  EXPECT_TRUE(folder_attribute_kept || testenv::RunningUnderWine());
  EXPECT_TRUE(Utils::ClearReadOnlyRecursive(root));
  EXPECT_FALSE(testenv::IsReadOnly(temp_ / L"tree/a.txt"));
  EXPECT_FALSE(testenv::IsReadOnly(temp_ / L"tree/sub/b.txt"));
  EXPECT_FALSE(testenv::IsReadOnly(temp_ / L"tree/sub/deep/c.txt"));
  EXPECT_EQ(testenv::IsReadOnly(temp_ / L"tree/empty"), folder_attribute_kept);
  EXPECT_FALSE(Utils::ClearReadOnlyRecursive(temp_ / L"missing"));
  EXPECT_FALSE(Utils::ClearReadOnlyRecursive(temp_ / L"tree/a.txt"));
  EXPECT_THAT(log_.Lines(), IsEmpty());
  testenv::SetReadOnly(temp_ / L"tree/empty", false);
}

TEST_F(FilesTest, RemoveAllCountsWhatItRemoved) {
  EXPECT_FALSE(Utils::RemoveAll(temp_ / L"missing"));
  testenv::WriteFile(temp_ / L"single.txt", "x");
  EXPECT_TRUE(Utils::RemoveAll(temp_ / L"single.txt"));
  const std::wstring root = MakeTree(L"tree");
#ifndef _WIN32
  // Removal on POSIX needs writable folders: this one is not.
  testenv::SetReadOnly(temp_ / L"tree/sub", true);
#endif
  EXPECT_TRUE(Utils::RemoveAll(root));
  EXPECT_FALSE(testenv::Exists(root));
  EXPECT_THAT(log_.Lines(),
              ElementsAre(RemovalRecord(temp_ / L"missing", 0),
                          RemovalRecord(temp_ / L"single.txt", 1), RemovalRecord(root, 7)));
}

TEST_F(FilesTest, RemoveAllNeverLeavesTheTreeItRemoves) {
  const std::wstring outside = temp_ / L"outside";
  testenv::WriteFile(outside + L"/kept.txt", "kept");
  testenv::WriteFile(outside + L"/plain.txt", "plain");
  testenv::SetReadOnly(temp_ / L"outside/kept.txt", true);
  const std::vector<std::string> before = testenv::TreeDigest(outside);
  const std::wstring root = temp_ / L"tree";
  // Linux, as root, in the suite's own mount namespace.
  auto bind = [&](const std::wstring& at) {
    testenv::MakeDirs(at);
#ifdef _WIN32
    return false;
#else
    return testenv::Shell("mount --bind " + testenv::Quoted(outside) + " " + testenv::Quoted(at));
#endif
  };
  // Another process swaps a folder of the tree for a link to `outside` and
  // back, a millisecond in each state, while the removal runs, until told to
  // stop (under Wine a host process, since Wine makes no links).
  const std::wstring stop = temp_ / L"stop";
  bool swapping = false;
  auto swap = [&] {
    testenv::WriteFile(root + L"/sub/swap/inner.txt", "inner");
    for (const wchar_t* marker : {L".started", L".ended"}) fs::remove(ToFsPath(stop + marker));
    swapping = testenv::StartHostProgram(
        {L"/usr/bin/perl", L"-e",
         L"my ($d, $a, $o, $s) = @ARGV; open(F, '>', \"$s.started\"); close F;"
         L"for (my $i = 0; $i < 10000 && !-e $s; ++$i) {"
         L" rename($d, $a) or last; symlink($o, $d); select(undef, undef, undef, 0.001);"
         L" unlink($d); rename($a, $d) or last; select(undef, undef, undef, 0.001); }"
         L"open(F, '>', \"$s.ended\");",
         testenv::HostPath(root + L"/sub/swap"), testenv::HostPath(temp_ / L"aside"),
         testenv::HostPath(outside), testenv::HostPath(stop)});
    return swapping &&
           testenv::WaitUntil([&] { return testenv::Exists(stop + L".started"); }, 10000);
  };
  struct Row {
    const char* name;
    std::function<bool()> set_up;
    int rounds;
    bool removed;  // on Linux; Wine cannot remove a host link to a folder
  };
  const Row rows[] = {
      {"a folder link in the tree",
       [&] { return testenv::MakeFolderLink(root + L"/sub/link", outside); }, 1, true},
      {"a bind mount in the tree", [&] { return bind(root + L"/sub/mount"); }, 1, false},
      {"the tree itself a bind mount", [&] { return bind(root); }, 1, false},
      {"a folder swapped for a link during the removal", swap, 50, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (int round = 0; round < row.rounds; ++round) {
      MakeTree(L"tree");
      log_.Clear();
      fs::remove(ToFsPath(stop));
      const bool set_up = row.set_up();
      if (round == 0) RecordProperty(row.name, set_up ? "run" : "not set up here");
      const bool removed = set_up && Utils::RemoveAll(root);
      testenv::WriteFile(stop, "");
      if (swapping) testenv::WaitUntil([&] { return testenv::Exists(stop + L".ended"); }, 10000);
#ifndef _WIN32
      testenv::Shell("umount -l " + testenv::Quoted(root + L"/sub/mount") + " " +
                     testenv::Quoted(root));
#endif
      EXPECT_EQ(testenv::TreeDigest(outside), before);
      if (set_up && row.rounds == 1) {
        EXPECT_EQ(removed, row.removed && !testenv::RunningUnderWine());
        EXPECT_EQ(testenv::Exists(root), !removed);
      }
      if (set_up && row.rounds == 1 && !row.removed) {
        EXPECT_THAT(
            log_.Lines(),
            Contains(MatchesPattern("E error happened:.*on another volume, not entered.*")));
      }
      testenv::RemoveTree(root);
      testenv::RemoveTree(temp_ / L"aside");
    }
  }
  EXPECT_TRUE(testenv::IsReadOnly(temp_ / L"outside/kept.txt"));
  testenv::SetReadOnly(temp_ / L"outside/kept.txt", false);
}

TEST_F(FilesTest, RemoveAllOfALinkItselfLeavesWhatItLeadsTo) {
  testenv::WriteFile(temp_ / L"outside/kept.txt", "kept");
  testenv::SetReadOnly(temp_ / L"outside/kept.txt", true);
  if (!testenv::MakeFolderLink(temp_ / L"link", temp_ / L"outside")) {
    GTEST_SKIP() << "this system cannot make a folder link";
  }
  const bool removed = Utils::RemoveAll(temp_ / L"link");
  EXPECT_EQ(testenv::ReadFile(temp_ / L"outside/kept.txt"), "kept");
  EXPECT_TRUE(testenv::IsReadOnly(temp_ / L"outside/kept.txt"));
  // Wine cannot remove a host link to a folder; elsewhere the link goes.
  EXPECT_EQ(removed, !testenv::RunningUnderWine());
  EXPECT_NE(testenv::Exists(temp_ / L"link"), removed);
  testenv::SetReadOnly(temp_ / L"outside/kept.txt", false);
}

TEST_F(FilesTest, RemoveAllThatMeetsAFileItCannotRemoveCountsWhatItRemoved) {
  const std::wstring root = MakeTree(L"tree");
  const std::wstring locked = temp_ / L"tree/sub/deep/c.txt";
#ifdef _WIN32
  // Held open without delete sharing.
  HANDLE hold = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
#else
  // Immutable: not even root may remove it.
  if (!testenv::Shell("chattr +i " + testenv::Quoted(locked))) {
    GTEST_SKIP() << "this file system cannot make a file immutable (chattr +i)";
  }
#endif
  EXPECT_FALSE(Utils::RemoveAll(root));
#ifdef _WIN32
  CloseHandle(hold);
#else
  testenv::Shell("chattr -i " + testenv::Quoted(locked));
#endif
  // a.txt, empty/ and sub/b.txt went before it; the walk stops at it.
  EXPECT_THAT(log_.Lines(),
              ElementsAre(MatchesPattern("E error happened:.*cannot remove all.*c.txt.*"),
                          "I delete file result:0,path:" + Quoted(root) + ",count:3"));
  EXPECT_TRUE(testenv::Exists(locked));
}

class MoveDirTest : public FilesTest {};

TEST_F(MoveDirTest, MissingSourceMovesAndCreatesNothing) {
  EXPECT_EQ(Utils::MoveDir(temp_ / L"missing", temp_ / L"new/parent/dst"), 0);
  testenv::WriteFile(temp_ / L"file.txt", "x");
  EXPECT_EQ(Utils::MoveDir(temp_ / L"file.txt", temp_ / L"new/parent/dst"), 0);
  EXPECT_FALSE(testenv::Exists(temp_ / L"new"));
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_F(MoveDirTest, ExistingDestinationIsRemovedThenReplaced) {
  MakeTree(L"old");
  testenv::WriteFile(temp_ / L"new/client.txt", "new");
  EXPECT_NE(Utils::MoveDir(temp_ / L"new", temp_ / L"old"), 0);
  EXPECT_EQ(testenv::ListTree(temp_ / L"old"), std::vector<std::string>{"client.txt"});
  EXPECT_FALSE(testenv::Exists(temp_ / L"new"));
  EXPECT_THAT(log_.Lines(), ElementsAre(RemovalRecord(temp_ / L"old", 7)));
}

TEST_F(MoveDirTest, MissingParentChainIsCreated) {
  testenv::WriteFile(temp_ / L"src/x.txt", "x");
  EXPECT_NE(Utils::MoveDir(temp_ / L"src", temp_ / L"a/b/c/dst"), 0);
  EXPECT_EQ(testenv::ReadFile(temp_ / L"a/b/c/dst/x.txt"), "x");
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_F(MoveDirTest, DestinationThatIsAFileIsNotRemovedAndTheFailureIsRecorded) {
  if (testenv::RunningUnderWine()) {
    GTEST_SKIP() << "Wine lets a folder replace a file, which Windows refuses";
  }
  testenv::WriteFile(temp_ / L"src/x.txt", "x");
  testenv::WriteFile(temp_ / L"dst", "a file");
  EXPECT_EQ(Utils::MoveDir(temp_ / L"src", temp_ / L"dst"), 0);
  EXPECT_EQ(testenv::ReadFile(temp_ / L"dst"), "a file");
  EXPECT_THAT(log_.Lines(), ElementsAre("E move file failed,src path:" + Utf8(temp_ / L"src") +
                                        " dst path:" + Utf8(temp_ / L"dst") + " getlasterror:5"));
}

TEST_F(MoveDirTest, DestinationHoldingOrInsideTheSourceChangesNothing) {
  const std::wstring root = temp_ / L"root";
  const std::wstring source = temp_ / L"root/qxcg_update_tmp/Client";
  testenv::WriteFile(source + L"/QXDazavAzir.exe", "new client");
  const std::vector<std::string> before = testenv::ListTree(root);
  fs::path old_current = fs::current_path();
  fs::current_path(ToFsPath(temp_.path()));
  std::vector<std::wstring> destinations = {
      root,
      root + kPathSeparator,
      temp_ / L"root/qxcg_update_tmp",
      temp_.path(),
      source,
      source + kPathSeparator + L"inner",
      L"root",
      L"root/qxcg_update_tmp/..",
      // Extended-length and device forms name the same folders.
      L"\\\\?\\" + root,
      L"\\\\.\\" + root,
      L"\\\\?\\" + temp_.path(),
  };
#ifdef _WIN32
  destinations.push_back(temp_ / L"ROOT");
  destinations.push_back(temp_ / L"Root/QXCG_UPDATE_TMP/client");
#endif
  for (const std::wstring& destination : destinations) {
    log_.Clear();
    EXPECT_EQ(Utils::MoveDir(source, destination), 0) << Utf8(destination);
    ASSERT_TRUE(testenv::Exists(root)) << Utf8(destination);
    EXPECT_EQ(testenv::ListTree(root), before) << Utf8(destination);
    EXPECT_THAT(log_.Lines(), ElementsAre("W move refused, destination overlaps "
                                          "source,src path:" +
                                          Utf8(source) + " dst path:" + Utf8(destination)));
  }
  fs::current_path(old_current);
  EXPECT_EQ(testenv::ReadFile(source + L"/QXDazavAzir.exe"), "new client");
}

}  // namespace
