// Files opened for appending: CreateFileW with FILE_APPEND_DATA (and
// FILE_READ_DATA at most), then WriteFile, FlushFileBuffers, GetFileSizeEx,
// LockFileEx and UnlockFileEx.
//
// Locks are flock() locks of the whole file, which belong to the open file
// as Windows' locks belong to the handle: two handles of one process exclude
// each other too, and a file opened only for reading (CreateFileW with
// FILE_READ_DATA) takes an exclusive lock as on Windows, which an fcntl()
// write lock would refuse. The program locks one byte of a file that serves
// as a lock; any range here locks the whole file. They are advisory: unlike
// Windows, they stop no write.
//
// Port rules:
// - A handle with FILE_APPEND_DATA and no FILE_WRITE_DATA writes at the
//   file's end whatever other handles or processes write: O_APPEND, and one
//   write() per WriteFile, so that one call's bytes land together. A call
//   whose bytes do not all fit fails (ERROR_DISK_FULL) and writes no more:
//   its rest, written later, could land after another process's bytes.
// - Windows refuses to open a read-only file (no owner write bit) or a
//   folder for writing, root or not: ERROR_ACCESS_DENIED.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/change_hook.h"
#include "platform/posix/internal.h"

namespace posix {
namespace {

class AppendObject : public HandleObject {
 public:
  AppendObject(int fd, bool inheritable) : fd(fd), inheritable(inheritable) {}
  ~AppendObject() override { close(fd); }
  int InheritableFd() const override { return inheritable ? fd : -1; }
  const int fd;
  const bool inheritable;
};

// Whether the range of a lock call is one Windows takes: not empty, within
// the largest offset.
bool LockRange(LPOVERLAPPED overlapped, DWORD bytes_low, DWORD bytes_high) {
  if (overlapped == nullptr) return false;
  const uint64_t start = (uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset;
  const uint64_t length = (uint64_t{bytes_high} << 32) | bytes_low;
  constexpr uint64_t kLargest = static_cast<uint64_t>(INT64_MAX);
  return length != 0 && start <= kLargest && length <= kLargest - start;
}

// The descriptor of the open file a lock call names (opened for appending or
// for reading); -1, with the error set, when the handle is not an open file
// or the range is not one Windows takes.
int LockTarget(HANDLE file, LPOVERLAPPED overlapped, DWORD bytes_low, DWORD bytes_high) {
  auto* append = dynamic_cast<AppendObject*>(LookupHandleObject(file));
  const int fd = append != nullptr ? append->fd : ReadableDescriptor(file);
  if (fd < 0) return -1;
  if (!LockRange(overlapped, bytes_low, bytes_high)) {
    Fail(ERROR_INVALID_PARAMETER);
    return -1;
  }
  return fd;
}

DWORD OpenError(int error) {
  // A missing folder on the way: Windows reports the path, not the file.
  if (error == ENOENT || error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  return error == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(error);
}

}  // namespace

HANDLE OpenForAppend(LPCWSTR path, DWORD access, DWORD disposition,
                     LPSECURITY_ATTRIBUTES attributes, bool private_to_user, bool no_follow) {
  if ((access & ~(FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE)) != 0 ||
      (disposition != OPEN_ALWAYS && disposition != OPEN_EXISTING && disposition != CREATE_NEW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string native;
  if (!NativePath(path, &native)) return INVALID_HANDLE_VALUE;
  if (disposition != OPEN_EXISTING) change_hook::AtChange();
  // Never blocks: a FIFO without a reader fails instead of waiting for one.
  const int kFlags = ((access & FILE_READ_DATA) != 0 ? O_RDWR : O_WRONLY) | O_APPEND | O_CLOEXEC |
                     O_NOCTTY | O_NONBLOCK | (no_follow ? O_NOFOLLOW : 0);
  const mode_t mode = private_to_user ? 0600 : 0666;
  int fd = disposition == CREATE_NEW ? open(native.c_str(), kFlags | O_CREAT | O_EXCL, mode)
                                     : open(native.c_str(), kFlags);
  bool created = fd >= 0 && disposition == CREATE_NEW;
  // OPEN_ALWAYS tells a file it created from one that was there: first open,
  // then create only what is missing, once more when another process made
  // the file in between.
  while (fd < 0 && errno == ENOENT && disposition == OPEN_ALWAYS) {
    fd = open(native.c_str(), kFlags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
      created = true;
    } else if (errno == EEXIST) {
      fd = open(native.c_str(), kFlags);
    } else {
      break;
    }
  }
  if (fd < 0) {
    SetLastError(disposition == OPEN_EXISTING && errno == ENOENT ? ERROR_FILE_NOT_FOUND
                                                                 : OpenError(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (private_to_user && info.st_uid == geteuid() && (info.st_mode & 077) != 0) {
    fchmod(fd, info.st_mode & 07700);
  }
  struct stat folder;
  const std::string parent = native.substr(0, native.find_last_of('/') + 1);
  if (created && !private_to_user && stat(parent.empty() ? "." : parent.c_str(), &folder) == 0) {
    fchmod(fd, 0644 | (folder.st_mode & 0022));
  }
  HANDLE handle = RegisterHandle(
      std::make_unique<AppendObject>(fd, attributes != nullptr && attributes->bInheritHandle));
  SetLastError(created || disposition != OPEN_ALWAYS ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return handle;
}

}  // namespace posix

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, LPDWORD written,
               LPVOID /*overlapped*/) {
  auto* append = posix::LookupHandle<posix::AppendObject>(file);
  if (append == nullptr) return FALSE;
  if (written != nullptr) *written = 0;
  if (buffer == nullptr && to_write > 0) return posix::Fail(ERROR_INVALID_PARAMETER);
  ssize_t put = -1;
  do {
    put = write(append->fd, buffer, to_write);
  } while (put < 0 && errno == EINTR);
  if (put < 0) return posix::FailWithErrno();
  if (written != nullptr) *written = static_cast<DWORD>(put);
  if (static_cast<DWORD>(put) < to_write) return posix::Fail(ERROR_DISK_FULL);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto* append = posix::LookupHandle<posix::AppendObject>(file);
  if (append == nullptr) return FALSE;
  if (fsync(append->fd) != 0) return posix::FailWithErrno();
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  auto* append = posix::LookupHandle<posix::AppendObject>(file);
  if (append == nullptr) return FALSE;
  if (size == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  struct stat info;
  if (fstat(append->fd, &info) != 0) return posix::FailWithErrno();
  size->QuadPart = static_cast<int64_t>(info.st_size);
  return TRUE;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD /*reserved*/, DWORD bytes_low, DWORD bytes_high,
                LPOVERLAPPED overlapped) {
  const int fd = posix::LockTarget(file, overlapped, bytes_low, bytes_high);
  if (fd < 0) return FALSE;
  const int operation = ((flags & LOCKFILE_EXCLUSIVE_LOCK) != 0 ? LOCK_EX : LOCK_SH) |
                        ((flags & LOCKFILE_FAIL_IMMEDIATELY) != 0 ? LOCK_NB : 0);
  int result = -1;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return TRUE;
  return errno == EWOULDBLOCK ? posix::Fail(ERROR_LOCK_VIOLATION) : posix::FailWithErrno();
}

BOOL UnlockFileEx(HANDLE file, DWORD /*reserved*/, DWORD bytes_low, DWORD bytes_high,
                  LPOVERLAPPED overlapped) {
  const int fd = posix::LockTarget(file, overlapped, bytes_low, bytes_high);
  if (fd < 0) return FALSE;
  if (flock(fd, LOCK_UN) != 0) return posix::FailWithErrno();
  return TRUE;
}
