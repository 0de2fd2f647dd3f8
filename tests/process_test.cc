// Processes, with real ones: waits, the walk, kill by name and launches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#endif

namespace {

using testenv::Utf8;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

std::string Id(DWORD pid) { return std::to_string(pid); }

class ProcessTest : public LoggedTest {
 protected:
  void TearDown() override {
    for (PROCESS_INFORMATION& process : started_) testenv::Stop(&process);
    LoggedTest::TearDown();
  }

  // Starts a copy of the stand-in at `relative` inside the temporary folder.
  PROCESS_INFORMATION StartCopy(const std::wstring& relative,
                                const std::vector<std::wstring>& arguments = {}) {
    const std::wstring path = temp_ / relative;
    if (!testenv::Exists(path)) testenv::InstallStandIn(path);
    started_.push_back(testenv::StartProgram(path, arguments));
    return started_.back();
  }

  // A process id that names no process: far beyond any id in use.
  static constexpr DWORD kNoProcess = 0x7FFFFFF0;

  testenv::TempDir temp_{L"process"};
  std::vector<PROCESS_INFORMATION> started_;
};

TEST_F(ProcessTest, WaitOnAnEndedProcessReadsItsExitCode) {
  const PROCESS_INFORMATION process = StartCopy(L"a.exe", {L"--exit-after=0", L"--exit-code=7"});
  DWORD exit_code = 0;
  EXPECT_TRUE(WaitProcess(process.hProcess, &exit_code, 10000));
  EXPECT_EQ(exit_code, 7u);
  EXPECT_TRUE(WaitProcess(process.hProcess, nullptr, 0));
  EXPECT_THAT(log_.Lines(), ElementsAre("I wait result1", "I wait result1"));
}

TEST_F(ProcessTest, WaitTimeOutLeavesStillActiveInTheExitCode) {
  const PROCESS_INFORMATION process = StartCopy(L"a.exe");
  DWORD exit_code = 0;
  EXPECT_FALSE(WaitProcess(process.hProcess, &exit_code, 50));
  EXPECT_EQ(exit_code, STILL_ACTIVE);
  EXPECT_THAT(log_.Lines(), ElementsAre("W wait timeout", "I wait result0"));
}

TEST_F(ProcessTest, WaitOnNoHandleTouchesNothing) {
  for (HANDLE none : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    DWORD exit_code = 12345;
    EXPECT_FALSE(WaitProcess(none, &exit_code, 1000));
    EXPECT_EQ(exit_code, 12345u);
  }
  EXPECT_THAT(log_.Lines(), ElementsAre("I wait result0", "I wait result0"));
}

TEST_F(ProcessTest, WaitByIdOpensWaitsAndRecordsTwice) {
  const PROCESS_INFORMATION running = StartCopy(L"a.exe");
  EXPECT_FALSE(WaitProcessById(static_cast<int32_t>(running.dwProcessId), nullptr, 50));
  EXPECT_THAT(log_.Lines(), ElementsAre("W wait timeout", "I wait result0", "I wait result0"));

  log_.Clear();
  const PROCESS_INFORMATION ending = StartCopy(L"b.exe", {L"--exit-after=100"});
  DWORD exit_code = 99;
  EXPECT_TRUE(WaitProcessById(static_cast<int32_t>(ending.dwProcessId), &exit_code, 10000));
  EXPECT_EQ(exit_code, 0u);
  EXPECT_THAT(log_.Lines(), ElementsAre("I wait result1", "I wait result1"));
}

TEST_F(ProcessTest, WaitByIdForNoProcessReturnsAtOnce) {
  for (int32_t pid : {0, -1, INT32_MIN}) {
    log_.Clear();
    EXPECT_FALSE(WaitProcessById(pid, nullptr, 10000));
    EXPECT_THAT(log_.Lines(), ElementsAre("I wait result0"));
  }
  log_.Clear();
  EXPECT_FALSE(WaitProcessById(static_cast<int32_t>(kNoProcess), nullptr, 10000));
  EXPECT_THAT(log_.Lines(), ElementsAre("I wait result0", "I wait result0"));
}

TEST_F(ProcessTest, SessionAndPathLookups) {
  EXPECT_EQ(Utils::GetProcessSessionId(0), 0u);
  DWORD own_session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own_session));
  EXPECT_EQ(Utils::GetProcessSessionId(GetCurrentProcessId()), own_session);
  wchar_t self[4096] = {};
  GetModuleFileNameW(nullptr, self, 4096);
  EXPECT_EQ(Utils::GetProcessFullpathByPId(GetCurrentProcessId()), self);
  EXPECT_THAT(log_.Lines(), IsEmpty());

  EXPECT_EQ(Utils::GetProcessFullpathByPId(kNoProcess), L"");
  EXPECT_THAT(log_.Lines(), ElementsAre("W Open Process:" + Id(kNoProcess) + "failed:87"));
}

struct Visit {
  DWORD pid;
  std::wstring path;
};

bool CollectVisits(DWORD pid, const std::wstring& path, void* context) {
  static_cast<std::vector<Visit>*>(context)->push_back({pid, path});
  return true;
}

bool StopAtOnce(DWORD, const std::wstring&, void* context) {
  ++*static_cast<int*>(context);
  return false;
}

TEST_F(ProcessTest, WalkVisitsOwnSessionWithFullPathsAndStopsWhenAsked) {
  const PROCESS_INFORMATION client = StartCopy(L"Client/QXDazavAzir.exe");
  std::vector<Visit> visits;
  EXPECT_TRUE(Utils::ForEachProcess(&CollectVisits, &visits));
  auto visited = [&](DWORD pid) {
    return std::find_if(visits.begin(), visits.end(), [&](const Visit& v) { return v.pid == pid; });
  };
  ASSERT_NE(visited(GetCurrentProcessId()), visits.end());
  ASSERT_NE(visited(client.dwProcessId), visits.end());
  EXPECT_EQ(visited(client.dwProcessId)->path, temp_ / L"Client/QXDazavAzir.exe");

  int calls = 0;
  EXPECT_TRUE(Utils::ForEachProcess(&StopAtOnce, &calls));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(Utils::ForEachProcess(nullptr, nullptr));
}

TEST_F(ProcessTest, AClientInAPathBeyondMaxPathIsFoundAndEnded) {
  // A folder chain that makes the client's path 300 characters long.
  std::wstring relative;
  while ((temp_ / relative).size() < 270) relative += L"deep_folder_name/";
  relative += std::wstring(300 - (temp_ / relative).size() - 16, L'x') + L"/QXDazavAzir.exe";
  const std::wstring path = temp_ / relative;
  ASSERT_EQ(path.size(), 300u);
  testenv::InstallStandIn(path);
  PROCESS_INFORMATION process = {};
  try {
    process = testenv::StartProgram(path);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "this system cannot start a program from a 300-character path: " << e.what();
  }
  started_.push_back(process);
  EXPECT_EQ(Utils::GetProcessFullpathByPId(process.dwProcessId), path);
  EXPECT_EQ(Utils::KillProcessesByName(L"QXDazavAzir.exe"), 1);
  EXPECT_EQ(testenv::WaitExit(process.hProcess, 10000), 0u);
}

TEST_F(ProcessTest, KillByNameEndsEveryCopyWhateverTheLetterCase) {
  const PROCESS_INFORMATION first = StartCopy(L"one/QXDazavAzir.exe");
  const PROCESS_INFORMATION second = StartCopy(L"two/qxdAZAVazir.EXE");
  const DWORD first_id = first.dwProcessId;
  const DWORD second_id = second.dwProcessId;
  EXPECT_EQ(Utils::KillProcessesByName(L"QXDazavAzir.exe"), 2);
  // In snapshot order: each match is named, then terminated.
  std::vector<std::string> lines = log_.OwnLines();
  ASSERT_EQ(lines.size(), 4u);
  std::set<std::pair<std::string, std::string>> pairs = {{lines[0], lines[1]},
                                                         {lines[2], lines[3]}};
  EXPECT_EQ(pairs, (std::set<std::pair<std::string, std::string>>{
                       {"I will kill:" + Utf8(temp_ / L"one/QXDazavAzir.exe"),
                        "I Terminate Process pid = " + Id(first_id)},
                       {"I will kill:" + Utf8(temp_ / L"two/qxdAZAVazir.EXE"),
                        "I Terminate Process pid = " + Id(second_id)}}));
  EXPECT_EQ(testenv::WaitExit(first.hProcess, 10000), 0u);
  EXPECT_EQ(testenv::WaitExit(second.hProcess, 10000), 0u);
}

TEST_F(ProcessTest, KillByNameMatchesWholeFileNamesOnly) {
  StartCopy(L"XQXDazavAzir.exe");
  StartCopy(L"QXDazavAzir.exe");
  StartCopy(L"clientÉ.exe");
  for (const wchar_t* name : {L"QXDazavAzir", L"Azir.exe", L"azavazir.exe", L"clienté.exe", L""}) {
    EXPECT_EQ(Utils::KillProcessesByName(name), 0) << Utf8(name);
  }
  EXPECT_THAT(log_.OwnLines(), IsEmpty());
  for (const PROCESS_INFORMATION& process : started_) {
    EXPECT_TRUE(testenv::IsRunning(process.dwProcessId));
  }
}

// An exit code asked for by TerminateProcess belongs to that process: a later
// process that gets the same id reads its own. (A killed archiver was once
// read as "7z exit with code:0" through an old process's code.)
TEST_F(ProcessTest, AnExitCodeBelongsToItsProcessNotToItsId) {
#ifdef _WIN32
  GTEST_SKIP() << "process ids cannot be reused on demand here";
#else
  // Ids are reused deterministically only in a pid namespace of the test's
  // own, where ns_last_pid decides the next id: the test runs itself there.
  if (getenv("ZIZARO_IN_PID_NAMESPACE") == nullptr) {
    if (geteuid() != 0) GTEST_SKIP() << "a pid namespace of its own needs root";
    testenv::ScopedEnv inside("ZIZARO_IN_PID_NAMESPACE", L"1");
    const testenv::RunResult run = testenv::Run(
        {L"/usr/bin/unshare", L"--pid", L"--fork", L"--mount-proc", testenv::ProgramArguments()[0],
         L"--gtest_filter=ProcessTest.AnExitCodeBelongsToItsProcessNotToItsId"});
    EXPECT_EQ(run.exit_status, 0u) << run.error_output;
    return;
  }
  const PROCESS_INFORMATION first = StartCopy(L"a.exe");
  HANDLE opened = OpenProcess(PROCESS_TERMINATE, FALSE, first.dwProcessId);
  ASSERT_TRUE(TerminateProcess(opened, 0));
  CloseHandle(opened);
  // Reaped by other means than the layer's, as the process of another
  // program would be.
  int status = 0;
  ASSERT_EQ(waitpid(static_cast<pid_t>(first.dwProcessId), &status, 0),
            static_cast<pid_t>(first.dwProcessId));
  std::ofstream("/proc/sys/kernel/ns_last_pid") << first.dwProcessId - 1 << std::flush;
  const PROCESS_INFORMATION second = StartCopy(L"b.exe");
  ASSERT_EQ(second.dwProcessId, first.dwProcessId) << "the id was not reused";
  kill(static_cast<pid_t>(second.dwProcessId), SIGKILL);
  EXPECT_EQ(testenv::WaitExit(second.hProcess, 10000), 128u + SIGKILL);
#endif
}

TEST_F(ProcessTest, ProcessesOfAnotherSessionAreNeitherMatchedNorLogged) {
#ifdef _WIN32
  GTEST_SKIP() << "every process of a Wine session shares one session; no other can be made";
#else
  if (geteuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
  // On POSIX the session is the user: start the client as "nobody".
  const std::wstring path = temp_ / L"other/QXDazavAzir.exe";
  testenv::InstallStandIn(path);
  started_.push_back(testenv::Start(L"setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                    testenv::Quote(path)));
  const DWORD other = started_.back().dwProcessId;
  Sleep(200);  // setpriv has become the client
  EXPECT_NE(Utils::GetProcessSessionId(other), Utils::GetProcessSessionId(GetCurrentProcessId()));
  EXPECT_EQ(Utils::KillProcessesByName(L"QXDazavAzir.exe"), 0);
  EXPECT_THAT(log_.OwnLines(), IsEmpty());
  EXPECT_TRUE(testenv::IsRunning(other));
#endif
}

class LaunchTest : public ProcessTest {
 protected:
  // The starts the stand-ins record: "<pid>\t<program>\t<current folder>".
  std::vector<std::string> Starts() const {
    std::vector<std::string> lines;
    std::istringstream in(testenv::ReadFile(client_log_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string StartOf(const PROCESS_INFORMATION& process) const {
    std::string start;
    testenv::WaitUntil(
        [&] {
          for (const std::string& line : Starts()) {
            if (line.rfind(Id(process.dwProcessId) + "\t", 0) == 0) start = line;
          }
          return !start.empty();
        },
        2000);
    return start;
  }

  std::wstring client_log_ = temp_ / L"starts.txt";
  testenv::ScopedEnv client_log_env_{"ZIZARO_CLIENT_LOG", client_log_};
};

TEST_F(LaunchTest, MissingProgramGivesTheRecordAndAnAllZeroResult) {
  const std::wstring command = L"\"" + (temp_ / L"missing dir/none.exe") + L"\" --flag";
  Utils::LaunchOptions options;
  options.wait_for_exit = true;
  options.allow_set_foreground = true;
  PROCESS_INFORMATION info = Utils::LaunchProcess(command, options);
  EXPECT_EQ(info.hProcess, nullptr);
  EXPECT_EQ(info.hThread, nullptr);
  EXPECT_EQ(info.dwProcessId, 0u);
  EXPECT_EQ(info.dwThreadId, 0u);
  EXPECT_THAT(log_.Lines(), ElementsAre("E launch process error,commandline:" + Utf8(command)));
}

TEST_F(LaunchTest, StartsAPathWithBlanksInTheCurrentOrAGivenFolder) {
  const std::wstring program = temp_ / L"dir with blanks/程序.exe";
  testenv::InstallStandIn(program);
  const std::wstring command = L"\"" + program + L"\"";

  Utils::LaunchOptions inherit;
  started_.push_back(Utils::LaunchProcess(command, inherit));
  ASSERT_NE(started_.back().hProcess, nullptr);
  EXPECT_TRUE(testenv::IsRunning(started_.back().dwProcessId));
  EXPECT_EQ(StartOf(started_.back()), Id(started_.back().dwProcessId) + "\t" + Utf8(program) +
                                          "\t" + std::filesystem::current_path().u8string());

  Utils::LaunchOptions elsewhere;
  elsewhere.working_directory = temp_ / L"dir with blanks";
  elsewhere.hide_window = true;
  elsewhere.breakaway_from_job = true;
  elsewhere.allow_set_foreground = true;
  started_.push_back(Utils::LaunchProcess(command, elsewhere));
  ASSERT_NE(started_.back().hProcess, nullptr);
  EXPECT_EQ(StartOf(started_.back()), Id(started_.back().dwProcessId) + "\t" + Utf8(program) +
                                          "\t" + Utf8(temp_ / L"dir with blanks"));
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_F(LaunchTest, RunForOutputReadsTheProgramsOutputThroughAFileItDeletes) {
  const std::wstring file = temp_ / L"output";
  const std::wstring command = L"\"" + testenv::BinFile(L"7z.exe") + L"\" i";
  std::string output;
  DWORD code = 1;
  ASSERT_TRUE(Utils::RunForOutput(command, file, &output, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_NE(output.find("7-Zip"), std::string::npos);
  EXPECT_FALSE(testenv::Exists(file));
  // A file already there is neither written to nor read.
  testenv::WriteFile(file, "kept");
  EXPECT_FALSE(Utils::RunForOutput(command, file, &output, &code));
  EXPECT_EQ(testenv::ReadFile(file), "kept");
}

TEST_F(LaunchTest, WaitForExitReturnsOnlyOnceTheProcessHasEnded) {
  const std::wstring program = temp_ / L"waited.exe";
  testenv::InstallStandIn(program);
  Utils::LaunchOptions options;
  options.wait_for_exit = true;
  started_.push_back(Utils::LaunchProcess(L"\"" + program + L"\" --exit-after=300", options));
  ASSERT_NE(started_.back().hProcess, nullptr);
  EXPECT_EQ(WaitForSingleObject(started_.back().hProcess, 0), WAIT_OBJECT_0);

  options.wait_for_exit = false;
  started_.push_back(Utils::LaunchProcess(L"\"" + program + L"\" --exit-after=2000", options));
  ASSERT_NE(started_.back().hProcess, nullptr);
  EXPECT_EQ(WaitForSingleObject(started_.back().hProcess, 0), WAIT_TIMEOUT);
}

TEST_F(LaunchTest, LaunchClientStartsTheClientOfARootWithBlanksAndNonAsciiLetters) {
  const std::wstring root = temp_ / L"根 目录";
  testenv::InstallStandIn(InstallLayout(root).client_exe);
  EXPECT_TRUE(LaunchClient(InstallLayout(root)));
  EXPECT_THAT(log_.Lines(), ElementsAre("I launch process vaild:1 path:\"" +
                                        Utf8(InstallLayout(root).client_exe) + "\""));
  // The client runs on its own, started from the client executable.
  std::vector<std::string> starts;
  testenv::WaitUntil([&] { return !(starts = Starts()).empty(); }, 2000);
  ASSERT_EQ(starts.size(), 1u);
  const DWORD pid = static_cast<DWORD>(std::stoul(starts[0]));
  EXPECT_NE(starts[0].find("\t" + Utf8(InstallLayout(root).client_exe) + "\t"), std::string::npos);
  EXPECT_TRUE(testenv::IsRunning(pid));
  HANDLE client = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  ASSERT_NE(client, nullptr);
  TerminateProcess(client, 0);
  WaitForSingleObject(client, 10000);
  CloseHandle(client);
}

TEST_F(LaunchTest, LaunchClientWithoutTheExecutableFails) {
  const std::wstring root = temp_ / L"empty root";
  const std::string command = "\"" + Utf8(InstallLayout(root).client_exe) + "\"";
  EXPECT_FALSE(LaunchClient(InstallLayout(root)));
  EXPECT_THAT(log_.Lines(), ElementsAre("E launch process error,commandline:" + command,
                                        "I launch process vaild:0 path:" + command));
}

}  // namespace
