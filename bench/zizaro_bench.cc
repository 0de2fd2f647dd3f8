// Measures the updater's own operations and the commands they are compared
// with, for scripts/bench. Every subcommand prints "<milliseconds>" (with
// more fields where said) on one line.
//   make-tree <folder> <files> <folders> [executable]
//                                          a client-like tree, a tenth of the files read-only;
//                                          with "executable", every file with the execute bit
//   remove-all <folder>                    Utils::RemoveAll
//   walk-remove <folder>                   (Windows) the plain one-pass Win32 removal walk
//   kill-by-name <name>                    Utils::KillProcessesByName: "<ms> <count>"
//   run <program> [arguments...]           a program run to its end: "<ms> <peak KiB>"
//                                          (peak memory on POSIX only; 0 elsewhere)
//   spawn <count> <program> [arguments...] starts programs and leaves them running
//   until-start <log> <program> [arguments...]
//                                          a program run to its end: the milliseconds from
//                                          its start until the file <log> has something in it
//                                          (a client stand-in it starts writes its line there),
//                                          and to its end: "<ms> <ms to its end>"
//   end-to-start <log> <client> <program> [arguments...]
//                                          starts the client (a stand-in, which writes its line
//                                          to <log>), then the program: the milliseconds from
//                                          the client's end to the next line in <log>
#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/test_env.h"
#include "update/utils.h"
#include "utility/base/file_path.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void MakeTree(const std::wstring& root, int files, int folders, bool executable) {
  const std::string content(1024, 'c');
  for (int i = 0; i < files; ++i) {
    const fs::path folder = ToFsPath(root) / ("folder" + std::to_string(i % folders));
    if (i < folders) fs::create_directories(folder);
    const fs::path file = folder / ("file" + std::to_string(i) + ".dat");
    std::ofstream(file, std::ios::binary) << content;
    if (executable) {
      fs::permissions(file, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                      fs::perm_options::add);
    }
    if (i % 10 == 0) testenv::SetReadOnly(FromFsPath(file), true);
  }
}

#ifdef _WIN32
// The plainest removal that Win32 offers, the baseline of Utils::RemoveAll on
// Windows: one pass over the tree, each folder listed once, a read-only file
// made writable, each file deleted as the walk meets it and each folder
// removed as the walk leaves it; nothing else. False at the first call that
// fails.
bool WalkRemove(const std::wstring& folder) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ok = WalkRemove(path);
      continue;
    }
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      const DWORD writable = entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
      ok = SetFileAttributesW(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL) != 0;
    }
    ok = ok && DeleteFileW(path.c_str()) != 0;
  } while (ok && FindNextFileW(find, &entry));
  FindClose(find);
  return ok && RemoveDirectoryW(folder.c_str()) != 0;
}
#endif

// Runs a program to its end; returns milliseconds and, on POSIX, its peak
// resident memory in KiB.
std::pair<double, long> RunTimed(const std::vector<std::wstring>& arguments) {
#ifdef _WIN32
  const auto start = Clock::now();
  testenv::RunResult run = testenv::Run(arguments);
  (void)run;
  return {MsSince(start), 0};
#else
  std::vector<std::string> narrow;
  for (const std::wstring& argument : arguments) narrow.push_back(ToFsPath(argument).native());
  std::vector<char*> argv;
  for (std::string& argument : narrow) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // What the program prints is not the bench's output.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return {-1, 0};
  int status = 0;
  rusage usage = {};
  wait4(pid, &status, 0, &usage);
  return {MsSince(start), usage.ru_maxrss};
#endif
}

}  // namespace

int main() {
  FLAGS_minloglevel = google::GLOG_FATAL;  // the operations' records are not measured
  const std::vector<std::wstring> args = testenv::ProgramArguments();
  if (args.size() < 3) return 2;
  const std::wstring& verb = args[1];
  if (verb == L"make-tree" &&
      (args.size() == 5 || (args.size() == 6 && args[5] == L"executable"))) {
    MakeTree(args[2], std::stoi(args[3]), std::stoi(args[4]), args.size() == 6);
    return 0;
  }
  if (verb == L"remove-all") {
    const auto start = Clock::now();
    const bool removed = Utils::RemoveAll(args[2]);
    printf("%.3f\n", MsSince(start));
    return removed ? 0 : 1;
  }
#ifdef _WIN32
  if (verb == L"walk-remove") {
    const auto start = Clock::now();
    const bool removed = WalkRemove(args[2]);
    printf("%.3f\n", MsSince(start));
    return removed ? 0 : 1;
  }
#endif
  if (verb == L"kill-by-name") {
    const auto start = Clock::now();
    const int killed = Utils::KillProcessesByName(args[2]);
    printf("%.3f %d\n", MsSince(start), killed);
    return 0;
  }
  if (verb == L"run") {
    const auto [ms, peak] = RunTimed(std::vector<std::wstring>(args.begin() + 2, args.end()));
    printf("%.3f %ld\n", ms, peak);
    return ms < 0 ? 1 : 0;
  }
  if (verb == L"spawn" && args.size() >= 4) {
    const std::vector<std::wstring> program(args.begin() + 3, args.end());
    for (int i = 0; i < std::stoi(args[2]); ++i) {
      PROCESS_INFORMATION info = testenv::Start(testenv::CommandLineOf(program));
      printf("%lu\n", static_cast<unsigned long>(info.dwProcessId));
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
    }
    return 0;
  }
  if (verb == L"until-start" && args.size() >= 4) {
    const std::vector<std::wstring> program(args.begin() + 3, args.end());
    const auto start = Clock::now();
    PROCESS_INFORMATION info = testenv::Start(testenv::CommandLineOf(program));
    double started = -1;
    while (started < 0) {
      if (!testenv::ReadFile(args[2]).empty()) started = MsSince(start);
      // Every 5 ms: a tighter poll would take the processor from the run.
      if (started < 0 && WaitForSingleObject(info.hProcess, 5) == WAIT_OBJECT_0 &&
          MsSince(start) > 10000) {
        break;  // ended long ago, and no client started
      }
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    const double ended = MsSince(start);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    printf("%.3f %.3f\n", started, ended);
    return started < 0 ? 1 : 0;
  }
  if (verb == L"end-to-start" && args.size() >= 5) {
    const std::vector<std::wstring> program(args.begin() + 4, args.end());
    const auto lines = [&] {
      const std::string log = testenv::ReadFile(args[2]);
      return std::count(log.begin(), log.end(), '\n');
    };
    PROCESS_INFORMATION client = testenv::Start(testenv::CommandLineOf({args[3]}));
    while (lines() < 1 && WaitForSingleObject(client.hProcess, 1) == WAIT_TIMEOUT) {
    }
    const auto start = Clock::now();
    PROCESS_INFORMATION info = testenv::Start(testenv::CommandLineOf(program));
    double ended = -1;
    double started = -1;
    while (started < 0 && MsSince(start) < 120000) {
      if (ended < 0 && WaitForSingleObject(client.hProcess, 0) == WAIT_OBJECT_0)
        ended = MsSince(start);
      if (lines() >= 2) started = MsSince(start);
      if (started < 0) Sleep(1);
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    for (PROCESS_INFORMATION* process : {&client, &info}) {
      CloseHandle(process->hThread);
      CloseHandle(process->hProcess);
    }
    printf("%.3f\n", started - ended);
    return started < 0 || ended < 0 ? 1 : 0;
  }
  return 2;
}
