#include "update/update.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iomanip>
#include <sstream>

#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

const wchar_t kClientProcessName[] = L"QXDazavAzir.exe";

namespace {

constexpr int kStopAttempts = 50;
constexpr int kRemoveClientDirAttempts = 5;
constexpr int kPromoteAttempts = 8;
constexpr DWORD kClientWaitMs = 10000;
constexpr DWORD kUninstallWaitMs = 30000;

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

using Utils::IsUsable;

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

// A relative path made full, against the current folder, with a record.
void MakeFull(std::wstring& path, const char* label) {
  if (path.empty() || long_paths::IsExtendedOrDevice(path) || ToFsPath(path).is_absolute()) return;
  const std::wstring full = long_paths::FullPathName(path);
  if (full.empty()) return;
  path = full;
  LOG(INFO) << label << WideToUtf8(path);
}

std::wstring CurrentFolder() {
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return std::wstring();
  std::wstring folder(size, L'\0');
  const DWORD length = GetCurrentDirectoryW(size, folder.data());
  folder.resize(length < size ? length : 0);
  return folder;
}

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

// FNV-1a over the code units: a short, stable name for any path.
uint64_t Fingerprint(const std::wstring& text) {
  uint64_t hash = 14695981039346656037ULL;
  for (wchar_t c : text) hash = (hash ^ static_cast<uint32_t>(c)) * 1099511628211ULL;
  return hash;
}

// The archive's unpacked size from the archiver's listing: the sum of the
// sizes of the rows between the table's two rules ("Date Time Attr Size
// Compressed Name", the size right after the five attribute letters), short
// of overflowing. The listing's own total is not read: it wraps at 2^64.
uint64_t UnpackedSize(const std::string& listing) {
  constexpr size_t kSizeColumn = 25;  // "YYYY-MM-DD HH:MM:SS AAAAA" before it
  uint64_t total = 0;
  int rules = 0;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line) && rules < 2;) {
    if (line.rfind("-------------------", 0) == 0) {
      ++rules;
    } else if (rules == 1 && line.size() > kSizeColumn) {
      const uint64_t size = std::strtoull(line.c_str() + kSizeColumn, nullptr, 10);
      total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
    }
  }
  return total;
}

// Whether a folder can be written, tried by making and removing a folder of
// the updater's own in it. Only a refusal counts; other answers say nothing.
bool CanWriteIn(const std::wstring& folder, DWORD* code) {
  const std::wstring probe =
      JoinPath(folder, L".zizaro_do-probe-" + std::to_wstring(GetCurrentProcessId()));
  const std::wstring system_probe = long_paths::ExtendedLengthPath(probe);
  if (CreateDirectoryW(system_probe.c_str(), nullptr)) {
    RemoveDirectoryW(system_probe.c_str());
    return true;
  }
  *code = GetLastError();
  return *code != ERROR_ACCESS_DENIED && *code != ERROR_WRITE_PROTECT;
}

// The facts of an existing entry of the kind asked for (a folder or not).
bool FactsOf(const std::wstring& path, bool folder, Utils::FileFacts* facts) {
  return Utils::GetFileFacts(path, facts) &&
         ((facts->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

bool CheckStagedFiles(const InstallLayout& layout, const std::wstring& root_dir) {
  Utils::FileFacts staged;
  if (!FactsOf(layout.staged_client_dir, true, &staged)) {
    LOG(ERROR) << "update refused, no staged client folder:"
               << WideToUtf8(layout.staged_client_dir);
    return false;
  }
  // A folder moves only within its volume.
  Utils::FileFacts client;
  const bool has_client_folder = FactsOf(layout.client_dir, true, &client);
  const std::wstring& place = has_client_folder ? layout.client_dir : root_dir;
  if ((has_client_folder || Utils::GetFileFacts(root_dir, &client)) &&
      client.volume != staged.volume) {
    LOG(ERROR) << "update refused, staged client folder on another volume than "
               << WideToUtf8(place) << ":" << WideToUtf8(layout.staged_client_dir);
    return false;
  }
  for (const std::wstring& folder : {layout.staging_dir, root_dir}) {
    DWORD code = 0;
    if (!CanWriteIn(folder, &code)) {
      LOG(ERROR) << "update refused, folder cannot be written:" << WideToUtf8(folder)
                 << ",getlasterror:" << code;
      return false;
    }
  }
  return true;
}

bool CheckArchive(const std::wstring& root_dir, const std::wstring& zip_file) {
  Utils::FileFacts facts;
  if (!FactsOf(zip_file, false, &facts)) {
    LOG(ERROR) << "update refused, no archive:" << WideToUtf8(zip_file);
    return false;
  }
  const std::wstring archiver = Utils::GetExeDirFilePath(L"7z.exe");
  if (!FactsOf(archiver, false, &facts)) {
    LOG(ERROR) << "update refused, no archiver:" << WideToUtf8(archiver);
    return false;
  }
  // The archiver reads the archive's index: a truncated or damaged archive
  // is refused in milliseconds, before the old client is touched.
  const std::wstring command = L"\"" + archiver + L"\" l \"" + zip_file + L"\"";
  std::string listing;
  DWORD exit_code = 0;
  if (!Utils::RunForOutput(command, &listing, &exit_code) || exit_code != 0) {
    LOG(ERROR) << "update refused, archive unreadable:" << WideToUtf8(zip_file)
               << ",7z exit code:" << exit_code;
    return false;
  }
  // Room for what the archive brings, less what it overwrites.
  const uint64_t unpacked = UnpackedSize(listing);
  const uint64_t present = Utils::TreeSize(InstallLayout(root_dir).client_dir);
  uint64_t free_bytes = 0;
  if (unpacked > present && Utils::FreeBytesAt(root_dir, &free_bytes) &&
      unpacked - present > free_bytes) {
    LOG(ERROR) << "update refused, not enough disk space:" << (unpacked - present)
               << " bytes needed," << free_bytes << " bytes free on the volume of "
               << WideToUtf8(root_dir);
    return false;
  }
  return true;
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

void AnchorInstallRoot(std::wstring& root_dir, std::wstring& zip_file) {
  MakeFull(root_dir, "root dir change to:");
  MakeFull(zip_file, "zip file change to:");
  const std::wstring root_key = PathKey(root_dir);
  const std::wstring current = CurrentFolder();
  if (root_key.empty() || current.empty() || !IsSameOrBelow(PathKey(current), root_key)) return;
  std::wstring elsewhere = Utils::GetExeDirFilePath(L"");
  if (IsSameOrBelow(PathKey(elsewhere), root_key)) elsewhere = SystemFolder();
  if (SetCurrentDirectoryW(elsewhere.c_str())) {
    LOG(INFO) << "current folder change to:" << WideToUtf8(elsewhere);
  } else {
    const DWORD code = GetLastError();
    LOG(WARNING) << "current folder stays in the install root,getlasterror:" << code;
  }
}

std::wstring InstallRootLockName(const std::wstring& root_dir) {
  std::wostringstream name;
  name << L"Local\\zizaro_do-" << std::hex << std::setw(16) << std::setfill(L'0')
       << Fingerprint(PathKey(root_dir));
  return name.str();
}

bool LockInstallRoot(const std::wstring& root_dir) {
  // Held by this process until it ends: the handle is never closed.
  HANDLE lock = CreateMutexW(nullptr, FALSE, InstallRootLockName(root_dir).c_str());
  if (lock == nullptr) {
    const DWORD code = GetLastError();
    LOG(WARNING) << "install root lock not taken,getlasterror:" << code;
    return true;
  }
  const DWORD taken = WaitForSingleObject(lock, 0);
  if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) return true;
  CloseHandle(lock);
  LOG(WARNING) << "another update of this install root is running:" << WideToUtf8(root_dir);
  return false;
}

bool CheckNewFilesAtHand(const std::wstring& root_dir, const std::wstring& zip_file) {
  return zip_file.empty() ? CheckStagedFiles(InstallLayout(root_dir), root_dir)
                          : CheckArchive(root_dir, zip_file);
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
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE,
                                 static_cast<DWORD>(pid));
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
  const std::wstring system_path = long_paths::ExtendedLengthPath(exe);
  const DWORD attributes = GetFileAttributesW(system_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  // A file or an empty folder, as the file-system library removes them; a
  // read-only file only once its attribute is cleared.
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!folder && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(system_path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  const bool removed =
      (folder ? RemoveDirectoryW(system_path.c_str()) : DeleteFileW(system_path.c_str())) != FALSE;
  const DWORD code = removed ? 0 : GetLastError();
  LOG(INFO) << "remove " << WideToUtf8(exe) << " result:" << removed << ",ec:" << code;
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

bool RunBatFile(const std::wstring& path, DWORD wait_ms) {
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
    LOG(ERROR) << "Shell ExecutedEx failed:" << code
               << ",hAppInsance:" << PointerText{info.hInstApp};
    return false;
  }
  LOG(INFO) << "new launch handle:" << PointerText{info.hProcess};
  if (IsUsable(info.hProcess)) {
    if (wait_ms > 0 && WaitForSingleObject(info.hProcess, wait_ms) == WAIT_TIMEOUT) {
      LOG(WARNING) << "script still running after " << wait_ms << " ms:" << WideToUtf8(path);
    }
    CloseHandle(info.hProcess);
  }
  return true;
}

bool RunUninstallBat(const std::wstring& root_dir) {
  return RunBatFile(InstallLayout(root_dir).uninstall_script, kUninstallWaitMs);
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
  DeleteFileW(long_paths::ExtendedLengthPath(zip_file).c_str());
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
  if (!CheckNewFilesAtHand(root_dir, zip_file)) return false;
  if (!StopAndRemoveClient(root_dir)) return false;
  RunUninstallBat(root_dir);
  const bool files_in_place =
      zip_file.empty() ? ReplaceClientDir(root_dir) : ExtractArchive(root_dir, zip_file);
  if (!files_in_place) return false;
  if (IsWindows8OrLater()) RunInstallFirewallBat(root_dir);
  return LaunchClient(root_dir);
}
