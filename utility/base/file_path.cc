#include "utility/base/file_path.h"

#include "platform/win32.h"

#ifdef _WIN32

std::filesystem::path ToFsPath(const std::wstring& path) { return std::filesystem::path(path); }

std::wstring FromFsPath(const std::filesystem::path& path) { return path.wstring(); }

#else

std::filesystem::path ToFsPath(const std::wstring& path) {
  if (path.empty()) return std::filesystem::path();
  int size = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()),
                                 nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), narrow.data(),
                      size, nullptr, nullptr);
  return std::filesystem::path(narrow);
}

std::wstring FromFsPath(const std::filesystem::path& path) {
  const std::string& narrow = path.native();
  if (narrow.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, narrow.c_str(), static_cast<int>(narrow.size()),
                                 nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, narrow.c_str(), static_cast<int>(narrow.size()), wide.data(),
                      size);
  return wide;
}

#endif

std::wstring JoinPath(const std::wstring& left, const std::wstring& right) {
  return FromFsPath(ToFsPath(left) / ToFsPath(right));
}
