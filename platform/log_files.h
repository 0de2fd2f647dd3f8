// What tells the platforms apart for the log's files: the variable that names
// the user, the runtime's text mode, and files and folders of the user's own.
//
// Port rule: on POSIX the log's files (mode 0600) and the folders made for
// them (0700) are the user's alone, so that no other user can read them, nor
// lock them and so hold up the updater's writing. Windows keeps what the
// folder gives them.
#ifndef PLATFORM_LOG_FILES_H_
#define PLATFORM_LOG_FILES_H_

#include <filesystem>
#include <string>

#include "platform/win32.h"

namespace log_files {

// The environment variable that names the user, as the logging library reads
// it.
#ifdef _WIN32
inline constexpr wchar_t kUserVariable[] = L"USERNAME";
#else
inline constexpr wchar_t kUserVariable[] = L"USER";
#endif

// Text as the library writes it through the runtime's text mode: on Windows
// each line feed goes to the file as carriage return and line feed.
inline std::string TextModeBytes(const std::string& text) {
#ifdef _WIN32
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 16);
  for (const char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
#else
  return text;
#endif
}

// Opens a file, created when missing, to append to it and to lock ranges of
// it (FILE_APPEND_DATA and FILE_READ_DATA, every sharing allowed); POSIX: a
// file made is the user's alone, and one of the user's that others may read
// is made so.
HANDLE OpenForAppending(const std::wstring& path);

// Makes a folder and the folders before it that are missing, as
// std::filesystem::create_directories does (true when it made the folder);
// POSIX: each made with mode 0700.
bool CreateFolders(const std::filesystem::path& folder);

#ifdef _WIN32
inline HANDLE OpenForAppending(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline bool CreateFolders(const std::filesystem::path& folder) {
  return std::filesystem::create_directories(folder);
}
#endif

}  // namespace log_files

#endif  // PLATFORM_LOG_FILES_H_
