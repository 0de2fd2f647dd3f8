// Text conversion and the command line, the Windows way.
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/posix/internal.h"
#include "platform/text_rules.h"

namespace posix {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;
// Bytes that are not part of valid UTF-8 stand for themselves in wide text as
// the lone surrogates U+DC80 to U+DCFF, so that any file name round-trips.
constexpr uint32_t kEscapeBase = 0xDC00;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsEscapedByte(uint32_t c) { return c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF; }

// UTF-8 as Windows converts it: a code point that cannot be encoded (a
// surrogate, or beyond U+10FFFF) becomes U+FFFD.
std::string StrictUtf8Of(const wchar_t* wide, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    uint32_t code_point = static_cast<uint32_t>(wide[i]);
    if (IsSurrogate(code_point) || code_point > 0x10FFFF) code_point = kReplacement;
    text_rules::AppendUtf8(code_point, &out);
  }
  return out;
}

// The file-system bytes of wide text: escaped bytes go back to themselves;
// any other code point is encoded in UTF-8 (a lone surrogate in its
// three-byte form, so that nothing is replaced).
std::string NativeOf(const wchar_t* wide, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const auto code_point = static_cast<uint32_t>(wide[i]);
    if (IsEscapedByte(code_point)) {
      out.push_back(static_cast<char>(code_point - kEscapeBase));
    } else {
      text_rules::AppendUtf8(std::min<uint32_t>(code_point, 0x10FFFF), &out);
    }
  }
  return out;
}

// Length of the well-formed UTF-8 sequence at `bytes` (overlong forms,
// encoded surrogates and values beyond U+10FFFF are not), 0 when there is
// none; its code point in `code_point`.
size_t Utf8SequenceAt(const unsigned char* bytes, size_t available, uint32_t* code_point) {
  const unsigned char lead = bytes[0];
  size_t extra = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, *code_point = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, *code_point = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, *code_point = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (extra >= available) return 0;
  for (size_t j = 1; j <= extra; ++j) {
    if ((bytes[j] & 0xC0) != 0x80) return 0;
    *code_point = (*code_point << 6) | (bytes[j] & 0x3F);
  }
  if (*code_point < minimum || *code_point > 0x10FFFF || IsSurrogate(*code_point)) return 0;
  return extra + 1;
}

// Decodes UTF-8. `escape`: a byte that does not start a well-formed sequence
// becomes its escape (file-system bytes); otherwise U+FFFD, as Windows does.
std::wstring WideOf(const char* narrow, size_t length, bool escape) {
  std::wstring out;
  out.reserve(length);
  const auto* bytes = reinterpret_cast<const unsigned char*>(narrow);
  size_t i = 0;
  while (i < length) {
    uint32_t code_point = 0;
    const size_t taken = Utf8SequenceAt(bytes + i, length - i, &code_point);
    if (taken == 0) {
      out.push_back(static_cast<wchar_t>(escape ? kEscapeBase + bytes[i] : kReplacement));
      ++i;
    } else {
      out.push_back(static_cast<wchar_t>(code_point));
      i += taken;
    }
  }
  return out;
}

// The code pages of this layer: UTF-8, and the system's narrow code page,
// which is the file system's: UTF-8 with escaped bytes.
bool IsKnownCodePage(UINT code_page) {
  return code_page == CP_UTF8 || code_page == CP_ACP || code_page == CP_THREAD_ACP ||
         code_page == CP_OEMCP;
}

std::mutex command_line_mutex;
std::vector<std::string>* recorded_args = nullptr;

std::vector<std::string> ReadProcCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

}  // namespace

std::string ToNative(const std::wstring& wide) { return NativeOf(wide.data(), wide.size()); }

std::string ToNative(const wchar_t* wide) {
  return wide == nullptr ? std::string() : NativeOf(wide, wcslen(wide));
}

std::wstring FromNative(const std::string& narrow) {
  return WideOf(narrow.data(), narrow.size(), true);
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
  std::vector<std::wstring> args;
  size_t i = 0;
  const size_t n = line.size();

  // The program name: quoted up to the next quote, else up to a blank; no
  // escapes of any kind.
  std::wstring program;
  if (n > 0 && line[0] == L'"') {
    for (i = 1; i < n && line[i] != L'"'; ++i) program.push_back(line[i]);
    if (i < n) ++i;  // the closing quote
  } else {
    for (; i < n && !IsBlank(line[i]); ++i) program.push_back(line[i]);
  }
  args.push_back(program);
  while (i < n && IsBlank(line[i])) ++i;
  if (i >= n) return args;

  // Later arguments. `quotes` counts the quotes of the current run: 1 means
  // inside quotes; a run of three quotes gives one literal quote.
  std::wstring current;
  int quotes = 0;
  size_t backslashes = 0;
  while (i < n) {
    wchar_t c = line[i];
    if (IsBlank(c) && quotes == 0) {
      args.push_back(current);
      current.clear();
      backslashes = 0;
      while (i < n && IsBlank(line[i])) ++i;
      if (i >= n) return args;
      continue;
    }
    if (c == L'\\') {
      current.push_back(c);
      ++backslashes;
      ++i;
      continue;
    }
    if (c == L'"') {
      if (backslashes % 2 == 0) {
        current.erase(current.size() - backslashes / 2);
        ++quotes;
      } else {
        current.erase(current.size() - backslashes / 2 - 1);
        current.push_back(L'"');
      }
      backslashes = 0;
      ++i;
      while (i < n && line[i] == L'"') {
        if (++quotes == 3) {
          current.push_back(L'"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current.push_back(c);
    backslashes = 0;
    ++i;
  }
  args.push_back(current);
  return args;
}

}  // namespace posix

void PosixSetCommandLineArgs(int argc, char** argv) {
  std::lock_guard<std::mutex> lock(posix::command_line_mutex);
  delete posix::recorded_args;
  posix::recorded_args = new std::vector<std::string>(argv, argv + argc);
}

LPWSTR GetCommandLineW() {
  static std::wstring* line = nullptr;
  std::lock_guard<std::mutex> lock(posix::command_line_mutex);
  if (line == nullptr) {
    std::vector<std::string> args =
        posix::recorded_args != nullptr ? *posix::recorded_args : posix::ReadProcCommandLine();
    std::vector<std::wstring> wide;
    for (const std::string& arg : args) wide.push_back(posix::FromNative(arg));
    line = new std::wstring(text_rules::JoinCommandLine(wide, true));
  }
  return line->data();
}

int lstrlenW(LPCWSTR text) { return text == nullptr ? 0 : static_cast<int>(wcslen(text)); }

LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* argc) {
  if (argc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::wstring> args;
  if (command_line == nullptr || *command_line == L'\0') {
    // Windows answers an empty line with the program's own path.
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    args.push_back(path);
  } else {
    args = posix::SplitCommandLine(command_line);
  }
  // One block: the pointer array, then the strings, freed by LocalFree.
  size_t bytes = (args.size() + 1) * sizeof(wchar_t*);
  for (const std::wstring& arg : args) bytes += (arg.size() + 1) * sizeof(wchar_t);
  auto* block = static_cast<char*>(malloc(bytes));
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto** argv = reinterpret_cast<wchar_t**>(block);
  auto* text = reinterpret_cast<wchar_t*>(block + (args.size() + 1) * sizeof(wchar_t*));
  for (size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    wmemcpy(text, args[i].c_str(), args[i].size() + 1);
    text += args[i].size() + 1;
  }
  argv[args.size()] = nullptr;
  *argc = static_cast<int>(args.size());
  return argv;
}

HLOCAL LocalFree(HLOCAL memory) {
  free(memory);
  return nullptr;
}

int WideCharToMultiByte(UINT code_page, DWORD /*flags*/, LPCWSTR wide, int wide_length,
                        LPSTR narrow, int narrow_size, LPCSTR /*default_char*/,
                        BOOL* used_default_char) {
  // Windows refuses a default-character flag for UTF-8.
  if (wide == nullptr || wide_length == 0 || narrow_size < 0 ||
      !posix::IsKnownCodePage(code_page) ||
      (code_page == CP_UTF8 && used_default_char != nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = wide_length < 0 ? wcslen(wide) + 1 : static_cast<size_t>(wide_length);
  std::string converted =
      code_page == CP_UTF8 ? posix::StrictUtf8Of(wide, length) : posix::NativeOf(wide, length);
  if (used_default_char != nullptr) *used_default_char = FALSE;
  if (narrow_size == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(narrow_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(narrow, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}

int MultiByteToWideChar(UINT code_page, DWORD /*flags*/, LPCSTR narrow, int narrow_length,
                        LPWSTR wide, int wide_size) {
  if (narrow == nullptr || narrow_length == 0 || wide_size < 0 ||
      !posix::IsKnownCodePage(code_page)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = narrow_length < 0 ? strlen(narrow) + 1 : static_cast<size_t>(narrow_length);
  std::wstring converted = posix::WideOf(narrow, length, code_page != CP_UTF8);
  if (wide_size == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(wide_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  wmemcpy(wide, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}

namespace posix {
namespace {

// The white space that the Windows runtime's integer conversion skips before
// a number: its wide-character space class, which reaches beyond ASCII (the
// set Wine's runtime skips, checked over every code unit by
// scripts/argv-differential).
bool IsWindowsSpace(wchar_t c) {
  static const std::pair<uint32_t, uint32_t> kSpaces[] = {
      {0x09, 0x0D},     {0x20, 0x20},     {0xA0, 0xA0},     {0x1680, 0x1680}, {0x2000, 0x200A},
      {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
  };
  const auto code = static_cast<uint32_t>(c);
  for (const auto& [first, last] : kSpaces) {
    if (code >= first && code <= last) return true;
  }
  return false;
}

}  // namespace
}  // namespace posix

DWORD CharLowerBuffW(LPWSTR text, DWORD length) {
  // Windows lowers every letter that has a lower-case form, not only ASCII.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (text == nullptr) return 0;
  for (DWORD i = 0; i < length; ++i) {
    text[i] = unicode != nullptr ? towlower_l(static_cast<wint_t>(text[i]), unicode)
                                 : (text[i] >= L'A' && text[i] <= L'Z' ? text[i] + 32 : text[i]);
  }
  return length;
}

long long RuntimeWcstoll(const wchar_t* text, wchar_t** end, int base) {
  const wchar_t* at = text;
  while (posix::IsWindowsSpace(*at)) ++at;
  bool negative = false;
  if (*at == L'+' || *at == L'-') negative = *at++ == L'-';
  if (base < 2 || base > 36) {
    if (end != nullptr) *end = const_cast<wchar_t*>(text);
    errno = EINVAL;
    return 0;
  }
  unsigned long long value = 0;
  bool overflow = false;
  const wchar_t* digits = at;
  // The magnitude that still fits: LLONG_MAX, or one more for a negative number.
  const unsigned long long limit = static_cast<unsigned long long>(LLONG_MAX) + (negative ? 1 : 0);
  for (;; ++at) {
    int digit = -1;  // ASCII digits and letters only
    if (*at >= L'0' && *at <= L'9') digit = *at - L'0';
    if (*at >= L'a' && *at <= L'z') digit = *at - L'a' + 10;
    if (*at >= L'A' && *at <= L'Z') digit = *at - L'A' + 10;
    if (digit < 0 || digit >= base) break;
    if (value > (limit - static_cast<unsigned long long>(digit)) / static_cast<unsigned>(base)) {
      overflow = true;
    } else {
      value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
  }
  if (at == digits) {
    if (end != nullptr) *end = const_cast<wchar_t*>(text);
    return 0;
  }
  if (end != nullptr) *end = const_cast<wchar_t*>(at);
  if (overflow) {
    errno = ERANGE;
    return negative ? LLONG_MIN : LLONG_MAX;
  }
  return negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
}
