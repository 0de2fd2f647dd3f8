#include "update/update.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <ios>
#include <sstream>

#include "platform/long_paths.h"
#include "platform/text_rules.h"
#include "update/client.h"
#include "update/recovery.h"
#include "update/run_state.h"
#include "update/switch_over.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

// A process whose libraries cannot be loaded ends within milliseconds of its
// start, also on a busy machine.
DWORD g_start_check_ms = 250;

namespace {

constexpr int kStopAttempts = 50;
constexpr int kPromoteAttempts = 8;
constexpr DWORD kClientWaitMs = 10000;
constexpr DWORD kUninstallWaitMs = 30000;
// How often a run that waits for the install root's lock tries again.
constexpr DWORD kLockPauseMs = 20;

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

// A path in the one form that every later use takes: the full path as the
// system resolves it, with a record when that differs from the text given.
void MakeCanonical(std::wstring& path, const char* label) {
  if (path.empty()) return;
  const std::wstring full = long_paths::FullPathName(long_paths::PlainForm(path));
  if (full.empty() || full == path) return;
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

// The archive's unpacked size from the archiver's listing: the sum of the
// sizes of the rows between the table's two rules ("Date Time Attr Size
// Compressed Name", the size right after the five attribute letters), short
// of overflowing. The listing's own total is not read: it wraps at 2^64.
// False for a listing cut short before its closing rule.
bool UnpackedSize(const std::string& listing, uint64_t* size) {
  constexpr size_t kSizeColumn = 25;  // "YYYY-MM-DD HH:MM:SS AAAAA" before it
  uint64_t& total = *size = 0;
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
  return rules == 2;
}

// Whether the install root's volume has no room left, where a step's output
// was cut short without the system's error reaching the updater.
bool VolumeFull(const InstallLayout& layout) {
  uint64_t left = 0;
  return Utils::FreeBytesAt(layout.root, &left) && left == 0;
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

bool IsFile(const std::wstring& path) {
  Utils::FileFacts facts;
  return FactsOf(path, false, &facts);
}

// Refuses, with a record, a path that cannot go through a command line in
// double quotes as one argument: the command lines here are joined without
// escapes, so a quote in it, or a backslash at its end where the closing
// quote follows, would split it otherwise. Windows paths hold neither;
// POSIX names may. `next` is what follows the path inside its quotes: the
// closing quote, or more of the same argument (the install root, with the
// client's path after it).
enum class Next { kClosingQuote, kMoreText };
bool RefuseUnquotable(const std::wstring& path, Next next = Next::kClosingQuote) {
  if (path.find(L'"') == std::wstring::npos &&
      (next == Next::kMoreText || path.empty() || path.back() != L'\\')) {
    return false;
  }
  LOG(ERROR) << "update refused, path cannot be passed on a command line:" << WideToUtf8(path);
  return true;
}

// Always false, with the record of a folder the update cannot write in.
bool RefuseUnwritable(const std::wstring& folder, DWORD code) {
  LOG(ERROR) << "update refused, folder cannot be written:" << WideToUtf8(folder)
             << ",getlasterror:" << code;
  return false;
}

// The archiver's command line for `command` ("l", "x") on the archive, with
// `tail` after it. Encrypted data never makes it wait for a password: it is
// given one that is not the archive's, and fails at once.
std::wstring ArchiverCommand(const std::wstring& archiver, const wchar_t* command,
                             const std::wstring& zip_file, const std::wstring& tail) {
  return L"\"" + archiver + L"\" " + command + L" \"" + zip_file + L"\"" + tail + L" -p-";
}

// The install root as both branches need it: a folder holding the client
// folder, writable, whose path the client's command line can carry.
bool CheckInstallRoot(const InstallLayout& layout) {
  // The relaunch puts the root in double quotes, the client's path after it.
  if (RefuseUnquotable(layout.root, Next::kMoreText)) return false;
  Utils::FileFacts facts;
  if (!FactsOf(layout.client_dir, true, &facts)) {
    LOG(ERROR) << "update refused, no client folder:" << WideToUtf8(layout.client_dir);
    return false;
  }
  DWORD code = 0;
  return CanWriteIn(layout.root, &code) || RefuseUnwritable(layout.root, code);
}

// What the staging folder is when it is not a folder of the install root's
// own: "a link", "a mount point" (another volume or mount), "not a folder";
// null when it is one.
const char* NotTheRootsOwn(const InstallLayout& layout) {
  // The listing's attributes: Wine shows a host link as a reparse point there.
  const DWORD attributes = GetFileAttributesW(long_paths::ExtendedForm(layout.staging_dir).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;  // the lock tells
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "a link";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "not a folder";
  uint64_t root_volume = 0;
  uint64_t volume = 0;
  return Utils::GetRenameVolume(layout.root, true, &root_volume) &&
                 Utils::GetRenameVolume(layout.staging_dir, false, &volume) && volume != root_volume
             ? "a mount point"
             : nullptr;
}

// Whether entries move between the install root and these places by
// renames: each on the volume of the root folder. `follow` as
// Utils::GetRenameVolume takes it.
struct Place {
  const char* what;
  std::wstring path;
  bool follow;
};
bool OnTheRootsVolume(const std::wstring& root_dir, std::initializer_list<Place> places) {
  uint64_t root_volume = 0;
  if (!Utils::GetRenameVolume(root_dir, true, &root_volume)) return true;  // the moves will tell
  for (const Place& place : places) {
    uint64_t volume = 0;
    if (Utils::GetRenameVolume(place.path, place.follow, &volume) && volume != root_volume) {
      LOG(ERROR) << "update refused, " << place.what << " on another volume than "
                 << WideToUtf8(root_dir) << ":" << WideToUtf8(place.path);
      return false;
    }
  }
  return true;
}

// The staged client as the switch needs it: a folder holding the client
// executable, not inside the client folder (a link could put it there),
// where an ERROR record begins with `verdict` when it is not.
bool StagedClientReady(const InstallLayout& layout, const char* verdict) {
  Utils::FileFacts staged;
  if (!FactsOf(layout.staged_client_dir, true, &staged)) {
    LOG(ERROR) << verdict << "no staged client folder:" << WideToUtf8(layout.staged_client_dir);
    return false;
  }
  if (!IsFile(JoinPath(layout.staged_client_dir, kClientProcessName))) {
    LOG(ERROR) << verdict << "no " << WideToUtf8(kClientProcessName)
               << " in the staged client folder:" << WideToUtf8(layout.staged_client_dir);
    return false;
  }
  Utils::FileFacts client;
  if (FactsOf(layout.client_dir, true, &client) &&
      Utils::LiesWithin(layout.staged_client_dir, client, true)) {
    LOG(ERROR) << verdict << "staged client folder inside the client folder:"
               << WideToUtf8(layout.staged_client_dir);
    return false;
  }
  return true;
}

bool PrepareStagedClient(const InstallLayout& layout, RunFolder* run) {
  if (!StagedClientReady(layout, "update refused, ")) return false;
  // The client folder goes aside into the staging folder, the staged one
  // into its place: renames, each within the root's volume.
  if (!OnTheRootsVolume(layout.root, {{"client folder", layout.client_dir, false},
                                      {"staged client folder", layout.staged_client_dir, false},
                                      {"staging folder", layout.staging_dir, true}})) {
    return false;
  }
  if (!MakeRunFolder(layout, run)) return RefuseUnwritable(layout.staging_dir, GetLastError());
  // Its caller may have left it in the system's cache only.
  return MakeNewClientDurable(layout, run, StagedClientBelow(), L"");
}

bool PrepareArchive(const InstallLayout& layout, const std::wstring& zip_file, RunFolder* run,
                    CarryPlan* plan) {
  Utils::FileFacts facts;
  // A regular file only: reading a pipe or a device could wait for ever.
  if (!FactsOf(zip_file, false, &facts) || facts.type != FILE_TYPE_DISK) {
    LOG(ERROR) << "update refused, no archive:" << WideToUtf8(zip_file);
    return false;
  }
  const std::wstring archiver = Utils::GetExeDirFilePath(L"7z.exe");
  if (!FactsOf(archiver, false, &facts)) {
    LOG(ERROR) << "update refused, no archiver:" << WideToUtf8(archiver);
    return false;
  }
  if (RefuseUnquotable(archiver) || RefuseUnquotable(zip_file)) return false;
  if (!MakeRunFolder(layout, run)) return RefuseUnwritable(layout.staging_dir, GetLastError());
  // The archiver reads the archive's index: a truncated archive, or one
  // whose index is encrypted, is refused in milliseconds.
  std::string listing;
  DWORD exit_code = 0;
  if (!Utils::RunForOutput(ArchiverCommand(archiver, L"l", zip_file, L""),
                           JoinPath(run->path, run_part::kListing), &listing, &exit_code)) {
    // The listing was not made or not read (a full volume): the system says why.
    const DWORD code = GetLastError();
    LOG(ERROR) << "update refused, archive unreadable:" << WideToUtf8(zip_file)
               << ",getlasterror:" << code;
    return false;
  }
  if (exit_code != 0) {
    LOG(ERROR) << "update refused, archive unreadable:" << WideToUtf8(zip_file)
               << ",7z exit code:" << exit_code;
    return false;
  }
  // Room for everything it brings: it is unpacked beside the old files.
  uint64_t unpacked = 0;
  if (!UnpackedSize(listing, &unpacked)) {
    LOG(ERROR) << "update refused, archive unreadable:" << WideToUtf8(zip_file)
               << (VolumeFull(layout) ? ",getlasterror:" + std::to_string(ERROR_DISK_FULL)
                                      : std::string(",listing cut short"));
    return false;
  }
  uint64_t free_bytes = 0;
  if (Utils::FreeBytesAt(layout.root, &free_bytes) && unpacked > free_bytes) {
    LOG(ERROR) << "update refused, not enough disk space:" << unpacked << " bytes needed,"
               << free_bytes << " bytes free on the volume of " << WideToUtf8(layout.root);
    return false;
  }
  // The unpacked files move into the client's folders by renames.
  if (!OnTheRootsVolume(layout.root, {{"staging folder", layout.staging_dir, true},
                                      {"client folder", layout.client_dir, true}}) ||
      RefuseUnquotable(run->unpacked)) {
    return false;
  }
  if (!ExtractArchive(run->unpacked, zip_file)) {
    // A volume that filled up meanwhile is named as the system names it.
    LOG(ERROR) << "update refused, archive not unpacked:" << WideToUtf8(zip_file)
               << (VolumeFull(layout) ? ",getlasterror:" + std::to_string(ERROR_DISK_FULL)
                                      : std::string());
    return false;
  }
  if (!IsFile(JoinPath(JoinPath(run->unpacked, kClientBelow), kClientProcessName))) {
    LOG(ERROR) << "update refused, no " << WideToUtf8(kClientProcessName)
               << " in the archive's client folder:" << WideToUtf8(zip_file);
    return false;
  }
  std::wstring conflict;
  std::string why;
  if (!FitsTheRoot(layout, run->unpacked, &conflict, &why)) {
    LOG(ERROR) << "update refused, archive entry conflicts with the install root:"
               << WideToUtf8(conflict) << "," << why;
    return false;
  }
  // The archive's files on disk, then what only the old client has beside
  // them: the new client whole before anything of the old one is ended.
  if (!MakeNewClientDurable(layout, run, run->Part(run_part::kUnpacked), kClientBelow)) {
    return false;
  }
  if (!PlanNewClient(layout, run, plan, &conflict, &why)) {
    LOG(ERROR) << "update refused, archive entry conflicts with the install root:"
               << WideToUtf8(conflict) << "," << why;
    return false;
  }
  return true;
}

// Ends every program that runs from the client folder and is not the client
// (a crash handler, a helper): Windows keeps their files, and the folder, in
// use. One record counts them with the `killed_before` clients the caller
// ended.
void KillClientFolderPrograms(const InstallLayout& layout, int32_t killed_before = 0) {
  const int32_t killed =
      killed_before + Utils::KillProcessesInFolder(layout.client_dir, kClientProcessName);
  if (killed == 0) return;
  LOG(INFO) << killed << " process killed," << WideToUtf8(layout.client_dir);
  Sleep(16);
}

// The client as the switch and the recovery reach it.
class ProcedureClient : public ClientControl {
 public:
  explicit ProcedureClient(const InstallLayout& layout) : layout_(layout) {}
  bool Runs() override { return ClientRuns(layout_); }
  bool Start() override { return StartNewClient(layout_); }
  void EndPrograms() override {
    KillClientFolderPrograms(layout_, Utils::KillProcessesByName(kClientProcessName));
  }

 private:
  const InstallLayout& layout_;
};

}  // namespace

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the version test passes a 284-byte record");
static_assert(sizeof(STARTUPINFOW) == 68, "the launch passes a 68-byte start-up record");
static_assert(sizeof(PROCESSENTRY32W) == 556, "the walk reads 556-byte snapshot entries");
#endif

void StripPathQuotes(std::wstring& root_dir, std::wstring& zip_file) {
  StripQuotes(root_dir, "root dir change to:");
  StripQuotes(zip_file, "zip file change to:");
}

void AnchorInstallRoot(std::wstring& root_dir, std::wstring& zip_file) {
  MakeCanonical(root_dir, "root dir change to:");
  MakeCanonical(zip_file, "zip file change to:");
  Utils::FileFacts root;
  const std::wstring current = CurrentFolder();
  if (current.empty() || !Utils::GetFileFacts(root_dir, &root) ||
      !Utils::LiesWithin(current, root, true)) {
    return;
  }
  std::wstring elsewhere = Utils::GetExeDirFilePath(L"");
  if (Utils::LiesWithin(elsewhere, root, true)) elsewhere = SystemFolder();
  if (SetCurrentDirectoryW(elsewhere.c_str())) {
    LOG(INFO) << "current folder change to:" << WideToUtf8(elsewhere);
  } else {
    const DWORD code = GetLastError();
    LOG(WARNING) << "current folder stays in the install root,getlasterror:" << code;
  }
}

RootLock LockInstallRoot(const InstallLayout& layout, DWORD wait_ms) {
  Utils::FileFacts root;
  if (!FactsOf(layout.root, true, &root)) {
    LOG(ERROR) << "update refused, no install root:" << WideToUtf8(layout.root);
    return RootLock::kRefused;
  }
  // A root that holds neither a client folder nor a staging folder has
  // nothing a run could change or finish: nothing is made in it for a lock.
  const std::wstring staging = long_paths::ExtendedForm(layout.staging_dir);
  if (!Utils::IsDirectory(layout.client_dir) &&
      GetFileAttributesW(staging.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return RootLock::kTaken;
  }
  if (!CreateDirectoryW(staging.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    RefuseUnwritable(layout.root, GetLastError());
    return RootLock::kRefused;
  }
  // Nothing is made in a staging folder that is not the root's own: through
  // a link or a mount point the lock file would land wherever that leads.
  if (const char* what = NotTheRootsOwn(layout)) {
    LOG(ERROR) << "update refused, staging folder is " << what << ":"
               << WideToUtf8(layout.staging_dir);
    return RootLock::kRefused;
  }
  // Held by this process until it ends: the handle is never closed. Every
  // attempt opens the file anew, so that one made again meanwhile counts.
  const std::wstring path = InstallRootLockPath(layout);
  DWORD code = ERROR_SUCCESS;
  for (DWORD waited = 0;; waited += kLockPauseMs) {
    HANDLE lock =
        CreateFileW(long_paths::ExtendedForm(path).c_str(), FILE_READ_DATA | FILE_APPEND_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // A lock needs no write access: a read-only (or immutable) lock file is
    // opened for reading.
    if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      lock = CreateFileW(long_paths::ExtendedForm(path).c_str(), FILE_READ_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        SetLastError(ERROR_ACCESS_DENIED);
      }
    }
    OVERLAPPED whole = {};
    if (lock != INVALID_HANDLE_VALUE &&
        LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
      return RootLock::kTaken;
    }
    code = GetLastError();
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    if (code != ERROR_LOCK_VIOLATION) break;
    if (waited >= wait_ms) {
      LOG(WARNING) << "another update of this install root is running:" << WideToUtf8(layout.root);
      return RootLock::kHeldByAnother;
    }
    Sleep(kLockPauseMs);
  }
  // Only a folder that refuses a new entry is one that cannot be written;
  // anything else (a folder at the lock file's name) is named as it is.
  DWORD write_code = 0;
  if ((code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT) &&
      !CanWriteIn(layout.staging_dir, &write_code)) {
    RefuseUnwritable(layout.staging_dir, write_code);
  } else {
    LOG(ERROR) << "update refused, install root lock not taken:" << WideToUtf8(path)
               << ",getlasterror:" << code;
  }
  return RootLock::kRefused;
}

bool RunsFrom(const std::wstring& folder) {
  Utils::FileFacts facts;
  return Utils::GetFileFacts(folder, &facts) &&
         Utils::LiesWithin(Utils::GetProgramPath(), facts, false);
}

bool HandOffToCopy(int32_t pid, const InstallLayout& layout, const std::wstring& zip_file) {
  const std::wstring program = Utils::GetProgramPath();
  const std::wstring archiver = Utils::GetExeDirFilePath(L"7z.exe");
  RunFolder run;
  if (!MakeRunFolder(layout, &run) || !MarkCopy(&run)) {
    return RefuseUnwritable(layout.staging_dir, GetLastError());
  }
  const std::wstring copy = JoinPath(run.path, FromFsPath(ToFsPath(program).filename()));
  bool copied = CopyFileW(long_paths::ExtendedLengthPath(program).c_str(),
                          long_paths::ExtendedLengthPath(copy).c_str(), TRUE) != FALSE;
  if (copied && IsFile(archiver)) {
    copied = CopyFileW(long_paths::ExtendedLengthPath(archiver).c_str(),
                       long_paths::ExtendedLengthPath(JoinPath(run.path, L"7z.exe")).c_str(),
                       TRUE) != FALSE;
  }
  const DWORD code = GetLastError();
  if (!copied) {
    LOG(ERROR) << "update refused, updater not copied:" << WideToUtf8(copy)
               << ",getlasterror:" << code;
    RemoveRunFolder(layout, &run);
    return false;
  }
  run.journal.Close();
  const std::wstring command =
      text_rules::JoinCommandLine({copy, L"--unzip=" + zip_file, L"--root_dir=" + layout.root,
                                   L"--pid=" + std::to_wstring(pid)},
                                  true);
  Utils::LaunchOptions options;
  options.hide_window = true;
  options.breakaway_from_job = true;
  PROCESS_INFORMATION started = Utils::LaunchProcess(command, options);
  if (!IsUsable(started.hProcess)) {
    LOG(ERROR) << "update refused, updater copy not started:" << WideToUtf8(copy);
    RemoveRunFolder(layout, &run);
    return false;
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  LOG(INFO) << "update continues in a copy of the updater:" << WideToUtf8(command);
  return true;
}

bool PrepareNewFiles(const InstallLayout& layout, const std::wstring& zip_file, RunFolder* run,
                     CarryPlan* plan) {
  if (!CheckInstallRoot(layout)) return false;
  CarryPlan unused;
  const bool ready = zip_file.empty()
                         ? PrepareStagedClient(layout, run)
                         : PrepareArchive(layout, zip_file, run, plan != nullptr ? plan : &unused);
  if (!ready) RemoveRunFolder(layout, run);
  return ready;
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

bool ClientExeCanGo(const InstallLayout& layout) {
  const std::wstring& exe = layout.client_exe;
  const std::wstring system_path = long_paths::ExtendedLengthPath(exe);
  const DWORD attributes = GetFileAttributesW(system_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  // A read-only file opens for writing only once its attribute is cleared;
  // it gets it back.
  const bool read_only = (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
                         FILE_ATTRIBUTE_READONLY;
  if (read_only) SetFileAttributesW(system_path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  HANDLE file = CreateFileW(system_path.c_str(), FILE_WRITE_DATA | DELETE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool can_go = file != INVALID_HANDLE_VALUE;
  const DWORD code = can_go ? 0 : GetLastError();
  if (can_go) CloseHandle(file);
  if (read_only) SetFileAttributesW(system_path.c_str(), attributes);
  LOG(INFO) << "can remove " << WideToUtf8(exe) << " result:" << can_go << ",ec:" << code;
  if (!can_go) Sleep(16);
  return can_go;
}

bool StopAndRemoveClient(const InstallLayout& layout) {
  for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
    if (!KillClientProcess()) LOG(WARNING) << "kill QXDazavAzir.exe failed or no such Process";
    KillClientFolderPrograms(layout);
    if (ClientExeCanGo(layout)) return true;
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
  // Windows cannot start a script of MAX_PATH characters or more by its
  // plain path; its short (8.3) form, where there is one, is short enough.
  // Such a script goes by that form to the system's command interpreter, as
  // Windows starts any script: Wine names a new process after the long form
  // of its program, taken into a MAX_PATH buffer without a check that it
  // fit, and so started whatever program that buffer held before (after one
  // script, the interpreter without a script to run).
  const std::wstring short_form =
      path.size() >= MAX_PATH ? long_paths::ShortForm(path) : std::wstring();
  const std::wstring system_folder = SystemFolder();
  const bool interpreted = !short_form.empty() && short_form != path && !system_folder.empty();
  const std::wstring interpreter = JoinPath(system_folder, L"cmd.exe");
  const std::wstring arguments = L"/s /c \"\"" + short_form + L"\"\"";
  if (interpreted) {
    info.lpFile = interpreter.c_str();
    info.lpParameters = arguments.c_str();
  } else {
    info.lpFile = short_form.empty() ? path.c_str() : short_form.c_str();
    info.lpParameters = nullptr;
  }
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

bool RunUninstallBat(const InstallLayout& layout) {
  return RunBatFile(layout.uninstall_script, kUninstallWaitMs);
}

bool RunInstallFirewallBat(const InstallLayout& layout) {
  return RunBatFile(layout.firewall_script);
}

bool ExtractArchive(const std::wstring& out_dir, const std::wstring& zip_file) {
  const std::wstring command = ArchiverCommand(Utils::GetExeDirFilePath(L"7z.exe"), L"x", zip_file,
                                               L" -aoa -o\"" + out_dir + L"\"");
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
  // copy of the new client until it is known to be whole on disk.
  return waited && exit_code == 0;
}

bool PromoteStagingDir(const InstallLayout& layout, bool into_client_folder) {
  const std::wstring& source = layout.staged_client_dir;
  const std::wstring& destination = into_client_folder ? layout.client_dir : layout.root;
  DWORD code = 0;
  const bool moved = RenameEntry(
      SystemPath(layout, StagedClientBelow()),
      into_client_folder ? SystemPath(layout, kClientBelow) : layout.system_root, 1, &code);
  if (!moved) RecordFailedMove(source, destination, code);
  LOG(INFO) << "move result:" << moved << ",from:" << WideToUtf8(source)
            << ",to:" << WideToUtf8(destination);
  return moved;
}

bool LaunchClient(const InstallLayout& layout) {
  const std::wstring& command = layout.relaunch_command;
  Utils::LaunchOptions options;
  options.hide_window = false;
  options.breakaway_from_job = true;
  options.wait_for_exit = false;
  options.allow_set_foreground = true;
  PROCESS_INFORMATION client = Utils::LaunchProcess(command, options);
  const bool valid = IsUsable(client.hProcess);
  LOG(INFO) << "launch process vaild:" << valid << " path:" << WideToUtf8(command);
  // Started is running: a process that ends at once with a status of the
  // system's (a library not found, a crash) is a client that cannot start.
  // The check ends as soon as the client waits for input, as a program that
  // runs does; a program without a message queue (for which the system
  // cannot tell) is given the whole time.
  bool runs = valid;
  DWORD code = 0;
  const auto start = std::chrono::steady_clock::now();
  const bool idle = valid && WaitForInputIdle(client.hProcess, g_start_check_ms) == 0;
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
  const DWORD rest = idle || spent >= g_start_check_ms ? 0 : g_start_check_ms - DWORD(spent);
  if (valid && WaitForSingleObject(client.hProcess, rest) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(client.hProcess, &code) && (code & 0xC0000000) == 0xC0000000) {
    LOG(ERROR) << "new client ended at its start,exit code:" << std::hex << std::uppercase << code;
    runs = false;
  }
  if (IsUsable(client.hProcess)) CloseHandle(client.hProcess);
  if (IsUsable(client.hThread)) CloseHandle(client.hThread);
  return runs;
}

bool ClientRuns(const InstallLayout& layout) {
  struct Context {
    Utils::FileFacts folder;
    bool runs = false;
  } context;
  if (!Utils::GetFileFacts(layout.client_dir, &context.folder)) return false;
  Utils::ForEachProcess(
      [](DWORD /*pid*/, const std::wstring& path, void* data) {
        auto* found = static_cast<Context*>(data);
        found->runs = !path.empty() && Utils::LiesWithin(path, found->folder, false);
        return !found->runs;
      },
      &context);
  return context.runs;
}

bool StartNewClient(const InstallLayout& layout) {
  if (IsWindows8OrLater()) RunInstallFirewallBat(layout);
  return LaunchClient(layout);
}

bool ReplaceClientDir(const InstallLayout& layout, RunFolder* run) {
  // The uninstall script may have changed the staging folder.
  const bool had_client = Utils::IsDirectory(layout.client_dir);
  ProcedureClient client(layout);
  if (StagedClientReady(layout, "update stopped, ") && BeginSwitch(layout, run) &&
      (!had_client || SetClientAside(layout, run, client)) && SetAppearedAside(layout, run) &&
      CarrySinceThePlan(layout, run, CarryPlan(), run->Part(run_part::kAppeared),
                        StagedClientBelow()) &&
      Commit(layout, run, {RecordKind::kCommit, StagedClientBelow(), kClientBelow, {}}, [&] {
        // Into the client folder, by a rename that never replaces: what a
        // program made there in the moment since it was set aside is never
        // emptied, the attempt fails instead (and is tried again).
        for (int attempt = 0; attempt < kPromoteAttempts; ++attempt) {
          if (PromoteStagingDir(layout, true)) return true;
          Sleep(20);
        }
        return false;
      })) {
    return true;
  }
  // The old client comes back, executable included; should that fail, the
  // journal leaves the rest to the next run.
  PutBack(layout, run);
  return false;
}

bool SwitchToArchive(const InstallLayout& layout, RunFolder* run, const CarryPlan& plan) {
  ProcedureClient client(layout);
  if (SwitchOver(layout, run, plan, client)) return true;
  PutBack(layout, run);
  return false;
}

bool RunUpdate(int32_t pid, const InstallLayout& layout, const std::wstring& zip_file) {
  WaitProcessById(pid, nullptr, kClientWaitMs);
  ProcedureClient client(layout);
  if (!RecoverLeftovers(layout, client)) return false;
  RunFolder run;
  CarryPlan plan;
  if (!PrepareNewFiles(layout, zip_file, &run, &plan)) return false;
  if (!StopAndRemoveClient(layout)) {
    RemoveRunFolder(layout, &run);  // nothing of the install changed
    return false;
  }
  RunUninstallBat(layout);
  const bool files_in_place =
      zip_file.empty() ? ReplaceClientDir(layout, &run) : SwitchToArchive(layout, &run, plan);
  if (!files_in_place) return false;
  if (!StartNewClient(layout)) {
    PutBack(layout, &run);
    return false;
  }
  MarkStarted(&run);
  if (!zip_file.empty()) {
    DeleteFileW(long_paths::ExtendedLengthPath(zip_file).c_str());
    LOG(INFO) << "remove the zip file";
  }
  // The old copy goes only now that the new client runs.
  RemoveRunFolder(layout, &run);
  return true;
}
