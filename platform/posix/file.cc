// Files and folders.
//
// Attributes: a folder is FILE_ATTRIBUTE_DIRECTORY; a symbolic link is
// FILE_ATTRIBUTE_REPARSE_POINT (plus DIRECTORY when it leads to a folder), so
// that walks can leave links alone; an entry without its owner's write bit is
// FILE_ATTRIBUTE_READONLY.
//
// Port rules, each where Linux is more lenient than Windows and the update
// depends on it:
// - Path length: a path of MAX_PATH characters or more is refused unless it
//   is in extended-length form ("\\?\" and a full path), as Windows refuses
//   it without its long-path setting (NativePath).
// - Removal: Windows removes a file or an empty folder whatever its folder's
//   attributes, where POSIX needs a writable, searchable folder: DeleteFileW
//   and RemoveDirectoryW give the parent folder its owner's write and search
//   rights when it lacks them (OpenUpParent).
// - Listing: Windows lists a folder whatever its attributes: FindFirstFileW
//   gives a folder that refuses its owner the listing the owner's read and
//   search rights (OpenUpFolder) while the listing lasts.
// - Windows refuses to delete a read-only file, and the file of a running
//   program: DeleteFileW fails with ERROR_ACCESS_DENIED for both.
// - DeleteFileW takes files (and links to files); RemoveDirectoryW takes
//   empty folders and links to folders, removing the link itself.
// - Names in plain paths: Windows drops the trailing periods and blanks of a
//   plain path's last component, and reads a last component that is a legacy
//   device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, with or
//   without an extension: "aux.js") as that device. Such entries are reached
//   only in extended-length form; GetFullPathNameW and every file function
//   given a plain path apply the same rules (PlainName).
// - A folder that a process uses (its current folder, its program, or a file
//   it holds open, at the folder or below it) cannot be renamed: MoveFileExW
//   fails with ERROR_ACCESS_DENIED, as Windows refuses it.
// - A folder that its owner may not write (0555, 000) neither stops an entry
//   from moving into or out of it nor stops its own move into another folder,
//   as on Windows, where a folder's attributes stop no rename: MoveFileExW
//   gives such folders of the caller's (the source's and the destination's
//   folders, and a folder that moves, whose ".." changes) their owner's write
//   and search rights for the move, and their own modes back after.
// - A new folder gets the write rights its folder gives its group and others,
//   whatever the process's umask, as a folder on Windows inherits its
//   folder's access list (new files get the same in append.cc).
// - An entry's identity (GetFileInformationByHandle) is unique over time:
//   the volume is the file system's own id (f_fsid), not the device it is
//   attached as, and the creation time is the birth time, which tells a
//   freed inode that a new entry took from the entry that had it.
// - A rename without MOVEFILE_REPLACE_EXISTING never replaces, as on
//   Windows, also an entry made at its destination a moment before it
//   (renameat2 with RENAME_NOREPLACE).
// - A rename works within one mount only (a bind mount of the same file
//   system included): GetVolumeInformationByHandleW gives the mount of the
//   entry as its volume serial, while GetFileInformationByHandle gives the
//   device, which with the inode names the file itself.
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <mutex>
#include <string>
#include <vector>

#include "platform/change_hook.h"
#include "platform/posix/internal.h"

namespace posix {
namespace {

constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";
constexpr size_t kExtendedPrefixLength = 4;

class FindObject : public HandleObject {
 public:
  FindObject(DIR* dir, std::string folder, std::string pattern, int opened_mode)
      : dir(dir),
        folder(std::move(folder)),
        pattern(std::move(pattern)),
        opened_mode(opened_mode) {}
  ~FindObject() override {
    closedir(dir);
    // A folder opened up for the listing gets its mode back.
    if (opened_mode >= 0) chmod(folder.c_str(), static_cast<mode_t>(opened_mode));
  }
  DIR* const dir;
  const std::string folder;
  const std::string pattern;
  const int opened_mode;  // the mode to put back, or -1
};

// A file opened by CreateFileW: for queries, an O_PATH descriptor; for
// reading, a descriptor open for reading.
class FileObject : public HandleObject {
 public:
  FileObject(int fd, bool readable, bool writable = false)
      : fd(fd), readable(readable), writable(writable) {}
  ~FileObject() override { close(fd); }
  const int fd;
  const bool readable;
  const bool writable;
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

// A time as Windows counts file times: 100-nanosecond steps since 1601.
FILETIME FileTimeOf(const struct timespec& time) {
  const uint64_t steps = (static_cast<uint64_t>(time.tv_sec) + 11644473600u) * 10000000u +
                         static_cast<uint64_t>(time.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(steps), static_cast<DWORD>(steps >> 32)};
}

// A name against a pattern as Windows matches one: "*" any run of
// characters, "?" any one, everything else itself (brackets included, which
// a shell's patterns would take as a set); "*.*" every name, also one
// without a dot.
bool Matches(const std::string& pattern, const char* name) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (pattern.find_first_of("*?") == std::string::npos) return pattern == name;
  size_t p = 0;
  size_t star = std::string::npos;
  size_t resume = 0;
  for (size_t n = 0; name[n] != '\0';) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Reads entries until one matches; fills `data` and returns true, or returns
// false with ERROR_NO_MORE_FILES.
bool NextMatch(FindObject* find, LPWIN32_FIND_DATAW data) {
  while (dirent* entry = readdir(find->dir)) {
    if (!Matches(find->pattern, entry->d_name)) continue;
    // Read through the open folder: no walk of the whole path per entry.
    struct stat info;
    if (fstatat(dirfd(find->dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // vanished meanwhile
    }
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = AttributesOf(find->folder + "/" + entry->d_name, info);
    data->ftCreationTime = FileTimeOf(info.st_ctim);
    data->ftLastAccessTime = FileTimeOf(info.st_atim);
    data->ftLastWriteTime = FileTimeOf(info.st_mtim);
    uint64_t size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    std::wstring name = FromNative(entry->d_name);
    wcsncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
    return true;
  }
  SetLastError(ERROR_NO_MORE_FILES);
  return false;
}

std::string ParentOf(const std::string& path) {
  std::string copy = path;
  return dirname(copy.data());
}

// Gives the folder holding `path` its owner's write and search rights when
// it lacks them, so that an entry can be removed from it as on Windows.
// True when it changed the folder.
bool OpenUpParent(const std::string& path) {
  const std::string parent = ParentOf(path);
  struct stat info;
  if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  constexpr mode_t kNeeded = S_IWUSR | S_IXUSR;
  if ((info.st_mode & kNeeded) == kNeeded) return false;
  return chmod(parent.c_str(), (info.st_mode & 07777) | kNeeded) == 0;
}

// Runs `remove` on `path`; when the folder holding it refused, opens the
// folder up and tries once more.
template <typename Remove>
bool RemoveEntry(const std::string& path, Remove remove) {
  if (remove(path.c_str()) == 0) return true;
  if ((errno == EACCES || errno == EPERM) && OpenUpParent(path)) {
    return remove(path.c_str()) == 0;
  }
  return false;
}

// Gives a folder that refuses its owner the listing (read and search rights)
// those rights for the listing, as Windows lists a folder whatever its
// attributes. The mode to put back once the listing ends, or -1 when it
// did not change the folder.
int OpenUpFolder(const std::string& folder) {
  if (faccessat(AT_FDCWD, folder.c_str(), R_OK | X_OK, AT_EACCESS) == 0 || errno != EACCES) {
    return -1;
  }
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return -1;
  constexpr mode_t kNeeded = S_IRUSR | S_IXUSR;
  if ((info.st_mode & kNeeded) == kNeeded) return -1;
  const mode_t mode = info.st_mode & 07777;
  return chmod(folder.c_str(), mode | kNeeded) == 0 ? static_cast<int>(mode) : -1;
}

// A string's length in wide characters, as Windows measures a path.
size_t WideLength(LPCWSTR text) { return wcslen(text); }

// Copies `text` into a caller's buffer as Windows' path queries do: the
// length without the terminating zero when it fits, else the size needed.
DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD size) {
  if (buffer == nullptr || text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
  wmemcpy(buffer, text.c_str(), text.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(text.size());
}

DWORD FileNotFoundError(int error) {
  return error == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(error);
}

bool IsAsciiDigit(wchar_t c, wchar_t lowest) { return c >= lowest && c <= L'9'; }

// The legacy device that a last component names: its stem (up to the first
// period or colon, trailing blanks dropped) when that is CON, PRN, AUX, NUL,
// COM1 to COM9 or LPT1 to LPT9 in any letter case; empty for a file name.
std::wstring DeviceNamed(const std::wstring& name) {
  std::wstring stem = name.substr(0, name.find_first_of(L".:"));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  std::wstring upper = stem;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(static_cast<wint_t>(c)));
  if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL") return stem;
  if (upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0) &&
      IsAsciiDigit(upper[3], L'1')) {
    return stem;
  }
  return std::wstring();
}

// The last component of a plain path as Windows reads it: without its
// trailing periods and blanks ("." and ".." stay what they are). False when
// it names a device.
bool PlainName(std::wstring* name) {
  if (*name == L"." || *name == L"..") return true;
  while (!name->empty() && (name->back() == L'.' || name->back() == L' ')) name->pop_back();
  return DeviceNamed(*name).empty();
}

// Whether `path` (a full native path) is `folder` or lies below it.
bool IsAtOrBelow(const std::string& path, const std::string& folder) {
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// The paths that a process uses, its current folder, root, program and open
// files, as /proc names them ("/proc/<pid>" or "/proc/self"), added to `paths`.
void AddUsedPaths(const std::string& process, std::vector<std::string>* paths) {
  const auto add = [&](const std::string& link) {
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0 && target[0] == '/') paths->emplace_back(target, static_cast<size_t>(length));
  };
  for (const char* link : {"/cwd", "/root", "/exe"}) add(process + link);
  if (DIR* fds = opendir((process + "/fd").c_str())) {
    while (dirent* fd = readdir(fds)) {
      if (fd->d_name[0] != '.') add(process + "/fd/" + fd->d_name);
    }
    closedir(fds);
  }
}

// Whether another process uses `real` or what lies below it: the paths they
// use read from /proc and kept for a moment, so that a switch that renames
// thousands of folders reads them a few times, not once a folder (Windows
// checks a folder in use within the rename).
bool OthersUse(const std::string& real) {
  static std::mutex mutex;
  static std::vector<std::string> paths;
  static std::chrono::steady_clock::time_point read;
  constexpr auto kKept = std::chrono::milliseconds(100);
  std::lock_guard<std::mutex> lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (now - read >= kKept || read.time_since_epoch().count() == 0) {
    paths.clear();
    read = now;
    if (DIR* proc = opendir("/proc")) {
      const std::string self = std::to_string(getpid());
      while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || self == entry->d_name) continue;
        AddUsedPaths(std::string("/proc/") + entry->d_name, &paths);
      }
      closedir(proc);
    }
  }
  return std::any_of(paths.begin(), paths.end(),
                     [&](const std::string& path) { return IsAtOrBelow(path, real); });
}

// Whether a process has its current folder, its root, its program or an open
// file at `folder` or below it: Windows then refuses to rename the folder.
// This process's own are read each time.
bool IsFolderInUse(const std::string& folder) {
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return false;
  const std::string real = resolved;
  if (real == "/") return true;
  std::vector<std::string> own;
  AddUsedPaths("/proc/self", &own);
  return OthersUse(real) || std::any_of(own.begin(), own.end(), [&](const std::string& path) {
           return IsAtOrBelow(path, real);
         });
}

}  // namespace

HANDLE OpenToWrite(LPCWSTR path) {
  std::string native;
  if (!NativePath(path, &native)) return INVALID_HANDLE_VALUE;
  const int fd = open(native.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    // A running program's file, and a folder, open for writing on no system.
    SetLastError(errno == ETXTBSY  ? ERROR_SHARING_VIOLATION
                 : errno == EISDIR ? ERROR_ACCESS_DENIED
                                   : FileNotFoundError(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || (info.st_mode & S_IWUSR) == 0) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return RegisterHandle(std::make_unique<FileObject>(fd, false, true));
}

int ReadableDescriptor(HANDLE handle) {
  auto* file = LookupHandle<FileObject>(handle);
  if (file == nullptr) return -1;
  if (!file->readable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return file->fd;
}

bool NativePath(LPCWSTR path, std::string* native, size_t limit) {
  if (path == nullptr || *path == L'\0') {
    SetLastError(path == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (wcsncmp(path, kExtendedPrefix, kExtendedPrefixLength) == 0) {
    *native = ToNative(path + kExtendedPrefixLength);
    return true;
  }
  if (WideLength(path) >= limit) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  std::wstring plain = path;
  const size_t slash = plain.rfind(L'/');
  std::wstring name = plain.substr(slash == std::wstring::npos ? 0 : slash + 1);
  if (!PlainName(&name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  plain.replace(slash == std::wstring::npos ? 0 : slash + 1, std::wstring::npos, name);
  *native = ToNative(plain);
  return true;
}

}  // namespace posix

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  std::string full;
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!posix::NativePath(pattern, &full)) return INVALID_HANDLE_VALUE;
  size_t slash = full.rfind('/');
  std::string folder = slash == std::string::npos ? "." : full.substr(0, slash);
  if (folder.empty()) folder = "/";
  std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
  // Before the listing: a folder that can be listed but not searched would
  // give names whose entries cannot be read.
  const int opened_mode = posix::OpenUpFolder(folder);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    const int error = errno;
    if (opened_mode >= 0) chmod(folder.c_str(), static_cast<mode_t>(opened_mode));
    SetLastError(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                     : posix::ErrorFromErrno(error));
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_unique<posix::FindObject>(dir, folder, name, opened_mode);
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
  std::string native;
  if (!posix::NativePath(path, &native)) return INVALID_FILE_ATTRIBUTES;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) {
    posix::Fail(posix::FileNotFoundError(errno));
    return INVALID_FILE_ATTRIBUTES;
  }
  return posix::AttributesOf(native, info);
}

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  std::string native;
  if (level != GetFileExInfoStandard || information == nullptr) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  if (!posix::NativePath(path, &native)) return FALSE;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
  data->dwFileAttributes = posix::AttributesOf(native, info);
  data->ftCreationTime = posix::FileTimeOf(info.st_ctim);
  data->ftLastAccessTime = posix::FileTimeOf(info.st_atim);
  data->ftLastWriteTime = posix::FileTimeOf(info.st_mtim);
  const auto size = static_cast<uint64_t>(S_ISREG(info.st_mode) ? info.st_size : 0);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  return TRUE;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  change_hook::AtChange();
  std::string native;
  if (!posix::NativePath(path, &native)) return FALSE;
  struct stat info;
  if (stat(native.c_str(), &info) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  mode_t mode = info.st_mode & 07777;
  mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? mode & ~static_cast<mode_t>(0222)
                                                     : mode | S_IWUSR;
  if (chmod(native.c_str(), mode) != 0) return posix::FailWithErrno();
  return TRUE;
}

namespace posix {
namespace {

// Folders of the caller's opened up for one rename (owner's write and search
// rights), their modes put back when it goes.
class OpenedForRename {
 public:
  ~OpenedForRename() {
    for (auto folder = opened_.rbegin(); folder != opened_.rend(); ++folder) {
      chmod(folder->first.c_str(), folder->second);
    }
  }
  // Opens up the folder at `path` when it is the caller's and lacks a right
  // the rename needs; true when it did.
  bool Open(const std::string& path) {
    constexpr mode_t kNeeded = S_IWUSR | S_IXUSR;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        (info.st_mode & kNeeded) == kNeeded || info.st_uid != geteuid()) {
      return false;
    }
    const mode_t mode = info.st_mode & 07777;
    if (chmod(path.c_str(), mode | kNeeded) != 0) return false;
    opened_.push_back({path, mode});
    return true;
  }
  // Where a folder that was opened up now is.
  void Moved(const std::string& from, const std::string& to) {
    for (auto& folder : opened_) {
      if (folder.first == from) folder.first = to;
    }
  }

 private:
  std::vector<std::pair<std::string, mode_t>> opened_;
};

// A rename; without `replace`, one that never replaces what stands at `to`,
// also an entry made there after a look (renameat2's RENAME_NOREPLACE, and
// where the file system lacks it a look right before the rename). -1 with
// errno set (EEXIST for a taken name) when it fails.
int Rename(const std::string& from, const std::string& to, bool replace) {
  if (replace) return rename(from.c_str(), to.c_str());
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat target;
  if (lstat(to.c_str(), &target) == 0) return errno = EEXIST, -1;
  return rename(from.c_str(), to.c_str());
}

// Runs `make` (a call that makes the entry `path`, from `source` where it
// takes one, 0 on success); when a folder on the way refuses its owner the
// write or the search, opens the folders up for it and puts their modes
// back after, as a folder's attributes stop no new entry on Windows. False
// with errno set when it failed.
template <typename Make>
bool MakeEntry(const std::string& path, Make make, const std::string& source = std::string()) {
  if (make() == 0) return true;
  if (errno != EACCES) return false;
  OpenedForRename opened;
  const bool to = opened.Open(ParentOf(path));
  const bool from = !source.empty() && opened.Open(ParentOf(source));
  if (!to && !from) {
    errno = EACCES;
    return false;
  }
  return make() == 0;
}

}  // namespace
}  // namespace posix

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
  change_hook::AtChange();
  std::string from;
  std::string to;
  if (!posix::NativePath(existing, &from) || !posix::NativePath(new_name, &to)) return FALSE;
  struct stat source;
  if (lstat(from.c_str(), &source) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  struct stat target;
  // Windows replaces files only: never a folder, and never by a folder.
  if (replace && lstat(to.c_str(), &target) == 0 &&
      (S_ISDIR(target.st_mode) || S_ISDIR(source.st_mode))) {
    return posix::Fail(ERROR_ACCESS_DENIED);
  }
  if (S_ISDIR(source.st_mode) && posix::IsFolderInUse(from))
    return posix::Fail(ERROR_ACCESS_DENIED);
  if (posix::Rename(from, to, replace) == 0) return TRUE;
  const int error = errno;
  if (error == EEXIST || error == ENOTEMPTY) return posix::Fail(ERROR_ALREADY_EXISTS);
  if (error != EACCES) return posix::Fail(posix::ErrorFromErrno(error));
  // Folders their owner may not write stop no rename: opened up for it (a
  // folder that moves needs it too, its ".." changing), then put back.
  posix::OpenedForRename opened;
  // Each is opened whatever the others did: any one may be what refused.
  const bool parents[] = {opened.Open(posix::ParentOf(from)), opened.Open(posix::ParentOf(to)),
                          S_ISDIR(source.st_mode) && opened.Open(from)};
  if (!parents[0] && !parents[1] && !parents[2]) return posix::Fail(posix::ErrorFromErrno(error));
  const bool moved = posix::Rename(from, to, replace) == 0;
  const int rename_error = errno;
  if (moved) opened.Moved(from, to);
  return moved                    ? TRUE
         : rename_error == EEXIST ? posix::Fail(ERROR_ALREADY_EXISTS)
                                  : posix::Fail(posix::ErrorFromErrno(rename_error));
}

BOOL DeleteFileW(LPCWSTR path) {
  change_hook::AtChange();
  std::string native;
  if (!posix::NativePath(path, &native)) return FALSE;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  const DWORD attributes = posix::AttributesOf(native, info);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return posix::Fail(ERROR_ACCESS_DENIED);
  if (S_ISREG(info.st_mode)) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return posix::Fail(ERROR_ACCESS_DENIED);
    // Only a file with an execute bit can be a running program's.
    if ((info.st_mode & 0111) != 0 && posix::IsRunningImage(native, info.st_dev, info.st_ino)) {
      return posix::Fail(ERROR_ACCESS_DENIED);
    }
  }
  if (!posix::RemoveEntry(native, unlink)) return posix::FailWithErrno();
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
  change_hook::AtChange();
  std::string native;
  if (!posix::NativePath(path, &native)) return FALSE;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  const DWORD attributes = posix::AttributesOf(native, info);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return posix::Fail(ERROR_DIRECTORY);
  // A link to a folder goes itself, as Windows removes the reparse point.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (!posix::RemoveEntry(native, unlink)) return posix::FailWithErrno();
    return TRUE;
  }
  if (!posix::RemoveEntry(native, rmdir)) {
    return posix::Fail(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                             : posix::ErrorFromErrno(errno));
  }
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES /*attributes*/) {
  change_hook::AtChange();
  std::string native;
  if (!posix::NativePath(path, &native, MAX_PATH - 12)) return FALSE;
  if (!posix::MakeEntry(native, [&] { return mkdir(native.c_str(), 0755); })) {
    return posix::Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : posix::ErrorFromErrno(errno));
  }
  struct stat folder;
  if (stat(posix::ParentOf(native).c_str(), &folder) == 0 && (folder.st_mode & 0022) != 0) {
    chmod(native.c_str(), 0755 | (folder.st_mode & 0022));
  }
  return TRUE;
}

BOOL CreateDirectoryExW(LPCWSTR template_folder, LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  std::string native_template;
  std::string native;
  struct stat model;
  if (!posix::NativePath(template_folder, &native_template) ||
      !posix::NativePath(path, &native, MAX_PATH - 12)) {
    return FALSE;
  }
  if (stat(native_template.c_str(), &model) != 0) {
    return posix::Fail(posix::FileNotFoundError(errno));
  }
  if (!CreateDirectoryW(path, attributes)) return FALSE;
  // The template's rights, as Windows gives the new folder the template's
  // attributes: a folder its owner may not write stays so (entries still
  // come into it, as on Windows).
  chmod(native.c_str(), model.st_mode & 07777);
  return TRUE;
}

BOOL PathFileExistsW(LPCWSTR path) {
  std::string native;
  if (!posix::NativePath(path, &native)) return FALSE;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  return TRUE;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE /*template_file*/) {
  // Only what the program uses: a file opened for appending (append.cc), or
  // an existing entry opened for queries or for reading.
  if ((access & FILE_APPEND_DATA) != 0) {
    return posix::OpenForAppend(path, access, disposition, attributes, false,
                                (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0);
  }
  if ((access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0) return posix::OpenToWrite(path);
  const bool reading = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  std::string native;
  if (disposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!posix::NativePath(path, &native)) return INVALID_HANDLE_VALUE;
  const bool no_follow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  const int fd = open(native.c_str(), (reading ? O_RDONLY | O_NONBLOCK | O_NOCTTY : O_PATH) |
                                          O_CLOEXEC | (no_follow ? O_NOFOLLOW : 0));
  if (fd < 0) {
    SetLastError(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : posix::FileNotFoundError(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat info;
  // Windows opens a folder only with backup semantics.
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return posix::RegisterHandle(std::make_unique<posix::FileObject>(fd, reading));
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD method) {
  auto* file = posix::LookupHandle<posix::FileObject>(handle);
  if (file == nullptr) return FALSE;
  if (!file->writable || method != FILE_BEGIN || distance.QuadPart < 0) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  if (lseek(file->fd, static_cast<off_t>(distance.QuadPart), SEEK_SET) < 0) {
    return posix::FailWithErrno();
  }
  if (new_position != nullptr) *new_position = distance;
  return TRUE;
}

BOOL SetEndOfFile(HANDLE handle) {
  auto* file = posix::LookupHandle<posix::FileObject>(handle);
  if (file == nullptr) return FALSE;
  if (!file->writable) return posix::Fail(ERROR_ACCESS_DENIED);
  const off_t at = lseek(file->fd, 0, SEEK_CUR);
  if (at < 0 || ftruncate(file->fd, at) != 0) return posix::FailWithErrno();
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
  auto* file = posix::LookupHandle<posix::FileObject>(handle);
  if (file == nullptr) return FALSE;
  if (information == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  struct stat info;
  if (fstat(file->fd, &info) != 0) return posix::FailWithErrno();
  *information = BY_HANDLE_FILE_INFORMATION{};
  DWORD attributes = 0;
  if (S_ISLNK(info.st_mode)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  information->dwFileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  // The file system's own id, which stays when the same disk is attached
  // again elsewhere (another loop device, another drive after a power cut);
  // the device where a file system gives none.
  struct statfs volume;
  uint64_t serial = static_cast<uint64_t>(info.st_dev);
  if (fstatfs(file->fd, &volume) == 0) {
    uint64_t fsid = 0;
    static_assert(sizeof(volume.f_fsid) == sizeof(fsid), "fsid is two ints");
    memcpy(&fsid, &volume.f_fsid, sizeof(fsid));
    if (fsid != 0) serial = fsid;
  }
  information->dwVolumeSerialNumber = static_cast<DWORD>(serial ^ (serial >> 32));
  // The birth time, which nothing can set: a freed inode that a new entry
  // takes comes with a new one. Zero where the file system keeps none.
  struct statx born = {};
  if (statx(file->fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BTIME, &born) == 0 &&
      (born.stx_mask & STATX_BTIME) != 0) {
    information->ftCreationTime = posix::FileTimeOf(
        timespec{static_cast<time_t>(born.stx_btime.tv_sec), born.stx_btime.tv_nsec});
  }
  const auto size = static_cast<uint64_t>(S_ISREG(info.st_mode) ? info.st_size : 0);
  information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  information->nFileSizeLow = static_cast<DWORD>(size);
  information->nNumberOfLinks = static_cast<DWORD>(info.st_nlink);
  const auto inode = static_cast<uint64_t>(info.st_ino);
  information->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
  information->nFileIndexLow = static_cast<DWORD>(inode);
  return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE handle, LPWSTR path, DWORD size, DWORD /*flags*/) {
  auto* file = posix::LookupHandle<posix::FileObject>(handle);
  if (file == nullptr) return 0;
  // What the descriptor really names, links resolved, in extended form as
  // Windows gives it.
  char target[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(file->fd);
  const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
  if (length <= 0) return posix::FailWithErrno();
  return posix::CopyOut(
      posix::kExtendedPrefix + posix::FromNative(std::string(target, static_cast<size_t>(length))),
      path, size);
}

DWORD GetFileType(HANDLE handle) {
  auto* file = posix::LookupHandle<posix::FileObject>(handle);
  if (file == nullptr) return FILE_TYPE_UNKNOWN;
  struct stat info;
  if (fstat(file->fd, &info) != 0) {
    posix::FailWithErrno();
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(ERROR_SUCCESS);
  if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode))
    return FILE_TYPE_DISK;
  if (S_ISCHR(info.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_UNKNOWN;
}

BOOL GetVolumeInformationByHandleW(HANDLE handle, LPWSTR volume_name, DWORD volume_name_size,
                                   LPDWORD serial_number, LPDWORD /*longest_component*/,
                                   LPDWORD /*flags*/, LPWSTR file_system_name,
                                   DWORD file_system_name_size) {
  auto* file = posix::LookupHandle<posix::FileObject>(handle);
  if (file == nullptr) return FALSE;
  if (volume_name != nullptr && volume_name_size > 0) volume_name[0] = L'\0';
  if (file_system_name != nullptr && file_system_name_size > 0) file_system_name[0] = L'\0';
  // The mount the entry belongs to: a rename works within one mount only.
  struct statx info = {};
  if (statx(file->fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &info) != 0) {
    return posix::FailWithErrno();
  }
  const uint64_t mount = (info.stx_mask & STATX_MNT_ID) != 0
                             ? info.stx_mnt_id
                             : (uint64_t{info.stx_dev_major} << 32) | info.stx_dev_minor;
  if (serial_number != nullptr) *serial_number = static_cast<DWORD>(mount ^ (mount >> 32));
  return TRUE;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR folder, PULARGE_INTEGER available_to_caller, PULARGE_INTEGER total,
                         PULARGE_INTEGER total_free) {
  std::string native;
  if (!posix::NativePath(folder, &native)) return FALSE;
  struct stat info;
  if (stat(native.c_str(), &info) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  if (!S_ISDIR(info.st_mode)) return posix::Fail(ERROR_DIRECTORY);
  struct statvfs volume;
  if (statvfs(native.c_str(), &volume) != 0) return posix::FailWithErrno();
  const auto unit = static_cast<ULONGLONG>(volume.f_frsize);
  if (available_to_caller != nullptr) available_to_caller->QuadPart = volume.f_bavail * unit;
  if (total != nullptr) total->QuadPart = volume.f_blocks * unit;
  if (total_free != nullptr) total_free->QuadPart = volume.f_bfree * unit;
  return TRUE;
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part) {
  if (path == nullptr || *path == L'\0') return posix::Fail(ERROR_INVALID_NAME);
  std::wstring input = path;
  std::wstring full;
  if (input.compare(0, posix::kExtendedPrefixLength, posix::kExtendedPrefix) == 0) {
    full = input;  // taken as it stands, as Windows does
  } else {
    if (input[0] != L'/') {
      char current[PATH_MAX];
      if (getcwd(current, sizeof(current)) == nullptr) return posix::FailWithErrno();
      input = posix::FromNative(current) + L"/" + input;
    }
    // "." and ".." steps and repeated separators go by text alone.
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= input.size()) {
      size_t end = input.find(L'/', start);
      if (end == std::wstring::npos) end = input.size();
      const std::wstring part = input.substr(start, end - start);
      if (part == L"..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != L".") {
        parts.push_back(part);
      }
      start = end + 1;
    }
    // The last component as Windows reads it: trailing periods and blanks
    // dropped, a legacy device name made the device's path.
    if (!parts.empty() && input.back() != L'/' && !posix::PlainName(&parts.back())) {
      full = L"\\\\.\\" + posix::DeviceNamed(parts.back());
      parts.clear();
    } else if (!parts.empty() && parts.back().empty()) {
      parts.pop_back();
    }
    for (const std::wstring& part : parts) full += L"/" + part;
    if (full.empty() || (input.back() == L'/' && full.back() != L'/')) full += L"/";
  }
  const DWORD result = posix::CopyOut(full, buffer, size);
  if (file_part != nullptr && result < size) {
    const size_t slash = full.rfind(L'/');
    *file_part = slash + 1 < full.size() ? buffer + slash + 1 : nullptr;
  }
  return result;
}

DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size) {
  // POSIX file systems keep no short names: the path is its own short form.
  std::string native;
  if (!posix::NativePath(long_path, &native)) return 0;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return posix::Fail(posix::FileNotFoundError(errno));
  return posix::CopyOut(long_path, short_path, size);
}

DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  char current[PATH_MAX];
  if (getcwd(current, sizeof(current)) == nullptr) return posix::FailWithErrno();
  return posix::CopyOut(posix::FromNative(current), buffer, size);
}

BOOL SetCurrentDirectoryW(LPCWSTR path) {
  std::string native;
  if (!posix::NativePath(path, &native)) return FALSE;
  if (chdir(native.c_str()) != 0) {
    return posix::Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : posix::ErrorFromErrno(errno));
  }
  return TRUE;
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  // The folder of the system that no update touches: the root.
  return posix::CopyOut(L"/", buffer, size);
}

BOOL AreFileApisANSI() { return TRUE; }

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (module != nullptr) return posix::Fail(ERROR_INVALID_HANDLE);
  char target[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", target, PATH_MAX);
  if (length < 0) return posix::FailWithErrno();
  std::wstring path = posix::FromNative(std::string(target, static_cast<size_t>(length)));
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

BOOL CreateHardLinkW(LPCWSTR new_name, LPCWSTR existing, LPSECURITY_ATTRIBUTES /*attributes*/) {
  change_hook::AtChange();
  std::string from;
  std::string to;
  if (!posix::NativePath(existing, &from) || !posix::NativePath(new_name, &to)) return FALSE;
  if (!posix::MakeEntry(
          to, [&] { return link(from.c_str(), to.c_str()); }, from)) {
    return posix::Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : posix::FileNotFoundError(errno));
  }
  return TRUE;
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists) {
  change_hook::AtChange();
  std::string from;
  std::string to;
  if (!posix::NativePath(existing, &from) || !posix::NativePath(new_name, &to)) return FALSE;
  int source = -1;
  posix::MakeEntry(from, [&] {
    source = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    return source < 0 ? -1 : 0;
  });
  if (source < 0) return posix::Fail(posix::FileNotFoundError(errno));
  struct stat info;
  if (fstat(source, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(source);
    return posix::Fail(ERROR_ACCESS_DENIED);
  }
  // The copy keeps the file's permission bits, as Windows keeps attributes.
  int target = -1;
  posix::MakeEntry(to, [&] {
    target = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (fail_if_exists ? O_EXCL : O_TRUNC),
                  info.st_mode & 07777);
    return target < 0 ? -1 : 0;
  });
  if (target < 0) {
    const int error = errno;
    close(source);
    return posix::Fail(error == EEXIST ? ERROR_FILE_EXISTS : posix::ErrorFromErrno(error));
  }
  bool copied = true;
  char buffer[65536];
  for (ssize_t got; copied && (got = read(source, buffer, sizeof(buffer))) != 0;) {
    copied = got > 0 && write(target, buffer, static_cast<size_t>(got)) == got;
  }
  const int error = errno;
  close(source);
  if (close(target) != 0 || !copied) {
    unlink(to.c_str());
    return posix::Fail(posix::ErrorFromErrno(error));
  }
  return TRUE;
}
