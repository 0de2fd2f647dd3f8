// What tests need around the program: temporary folders, files, the
// environment, and programs started and awaited.
#ifndef TESTS_SUPPORT_TEST_ENV_H_
#define TESTS_SUPPORT_TEST_ENV_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace testenv {

// A new folder under the system's temporary folder, removed with all its
// contents when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::wstring& hint = L"zizaro");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  // The folder joined with a relative path written with '/', in the
  // platform's separators.
  std::wstring operator/(const std::wstring& relative) const;

 private:
  std::wstring path_;
};

// A program file name of this platform: "name.exe" on Windows, "name" elsewhere.
std::wstring ExeName(const std::wstring& name);
// The folder of the running test program, where every built program lies.
std::wstring BinDir();
std::wstring BinFile(const std::wstring& name);

// Files, by wide path. Missing parent folders are created.
void WriteFile(const std::wstring& path, const std::string& content);
std::string ReadFile(const std::wstring& path);
bool Exists(const std::wstring& path);
void MakeDirs(const std::wstring& path);
void CopyFile(const std::wstring& from, const std::wstring& to);
// The names in a folder and below it, relative, with '/' separators, sorted;
// folders end with '/'.
std::vector<std::string> ListTree(const std::wstring& folder);

// A zip archive whose index reads (the archiver lists it) but whose data is
// missing: one stored entry named `name` that declares `declared_size`
// bytes and holds none, so that extracting it fails.
std::string ZipWithoutData(const std::string& name, uint64_t declared_size);

// Makes `link` a symbolic link to the folder `target`; false where this
// system cannot (Wine's own call for it does nothing, so under Wine the link
// is made on the host side).
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);
// True when the program runs under Wine rather than Windows itself.
bool RunningUnderWine();
// The read-only attribute, through the system's own calls.
void SetReadOnly(const std::wstring& path, bool read_only);
bool IsReadOnly(const std::wstring& path);

// Sets (or, with no value, removes) an environment variable of this process
// and of the programs it starts; the old value comes back on destruction.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::optional<std::wstring>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::wstring> old_;
};

// One argument quoted by the Windows rules.
std::wstring Quote(const std::wstring& argument);
// Arguments quoted as needed and joined by blanks.
std::wstring JoinArguments(const std::vector<std::wstring>& arguments);
// A command line: the program quoted whole, then the arguments.
std::wstring CommandLineOf(const std::vector<std::wstring>& program_and_arguments);

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

// Copies the client stand-in (tests/helpers/stand_in_client) to `path`, as
// an update would find a client there.
void InstallStandIn(const std::wstring& path);
// Copies the updater, and, when asked, the archiver beside it, into
// `folder`, as it would be installed; returns the updater's path.
std::wstring InstallUpdater(const std::wstring& folder, bool with_archiver);

// A digest of a folder's tree: each entry's relative path, with its size and
// a hash of its bytes for a file and its target for a link, sorted. Equal
// digests mean equal trees.
std::vector<std::string> TreeDigest(const std::wstring& folder);

// Starts the program at `path` with arguments.
PROCESS_INFORMATION StartProgram(const std::wstring& path,
                                 const std::vector<std::wstring>& arguments = {});

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
// when one is given.
RunResult Run(const std::vector<std::wstring>& arguments,
              const std::wstring& working_directory = L"");

// Records the addresses that programs open in the default browser (the
// recorder in tests/helpers stands in for the browser).
class BrowserRecorder {
 public:
  BrowserRecorder();
  // What was opened so far, one address a line; waits up to `wait_ms` for a
  // first address, since the browser is started without being waited for.
  std::string Visits(DWORD wait_ms = 5000) const;
  // When the first address arrived, in milliseconds since 1970; 0 if none.
  long long FirstVisitTime() const;

 private:
  std::wstring file_;
  std::optional<TempDir> folder_;
  std::optional<ScopedEnv> env_;
};

// Today's local date as the log folders name it.
std::wstring TodayFolderName();

// UTF-8 for assertions.
std::string Utf8(const std::wstring& text);

}  // namespace testenv

#endif  // TESTS_SUPPORT_TEST_ENV_H_
