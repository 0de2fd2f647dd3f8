#include "tests/support/environment.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <stdexcept>

#include "tests/support/files.h"
#include "tests/support/processes.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace testenv {
namespace fs = std::filesystem;

namespace {

std::optional<std::wstring> GetEnv(const std::string& name) {
#ifdef _WIN32
  const wchar_t* value = _wgetenv(FromFsPath(fs::path(name)).c_str());
  if (value == nullptr) return std::nullopt;
  return std::wstring(value);
#else
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return FromFsPath(fs::path(value));
#endif
}

void SetEnv(const std::string& name, const std::optional<std::wstring>& value) {
#ifdef _WIN32
  std::wstring wide_name = FromFsPath(fs::path(name));
  // An empty value removes the variable, in the runtime and in the process.
  _wputenv_s(wide_name.c_str(), value ? value->c_str() : L"");
#else
  if (value) {
    setenv(name.c_str(), ToFsPath(*value).c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

}  // namespace

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::wstring>& value)
    : name_(name), old_(GetEnv(name)) {
  SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, old_); }

bool RunningUnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::wstring HostPath(const std::wstring& path) {
#ifdef _WIN32
  using UnixName = char*(__cdecl*)(const wchar_t*);
  auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  fs::path windows_path = ToFsPath(path);
  char* parent = unix_name != nullptr ? unix_name(windows_path.parent_path().c_str()) : nullptr;
  if (parent == nullptr) return std::wstring();
  std::wstring host = FromFsPath(fs::path(parent)) + L"/" + windows_path.filename().wstring();
  HeapFree(GetProcessHeap(), 0, parent);
  return host;
#else
  return path;
#endif
}

bool StartHostProgram(const std::vector<std::wstring>& arguments) {
  try {
    PROCESS_INFORMATION process = Start(JoinArguments(arguments));
    // Wine's handle of a host program is null: nothing to close.
    if (process.hThread != nullptr) CloseHandle(process.hThread);
    if (process.hProcess != nullptr) CloseHandle(process.hProcess);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

BrowserRecorder::BrowserRecorder() {
#ifdef _WIN32
  // Wine's browser launcher does not pass this program's environment on, so
  // the recorder writes to a fixed file of the prefix.
  file_ = L"C:\\browser-visits.txt";
  DeleteFileW(file_.c_str());
  DeleteFileW((file_ + L".times").c_str());
#else
  folder_.emplace(L"browser");
  file_ = *folder_ / L"visits.txt";
  env_.emplace("ZIZARO_BROWSER_LOG", file_);
#endif
}

std::string BrowserRecorder::Visits(DWORD wait_ms) const {
  WaitUntil([&] { return !ReadFile(file_).empty(); }, wait_ms);
  return ReadFile(file_);
}

long long BrowserRecorder::FirstVisitTime() const {
  std::string times = ReadFile(file_ + L".times");
  return times.empty() ? 0 : std::stoll(times);
}

std::wstring TodayFolderName() {
  wchar_t date[64] = {};
  std::time_t now = std::time(nullptr);
  wcsftime(date, 64, L"%Y_%m_%d", std::localtime(&now));
  return date;
}

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

bool Shell(const std::string& command) {
  const std::string line = "{ " + command + "; } 2>/dev/null";
#ifdef _WIN32
  // Under Wine a host shell runs it; its status comes back through a file.
  static int count = 0;
  const std::wstring status = FromFsPath(fs::temp_directory_path()) + L"\\zizaro-shell-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++count);
  const std::string host_line = line + "; echo $? >" + Quoted(status) + ".part && mv " +
                                Quoted(status) + ".part " + Quoted(status);
  if (!RunningUnderWine() ||
      !StartHostProgram({L"/bin/sh", L"-c", FromFsPath(fs::u8path(host_line))}) ||
      !WaitUntil([&] { return Exists(status); }, 600000)) {
    return false;
  }
  const std::string code = ReadFile(status);
  DeleteFileW(status.c_str());
  return code == "0\n";
#else
  return std::system(line.c_str()) == 0;
#endif
}

std::string Quoted(const std::wstring& path) { return "'" + Utf8(HostPath(path)) + "'"; }

}  // namespace testenv
