// Text conversion and the command line, the Windows way.
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

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// UTF-8 of a code point; one that cannot be encoded (a surrogate, or beyond
// U+10FFFF) becomes U+FFFD, as Windows converts it.
void AppendUtf8(uint32_t code_point, std::string* out) {
  if ((code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
    code_point = kReplacement;
  }
  text_rules::AppendUtf8(code_point, out);
}

std::string Utf8Of(const wchar_t* wide, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    AppendUtf8(static_cast<uint32_t>(wide[i]), &out);
  }
  return out;
}

// Decodes UTF-8; every byte that does not start a well-formed sequence
// (overlong forms and encoded surrogates included) becomes U+FFFD.
std::wstring WideOf(const char* narrow, size_t length) {
  std::wstring out;
  out.reserve(length);
  const auto* bytes = reinterpret_cast<const unsigned char*>(narrow);
  size_t i = 0;
  while (i < length) {
    unsigned char lead = bytes[i];
    size_t extra = 0;
    uint32_t code_point = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code_point = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code_point = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code_point = lead & 0x07, minimum = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= extra && i + j < length && (bytes[i + j] & 0xC0) == 0x80; ++j) {
      code_point = (code_point << 6) | (bytes[i + j] & 0x3F);
    }
    bool complete = j == extra + 1;
    if (!complete || code_point < minimum || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      out.push_back(kReplacement);
      i += complete ? j : (j > 1 ? j : 1);
      continue;
    }
    out.push_back(static_cast<wchar_t>(code_point));
    i += j;
  }
  return out;
}

bool IsUtf8CodePage(UINT code_page) {
  return code_page == CP_UTF8 || code_page == CP_ACP ||
         code_page == CP_THREAD_ACP || code_page == CP_OEMCP;
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

std::string ToUtf8(const std::wstring& wide) { return Utf8Of(wide.data(), wide.size()); }

std::string ToUtf8(const wchar_t* wide) {
  return wide == nullptr ? std::string() : Utf8Of(wide, wcslen(wide));
}

std::wstring FromUtf8(const std::string& narrow) {
  return WideOf(narrow.data(), narrow.size());
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
    std::vector<std::string> args = posix::recorded_args != nullptr
                                        ? *posix::recorded_args
                                        : posix::ReadProcCommandLine();
    std::vector<std::wstring> wide;
    for (const std::string& arg : args) wide.push_back(posix::FromUtf8(arg));
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
  if (wide == nullptr || wide_length == 0 || narrow_size < 0 ||
      !posix::IsUtf8CodePage(code_page)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = wide_length < 0 ? wcslen(wide) + 1 : static_cast<size_t>(wide_length);
  std::string converted = posix::Utf8Of(wide, length);
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
      !posix::IsUtf8CodePage(code_page)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = narrow_length < 0 ? strlen(narrow) + 1 : static_cast<size_t>(narrow_length);
  std::wstring converted = posix::WideOf(narrow, length);
  if (wide_size == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(wide_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  wmemcpy(wide, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}
