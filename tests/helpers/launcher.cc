// Starts and watches programs for scripts, with the system's own process
// calls, so that a script gets Windows process ids and full 32-bit exit codes
// under Wine:
//   launcher start <pid-file> <program> [arguments...]   start, write its id, return
//   launcher run <status-file> <program> [arguments...]  run to the end, write its exit code
//   launcher alive <pid>                                 exit 0 when the process runs
//   launcher stop <pid>                                  end the process
// Files receive one unsigned decimal number.
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/test_env.h"
#include "utility/base/file_path.h"

namespace {

void WriteNumber(const std::wstring& path, DWORD number) {
  std::ofstream(ToFsPath(path), std::ios::trunc) << number << '\n';
}

int Usage() {
  MessageBoxA(nullptr, "launcher start|run <file> <program> [arguments...] | alive|stop <pid>",
              "launcher", MB_OK);
  return 2;
}

}  // namespace

int main() {
  const std::vector<std::wstring> args = testenv::ProgramArguments();
  if (args.size() < 3) return Usage();
  const std::wstring& verb = args[1];
  if (verb == L"alive" || verb == L"stop") {
    const DWORD pid = static_cast<DWORD>(std::stoul(args[2]));
    if (verb == L"alive") return testenv::IsRunning(pid) ? 0 : 1;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return 1;
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
    return 0;
  }
  if (args.size() < 4 || (verb != L"start" && verb != L"run")) return Usage();
  const std::vector<std::wstring> program(args.begin() + 3, args.end());
  PROCESS_INFORMATION info = testenv::Start(testenv::CommandLineOf(program));
  if (verb == L"start") {
    WriteNumber(args[2], info.dwProcessId);
  } else {
    WriteNumber(args[2], testenv::WaitExit(info.hProcess, INFINITE));
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return 0;
}
