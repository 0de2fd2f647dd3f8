// Text rules that hold on every platform: the UTF-8 form of a code point,
// and the quoting of one command-line argument that CommandLineToArgvW
// undoes. Header-only; no system calls.
#ifndef PLATFORM_TEXT_RULES_H_
#define PLATFORM_TEXT_RULES_H_

#include <cstdint>
#include <string>

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

// An argument after the program name, quoted so that CommandLineToArgvW
// gives it back unchanged: as it is when it has no blank, tab or quote and
// is not empty; otherwise in quotes, with backslashes doubled before a quote
// (which gets one more) and at the end.
inline std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
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

}  // namespace text_rules

#endif  // PLATFORM_TEXT_RULES_H_
