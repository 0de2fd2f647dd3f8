// The environment of the programs under test: variables, the browser, the
// date, and what differs under Wine.
#ifndef TESTS_SUPPORT_ENVIRONMENT_H_
#define TESTS_SUPPORT_ENVIRONMENT_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/temp_dir.h"

namespace testenv {

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

// True when the program runs under Wine rather than Windows itself.
bool RunningUnderWine();

// Under Wine: the host path of a Windows path (the last component need not
// exist), and a host program started with arguments. Wine gives no handle to
// wait on, so callers wait for the effect.
std::wstring HostPath(const std::wstring& path);
bool StartHostProgram(const std::vector<std::wstring>& arguments);

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
// Runs a shell command, what it writes to standard error dropped; true when
// it exits with 0 (under Wine a host shell runs it, waited for up to ten
// minutes). `Quoted` gives a path as one word of it, the host's path under
// Wine.
bool Shell(const std::string& command);
std::string Quoted(const std::wstring& path);

}  // namespace testenv

#endif  // TESTS_SUPPORT_ENVIRONMENT_H_
