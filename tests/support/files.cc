#include "tests/support/files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "platform/long_paths.h"
#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/processes.h"
#include "utility/base/file_path.h"

namespace testenv {
namespace fs = std::filesystem;

namespace {

// A path as the file-system library reaches it at any length and with any
// names: in extended-length form on Windows, where the runtime refuses long
// plain paths and reads some names ("aux.js", "trail.") as something else;
// plainly elsewhere, where the library goes straight to the system.
fs::path SystemFsPath(const std::wstring& path) {
#ifdef _WIN32
  // The folder's extended form and the name appended as it stands.
  const size_t separator = path.find_last_of(L"\\/");
  if (long_paths::IsExtendedOrDevice(path) || separator == std::wstring::npos) {
    return ToFsPath(long_paths::ExtendedForm(path));
  }
  return ToFsPath(long_paths::ChildPath(long_paths::ExtendedForm(path.substr(0, separator)),
                                        path.substr(separator + 1)));
#else
  return ToFsPath(long_paths::PlainForm(path));
#endif
}

// `folder` is in extended-length form: each entry's path is its name
// appended to it.
void Digest(const std::wstring& folder, const std::wstring& relative,
            std::vector<std::string>* digest) {
  WIN32_FIND_DATAW entry = {};
  HANDLE find = FindFirstFileW(long_paths::ChildPath(folder, L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = long_paths::ChildPath(folder, name);
    const std::wstring inner = relative.empty() ? name : relative + L"/" + name;
    std::string line = Utf8(inner);
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      std::error_code error;
      line += " -> " + Utf8(FromFsPath(fs::read_symlink(SystemFsPath(path), error)));
    } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      line += "/";
      Digest(path, inner, digest);
    } else if (!fs::is_regular_file(SystemFsPath(path))) {
      line += " not a file";  // a pipe or a device: reading it could wait for ever
    } else {
      const std::string content = ReadFile(path);
      line += " " + std::to_string(content.size()) + " " +
              std::to_string(std::hash<std::string>()(content));
    }
    digest->push_back(line);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

// Leaves out the install root's lock file, which any run may make, and the
// staging folder made for it when it holds nothing else: a tree "as it was"
// is one without them. `names` are sorted.
std::vector<std::string> WithoutLockFile(std::vector<std::string> names) {
  const std::regex lock("(.*/)?zizaro_do\\.lock( .*)?");
  names.erase(std::remove_if(names.begin(), names.end(),
                             [&](const std::string& name) { return std::regex_match(name, lock); }),
              names.end());
  const auto staging = std::find(names.begin(), names.end(), "qxcg_update_tmp/");
  if (staging != names.end() &&
      (staging + 1 == names.end() || (staging + 1)->rfind(*staging, 0) != 0)) {
    names.erase(staging);
  }
  return names;
}

}  // namespace

std::wstring ExeName(const std::wstring& name) {
#ifdef _WIN32
  return name + L".exe";
#else
  return name;
#endif
}

std::wstring BinDir() {
  wchar_t path[4096] = {};
  GetModuleFileNameW(nullptr, path, 4096);
  return FromFsPath(ToFsPath(path).parent_path());
}

std::wstring BinFile(const std::wstring& name) { return JoinPath(BinDir(), name); }

void WriteFile(const std::wstring& path, const std::string& content) {
  fs::path file = ToFsPath(path);
  if (file.has_parent_path()) fs::create_directories(file.parent_path());
  std::ofstream out(SystemFsPath(path), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + Utf8(path));
}

std::string ReadFile(const std::wstring& path) {
  std::ifstream in(SystemFsPath(path), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Exists(const std::wstring& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(SystemFsPath(path), error));
}

void MakeDirs(const std::wstring& path) { fs::create_directories(ToFsPath(path)); }

void CopyFile(const std::wstring& from, const std::wstring& to) {
  fs::path target = ToFsPath(to);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  fs::copy_file(ToFsPath(from), target, fs::copy_options::overwrite_existing);
}

std::vector<std::string> ListTree(const std::wstring& folder) {
  std::vector<std::string> names;
  fs::path root = ToFsPath(folder);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string name = Utf8(FromFsPath(it->path().lexically_relative(root)));
    std::replace(name.begin(), name.end(), '\\', '/');
    if (it->is_directory() && !it->is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return WithoutLockFile(names);
}

std::string ZipWithoutData(const std::string& name, uint64_t declared_size) {
  auto put = [](std::string* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  // Version 4.5, stored, no data; the size in a zip64 extra field (id 1).
  auto common = [&](std::string* out) {
    put(out, 45, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0x21, 2);
    put(out, 0, 4), put(out, 0, 4), put(out, 0xFFFFFFFF, 4);
    put(out, name.size(), 2), put(out, 12, 2);
  };
  auto extra = [&](std::string* out) {
    put(out, 1, 2), put(out, 8, 2), put(out, declared_size, 8);
  };
  std::string zip;
  put(&zip, 0x04034b50, 4), common(&zip), zip += name, extra(&zip);
  std::string directory;
  put(&directory, 0x02014b50, 4), put(&directory, 45, 2), common(&directory);
  put(&directory, 0, 2), put(&directory, 0, 2), put(&directory, 0, 2), put(&directory, 0, 4);
  put(&directory, 0, 4), directory += name, extra(&directory);
  const size_t directory_offset = zip.size();
  zip += directory;
  put(&zip, 0x06054b50, 4), put(&zip, 0, 2), put(&zip, 0, 2), put(&zip, 1, 2), put(&zip, 1, 2);
  put(&zip, directory.size(), 4), put(&zip, directory_offset, 4), put(&zip, 0, 2);
  return zip;
}

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
#ifdef _WIN32
  auto is_link = [&] {
    DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  };
  if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
      is_link()) {
    return true;
  }
  // Wine's call does nothing, but it shows a host link as a reparse point.
  return RunningUnderWine() &&
         StartHostProgram({L"/bin/ln", L"-s", HostPath(target), HostPath(link)}) &&
         WaitUntil(is_link, 10000);
#else
  std::error_code error;
  fs::create_directory_symlink(ToFsPath(target), ToFsPath(link), error);
  return !error;
#endif
}

void SetReadOnly(const std::wstring& path, bool read_only) {
  const std::wstring system_path = long_paths::ExtendedLengthPath(path);
  DWORD attributes = GetFileAttributesW(system_path.c_str());
  attributes =
      read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!SetFileAttributesW(system_path.c_str(), attributes)) {
    throw std::runtime_error("cannot set the attributes of " + Utf8(path));
  }
}

bool IsReadOnly(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(long_paths::ExtendedLengthPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void InstallStandIn(const std::wstring& path) {
  // A copy of it may still be running from there: replace the file, do not
  // write into it.
  std::error_code error;
  fs::remove(ToFsPath(path), error);
  CopyFile(BinFile(ExeName(L"stand_in_client")), path);
  fs::permissions(ToFsPath(path), fs::perms::owner_all, fs::perm_options::add);
}

std::wstring InstallUpdater(const std::wstring& folder, bool with_archiver) {
  const std::wstring updater = JoinPath(folder, ExeName(L"zizaro_do"));
  CopyFile(BinFile(ExeName(L"zizaro_do")), updater);
  fs::permissions(ToFsPath(updater), fs::perms::owner_all, fs::perm_options::add);
  if (with_archiver) {
    const fs::path archiver = ToFsPath(BinFile(L"7z.exe"));
    const fs::path copy = ToFsPath(JoinPath(folder, L"7z.exe"));
    fs::remove(copy);
    if (fs::is_symlink(archiver)) {
      fs::create_symlink(fs::read_symlink(archiver), copy);
    } else {
      fs::copy_file(archiver, copy);
    }
  }
  return updater;
}

std::vector<std::string> TreeDigest(const std::wstring& folder) {
  std::vector<std::string> digest;
  Digest(long_paths::ExtendedForm(folder), L"", &digest);
  std::sort(digest.begin(), digest.end());
  return WithoutLockFile(digest);
}

}  // namespace testenv
