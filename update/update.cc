#include "update/update.h"

#include <initializer_list>

#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

const wchar_t kClientProcessName[] = L"QXDazavAzir.exe";

namespace {

constexpr int kStopAttempts = 50;
constexpr int kRemoveClientDirAttempts = 5;
constexpr int kPromoteAttempts = 8;
constexpr DWORD kClientWaitMs = 10000;

// A fixed tail appended to the install root: each part preceded by the
// platform's separator, and one more separator at the end when asked for.
std::wstring Tail(std::initializer_list<const wchar_t*> parts, bool closing_separator = false) {
  std::wstring tail;
  for (const wchar_t* part : parts) {
    tail.push_back(kPathSeparator);
    tail.append(part);
  }
  if (closing_separator) tail.push_back(kPathSeparator);
  return tail;
}

bool IsUsable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Windows 8 (6.2) or later, service pack 0 or later.
bool IsWindows8OrLater() {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwMajorVersion = 6;
  version.dwMinorVersion = 2;
  version.wServicePackMajor = 0;
  version.wServicePackMinor = 0;
  ULONGLONG conditions = 0;
  conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                            conditions) != FALSE;
}

void StripQuotes(std::wstring& path, const char* label) {
  const std::wstring quote = L"\"";
  if (StartsWith(path, quote) && EndsWith(path, quote)) {
    path = path.size() < 2 ? std::wstring() : path.substr(1, path.size() - 2);
    LOG(INFO) << label << WideToUtf8(path);
  }
}

}  // namespace

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the version test passes a 284-byte record");
static_assert(sizeof(STARTUPINFOW) == 68, "the launch passes a 68-byte start-up record");
static_assert(sizeof(PROCESSENTRY32W) == 556, "the walk reads 556-byte snapshot entries");
#endif

InstallLayout::InstallLayout(const std::wstring& root)
    : client_dir(JoinPath(root, L"Client")),
      staging_dir(JoinPath(root, L"qxcg_update_tmp")),
      staged_client_dir(JoinPath(staging_dir, L"Client")),
      client_exe(root + Tail({L"Client", kClientProcessName})),
      driver_dir(root + Tail({L"Client", L"resources", L"app", L"private_cloud", L"driver"}, true)),
      uninstall_script(driver_dir + L"uninstall.bat"),
      firewall_script(driver_dir + L"install_include_firewall.bat"),
      relaunch_command(L"\"" + root + Tail({L"Client", kClientProcessName}) + L"\"") {}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void StripPathQuotes(std::wstring& root_dir, std::wstring& zip_file) {
  StripQuotes(root_dir, "root dir change to:");
  StripQuotes(zip_file, "zip file change to:");
}

bool WaitProcess(HANDLE process, DWORD* exit_code, DWORD timeout_ms) {
  bool result = false;
  if (IsUsable(process)) {
    DWORD waited = WaitForSingleObject(process, timeout_ms);
    if (waited == WAIT_OBJECT_0) {
      result = true;
    } else if (waited == WAIT_TIMEOUT) {
      LOG(WARNING) << "wait timeout";
    } else {
      DWORD code = GetLastError();
      LOG(ERROR) << "wait error hanppen,getlasterror is:" << code;
    }
    if (exit_code != nullptr && !GetExitCodeProcess(process, exit_code)) {
      DWORD code = GetLastError();
      LOG(ERROR) << "GetExitCodeProcess,getlasterror is:" << code;
      result = false;
    }
  }
  LOG(INFO) << "wait result" << result;
  return result;
}

bool WaitProcessById(int32_t pid, DWORD* exit_code, DWORD timeout_ms) {
  bool result = false;
  if (pid >= 1) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE,
                                 FALSE, static_cast<DWORD>(pid));
    result = WaitProcess(process, exit_code, timeout_ms);
    if (process != nullptr) CloseHandle(process);
  }
  LOG(INFO) << "wait result" << result;
  return result;
}

bool KillClientProcess() {
  Sleep(16);
  int32_t killed = Utils::KillProcessesByName(kClientProcessName);
  LOG(INFO) << killed << " process killed," << WideToUtf8(kClientProcessName);
  if (killed == 0) return false;
  Sleep(16);
  return true;
}

bool RemoveClientExe(const std::wstring& root_dir) {
  const std::wstring exe = InstallLayout(root_dir).client_exe;
  if (!PathFileExistsW(exe.c_str())) return true;
  std::error_code error;
  bool removed = std::filesystem::remove(ToFsPath(exe), error);
  LOG(INFO) << "remove " << WideToUtf8(exe) << " result:" << removed << ",ec:" << error.value();
  if (!removed) Sleep(16);
  return removed;
}

bool StopAndRemoveClient(const std::wstring& root_dir) {
  for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
    if (!KillClientProcess()) LOG(WARNING) << "kill QXDazavAzir.exe failed or no such Process";
    if (RemoveClientExe(root_dir)) return true;
    LOG(WARNING) << "delete file  QXDazavAzir.exe failed ";
    Sleep(20);
  }
  LOG(ERROR) << "enforce kill process and delete QXDazavAzir.exe failed";
  return false;
}

bool RunBatFile(const std::wstring& path) {
  LOG(INFO) << "bat full path:" << WideToUtf8(path);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  // No error dialog of the shell's own: a missing script must not stop an
  // unattended update until somebody answers a box.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hwnd = nullptr;
  info.lpVerb = L"open";
  info.lpFile = path.c_str();
  info.lpParameters = nullptr;
  info.lpDirectory = nullptr;
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info)) {
    DWORD code = GetLastError();
    LOG(ERROR) << "Shell ExecutedEx failed:" << code << ",hAppInsance:" << PointerText{info.hInstApp};
    return false;
  }
  LOG(INFO) << "new launch handle:" << PointerText{info.hProcess};
  // The script is not waited for; its handle served only the record.
  if (IsUsable(info.hProcess)) CloseHandle(info.hProcess);
  return true;
}

bool RunUninstallBat(const std::wstring& root_dir) {
  return RunBatFile(InstallLayout(root_dir).uninstall_script);
}

bool RunInstallFirewallBat(const std::wstring& root_dir) {
  return RunBatFile(InstallLayout(root_dir).firewall_script);
}

bool ExtractArchive(const std::wstring& out_dir, const std::wstring& zip_file) {
  const std::wstring archiver = Utils::GetExeDirFilePath(L"7z.exe");
  const std::wstring command = L"\"" + archiver + L"\"" + L" x " + L"\"" + zip_file + L"\"" +
                               L" -aoa " + L"-o\"" + out_dir + L"\"";
  Utils::LaunchOptions options;
  options.hide_window = true;
  options.breakaway_from_job = false;
  options.wait_for_exit = false;
  options.allow_set_foreground = false;
  PROCESS_INFORMATION archiver_process = Utils::LaunchProcess(command, options);
  const bool started = IsUsable(archiver_process.hProcess);
  LOG(INFO) << "launch 7z vaild:" << started << " cmd:" << WideToUtf8(command);
  if (!started) {
    LOG(ERROR) << "7z launch failed";
    return false;
  }
  DWORD exit_code = 0;
  const bool waited = WaitProcess(archiver_process.hProcess, &exit_code, INFINITE);
  LOG(INFO) << "7z exit with code:" << exit_code << ",ret:" << waited;
  CloseHandle(archiver_process.hThread);
  CloseHandle(archiver_process.hProcess);
  // Only an exit code that was actually read counts: the archive is the only
  // copy of the new client until the extraction is known to be complete.
  if (!waited || exit_code != 0) return false;
  DeleteFileW(zip_file.c_str());
  LOG(INFO) << "remove the zip file";
  return true;
}

bool PromoteStagingDir(const std::wstring& root_dir, bool into_client_folder) {
  const InstallLayout layout(root_dir);
  const std::wstring& source = layout.staged_client_dir;
  const std::wstring destination = into_client_folder ? layout.client_dir : root_dir;
  const bool moved = Utils::MoveDir(source, destination) != 0;
  LOG(INFO) << "move result:" << moved << ",from:" << WideToUtf8(source)
            << ",to:" << WideToUtf8(destination);
  return moved;
}

bool LaunchClient(const std::wstring& root_dir) {
  const std::wstring command = InstallLayout(root_dir).relaunch_command;
  Utils::LaunchOptions options;
  options.hide_window = false;
  options.breakaway_from_job = true;
  options.wait_for_exit = false;
  options.allow_set_foreground = true;
  PROCESS_INFORMATION client = Utils::LaunchProcess(command, options);
  const bool valid = IsUsable(client.hProcess);
  if (IsUsable(client.hProcess)) CloseHandle(client.hProcess);
  if (IsUsable(client.hThread)) CloseHandle(client.hThread);
  LOG(INFO) << "launch process vaild:" << valid << " path:" << WideToUtf8(command);
  return valid;
}

bool RemoveClientDir(const std::wstring& root_dir) {
  return Utils::RemoveAll(InstallLayout(root_dir).client_dir);
}

bool ReplaceClientDir(const std::wstring& root_dir) {
  for (int attempt = 0; attempt < kRemoveClientDirAttempts; ++attempt) {
    Sleep(10);
    if (RemoveClientDir(root_dir)) break;
  }
  bool into_client_folder = false;
  for (int attempt = 0; attempt < kPromoteAttempts; ++attempt) {
    if (PromoteStagingDir(root_dir, into_client_folder)) return true;
    into_client_folder = !into_client_folder;
    Sleep(20);
  }
  return false;
}

bool RunUpdate(int32_t pid, const std::wstring& root_dir, const std::wstring& zip_file) {
  WaitProcessById(pid, nullptr, kClientWaitMs);
  if (!StopAndRemoveClient(root_dir)) return false;
  RunUninstallBat(root_dir);
  const bool files_in_place =
      zip_file.empty() ? ReplaceClientDir(root_dir) : ExtractArchive(root_dir, zip_file);
  if (!files_in_place) return false;
  if (IsWindows8OrLater()) RunInstallFirewallBat(root_dir);
  return LaunchClient(root_dir);
}
