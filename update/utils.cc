#include "update/utils.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/file_identity.h"
#include "platform/listing.h"
#include "platform/long_paths.h"
#include "platform/tree_removal.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace Utils {
namespace {

namespace fs = std::filesystem;
using long_paths::ExtendedLengthPath;

// The longest path the system allows, terminating zero included.
constexpr DWORD kLongestPath = 32768;

// The last component of a path: the text after its last backslash or slash;
// without separators the whole path, less a leading drive letter and colon.
std::wstring FileNameOf(const std::wstring& path) {
  size_t separator = path.find_last_of(L"\\/");
  if (separator != std::wstring::npos) return path.substr(separator + 1);
  if (path.size() >= 2 && path[1] == L':') return path.substr(2);
  return path;
}

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

// Equal when the texts differ at most in the case of the letters A to Z.
bool EqualsIgnoringAsciiCase(const std::wstring& left, const wchar_t* right) {
  size_t i = 0;
  for (; i < left.size() && right[i] != L'\0'; ++i) {
    if (AsciiLower(left[i]) != AsciiLower(right[i])) return false;
  }
  return i == left.size() && right[i] == L'\0';
}

bool KillVisitor(DWORD process_id, const std::wstring& full_path, void* context) {
  auto* kill = static_cast<KillByNameContext*>(context);
  // An empty name would match every process whose path could not be read.
  if (kill->name[0] == L'\0') return true;
  if (EqualsIgnoringAsciiCase(FileNameOf(full_path), kill->name)) {
    LOG(INFO) << "will kill:" << WideToUtf8(full_path);
    if (TerminateProcessById(process_id)) ++kill->count;
  }
  return true;
}

// What KillProcessesInFolder hands through the walk.
struct KillInFolderContext {
  FileFacts folder;
  const std::wstring* except;
  int32_t count = 0;
};

bool KillInFolderVisitor(DWORD process_id, const std::wstring& full_path, void* context) {
  auto* kill = static_cast<KillInFolderContext*>(context);
  if (full_path.empty() || process_id == GetCurrentProcessId() ||
      EqualsIgnoringAsciiCase(FileNameOf(full_path), kill->except->c_str())) {
    return true;
  }
  if (LiesWithin(full_path, kill->folder, false)) {
    LOG(INFO) << "will kill:" << WideToUtf8(full_path);
    if (TerminateProcessById(process_id)) ++kill->count;
  }
  return true;
}

// A path as the file-system library writes a narrow path: in the code page
// of the system's narrow file functions, in double quotes, with backslashes
// and quotes escaped.
std::string QuotedNarrowPath(const std::wstring& path) {
  std::ostringstream quoted;
  quoted << std::quoted(NarrowText(path, AreFileApisANSI() ? CP_ACP : CP_OEMCP));
  return quoted.str();
}

DWORD AttributesOf(const std::wstring& path) {
  return GetFileAttributesW(ExtendedLengthPath(path).c_str());
}

// System error numbers, as they are given to records: the number itself,
// which says more than a message in the system's language.
class SystemErrors : public std::error_category {
 public:
  const char* name() const noexcept override { return "system"; }
  std::string message(int code) const override { return "system error " + std::to_string(code); }
};

fs::filesystem_error FileError(const std::string& operation, const std::wstring& path, DWORD code) {
  static const SystemErrors errors;
  return fs::filesystem_error(operation, ToFsPath(path),
                              std::error_code(static_cast<int>(code), errors));
}

[[noreturn]] void ThrowFileError(const char* operation, const std::wstring& path, DWORD code) {
  throw FileError(operation, path, code);
}

// Creates a folder and every missing folder above it.
void CreateFolders(const std::wstring& folder) {
  if (IsDirectory(folder)) return;
  const fs::path parent = ToFsPath(folder).parent_path();
  if (parent != ToFsPath(folder) && !parent.empty()) CreateFolders(FromFsPath(parent));
  if (!CreateDirectoryW(ExtendedLengthPath(folder).c_str(), nullptr)) {
    const DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS || !IsDirectory(folder)) {
      ThrowFileError("create_directories", folder, code);
    }
  }
}

// An existing entry opened only to be asked about: no access asked for and
// every kind of sharing allowed, so that nothing stands in anybody's way, and
// backup semantics, so that folders open too; `flags` adds to them.
HANDLE OpenToQuery(const std::wstring& path, DWORD flags = 0) {
  return CreateFileW(ExtendedLengthPath(path).c_str(), 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool SameFile(const FileFacts& left, const FileFacts& right) {
  return left.volume == right.volume && left.index == right.index;
}

// The full form of a path and each of its ancestors, by text, the path
// first; none when no full form can be made.
std::vector<std::wstring> PathAndItsAncestors(const std::wstring& path) {
  std::vector<std::wstring> steps;
  const std::wstring full = long_paths::FullPathName(path);
  if (full.empty()) return steps;
  for (fs::path walk = ToFsPath(full);; walk = walk.parent_path()) {
    steps.push_back(FromFsPath(walk));
    if (!walk.has_relative_path() || walk.parent_path() == walk) return steps;
  }
}

// Whether `inner` is `outer` or lies below it by file identity, an identity
// that cannot be read counting as yes.
bool IsSameOrBelowByIdentity(const std::wstring& inner, const std::wstring& outer) {
  FileFacts container;
  if (!GetFileFacts(outer, &container)) return AttributesOf(outer) != INVALID_FILE_ATTRIBUTES;
  return LiesWithin(inner, container, true);
}

// Clears the read-only attribute of the files below `folder` (reached
// through `system_folder`, its extended form).
bool ClearReadOnlyIn(const std::wstring& folder, const std::wstring& system_folder) {
  std::vector<ListedEntry> entries;
  if (!ListFolder(system_folder, &entries)) return false;
  for (const auto& [name, attributes, last_write, size] : entries) {
    // Links and junctions are removed as they are, never walked: a link to an
    // outside folder keeps that folder untouched, and a cycle cannot trap us.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    const std::wstring system_path = long_paths::ChildPath(system_folder, name);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ClearReadOnlyIn(JoinPath(folder, name), system_path);
    } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      if (!SetFileAttributesW(system_path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        LOG(ERROR) << "set file attribute failed,path:" << WideToUtf8(JoinPath(folder, name));
        LOG(ERROR) << "getlasterror is:" << GetLastError();
      }
    }
  }
  return true;
}

// Whether moving `source` to `destination` would put the source at risk:
// either lies in the other, by the paths as written or by identity.
bool Overlaps(const std::wstring& source, const std::wstring& destination) {
  const std::wstring source_key = PathKey(source);
  const std::wstring destination_key = PathKey(destination);
  if (source_key.empty() || destination_key.empty()) return true;
  return IsSameOrBelow(source_key, destination_key) || IsSameOrBelow(destination_key, source_key) ||
         IsSameOrBelowByIdentity(source, destination) ||
         IsSameOrBelowByIdentity(destination, source);
}

}  // namespace

bool IsUsable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

DWORD GetProcessSessionId(DWORD process_id) {
  if (process_id == 0) return 0;
  DWORD session_id = 0;
  if (!ProcessIdToSessionId(process_id, &session_id)) {
    DWORD code = GetLastError();
    if (code != ERROR_ACCESS_DENIED) {
      LOG(WARNING) << "failed to get sessionId for pid:" << process_id << ",code:" << code;
    }
    return 0;
  }
  return session_id;
}

std::wstring GetProcessFullpathByPId(DWORD process_id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (process == nullptr) {
    DWORD code = GetLastError();
    if (code != ERROR_ACCESS_DENIED) {
      LOG(WARNING) << "Open Process:" << process_id << "failed:" << code;
    }
    return std::wstring();
  }
  // A client under a deep install root has a path beyond MAX_PATH: the
  // buffer holds the longest path the system allows.
  std::vector<wchar_t> buffer(kLongestPath, L'\0');
  DWORD size = kLongestPath;
  std::wstring path;
  if (QueryFullProcessImageNameW(process, 0, buffer.data(), &size) && size > 0) {
    path.assign(buffer.data(), size);
  } else {
    DWORD code = GetLastError();
    if (code != ERROR_ACCESS_DENIED && code != ERROR_GEN_FAILURE) {
      LOG(WARNING) << "Query:" << process_id << " full process name failed:" << code;
    }
  }
  CloseHandle(process);
  return path;
}

bool ForEachProcess(ProcessVisitor visitor, void* context) {
  const DWORD own_session = GetProcessSessionId(GetCurrentProcessId());
  HANDLE snapshot = INVALID_HANDLE_VALUE;
  try {
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      LOG(WARNING) << "fail to CreateToolhelp32Snapshot, code:" << code;
      return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      const DWORD process_id = entry.th32ProcessID;
      if (GetProcessSessionId(process_id) != own_session) continue;
      std::wstring full_path = GetProcessFullpathByPId(process_id);
      if (visitor != nullptr && !visitor(process_id, full_path, context)) break;
    }
    CloseHandle(snapshot);
    return true;
  } catch (const std::exception& e) {
    LOG(WARNING) << "exception :" << e.what();
    if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
    return false;
  }
}

int32_t KillProcessesByName(const std::wstring& name) {
  KillByNameContext context = {0, name.c_str()};
  ForEachProcess(&KillVisitor, &context);
  return context.count;
}

int32_t KillProcessesInFolder(const std::wstring& folder, const std::wstring& except) {
  KillInFolderContext context;
  context.except = &except;
  if (!GetFileFacts(folder, &context.folder)) return 0;
  ForEachProcess(&KillInFolderVisitor, &context);
  return context.count;
}

bool TerminateProcessById(DWORD process_id) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, process_id);
  if (process == nullptr) {
    DWORD code = GetLastError();
    LOG(WARNING) << process_id << " process open failed:" << code;
    return false;
  }
  bool terminated = TerminateProcess(process, 0) != FALSE;
  if (terminated) {
    LOG(INFO) << "Terminate Process pid = " << process_id;
  } else {
    DWORD code = GetLastError();
    LOG(WARNING) << "Terminate process failed,pid:" << process_id << " code:" << code;
  }
  CloseHandle(process);
  return terminated;
}

PROCESS_INFORMATION LaunchProcess(std::wstring command_line, LaunchOptions options) {
  wchar_t desktop[] = L"WinSta0\\Default";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.lpDesktop = desktop;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = options.hide_window ? SW_HIDE : SW_SHOWNORMAL;
  // Output goes to the caller's handle, which the new process inherits.
  const BOOL inherit = options.output != nullptr;
  if (inherit) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdOutput = options.output;
    startup.hStdError = options.output;
  }

  PROCESS_INFORMATION info = {};
  // A program whose output the caller takes runs without a console: under
  // Wine a new console is a conhost.exe that inherits the program's handles
  // and keeps its output open for a while after the program has ended.
  DWORD flags = inherit ? DETACHED_PROCESS : CREATE_NEW_CONSOLE;
  if (options.breakaway_from_job) flags |= CREATE_BREAKAWAY_FROM_JOB;
  const wchar_t* directory =
      options.working_directory.empty() ? nullptr : options.working_directory.c_str();
  // CreateProcessW may write into the command line: give it a copy of its own.
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');

  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, inherit, flags, nullptr,
                      directory, &startup, &info)) {
    LOG(ERROR) << "launch process error,commandline:" << WideToUtf8(command_line);
    return PROCESS_INFORMATION{};
  }
  if (options.allow_set_foreground && !AllowSetForegroundWindow(info.dwProcessId)) {
    LOG(WARNING) << "Failed to grant foreground privilege to launched process";
  }
  if (options.wait_for_exit) WaitForSingleObject(info.hProcess, INFINITE);
  return info;
}

bool RunForOutput(const std::wstring& command_line, const std::wstring& output_file,
                  std::string* output, DWORD* exit_code) {
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof(inheritable);
  inheritable.bInheritHandle = TRUE;
  const std::wstring path = ExtendedLengthPath(output_file);
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LaunchOptions options;
  options.hide_window = true;
  options.output = file;
  options.wait_for_exit = true;
  PROCESS_INFORMATION process = LaunchProcess(command_line, options);
  CloseHandle(file);
  const bool read = IsUsable(process.hProcess) && ReadWholeFile(output_file, output) &&
                    GetExitCodeProcess(process.hProcess, exit_code) != FALSE;
  const DWORD code = read ? ERROR_SUCCESS : GetLastError();
  DeleteFileW(path.c_str());
  if (IsUsable(process.hProcess)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  SetLastError(code);
  return read;
}

bool ReadWholeFile(const std::wstring& path, std::string* text, uint64_t limit) {
  HANDLE file = CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[65536];
  DWORD got = 0;
  while (text->size() <= limit && ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    text->append(buffer, got);
  CloseHandle(file);
  return text->size() <= limit;
}

std::wstring FinalPathOf(const std::wstring& path) {
  HANDLE file = OpenToQuery(path);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  // The buffer grown as the call asks, for a path of any length.
  std::vector<wchar_t> buffer(MAX_PATH);
  DWORD length = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length < buffer.size()) break;
    buffer.resize(length + 1);
  }
  CloseHandle(file);
  if (length == 0 || length >= buffer.size()) return std::wstring();
  return long_paths::PlainForm(std::wstring(buffer.data(), length));
}

bool GetFileFacts(const std::wstring& path, FileFacts* facts, bool follow) {
  if (path.empty()) return false;
  HANDLE file = OpenToQuery(path, follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information = {};
  const bool read = GetFileInformationByHandle(file, &information) != FALSE;
  const DWORD type = GetFileType(file);
  CloseHandle(file);
  if (!read) return false;
  facts->attributes = information.dwFileAttributes;
  facts->volume = information.dwVolumeSerialNumber;
  facts->index = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  facts->born = file_identity::BirthOf(information);
  facts->type = type;
  return true;
}

bool LiesWithin(const std::wstring& inner, const FileFacts& outer, bool when_undecidable) {
  const std::vector<std::wstring> steps = PathAndItsAncestors(inner);
  if (steps.empty()) return when_undecidable;
  bool resolved = false;
  for (const std::wstring& step : steps) {
    FileFacts facts;
    if (GetFileFacts(step, &facts)) {
      if (SameFile(facts, outer)) return true;
      // Where the first entry that exists really lies: a link on the way
      // may lead into `outer` from elsewhere.
      if (!resolved) {
        resolved = true;
        for (const std::wstring& real : PathAndItsAncestors(FinalPathOf(step))) {
          if (GetFileFacts(real, &facts) && SameFile(facts, outer)) return true;
        }
      }
    } else if (AttributesOf(step) != INVALID_FILE_ATTRIBUTES && when_undecidable) {
      return true;  // there, but its identity cannot be read
    }
  }
  return false;
}

bool GetRenameVolume(const std::wstring& path, bool follow, uint64_t* volume) {
  if (path.empty()) return false;
  HANDLE file = OpenToQuery(path, follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Both serials: on Windows they are one; the POSIX layer tells the device
  // by the first and the mount by the second. Wine tells the host's devices
  // apart by the first only, and may not answer the second.
  BY_HANDLE_FILE_INFORMATION information = {};
  DWORD serial = 0;
  const bool read = GetFileInformationByHandle(file, &information) != FALSE;
  if (!GetVolumeInformationByHandleW(file, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
    serial = 0;
  }
  CloseHandle(file);
  *volume = (uint64_t{information.dwVolumeSerialNumber} << 32) | serial;
  return read;
}

bool GetFileSystemName(const std::wstring& path, std::wstring* name) {
  HANDLE file = OpenToQuery(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  wchar_t text[MAX_PATH + 1] = {};
  const bool told = GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, text,
                                                  MAX_PATH + 1) != FALSE;
  CloseHandle(file);
  *name = text;
  return told;
}

bool IsDirectory(std::wstring path) {
  FileFacts facts;
  return GetFileFacts(path, &facts) && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ClearReadOnlyRecursive(std::wstring folder) {
  return ClearReadOnlyIn(folder, long_paths::ExtendedForm(folder));
}

bool ListFolder(const std::wstring& system_folder, std::vector<ListedEntry>* entries) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = FindFirstFileW(long_paths::ChildPath(system_folder, L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    // A time the listing only copies (a folder's index entry) is not given.
    const bool own_time =
        listing::kTimesAreCurrent || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const uint64_t last_write = own_time ? StepsOf(entry.ftLastWriteTime) : 0;
    const uint64_t size = (uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow;
    entries->push_back({name, entry.dwFileAttributes, last_write, size});
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  std::sort(entries->begin(), entries->end());
  return true;
}

bool RemoveAll(std::wstring path) {
  // One walk that never leaves the tree: links, junctions and mount points
  // are removed themselves or left, never entered, and read-only files go
  // too (platform/tree_removal.h).
  const tree_removal::Outcome outcome = tree_removal::RemoveTree(long_paths::ExtendedForm(path));
  const bool missing =
      outcome.removed == 0 && outcome.at.empty() &&
      (outcome.error == ERROR_FILE_NOT_FOUND || outcome.error == ERROR_PATH_NOT_FOUND);
  const bool failed = outcome.error != ERROR_SUCCESS && !missing;
  if (failed) {
    const std::string operation = std::string("cannot remove all") +
                                  (outcome.refusal ? std::string(", ") + outcome.refusal : "");
    LOG(ERROR) << "error happened:"
               << FileError(operation, outcome.at.empty() ? path : JoinPath(path, outcome.at),
                            outcome.error)
                      .what();
  }
  // The count says what went, also when an entry stopped the walk.
  const auto count = static_cast<int32_t>(outcome.removed);
  const bool removed = !failed && count > 0;
  LOG(INFO) << "delete file result:" << removed << ",path:" << QuotedNarrowPath(path)
            << ",count:" << count;
  return removed;
}

BOOL MoveDir(std::wstring source, std::wstring destination) {
  if (!IsDirectory(source)) return 0;
  // Clearing a destination that holds the source, or lies inside it, would
  // destroy the source: such a move is refused before anything changes.
  if (Overlaps(source, destination)) {
    LOG(WARNING) << "move refused, destination overlaps source,src path:" << WideToUtf8(source)
                 << " dst path:" << WideToUtf8(destination);
    return 0;
  }
  const fs::path parent = ToFsPath(destination).parent_path();
  if (!parent.empty()) CreateFolders(FromFsPath(parent));
  if (IsDirectory(destination) && !RemoveAll(destination)) return 0;
  BOOL moved =
      MoveFileExW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(destination).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
  if (!moved) {
    DWORD code = GetLastError();
    LOG(ERROR) << "move file failed,src path:" << WideToUtf8(source)
               << " dst path:" << WideToUtf8(destination) << " getlasterror:" << code;
  }
  return moved;
}

bool FreeBytesAt(const std::wstring& path, uint64_t* free_bytes) {
  // The folder itself may not exist yet: its nearest existing ancestor lies
  // on the volume it will be created on.
  for (const std::wstring& step : PathAndItsAncestors(path)) {
    if (!IsDirectory(step)) continue;
    ULARGE_INTEGER available = {};
    std::wstring folder = ExtendedLengthPath(step);
    if (folder.back() != kPathSeparator) folder.push_back(kPathSeparator);
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
    *free_bytes = available.QuadPart;
    return true;
  }
  return false;
}

std::wstring GetProgramPath() {
  std::vector<wchar_t> path(kLongestPath);
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), kLongestPath);
  return length > 0 && length < kLongestPath ? std::wstring(path.data(), length) : std::wstring();
}

std::wstring GetExeDirFilePath(const wchar_t* name) {
  // A copy of the updater in a deep run folder lies past MAX_PATH.
  const std::wstring path = GetProgramPath();
  // Drive (a letter and a colon) and folder (up to the last separator); the
  // program's own file name is dropped.
  size_t start = 0;
  if (path.size() >= 2 && path[1] == L':' &&
      ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    start = 2;
  }
  size_t last = path.find_last_of(L"\\/");
  std::wstring folder = (last == std::wstring::npos || last < start) ? path.substr(0, start)
                                                                     : path.substr(0, last + 1);
  return folder + name;
}

}  // namespace Utils
