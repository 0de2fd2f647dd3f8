// The process's command line as a list of arguments, with lookups of
// switches written as one argument "--name=value".
#ifndef UTILITY_BASE_COMMAND_LINE_H_
#define UTILITY_BASE_COMMAND_LINE_H_

#include <cstdint>
#include <string>

class CommandLine {
 public:
  CommandLine() = default;
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // Reads the process's full command line (program path included), records
  // it, and splits it by the platform's rules. False when there is none or it
  // splits into no argument; the object then stays empty.
  bool Init();
  // The same on a given command-line text.
  bool InitFromText(const wchar_t* command_line);

  // True when an argument begins with "--" + name (a pure prefix test).
  bool HasSwitch(const std::wstring& name) const;

  // The rest of the first argument that begins with "--" + name + "=".
  // The destination is written only when such an argument exists.
  bool GetSwitchValue(std::wstring* value, const std::wstring& name) const;
  // The same value converted like std::stoll in base 10. Raises
  // std::invalid_argument("invalid stoll argument") when no digit converts and
  // std::out_of_range("stoll argument out of range") beyond 64 bits.
  bool GetSwitchValue(int64_t* value, const std::wstring& name) const;
  // The same value as UTF-8.
  bool GetSwitchValue(std::string* value, const std::wstring& name) const;

 private:
  int32_t argc_ = 0;
  wchar_t** argv_ = nullptr;
};

#endif  // UTILITY_BASE_COMMAND_LINE_H_
