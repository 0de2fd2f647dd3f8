#include "tests/support/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <random>
#include <vector>

#include "platform/long_paths.h"
#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/files.h"
#include "tests/support/processes.h"
#include "utility/base/file_path.h"

namespace testenv {
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// A plain walk for Windows itself: files and empty folders go, links go as
// they are, read-only files lose the attribute first.
void RemoveWithWindows(const std::wstring& path) {
  const std::wstring system_path = long_paths::ExtendedLengthPath(path);
  const DWORD attributes = GetFileAttributesW(system_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    HANDLE find = FindFirstFileW((system_path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    for (const std::wstring& name : names) RemoveWithWindows(path + L"\\" + name);
    RemoveDirectoryW(system_path.c_str());
    return;
  }
  SetFileAttributesW(system_path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RemoveDirectoryW(system_path.c_str());
  } else {
    DeleteFileW(system_path.c_str());
  }
}
#else
void MakeWritable(const fs::path& path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(path, error);
  if (error || fs::is_symlink(status)) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
  if (fs::is_directory(status)) {
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
      MakeWritable(it->path());
    }
  }
}

#endif

}  // namespace

void RemoveTree(const std::wstring& path) {
#ifdef _WIN32
  // Under Wine the host removes it: Wine cannot remove a host link to a
  // folder, and sees the folder behind it instead.
  if (RunningUnderWine()) {
    // The host program may start only after this returns: for a path that
    // is not there it would remove what a test makes there next.
    if (Exists(path) && StartHostProgram({L"/bin/rm", L"-rf", HostPath(path)})) {
      WaitUntil([&] { return !Exists(path); }, 10000);
    }
  } else {
    RemoveWithWindows(path);
  }
#else
  std::error_code error;
  MakeWritable(ToFsPath(path));
  fs::remove_all(ToFsPath(path), error);
#endif
}

TempDir::TempDir(const std::wstring& hint, const std::wstring& base_folder) {
  std::random_device seed;
  std::mt19937_64 random(
      seed() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::path base = base_folder.empty() ? fs::temp_directory_path() : ToFsPath(base_folder);
  for (;;) {
    fs::path candidate = base / ToFsPath(hint + L"-" + std::to_wstring(random() % 1000000000));
    if (fs::create_directory(candidate)) {
      path_ = FromFsPath(candidate);
      return;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring TempDir::operator/(const std::wstring& relative) const {
  return FromFsPath((ToFsPath(path_) / ToFsPath(relative)).make_preferred());
}

}  // namespace testenv
