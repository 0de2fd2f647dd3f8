// Stands in for the game client in tests: runs until it is killed, or, told
// so, ends by itself.
//   --exit-after=MS   end after MS milliseconds
//   --exit-code=N     with exit code N (default 0)
// When ZIZARO_CLIENT_LOG names a file, each start appends a line to it:
// "<pid>\t<own path>\t<current folder>". When ZIZARO_CLIENT_FAULT is
// "access" or "instruction", it dies at once of that fault (a write through
// a null pointer, an illegal instruction), as a client that crashes.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/win32.h"
#include "utility/base/file_path.h"

namespace {

void RecordStart() {
  wchar_t log[4096] = {};
  DWORD length = GetEnvironmentVariableW(L"ZIZARO_CLIENT_LOG", log, 4096);
  if (length == 0 || length >= 4096) return;
  wchar_t self[4096] = {};
  GetModuleFileNameW(nullptr, self, 4096);
  std::ofstream out(ToFsPath(log), std::ios::app | std::ios::binary);
  out << GetCurrentProcessId() << '\t' << ToFsPath(self).u8string() << '\t'
      << std::filesystem::current_path().u8string() << '\n';
}

#ifdef _WIN32
LONG WINAPI EndWithTheException(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }
#endif

// The null write is the fault asked for, not one for the sanitizers to report.
__attribute__((no_sanitize("undefined"))) void FaultIfAsked() {
  const char* fault = std::getenv("ZIZARO_CLIENT_FAULT");
  if (fault == nullptr) return;
#ifdef _WIN32
  // No debugger and no box (Wine starts its debugger otherwise): the process
  // ends with the exception's status, as Windows ends it without a reporter.
  SetUnhandledExceptionFilter(&EndWithTheException);
#else
  // A sanitizer's handler would report the fault and exit with 1 (after a
  // symbolizer that may outlast the start check): die of it instead.
  for (int fault_signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) signal(fault_signal, SIG_DFL);
#endif
  volatile int* volatile nowhere = nullptr;  // read at run time: the write is made
  if (strcmp(fault, "access") == 0) *nowhere = 1;
  if (strcmp(fault, "instruction") == 0) __builtin_trap();
}

}  // namespace

int main(int argc, char** argv) {
  FaultIfAsked();
  long exit_after = -1;
  int exit_code = 0;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--exit-after=", 13) == 0) exit_after = strtol(argv[i] + 13, nullptr, 10);
    if (strncmp(argv[i], "--exit-code=", 12) == 0) exit_code = atoi(argv[i] + 12);
  }
  RecordStart();
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (exit_after >= 0 &&
        std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(exit_after)) {
      return exit_code;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
