// Wide paths and the file-system library.
//
// Paths are wide strings throughout the program. On Windows they are the
// file-system library's native form; elsewhere they pass through UTF-8, never
// through the C locale.
#ifndef UTILITY_BASE_FILE_PATH_H_
#define UTILITY_BASE_FILE_PATH_H_

#include <filesystem>
#include <string>

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

std::filesystem::path ToFsPath(const std::wstring& path);
std::wstring FromFsPath(const std::filesystem::path& path);

// The file-system library's path append of a relative `right` to `left`: a
// separator goes between them unless `left` is empty, already ends with a
// separator, or is a drive alone (such as C:).
std::wstring JoinPath(const std::wstring& left, const std::wstring& right);

#endif  // UTILITY_BASE_FILE_PATH_H_
