// Wide paths and the file-system library.
//
// Paths are wide strings throughout the program. The file-system library
// takes them in its native form: wide on Windows, the system's narrow bytes
// elsewhere, converted through the platform (never through the C locale).
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

// A path as text to compare with others: its full form (relative to the
// current folder, "." and ".." resolved, the system's separators), without
// an extended-length or device prefix ("\\?\", "\\?\UNC\", "\\.\"), without
// trailing separators (a root keeps its own) and lower-cased, as Windows
// compares names. Links are not resolved. Empty when no full form exists.
std::wstring PathKey(const std::wstring& path);
// Whether the path of key `inner` is the path of key `outer` or lies below it.
bool IsSameOrBelow(const std::wstring& inner, const std::wstring& outer);

#endif  // UTILITY_BASE_FILE_PATH_H_
