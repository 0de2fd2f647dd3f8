// Making written files and changed folders durable on POSIX
// (platform/durable.h): one syncfs of the volume for new files, an fsync of
// each folder for its entries.
#include "platform/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/internal.h"

namespace {

// Opens a path for a sync; -1 with the last error set when it cannot be.
int OpenToSync(const std::wstring& system_path, int flags) {
  std::string native;
  if (!posix::NativePath(system_path.c_str(), &native)) return -1;
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags);
  if (fd < 0) posix::FailWithErrno();
  return fd;
}

}  // namespace

namespace durable {

bool FlushNewFiles(const std::wstring& system_volume, const std::vector<std::wstring>& /*files*/,
                   const std::vector<std::wstring>& /*folders*/) {
  // One call writes back every file of the volume and its folders, which
  // costs what a write-back of each costs, without a call per file.
  const int fd = OpenToSync(system_volume, 0);
  if (fd < 0) return false;
  const bool synced = syncfs(fd) == 0 || posix::FailWithErrno();
  close(fd);
  return synced;
}

bool FlushFolders(const std::vector<std::wstring>& system_folders) {
  for (const std::wstring& folder : system_folders) {
    int fd = OpenToSync(folder, O_DIRECTORY | O_NOFOLLOW);
    bool whole_volume = false;
    // A folder its owner may not read (000) cannot be opened for its own
    // sync: the nearest folder above it that can be gives its volume's.
    for (std::wstring above = folder; fd < 0 && GetLastError() == ERROR_ACCESS_DENIED;) {
      const size_t separator = above.find_last_of(L"\\/");
      if (separator == std::wstring::npos || separator < 5) break;
      above.resize(separator);
      fd = OpenToSync(above, O_DIRECTORY);
      whole_volume = true;
    }
    if (fd < 0) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) continue;
      return false;
    }
    const bool synced = (whole_volume ? syncfs(fd) : fsync(fd)) == 0 || posix::FailWithErrno();
    close(fd);
    if (!synced) return false;
  }
  return true;
}

}  // namespace durable
