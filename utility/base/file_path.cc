#include "utility/base/file_path.h"

#include <type_traits>

#include "platform/long_paths.h"
#include "platform/win32.h"
#include "utility/base/logging.h"

namespace fs = std::filesystem;

// The library's native form is wide on Windows and narrow elsewhere: narrow
// text is the system's code page, which the platform converts.
std::filesystem::path ToFsPath(const std::wstring& path) {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    return fs::path(path);
  } else {
    return fs::path(NarrowText(path, CP_ACP));
  }
}

std::wstring FromFsPath(const std::filesystem::path& path) {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    return path.wstring();
  } else {
    return WideText(path.string(), CP_ACP);
  }
}

std::wstring JoinPath(const std::wstring& left, const std::wstring& right) {
  return FromFsPath(ToFsPath(left) / ToFsPath(right));
}

std::wstring PathKey(const std::wstring& path) {
  fs::path full = ToFsPath(long_paths::FullPathName(long_paths::PlainForm(path)));
  while (!full.has_filename() && full.has_relative_path()) full = full.parent_path();
  std::wstring key = FromFsPath(full);
  if (!key.empty()) CharLowerBuffW(key.data(), static_cast<DWORD>(key.size()));
  return key;
}

bool IsSameOrBelow(const std::wstring& inner, const std::wstring& outer) {
  if (inner.empty() || outer.empty() || inner.compare(0, outer.size(), outer) != 0) return false;
  return inner.size() == outer.size() || outer.back() == kPathSeparator ||
         inner[outer.size()] == kPathSeparator;
}
