// Handle table and Win32 error numbering of the POSIX layer.
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/posix/internal.h"

namespace posix {
namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct HandleTable {
  std::mutex mutex;
  std::map<uintptr_t, std::unique_ptr<HandleObject>> objects;
  uintptr_t next = 4;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable();
  return *table;
}

}  // namespace

HANDLE RegisterHandle(std::unique_ptr<HandleObject> object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  uintptr_t value = table.next;
  table.next += 4;
  table.objects[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

HandleObject* LookupHandleObject(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  return found == table.objects.end() ? nullptr : found->second.get();
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ESRCH:
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

BOOL FailWithErrno() { return Fail(ErrorFromErrno(errno)); }

}  // namespace posix

DWORD GetLastError() { return posix::last_error; }

void SetLastError(DWORD code) { posix::last_error = code; }

BOOL CloseHandle(HANDLE handle) {
  posix::HandleTable& table = posix::Table();
  std::unique_ptr<posix::HandleObject> object;
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.objects.end()) return posix::Fail(ERROR_INVALID_HANDLE);
    object = std::move(found->second);
    table.objects.erase(found);
  }
  return TRUE;  // the object is destroyed here, outside the lock
}
