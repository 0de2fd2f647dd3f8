// The update steps and the whole procedure, on real folders, with the real
// 7-Zip and real client processes.
#include "update/update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/switch_over.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

namespace {

using testenv::Utf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;

// The archiver beside the running program.
std::wstring Archiver() { return Utils::GetExeDirFilePath(L"7z.exe"); }

// Packs `folder` (as its own name, with everything in it) into `archive`.
void MakeArchive(const std::wstring& archive, const std::wstring& folder) {
  testenv::RunResult run = testenv::Run({Archiver(), L"a", L"-bso0", L"-bsp0", archive, folder});
  ASSERT_EQ(run.exit_status, 0u) << "7-Zip could not pack " << Utf8(folder);
}

class UpdateTest : public LoggedTest {
 protected:
  void TearDown() override {
    // Whatever a test started as the client is ended.
    Utils::KillProcessesByName(kClientProcessName);
    LoggedTest::TearDown();
  }

  // The pids of the clients started so far (each start records one line).
  std::vector<std::string> ClientStarts() const {
    std::vector<std::string> lines;
    std::istringstream in(testenv::ReadFile(client_log_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Waits for a client start from `exe`.
  bool ClientStartedFrom(const std::wstring& exe) const {
    return testenv::WaitUntil(
        [&] {
          for (const std::string& line : ClientStarts()) {
            if (line.find("\t" + Utf8(exe) + "\t") != std::string::npos) return true;
          }
          return false;
        },
        5000);
  }

  // A new client, ready to be packed or promoted: the stand-in as the client
  // executable, a data file, and a firewall script that leaves a mark.
  void MakeNewClient(const std::wstring& client_dir) {
    testenv::InstallStandIn(client_dir + kPathSeparator + kClientProcessName);
    testenv::WriteFile(client_dir + L"/data/version.txt", "2.0");
  }

  testenv::TempDir temp_{L"update"};
  const std::wstring client_log_ = temp_ / L"client-starts.txt";
  testenv::ScopedEnv client_log_env_{"ZIZARO_CLIENT_LOG", client_log_};
};

TEST_F(UpdateTest, ExtractionOverwritesItsFolderAndKeepsTheArchive) {
  const std::wstring root = temp_ / L"根 目录 root";
  testenv::WriteFile(root + L"/Client/data/version.txt", "1.0");
  testenv::WriteFile(root + L"/Client/keep.txt", "kept");
  MakeNewClient(temp_ / L"pack/Client");
  const std::wstring archive = temp_ / L"downloads 下载/update.7z";
  testenv::MakeDirs(temp_ / L"downloads 下载");
  MakeArchive(archive, temp_ / L"pack/Client");

  EXPECT_TRUE(ExtractArchive(root, archive));
  EXPECT_EQ(testenv::ReadFile(root + L"/Client/data/version.txt"), "2.0");
  EXPECT_EQ(testenv::ReadFile(root + L"/Client/keep.txt"), "kept");
  EXPECT_TRUE(testenv::Exists(archive));
  const std::string command =
      "\"" + Utf8(Archiver()) + "\" x \"" + Utf8(archive) + "\" -aoa -o\"" + Utf8(root) + "\" -p-";
  EXPECT_THAT(log_.Lines(), ElementsAre("I launch 7z vaild:1 cmd:" + command, "I wait result1",
                                        "I 7z exit with code:0,ret:1"));
}

TEST_F(UpdateTest, OutputFolderEndingInASeparatorIsPassedAsItIs) {
  MakeNewClient(temp_ / L"pack/Client");
  const std::wstring archive = temp_ / L"update.7z";
  MakeArchive(archive, temp_ / L"pack/Client");
  const std::wstring root = temp_ / L"root" + kPathSeparator;
  testenv::MakeDirs(root);
  EXPECT_TRUE(ExtractArchive(root, archive));
  ASSERT_THAT(log_.Lines(), SizeIs(3u));
  EXPECT_THAT(log_.Lines()[0], HasSubstr(" -o\"" + Utf8(root) + "\" -p-"));
  EXPECT_EQ(testenv::ReadFile(root + L"Client/data/version.txt"), "2.0");
}

TEST_F(UpdateTest, DamagedArchiveFailsAndIsKept) {
  const std::wstring archive = temp_ / L"damaged.7z";
  testenv::WriteFile(archive, "this is not an archive");
  const std::wstring root = temp_ / L"root";
  testenv::MakeDirs(root);
  EXPECT_FALSE(ExtractArchive(root, archive));
  EXPECT_EQ(testenv::ReadFile(archive), "this is not an archive");
  std::vector<std::string> lines = log_.Lines();
  ASSERT_THAT(lines, SizeIs(3u));
  EXPECT_EQ(lines[1], "I wait result1");
  EXPECT_THAT(lines[2], MatchesPattern("I 7z exit with code:[1-9][0-9]*,ret:1"));
}

TEST_F(UpdateTest, UninstallScriptIsWaitedForAndFirewallScriptIsNot) {
  const std::wstring root = temp_ / L"root";
  const InstallLayout layout(root);
  const std::wstring pause = testenv::BinFile(testenv::ExeName(L"stand_in_client"));
  struct Row {
    std::wstring script;
    bool (*run)(const InstallLayout&);
    bool waited;
  };
  for (const Row& row : {Row{layout.uninstall_script, &RunUninstallBat, true},
                         Row{layout.firewall_script, &RunInstallFirewallBat, false}}) {
    SCOPED_TRACE(Utf8(row.script));
    log_.Clear();
    const std::wstring marker = row.script + L".done";
    // The script takes a while (a stand-in that ends after 500 ms), then marks.
#ifdef _WIN32
    testenv::WriteFile(row.script, "@echo off\r\nstart /wait \"\" \"" + Utf8(pause) +
                                       "\" --exit-after=500\r\necho done> \"" + Utf8(marker) +
                                       "\"\r\n");
#else
    testenv::WriteFile(row.script, "\"" + Utf8(pause) + "\" --exit-after=500\necho done > \"" +
                                       Utf8(marker) + "\"\n");
#endif
    EXPECT_TRUE(row.run(layout));
    EXPECT_EQ(testenv::Exists(marker), row.waited);
    EXPECT_THAT(log_.Lines(), ElementsAre("I bat full path:" + Utf8(row.script),
                                          MatchesPattern("I new launch handle:[0-9A-F]{8,}")));
    EXPECT_THAT(log_.Lines()[1], Not(HasSubstr("handle:00000000")));
    EXPECT_TRUE(testenv::WaitUntil([&] { return testenv::Exists(marker); }, 10000));
  }
  // A script that outlasts the wait: a warning, and the update goes on.
  log_.Clear();
  EXPECT_TRUE(RunBatFile(layout.uninstall_script, 100));
  EXPECT_THAT(log_.Lines().back(),
              "W script still running after 100 ms:" + Utf8(layout.uninstall_script));
}

TEST_F(UpdateTest, MissingScriptIsRecordedWithTheSystemError) {
  const std::wstring root = temp_ / L"root";
  EXPECT_FALSE(RunInstallFirewallBat(InstallLayout(root)));
  EXPECT_THAT(log_.Lines(),
              ElementsAre("I bat full path:" + Utf8(InstallLayout(root).firewall_script),
                          MatchesPattern("E Shell ExecutedEx failed:[0-9]+,"
                                         "hAppInsance:00000002")));
}

TEST_F(UpdateTest, PromotionMovesTheStagedClientIntoPlace) {
  const std::wstring root = temp_ / L"root";
  const InstallLayout layout(root);
  MakeNewClient(layout.staged_client_dir);
  testenv::WriteFile(layout.client_dir + L"/old.txt", "old");
  const std::vector<std::string> staged = testenv::ListTree(layout.staged_client_dir);

  // Into the root itself, or into a client folder that stands: refused,
  // nothing emptied, nothing changes.
  const std::string from = ",from:" + Utf8(layout.staged_client_dir);
  EXPECT_FALSE(PromoteStagingDir(layout, false));
  EXPECT_FALSE(PromoteStagingDir(layout, true));
  EXPECT_EQ(testenv::ListTree(layout.staged_client_dir), staged);
  EXPECT_EQ(testenv::ReadFile(layout.client_dir + L"/old.txt"), "old");
  EXPECT_THAT(
      log_.Lines(),
      ElementsAre(HasSubstr("getlasterror:183"), "I move result:0" + from + ",to:" + Utf8(root),
                  HasSubstr("getlasterror:183"),
                  "I move result:0" + from + ",to:" + Utf8(layout.client_dir)));
  // Into the client folder once it is gone: the staged one takes its name.
  log_.Clear();
  testenv::RemoveTree(layout.client_dir);
  EXPECT_TRUE(PromoteStagingDir(layout, true));
  EXPECT_EQ(testenv::ListTree(layout.client_dir), staged);
  EXPECT_TRUE(testenv::Exists(layout.staging_dir));
  EXPECT_FALSE(testenv::Exists(layout.staged_client_dir));
  EXPECT_THAT(log_.Lines(),
              ElementsAre("I move result:1" + from + ",to:" + Utf8(layout.client_dir)));
  // Nothing staged any more: nothing happens.
  log_.Clear();
  EXPECT_FALSE(PromoteStagingDir(layout, true));
  EXPECT_THAT(log_.Lines(),
              ElementsAre(HasSubstr("getlasterror:2"),
                          "I move result:0" + from + ",to:" + Utf8(layout.client_dir)));
  EXPECT_EQ(testenv::ListTree(layout.client_dir), staged);
}

TEST_F(UpdateTest, PromotionFromARootEndingInASeparatorJoinsOnce) {
  const std::wstring root = temp_ / L"root" + kPathSeparator;
  MakeNewClient(InstallLayout(root).staged_client_dir);
  EXPECT_TRUE(PromoteStagingDir(InstallLayout(root), true));
  EXPECT_THAT(log_.Lines(),
              ElementsAre("I move result:1,from:" + Utf8(temp_ / L"root/qxcg_update_tmp/Client") +
                          ",to:" + Utf8(temp_ / L"root/Client")));
}

// Whole runs of the procedure, with the old client running.
class RunUpdateTest : public UpdateTest {
 protected:
  // The old client: one copy that ends by itself while the updater waits
  // for it (its id is the one handed over), one that has to be ended.
  void StartOldClient(const std::wstring& root) {
    const std::wstring exe = InstallLayout(root).client_exe;
    testenv::InstallStandIn(exe);
    waited_ = testenv::StartProgram(exe, {L"--exit-after=300"});
    lingering_ = testenv::StartProgram(exe);
  }
  void TearDown() override {
    testenv::Stop(&waited_);
    testenv::Stop(&lingering_);
    UpdateTest::TearDown();
  }

  std::vector<std::string> LinesWith(const std::string& text) const {
    std::vector<std::string> selected;
    for (const std::string& line : log_.OwnLines()) {
      if (line.find(text) != std::string::npos) selected.push_back(line);
    }
    return selected;
  }

  PROCESS_INFORMATION waited_ = {};
  PROCESS_INFORMATION lingering_ = {};
};

TEST_F(RunUpdateTest, ArchiveBranchEndsWithTheNewClientRunning) {
  const std::wstring root = temp_ / L"install root";
  StartOldClient(root);
  MakeNewClient(temp_ / L"pack/Client");
  const std::wstring archive = temp_ / L"update.7z";
  MakeArchive(archive, temp_ / L"pack/Client");

  EXPECT_TRUE(RunUpdate(static_cast<int32_t>(waited_.dwProcessId), InstallLayout(root), archive));
  EXPECT_EQ(testenv::WaitExit(lingering_.hProcess, 10000), 0u);
  EXPECT_TRUE(ClientStartedFrom(InstallLayout(root).client_exe));
  EXPECT_EQ(testenv::ReadFile(root + L"/Client/data/version.txt"), "2.0");
  EXPECT_FALSE(testenv::Exists(archive));
  EXPECT_THAT(LinesWith("wait result"),
              ElementsAre("I wait result1", "I wait result1", "I wait result1"));
  EXPECT_THAT(LinesWith("process killed"), ElementsAre("I 1 process killed,QXDazavAzir.exe"));
  EXPECT_THAT(
      LinesWith("launch process vaild:"),
      ElementsAre("I launch process vaild:1 path:" + Utf8(InstallLayout(root).relaunch_command)));
  // The client folder was switched whole; the run's folder went after the start.
  EXPECT_THAT(LinesWith("switch over result:"),
              ElementsAre(MatchesPattern("I switch over result:1,moved:1,replaced:1,to:.*")));
  EXPECT_THAT(log_.Lines().back(), HasSubstr("I delete file result:1"));
  EXPECT_FALSE(testenv::Exists(InstallLayout(root).staging_dir));
}

TEST_F(RunUpdateTest, StagingBranchEndsWithTheNewClientRunning) {
  const std::wstring root = temp_ / L"install root";
  const InstallLayout layout(root);
  StartOldClient(root);
  testenv::WriteFile(layout.client_dir + L"/old.txt", "old");
  MakeNewClient(layout.staged_client_dir);
  const std::vector<std::string> staged = testenv::ListTree(layout.staged_client_dir);

  EXPECT_TRUE(RunUpdate(static_cast<int32_t>(waited_.dwProcessId), layout, L""));
  EXPECT_EQ(testenv::ListTree(layout.client_dir), staged);
  EXPECT_TRUE(ClientStartedFrom(layout.client_exe));
  // The client folder went aside at the first try, the staged one took its
  // place at the first, and the old copy went once the new client had started.
  EXPECT_THAT(LinesWith("set aside result:"), ElementsAre(HasSubstr("set aside result:1")));
  EXPECT_THAT(LinesWith("move result:"),
              ElementsAre("I move result:1,from:" + Utf8(layout.staged_client_dir) +
                          ",to:" + Utf8(layout.client_dir)));
  EXPECT_THAT(log_.Lines().back(), HasSubstr("I delete file result:1"));
  EXPECT_THAT(testenv::ListTree(layout.staging_dir), IsEmpty());
}

TEST_F(RunUpdateTest, ExecutableThatCannotBeRemovedStopsTheRun) {
  const std::wstring root = temp_ / L"root";
  testenv::WriteFile(InstallLayout(root).client_exe + L"/locked.txt", "x");
  MakeNewClient(InstallLayout(root).staged_client_dir);
  EXPECT_FALSE(RunUpdate(0, InstallLayout(root), L""));
  EXPECT_THAT(LinesWith("enforce"),
              ElementsAre("E enforce kill process and delete QXDazavAzir.exe failed"));
  EXPECT_TRUE(testenv::Exists(InstallLayout(root).staged_client_dir));
}

TEST_F(RunUpdateTest, FailedExtractionSkipsTheFirewallScriptAndTheRelaunch) {
  const std::wstring root = temp_ / L"root";
  const InstallLayout layout(root);
  StartOldClient(root);
  // A firewall script already in place would leave a mark if it ran.
  const std::wstring marker = temp_ / L"firewall-ran.txt";
#ifdef _WIN32
  testenv::WriteFile(layout.firewall_script, "echo ran> \"" + Utf8(marker) + "\"\r\n");
#else
  testenv::WriteFile(layout.firewall_script, "echo ran > \"" + Utf8(marker) + "\"\n");
#endif
  // Its index reads, its data is missing: unpacking fails midway, before the
  // old client is touched.
  const std::wstring archive = temp_ / L"damaged.zip";
  testenv::WriteFile(archive, testenv::ZipWithoutData("data.bin", 100));
  EXPECT_FALSE(RunUpdate(static_cast<int32_t>(waited_.dwProcessId), layout, archive));
  EXPECT_THAT(LinesWith("7z exit with code:"),
              ElementsAre(MatchesPattern("I 7z exit with code:[1-9][0-9]*,ret:1")));
  EXPECT_THAT(LinesWith("update refused"),
              ElementsAre("E update refused, archive not unpacked:" + Utf8(archive)));
  EXPECT_TRUE(testenv::Exists(archive));
  EXPECT_TRUE(testenv::IsRunning(lingering_.dwProcessId));
  EXPECT_FALSE(testenv::Exists(layout.staging_dir));
  Sleep(500);
  EXPECT_FALSE(testenv::Exists(marker));
  EXPECT_THAT(ClientStarts(), SizeIs(2u));  // only the two old copies
}

// A staged client folder that cannot move (a process has its current folder
// in it): eight promotions alternate their destination, then the old client
// folder comes back from aside.
TEST_F(RunUpdateTest, PromotionsThatAllFailPutTheOldClientBack) {
  const std::wstring root = temp_ / L"root";
  const InstallLayout layout(root);
  testenv::WriteFile(layout.client_dir + L"/old.txt", "old");
  MakeNewClient(layout.staged_client_dir);
  PROCESS_INFORMATION holder = testenv::Start(
      testenv::CommandLineOf({testenv::BinFile(testenv::ExeName(L"stand_in_client"))}),
      layout.staged_client_dir);
  const std::vector<std::string> old_client = testenv::ListTree(layout.client_dir);
  RunFolder run;
  ASSERT_TRUE(PrepareNewFiles(layout, L"", &run));
  const bool replaced = ReplaceClientDir(layout, &run);
  testenv::Stop(&holder);
  if (replaced) GTEST_SKIP() << "this system moves a folder that is a process's current folder";
  std::vector<std::string> moves = LinesWith("move result:");
  ASSERT_THAT(moves, SizeIs(8u));
  for (const std::string& move : moves) {
    EXPECT_EQ(move, "I move result:0,from:" + Utf8(layout.staged_client_dir) +
                        ",to:" + Utf8(layout.client_dir));
  }
  EXPECT_THAT(LinesWith("put back result:"),
              ElementsAre("I put back result:1,entries:1,from:" + Utf8(run.path)));
  EXPECT_EQ(testenv::ListTree(layout.client_dir), old_client);
  EXPECT_FALSE(testenv::Exists(run.path));
}

TEST_F(RunUpdateTest, StagedClientWithoutItsExecutableIsRefused) {
  const std::wstring root = temp_ / L"root";
  const InstallLayout layout(root);
  testenv::WriteFile(layout.client_dir + L"/data/version.txt", "1.0");
  testenv::WriteFile(layout.staged_client_dir + L"/data/version.txt", "2.0");
  EXPECT_FALSE(RunUpdate(0, layout, L""));
  EXPECT_EQ(testenv::ReadFile(layout.client_dir + L"/data/version.txt"), "1.0");
  EXPECT_EQ(log_.Lines().back(),
            "E update refused, no QXDazavAzir.exe in the staged client folder:" +
                Utf8(layout.staged_client_dir));
}

}  // namespace
