#include "update/utils.h"

#include <exception>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <system_error>
#include <vector>

#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace Utils {
namespace {

namespace fs = std::filesystem;

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

// A path as the file-system library writes a narrow path: in its narrow code
// page, in double quotes, with backslashes and quotes escaped.
std::string QuotedNarrowPath(const std::wstring& path) {
  std::string narrow;
#ifdef _WIN32
  UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  int size = path.empty() ? 0
                          : WideCharToMultiByte(code_page, 0, path.c_str(),
                                                static_cast<int>(path.size()), nullptr, 0,
                                                nullptr, nullptr);
  if (size > 0) {
    narrow.resize(static_cast<size_t>(size));
    WideCharToMultiByte(code_page, 0, path.c_str(), static_cast<int>(path.size()),
                        narrow.data(), size, nullptr, nullptr);
  }
#else
  narrow = ToFsPath(path).native();
#endif
  std::ostringstream quoted;
  quoted << std::quoted(narrow);
  return quoted.str();
}

// A symbolic link or junction (a reparse point): the system's own answer,
// since the runtime on Windows does not tell links from folders.
bool IsLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

#ifdef _WIN32
[[noreturn]] void ThrowRemoveError(const std::wstring& path, DWORD code) {
  throw fs::filesystem_error("cannot remove all", ToFsPath(path),
                             std::error_code(static_cast<int>(code), std::system_category()));
}

// Removes a file or folder tree and returns the number of entries removed.
// The runtime's remove_all on Windows follows junctions and folder links into
// their targets and would empty folders outside the tree; this walk removes a
// link itself and never enters it. Errors raise filesystem_error, as
// remove_all does.
uintmax_t RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return 0;
    ThrowRemoveError(path, code);
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  uintmax_t count = 0;
  if (folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    // Names first, then removal: no listing stays open while sub-folders go.
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW(JoinPath(path, L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) ThrowRemoveError(path, GetLastError());
    do {
      const std::wstring name = entry.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    for (const std::wstring& name : names) count += RemoveTree(JoinPath(path, name));
  }
  const BOOL removed = folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
  if (!removed) ThrowRemoveError(path, GetLastError());
  return count + 1;
}
#else
// Removing an entry on POSIX needs write and search permission on its folder:
// gives the owner full rights on every folder of the tree (links not followed).
void OpenUpFolders(const fs::path& folder) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(folder, error);
  if (error || status.type() != fs::file_type::directory) return;
  if ((status.permissions() & fs::perms::owner_all) != fs::perms::owner_all) {
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, error);
  }
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) OpenUpFolders(it->path());
  }
}
#endif

// An absolute form of a path without "." or ".." steps, links resolved where
// they exist, and without trailing separators, which hide a folder from some
// status calls on Windows.
fs::path NormalForm(const fs::path& path) {
  std::error_code error;
  fs::path normal = fs::weakly_canonical(path, error);
  if (error) normal = fs::absolute(path, error).lexically_normal();
  while (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

// True when `inner` is `outer` or lies somewhere below it, judged by file
// identity, so that letter case, separators, relative forms and links do not
// hide it. An identity that cannot be read counts as the same: the answer
// guards the source against removal.
bool IsSameOrInside(const fs::path& inner, const fs::path& outer) {
  std::error_code error;
  const fs::path container = NormalForm(outer);
  if (!fs::exists(container, error)) return false;
  for (fs::path walk = NormalForm(inner);; walk = walk.parent_path()) {
    if (fs::exists(walk, error)) {
      const bool same = fs::equivalent(walk, container, error);
      if (same || error) return true;
    }
    if (!walk.has_relative_path()) return false;
  }
}

}  // namespace

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
  wchar_t buffer[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  std::wstring path;
  if (QueryFullProcessImageNameW(process, 0, buffer, &size) && size > 0) {
    path = buffer;
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

  PROCESS_INFORMATION info = {};
  DWORD flags = CREATE_NEW_CONSOLE;
  if (options.breakaway_from_job) flags |= CREATE_BREAKAWAY_FROM_JOB;
  const wchar_t* directory =
      options.working_directory.empty() ? nullptr : options.working_directory.c_str();
  // CreateProcessW may write into the command line: give it a copy of its own.
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');

  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, flags, nullptr,
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

bool IsDirectory(std::wstring path) {
  std::error_code error;
  fs::file_status status = fs::status(ToFsPath(path), error);
  return !error && status.type() == fs::file_type::directory;
}

bool ClearReadOnlyRecursive(std::wstring folder) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = FindFirstFileW(JoinPath(folder, L"*.*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = entry.dwFileAttributes;
    // Links and junctions are removed as they are, never walked: a link to an
    // outside folder keeps that folder untouched, and a cycle cannot trap us.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    const std::wstring path = JoinPath(folder, name);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ClearReadOnlyRecursive(path);
    } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      if (!SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        LOG(ERROR) << "set file attribute failed,path:" << WideToUtf8(path);
        LOG(ERROR) << "getlasterror is:" << GetLastError();
      }
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return true;
}

bool RemoveAll(std::wstring path) {
  // A link given as the path is removed itself; its target is not touched.
  if (!IsLink(path)) ClearReadOnlyRecursive(path);
  int32_t count = 0;
  try {
#ifdef _WIN32
    count = static_cast<int32_t>(RemoveTree(path));
#else
    OpenUpFolders(ToFsPath(path));
    count = static_cast<int32_t>(fs::remove_all(ToFsPath(path)));
#endif
  } catch (const std::exception& e) {
    LOG(ERROR) << "error happened:" << e.what();
    count = 0;
  }
  LOG(INFO) << "delete file result:" << (count > 0) << ",path:" << QuotedNarrowPath(path)
            << ",count:" << count;
  return count > 0;
}

BOOL MoveDir(std::wstring source, std::wstring destination) {
  if (!IsDirectory(source)) return 0;
  const fs::path from = ToFsPath(source);
  const fs::path to = ToFsPath(destination);
  // Clearing a destination that holds the source, or lies inside it, would
  // destroy the source: such a move is refused before anything changes.
  if (IsSameOrInside(from, to) || IsSameOrInside(to, from)) {
    LOG(WARNING) << "move refused, destination overlaps source,src path:" << WideToUtf8(source)
                 << " dst path:" << WideToUtf8(destination);
    return 0;
  }
  const fs::path parent = to.parent_path();
  if (!parent.empty() && !IsDirectory(FromFsPath(parent))) fs::create_directories(parent);
  if (IsDirectory(destination) && !RemoveAll(destination)) return 0;
  BOOL moved = MoveFileExW(source.c_str(), destination.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
  if (!moved) {
    DWORD code = GetLastError();
    LOG(ERROR) << "move file failed,src path:" << WideToUtf8(source)
               << " dst path:" << WideToUtf8(destination) << " getlasterror:" << code;
  }
  return moved;
}

std::wstring GetExeDirFilePath(const wchar_t* name) {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  const std::wstring path = module;
  // Drive (a letter and a colon) and folder (up to the last separator); the
  // program's own file name is dropped.
  size_t start = 0;
  if (path.size() >= 2 && path[1] == L':' &&
      ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    start = 2;
  }
  size_t last = path.find_last_of(L"\\/");
  std::wstring folder =
      (last == std::wstring::npos || last < start) ? path.substr(0, start) : path.substr(0, last + 1);
  return folder + name;
}

}  // namespace Utils
