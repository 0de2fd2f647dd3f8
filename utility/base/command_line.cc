#include "utility/base/command_line.h"

#include <cerrno>
#include <cwchar>
#include <stdexcept>

#include "platform/win32.h"
#include "utility/base/logging.h"

CommandLine::~CommandLine() {
  if (argv_ != nullptr) LocalFree(argv_);
}

bool CommandLine::Init() { return InitFromText(GetCommandLineW()); }

bool CommandLine::InitFromText(const wchar_t* command_line) {
  if (command_line == nullptr || lstrlenW(command_line) == 0) return false;
  LOG(INFO) << NarrowText(command_line, CP_UTF8);
  int count = 0;
  wchar_t** args = CommandLineToArgvW(command_line, &count);
  if (args == nullptr || count == 0) {
    if (args != nullptr) LocalFree(args);
    return false;
  }
  if (argv_ != nullptr) LocalFree(argv_);
  argc_ = count;
  argv_ = args;
  return true;
}

bool CommandLine::HasSwitch(const std::wstring& name) const {
  const std::wstring key = L"--" + name;
  for (int32_t i = 0; i < argc_; ++i) {
    if (wcsncmp(argv_[i], key.c_str(), key.size()) == 0) return true;
  }
  return false;
}

bool CommandLine::GetSwitchValue(std::wstring* value, const std::wstring& name) const {
  const std::wstring key = L"--" + name + L"=";
  for (int32_t i = 0; i < argc_; ++i) {
    if (wcsncmp(argv_[i], key.c_str(), key.size()) == 0) {
      *value = argv_[i] + key.size();
      return true;
    }
  }
  return false;
}

bool CommandLine::GetSwitchValue(int64_t* value, const std::wstring& name) const {
  std::wstring text;
  if (!GetSwitchValue(&text, name)) return false;
  // The Windows runtime's conversion, which skips the leading white space that
  // Windows knows (beyond ASCII), on every platform alike.
  const wchar_t* start = text.c_str();
  wchar_t* end = nullptr;
  errno = 0;
  long long number = RuntimeWcstoll(start, &end, 10);
  if (end == start) throw std::invalid_argument("invalid stoll argument");
  if (errno == ERANGE) throw std::out_of_range("stoll argument out of range");
  *value = number;
  return true;
}

bool CommandLine::GetSwitchValue(std::string* value, const std::wstring& name) const {
  std::wstring text;
  if (!GetSwitchValue(&text, name)) return false;
  *value = NarrowText(text, CP_UTF8);
  return true;
}
