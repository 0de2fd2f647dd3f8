// Making written files and changed folders durable on Windows
// (platform/durable.h): each file flushed through a handle opened for
// writing, several at a time (a flush waits for the disk; the system writes
// several files' data in one go), each folder through a handle of its own
// where the system allows it.
#include "platform/durable.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

// Files flushed at a time: each flush waits for the disk, which takes the
// data of several at once.
constexpr size_t kFlushers = 8;

// Flushes one file, its read-only attribute cleared for the open to write
// and set again through the handle (so that the flush writes it too).
bool FlushFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const bool read_only =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (read_only) SetFileAttributesW(path.c_str(), attributes);
    SetLastError(code);
    return false;
  }
  if (read_only) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
  }
  const bool flushed = FlushFileBuffers(file) != FALSE;
  const DWORD code = GetLastError();
  CloseHandle(file);
  SetLastError(code);
  return flushed;
}

// Flushes a folder's entries where the system lets a folder be opened for
// that; where it does not, the volume's log that each file's flush writes
// holds them.
bool FlushFolder(const std::wstring& path) {
  HANDLE folder = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return code == ERROR_ACCESS_DENIED || code == ERROR_FILE_NOT_FOUND ||
           code == ERROR_PATH_NOT_FOUND;
  }
  const bool flushed = FlushFileBuffers(folder) != FALSE;
  const DWORD code = GetLastError();
  CloseHandle(folder);
  SetLastError(code);
  return flushed || code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_FUNCTION;
}

}  // namespace

namespace durable {

bool FlushNewFiles(const std::wstring& /*system_volume*/,
                   const std::vector<std::wstring>& system_files,
                   const std::vector<std::wstring>& system_folders) {
  std::atomic<size_t> next{0};
  std::atomic<DWORD> failure{ERROR_SUCCESS};
  const auto flush = [&] {
    for (size_t i = next++; i < system_files.size() && failure == ERROR_SUCCESS; i = next++) {
      if (FlushFile(system_files[i])) continue;
      const DWORD code = GetLastError();
      failure = code == ERROR_SUCCESS ? ERROR_GEN_FAILURE : code;
    }
  };
  std::vector<std::thread> flushers;
  const size_t count = std::min(kFlushers, system_files.size() / 16);
  for (size_t i = 0; i < count; ++i) flushers.emplace_back(flush);
  flush();
  for (std::thread& flusher : flushers) flusher.join();
  if (failure != ERROR_SUCCESS) {
    SetLastError(failure);
    return false;
  }
  return FlushFolders(system_folders);
}

bool FlushFolders(const std::vector<std::wstring>& system_folders) {
  for (const std::wstring& folder : system_folders) {
    if (!FlushFolder(folder)) return false;
  }
  return true;
}

}  // namespace durable
