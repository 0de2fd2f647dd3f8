// Files and folders.
//
// Attributes: a folder is FILE_ATTRIBUTE_DIRECTORY; a symbolic link is
// FILE_ATTRIBUTE_REPARSE_POINT (plus DIRECTORY when it leads to a folder), so
// that walks can leave links alone; an entry without its owner's write bit is
// FILE_ATTRIBUTE_READONLY.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>

#include "platform/posix/internal.h"

namespace posix {
namespace {

class FindObject : public HandleObject {
 public:
  FindObject(DIR* dir, std::string folder, std::string pattern)
      : dir(dir), folder(std::move(folder)), pattern(std::move(pattern)) {}
  ~FindObject() override { closedir(dir); }
  DIR* const dir;
  const std::string folder;
  const std::string pattern;
};

DWORD AttributesOf(const std::string& path, const struct stat& link_info) {
  DWORD attributes = 0;
  if (S_ISLNK(link_info.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    struct stat target;
    if (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
      attributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
  } else {
    if (S_ISDIR(link_info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((link_info.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

bool Matches(const std::string& pattern, const char* name) {
  // "*.*" matches every name on Windows, also names without a dot.
  return pattern == "*" || pattern == "*.*" || fnmatch(pattern.c_str(), name, 0) == 0;
}

// Reads entries until one matches; fills `data` and returns true, or returns
// false with ERROR_NO_MORE_FILES.
bool NextMatch(FindObject* find, LPWIN32_FIND_DATAW data) {
  while (dirent* entry = readdir(find->dir)) {
    if (!Matches(find->pattern, entry->d_name)) continue;
    std::string path = find->folder + "/" + entry->d_name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;  // vanished meanwhile
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = AttributesOf(path, info);
    uint64_t size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    std::wstring name = FromUtf8(entry->d_name);
    wcsncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
    return true;
  }
  SetLastError(ERROR_NO_MORE_FILES);
  return false;
}

}  // namespace
}  // namespace posix

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (pattern == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string full = posix::ToUtf8(pattern);
  size_t slash = full.rfind('/');
  std::string folder = slash == std::string::npos ? "." : full.substr(0, slash);
  if (folder.empty()) folder = "/";
  std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                      : posix::ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_unique<posix::FindObject>(dir, folder, name);
  if (!posix::NextMatch(find.get(), data)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return posix::RegisterHandle(std::move(find));
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
  auto* find = posix::LookupHandle<posix::FindObject>(handle);
  if (find == nullptr) return FALSE;
  return posix::NextMatch(find, data) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE handle) {
  if (posix::LookupHandle<posix::FindObject>(handle) == nullptr) return FALSE;
  return CloseHandle(handle);
}

DWORD GetFileAttributesW(LPCWSTR path) {
  std::string narrow = posix::ToUtf8(path);
  struct stat info;
  if (lstat(narrow.c_str(), &info) != 0) {
    posix::FailWithErrno();
    return INVALID_FILE_ATTRIBUTES;
  }
  return posix::AttributesOf(narrow, info);
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  std::string narrow = posix::ToUtf8(path);
  struct stat info;
  if (stat(narrow.c_str(), &info) != 0) return posix::FailWithErrno();
  mode_t mode = info.st_mode & 07777;
  mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? mode & ~static_cast<mode_t>(0222)
                                                     : mode | S_IWUSR;
  if (chmod(narrow.c_str(), mode) != 0) return posix::FailWithErrno();
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
  if (existing == nullptr || new_name == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  std::string from = posix::ToUtf8(existing);
  std::string to = posix::ToUtf8(new_name);
  struct stat source;
  if (lstat(from.c_str(), &source) != 0) return posix::FailWithErrno();
  struct stat target;
  if (lstat(to.c_str(), &target) == 0) {
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) return posix::Fail(ERROR_ALREADY_EXISTS);
    // Windows replaces files only: never a folder, and never by a folder.
    if (S_ISDIR(target.st_mode) || S_ISDIR(source.st_mode)) {
      return posix::Fail(ERROR_ACCESS_DENIED);
    }
  }
  if (rename(from.c_str(), to.c_str()) != 0) return posix::FailWithErrno();
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  if (path == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  if (unlink(posix::ToUtf8(path).c_str()) != 0) return posix::FailWithErrno();
  return TRUE;
}

BOOL PathFileExistsW(LPCWSTR path) {
  if (path == nullptr) return FALSE;
  struct stat info;
  if (lstat(posix::ToUtf8(path).c_str(), &info) != 0) return posix::FailWithErrno();
  return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (module != nullptr) return posix::Fail(ERROR_INVALID_HANDLE);
  char target[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", target, PATH_MAX);
  if (length < 0) return posix::FailWithErrno();
  std::wstring path = posix::FromUtf8(std::string(target, static_cast<size_t>(length)));
  if (size == 0) return posix::Fail(ERROR_INSUFFICIENT_BUFFER);
  if (path.size() >= size) {
    // Windows truncates, terminates and reports the buffer size.
    wmemcpy(file_name, path.c_str(), size - 1);
    file_name[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  wmemcpy(file_name, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}
