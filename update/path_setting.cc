#include "update/path_setting.h"

#include <ctime>
#include <cwchar>
#include <filesystem>

#include "platform/log_files.h"
#include "platform/win32.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

constexpr DWORD kAppDataCapacity = 520;  // wide characters, terminating zero included
constexpr size_t kDateCapacity = 64;

// Creates the folder when no entry of that name exists (on POSIX the user's
// alone, with the folders before it that it makes). False, with a record,
// when the name is taken by something that is not a folder (which is left as
// it is), or when the creation made nothing and no folder is there: the log
// library could not create its files there. A folder that another run made
// between the test and the creation (runs started together on a day's first
// run) is the folder wanted.
bool EnsureFolder(const std::wstring& folder) {
  const std::filesystem::path path = ToFsPath(folder);
  const std::filesystem::file_status status = std::filesystem::status(path);
  bool usable = std::filesystem::is_directory(status);
  if (!std::filesystem::exists(status)) {
    usable = log_files::CreateFolders(path) || std::filesystem::is_directory(path);
  }
  if (!usable) LOG(ERROR) << "create path failed: " << path.u8string();
  return usable;
}

}  // namespace

std::wstring GetAppDataPath() {
  // The value is accepted when it fits the buffer with its terminating zero:
  // the call then reports its length, otherwise the size it would need.
  wchar_t buffer[kAppDataCapacity] = {};
  DWORD length = GetEnvironmentVariableW(L"APPDATA", buffer, kAppDataCapacity);
  bool accepted = length > 0 && length < kAppDataCapacity;
  if (!accepted) {
    LOG(ERROR) << "app_data_path error";
    return std::wstring();
  }
  std::wstring path = JoinPath(buffer, L"QuexaZevuvEdov2");
  return EnsureFolder(path) ? path : std::wstring();
}

std::wstring GetLogPath() {
  std::wstring app_data = GetAppDataPath();
  if (app_data.empty()) {
    LOG(ERROR) << "get log path error";
    return std::wstring();
  }
  std::wstring path = JoinPath(app_data, L"log");
  return EnsureFolder(path) ? path : std::wstring();
}

std::wstring GetTodayLogPath() {
  std::wstring base = GetLogPath();
  wchar_t date[kDateCapacity] = {};
  std::time_t now = std::time(nullptr);
  wcsftime(date, kDateCapacity, L"%Y_%m_%d", std::localtime(&now));
  std::wstring path = JoinPath(base, date);
  return EnsureFolder(path) ? path : std::wstring();
}
