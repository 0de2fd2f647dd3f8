// The log's files and folders on POSIX: the user's alone.
#include "platform/log_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "platform/posix/internal.h"

namespace log_files {

HANDLE OpenForAppending(const std::wstring& path) {
  return posix::OpenForAppend(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA, OPEN_ALWAYS, nullptr,
                              true);
}

bool CreateFolders(const std::filesystem::path& folder) {
  std::error_code ignored;
  if (std::filesystem::is_directory(folder, ignored)) return false;
  const std::filesystem::path parent = folder.parent_path();
  if (!parent.empty() && parent != folder) CreateFolders(parent);
  if (mkdir(folder.c_str(), 0700) == 0) return true;
  const std::error_code error(errno, std::generic_category());
  // A folder that another process made meanwhile is the folder wanted.
  if (error.value() == EEXIST && std::filesystem::is_directory(folder, ignored)) return false;
  throw std::filesystem::filesystem_error("create_directories", folder, error);
}

}  // namespace log_files
