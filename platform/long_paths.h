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

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace long_paths {

// Paths this long or longer reach the system in extended-length form.
inline constexpr size_t kLongPath = MAX_PATH - 12;

// The separator that the system's full paths use.
#ifdef _WIN32
inline constexpr wchar_t kSeparator = L'\\';
#else
inline constexpr wchar_t kSeparator = L'/';
#endif

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

// The plain form of a path written in extended-length or device form when
// what follows the prefix is a full drive path ("\\?\C:\x", "\\.\C:\x"; on
// POSIX "\\?\/x") or a network path ("\\?\UNC\server\share"), which the
// system also takes plainly and resolves like any other path; every other
// path unchanged. The extended form is made again where a call needs it.
inline std::wstring PlainForm(const std::wstring& path) {
  if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (!IsExtendedOrDevice(path)) return path;
  const std::wstring rest = path.substr(4);
  const bool drive = rest.size() >= 3 && rest[1] == L':' && (rest[2] == L'\\' || rest[2] == L'/') &&
                     ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'));
  return drive || StartsWith(rest, L"/") ? rest : path;
}

// The extended-length form of a path however short it is: its full form
// after "\\?\" ("\\?\UNC\" for a network path); extended and device forms
// as they stand. Windows reads some names in plain paths as something else
// (a last component "aux.js" as a device, "trail." as "trail"): a walk that
// must reach every listed name builds each child's path from this form with
// ChildPath, never through a plain path.
inline std::wstring ExtendedForm(const std::wstring& path) {
  if (IsExtendedOrDevice(path)) return path;
  const std::wstring full = FullPathName(path);
  if (full.empty() || IsExtendedOrDevice(full)) return full.empty() ? path : full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// `path` as a file function must receive it: unchanged when it is short or
// already in an extended or device form; otherwise its extended form. A path
// whose full form cannot be made is returned unchanged, and the system then
// answers for it.
inline std::wstring ExtendedLengthPath(const std::wstring& path) {
  return path.size() < kLongPath ? path : ExtendedForm(path);
}

// The short (8.3) form of an existing path, in plain form; empty when the
// system keeps none for it.
inline std::wstring ShortForm(const std::wstring& path) {
  const std::wstring system_path = ExtendedLengthPath(path);
  const DWORD size = GetShortPathNameW(system_path.c_str(), nullptr, 0);
  if (size == 0) return std::wstring();
  std::vector<wchar_t> buffer(size);
  const DWORD length = GetShortPathNameW(system_path.c_str(), buffer.data(), size);
  if (length == 0 || length >= size) return std::wstring();
  return PlainForm(std::wstring(buffer.data(), length));
}

// A listed entry's path: its name appended to its folder's path (an extended
// form), with one separator between them.
inline std::wstring ChildPath(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && (folder.back() == kSeparator || folder.back() == L'/')) {
    return folder + name;
  }
  return folder + kSeparator + name;
}

// Whether `name` is one name of a folder as the system takes it at the end
// of a path: not empty, not "." or "..", without a separator or a zero (on
// Windows also no "/" and no ":", which would name a stream).
inline bool IsPlainName(const std::wstring& name) {
#ifdef _WIN32
  constexpr wchar_t kNotInAName[] = L"\\/:";
#else
  constexpr wchar_t kNotInAName[] = L"/";
#endif
  return !name.empty() && name != L"." && name != L".." && name.find(L'\0') == std::wstring::npos &&
         name.find_first_of(kNotInAName) == std::wstring::npos;
}

// Whether `name` fits the longest name a volume takes: 255 UTF-16 units on
// Windows, 255 bytes of UTF-8 on Linux (a lone surrogate, which stands for
// a byte that is not UTF-8, one).
inline bool NameFits(const std::wstring& name) {
#ifdef _WIN32
  return name.size() <= 255;
#else
  size_t bytes = 0;
  for (const wchar_t unit : name) {
    const auto code = static_cast<uint32_t>(unit);
    bytes += code < 0x80                          ? 1
             : code < 0x800                       ? 2
             : (code >= 0xDC80 && code <= 0xDCFF) ? 1
             : code < 0x10000                     ? 3
                                                  : 4;
  }
  return bytes <= 255;
#endif
}

}  // namespace long_paths

#endif  // PLATFORM_LONG_PATHS_H_
