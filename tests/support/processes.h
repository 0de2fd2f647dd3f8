// Programs started, awaited and ended by tests.
#ifndef TESTS_SUPPORT_PROCESSES_H_
#define TESTS_SUPPORT_PROCESSES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace testenv {

// Asks `condition` every 10 ms until it holds or `timeout_ms` has passed;
// its last answer.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeout_ms) {
  for (DWORD waited = 0; waited < timeout_ms; waited += 10) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

// One argument quoted by the Windows rules.
std::wstring Quote(const std::wstring& argument);
// Arguments quoted as needed and joined by blanks.
std::wstring JoinArguments(const std::vector<std::wstring>& arguments);
// A command line: the program quoted whole, then the arguments.
std::wstring CommandLineOf(const std::vector<std::wstring>& program_and_arguments);

// Starts a command line with the program's own launch rules, in
// `working_directory` when one is given.
PROCESS_INFORMATION Start(const std::wstring& command_line,
                          const std::wstring& working_directory = L"");
// The running program's own arguments, program path first, as wide text.
std::vector<std::wstring> ProgramArguments();
// Waits up to `timeout_ms`; the exit code, or STILL_ACTIVE when it still runs.
DWORD WaitExit(HANDLE process, DWORD timeout_ms);
// Ends a process if it still runs and closes its handles.
void Stop(PROCESS_INFORMATION* process);
bool IsRunning(DWORD process_id);
// How many processes run a program file below `folder` that has been deleted
// meanwhile (possible on POSIX only: Windows refuses to delete such a file).
int DeletedImagesRunning(const std::wstring& folder);

// Starts the program at `path` with arguments.
PROCESS_INFORMATION StartProgram(const std::wstring& path,
                                 const std::vector<std::wstring>& arguments = {});
// Starts a program (path first, then arguments) with its standard output and
// error going to the new file `output` (a Windows GUI program's too).
PROCESS_INFORMATION StartWithOutputTo(const std::vector<std::wstring>& arguments,
                                      const std::wstring& output);

// What the platform reports as the exit status of a program that returned
// `code`: all 32 bits on Windows, the low 8 bits on POSIX.
DWORD ExitStatusOf(int32_t code);

struct RunResult {
  DWORD exit_status = 0;
  // Standard error of the program, where the platform lets a test read it
  // (POSIX); empty on Windows, where message boxes are windows.
  std::string error_output;
};
// Runs a program to its end (at most two minutes), in `working_directory`
// when one is given; with `streams_closed`, its standard input, output and
// error are closed when it starts (a Windows GUI program has none anyway).
RunResult Run(const std::vector<std::wstring>& arguments,
              const std::wstring& working_directory = L"", bool streams_closed = false);

}  // namespace testenv

#endif  // TESTS_SUPPORT_PROCESSES_H_
