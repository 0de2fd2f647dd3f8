// Text rules that hold on every platform: the UTF-8 form of a code point,
// and the quoting of one command-line argument that CommandLineToArgvW
// undoes. Header-only; no system calls.
#ifndef PLATFORM_TEXT_RULES_H_
#define PLATFORM_TEXT_RULES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace text_rules {

// Appends the UTF-8 bytes of `code_point` (at most U+10FFFF; a surrogate
// gets its three-byte form, like any other unit below U+10000).
inline void AppendUtf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Whether an argument must be quoted to survive the split: when it is empty
// or holds a blank, a tab or a quote.
inline bool NeedsQuotes(const std::wstring& argument) {
  return argument.empty() || argument.find_first_of(L" \t\"") != std::wstring::npos;
}

// An argument after the program name, quoted so that CommandLineToArgvW
// gives it back unchanged: as it is when it needs no quotes; otherwise in
// quotes, with backslashes doubled before a quote (which gets one more) and
// at the end.
inline std::wstring QuoteArgument(const std::wstring& argument) {
  if (!NeedsQuotes(argument)) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

// The program name: its token has no escapes, so it is quoted whole when it
// needs quotes (a quote inside it cannot be carried).
inline std::wstring QuoteProgramName(const std::wstring& name) {
  return NeedsQuotes(name) ? L"\"" + name + L"\"" : name;
}

// Arguments quoted and joined by blanks; the first is quoted as the program
// name when `program_first` is set.
inline std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments,
                                    bool program_first) {
  std::wstring line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line.push_back(L' ');
    line += program_first && i == 0 ? QuoteProgramName(arguments[i]) : QuoteArgument(arguments[i]);
  }
  return line;
}

}  // namespace text_rules

#endif  // PLATFORM_TEXT_RULES_H_
