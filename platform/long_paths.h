// Paths in the forms the system's file functions take, on every platform.
//
// Without its long-path setting Windows refuses a path of MAX_PATH characters
// or more (a new folder: MAX_PATH - 12) unless it is in extended-length form:
// "\\?\C:\..." for a drive path, "\\?\UNC\server\share\..." for a network
// path. That form must be a full path with backslashes only and no "." or
// ".." steps, since the system takes it as it stands. The POSIX layer keeps
// the same rule (a full POSIX path after the prefix).
#ifndef PLATFORM_LONG_PATHS_H_
#define PLATFORM_LONG_PATHS_H_

#include <string>
#include <vector>

#include "platform/win32.h"

namespace long_paths {

// Paths this long or longer reach the system in extended-length form.
inline constexpr size_t kLongPath = MAX_PATH - 12;

inline bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

// Extended-length ("\\?\") and device ("\\.\", "\??\") forms, which the
// system takes as they stand.
inline bool IsExtendedOrDevice(const std::wstring& path) {
  return StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\") ||
         StartsWith(path, L"\\??\\");
}

// The full form of a path (the current folder put before a relative one, "."
// and ".." steps resolved by text, separators made the system's own); empty
// when the system cannot form it.
inline std::wstring FullPathName(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  while (size > 0) {
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    if (length == 0) break;
    if (length < size) return std::wstring(buffer.data(), length);
    size = length;  // it grew meanwhile (the current folder changed)
  }
  return std::wstring();
}

// `path` as a file function must receive it: unchanged when it is short or
// already in an extended or device form; otherwise its full form in
// extended-length form. A path whose full form cannot be made is returned
// unchanged, and the system then answers for it.
inline std::wstring ExtendedLengthPath(const std::wstring& path) {
  if (path.size() < kLongPath || IsExtendedOrDevice(path)) return path;
  const std::wstring full = FullPathName(path);
  if (full.empty() || IsExtendedOrDevice(full)) return path;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace long_paths

#endif  // PLATFORM_LONG_PATHS_H_
