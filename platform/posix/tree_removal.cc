// The removal walk on POSIX (platform/tree_removal.h): by open folder
// descriptors, as `rm -rf` walks, with the system calls it makes: per folder
// one openat, statx, getdents until the end, close and unlinkat; per file one
// unlinkat. Nothing is reached by a path below the top, so nothing swapped in
// during the walk is followed, and each folder's mount is compared with its
// parent's before the walk enters it.
#include "platform/tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/change_hook.h"
#include "platform/posix/internal.h"

namespace posix {
namespace {

// An entry as the folder's listing gives it: no call per entry is needed to
// learn its kind or its inode.
struct Listed {
  std::string name;
  ino_t inode;
  unsigned char type;  // DT_DIR, DT_REG, DT_LNK, ... or DT_UNKNOWN
};

// What the walk knows of an open folder.
struct Folder {
  int fd;
  dev_t device;
  uint64_t mount;  // 0 when the system does not tell
  mode_t mode;
};

bool Describe(int fd, Folder* folder) {
  struct statx info = {};
  if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE | STATX_MNT_ID,
            &info) != 0) {
    return false;
  }
  folder->fd = fd;
  folder->device = makedev(info.stx_dev_major, info.stx_dev_minor);
  folder->mount = (info.stx_mask & STATX_MNT_ID) != 0 ? info.stx_mnt_id : 0;
  folder->mode = info.stx_mode;
  return true;
}

unsigned char KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return DT_DIR;
  return S_ISREG(mode) ? DT_REG : DT_LNK;  // any other kind goes as a link does
}

// Gives an open folder its owner's `rights` (a descriptor opened only as a
// path is reached through /proc, which fchmod cannot take).
bool GrantOwner(const Folder& folder, mode_t rights) {
  if ((folder.mode & rights) == rights) return false;
  const mode_t mode = (folder.mode & 07777) | rights;
  if (fchmod(folder.fd, mode) == 0) return true;
  return errno == EBADF && chmod(("/proc/self/fd/" + std::to_string(folder.fd)).c_str(), mode) == 0;
}

// Every entry of an open folder, "." and ".." left out, sorted by name so
// that the walk meets them in the same order on every file system.
bool ReadFolder(int fd, std::vector<char>* buffer, std::vector<Listed>* entries) {
  for (;;) {
    const ssize_t got = getdents64(fd, buffer->data(), buffer->size());
    if (got < 0) return false;
    if (got == 0) break;
    for (ssize_t offset = 0; offset < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer->data() + offset);
      offset += entry->d_reclen;
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      entries->push_back({entry->d_name, static_cast<ino_t>(entry->d_ino), entry->d_type});
    }
  }
  std::sort(entries->begin(), entries->end(),
            [](const Listed& a, const Listed& b) { return a.name < b.name; });
  return true;
}

class Walk {
 public:
  tree_removal::Outcome Run(std::string top) {
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    const size_t slash = top.rfind('/');
    Listed entry = {top.substr(slash == std::string::npos ? 0 : slash + 1), 0, DT_UNKNOWN};
    if (entry.name.empty() || entry.name == "." || entry.name == ".." || entry.name == "/") {
      return Stop(ERROR_INVALID_NAME, "");
    }
    std::string parent = slash == std::string::npos ? "." : top.substr(0, slash);
    if (parent.empty()) parent = "/";
    // The folder holding the top, as the system resolves the caller's path.
    const int fd = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    Folder folder;
    struct stat info;
    if (fd < 0 || !Describe(fd, &folder) ||
        fstatat(fd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      const int error = errno;
      if (fd >= 0) close(fd);
      return Stop(error == ENOENT    ? ERROR_FILE_NOT_FOUND
                  : error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                     : ErrorFromErrno(error),
                  "");
    }
    entry.type = KindOf(info.st_mode);
    entry.inode = info.st_ino;
    Remove(folder, entry, "", false);
    close(fd);
    return outcome_;
  }

 private:
  tree_removal::Outcome Stop(DWORD error, const std::string& at, const char* refusal = nullptr) {
    outcome_.error = error;
    outcome_.at = FromNative(at);
    outcome_.refusal = refusal;
    return outcome_;
  }

  static std::string Below(const std::string& where, const std::string& name) {
    return where.empty() ? name : where + "/" + name;
  }

  // Removes one entry of `parent`; false once the walk has stopped.
  // `at`: its names below the top; `retried`: it changed its kind once
  // already.
  bool Remove(const Folder& parent, Listed entry, const std::string& at, bool retried) {
    if (entry.type == DT_UNKNOWN) {
      // File systems that keep no kind in their listings.
      struct stat info;
      if (fstatat(parent.fd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;  // gone meanwhile
        Stop(ErrorFromErrno(errno), at);
        return false;
      }
      entry.type = KindOf(info.st_mode);
      entry.inode = info.st_ino;
    }
    if (entry.type == DT_DIR) {
      const int result = EmptyFolder(parent, entry, at);
      if (result < 0) return false;
      // Not a folder any more (a link or a file took its place): removed as
      // it is now, never followed.
      if (result == 0) entry.type = DT_LNK;
    } else if (entry.type == DT_REG && IsRunning(parent, entry)) {
      Stop(ERROR_ACCESS_DENIED, at);
      return false;
    }
    const int flags = entry.type == DT_DIR ? AT_REMOVEDIR : 0;
    if (RemoveIn(parent, entry.name, flags)) {
      ++outcome_.removed;
      return true;
    }
    if (errno == ENOENT) return true;  // gone meanwhile
    if (errno == EISDIR && flags == 0 && !retried) {
      // A folder took the place of a file: walked as one.
      entry.type = DT_DIR;
      return Remove(parent, entry, at, true);
    }
    Stop(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : ErrorFromErrno(errno), at);
    return false;
  }

  // unlinkat, once more after opening up a folder that refused.
  bool RemoveIn(const Folder& parent, const std::string& name, int flags) {
    change_hook::AtChange();
    if (unlinkat(parent.fd, name.c_str(), flags) == 0) return true;
    if (errno != EACCES && errno != EPERM) return false;
    const int error = errno;
    if (!GrantOwner(parent, S_IWUSR | S_IXUSR)) {
      errno = error;
      return false;
    }
    return unlinkat(parent.fd, name.c_str(), flags) == 0;
  }

  // Opens the folder `entry` of `parent` without following a link: the
  // descriptor, -1 when it is no folder (any more), -2 when the walk stopped.
  int OpenFolder(const Folder& parent, const Listed& entry, const std::string& at) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    int fd = openat(parent.fd, entry.name.c_str(), kFlags);
    if (fd < 0 && errno == EACCES) {
      // A folder that refuses its owner the listing gets the rights for it.
      const int path_fd =
          openat(parent.fd, entry.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      Folder closed;
      if (path_fd >= 0 && Describe(path_fd, &closed) && GrantOwner(closed, S_IRUSR | S_IXUSR)) {
        fd = openat(path_fd, ".", kFlags);
      } else {
        errno = EACCES;
      }
      const int error = errno;
      if (path_fd >= 0) close(path_fd);
      errno = error;
    }
    if (fd >= 0) return fd;
    if (errno == ELOOP || errno == ENOTDIR || errno == ENOENT) return -1;
    Stop(ErrorFromErrno(errno), at);
    return -2;
  }

  // Removes everything in the folder `entry` of `parent`: 1 when done, 0 when
  // the entry is no folder (any more), -1 when the walk stopped.
  int EmptyFolder(const Folder& parent, const Listed& entry, const std::string& at) {
    const int fd = OpenFolder(parent, entry, at);
    if (fd < 0) return fd == -1 ? 0 : -1;
    Folder folder;
    std::vector<Listed> entries;
    bool done = false;
    if (!Describe(fd, &folder)) {
      Stop(ErrorFromErrno(errno), at);
    } else if (folder.device != parent.device ||
               (folder.mount != 0 && parent.mount != 0 && folder.mount != parent.mount)) {
      // A mount point, of another file system or a bind mount: left as it is.
      Stop(ERROR_NOT_SAME_DEVICE, at, "on another volume, not entered");
    } else if (!ReadFolder(fd, &buffer_, &entries)) {
      Stop(ErrorFromErrno(errno), at);
    } else {
      done = true;
      for (const Listed& inner : entries) {
        if (!Remove(folder, inner, Below(at, inner.name), false)) {
          done = false;
          break;
        }
      }
    }
    close(fd);
    return done ? 1 : -1;
  }

  // Whether the file `entry` of `parent` is a running program's. The
  // programs' files are read once per walk, when the first file comes; only a
  // file whose listed inode is one of theirs is looked at more closely.
  bool IsRunning(const Folder& parent, const Listed& entry) {
    if (!images_read_) {
      images_read_ = true;
      images_ = RunningImages();
      for (const auto& image : images_) inodes_.insert(image.second);
    }
    if (inodes_.count(entry.inode) == 0) return false;
    struct stat info;
    return fstatat(parent.fd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           images_.count({info.st_dev, info.st_ino}) != 0;
  }

  tree_removal::Outcome outcome_;
  std::vector<char> buffer_ = std::vector<char>(32768);  // one listing's read at a time
  bool images_read_ = false;
  std::set<std::pair<dev_t, ino_t>> images_;
  std::set<ino_t> inodes_;
};

}  // namespace
}  // namespace posix

namespace tree_removal {

Outcome RemoveTree(const std::wstring& system_path) {
  std::string native;
  if (!posix::NativePath(system_path.c_str(), &native)) {
    Outcome refused;
    refused.error = GetLastError();
    return refused;
  }
  return posix::Walk().Run(native);
}

}  // namespace tree_removal
