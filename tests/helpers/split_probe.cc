// Compares the POSIX layer's command-line split and integer conversion with
// Windows' own: the same source built for both targets; under Wine it uses
// Wine's CommandLineToArgvW and runtime.
//   split_probe generate <count> <seed> <out-file>   deterministic command lines, one a line
//   split_probe split <in-file> <out-file>           each line's split, one a line
//   split_probe convert <out-file>                   "<unit>7" converted, for every code unit
// A split is written as the count, then each argument as <bytes>:<UTF-8>,
// and for an argument "--pid=..." its value as the switch reads it.
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/test_env.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

// Lines made of the characters that matter to the split (blanks, tabs,
// quotes, backslashes) among ordinary and non-ASCII ones; never empty, never
// a line break.
void Generate(int count, uint32_t seed, const std::wstring& out_file) {
  static const std::vector<std::string> kPieces = {
      " ",    " ",      "\t", "\"",    "\"",     "\"",     "\\",     "\\",
      "\\",   "a",      "b",  "x.exe", "C:",     "--pid=", "é",      "目录",
      "\"\"", "\\\\\"", "  ", "7",     "\u3000", "\u00a0", "\u2007", "\u200b"};
  std::mt19937 random(seed);
  std::ofstream out(ToFsPath(out_file), std::ios::binary | std::ios::trunc);
  for (int i = 0; i < count; ++i) {
    std::string line;
    const int length = 1 + static_cast<int>(random() % 24);
    for (int j = 0; j < length; ++j) line += kPieces[random() % kPieces.size()];
    out << line << '\n';
  }
}

// A switch value as the runtime converts it: the number and where it ended,
// or "!" when no digit converted.
std::string Converted(const wchar_t* text) {
  wchar_t* end = nullptr;
  const long long value = RuntimeWcstoll(text, &end, 10);
  if (end == text) return "!";
  return std::to_string(value) + "@" + std::to_string(end - text);
}

void Convert(const std::wstring& out_file) {
  std::ofstream out(ToFsPath(out_file), std::ios::binary | std::ios::trunc);
  for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
    const wchar_t text[] = {static_cast<wchar_t>(unit), L'7', L'\0'};
    out << unit << ' ' << Converted(text) << '\n';
  }
}

void Split(const std::wstring& in_file, const std::wstring& out_file) {
  std::ifstream in(ToFsPath(in_file), std::ios::binary);
  std::ofstream out(ToFsPath(out_file), std::ios::binary | std::ios::trunc);
  for (std::string line; std::getline(in, line);) {
    const std::wstring wide = WideText(line, CP_UTF8);
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(wide.c_str(), &count);
    out << count;
    for (int i = 0; i < count; ++i) {
      const std::string arg = testenv::Utf8(argv[i]);
      out << ' ' << arg.size() << ':' << arg;
      if (std::wstring(argv[i]).rfind(L"--pid=", 0) == 0) out << " =" << Converted(argv[i] + 6);
    }
    out << '\n';
    LocalFree(argv);
  }
}

}  // namespace

int main() {
  const std::vector<std::wstring> args = testenv::ProgramArguments();
  if (args.size() == 5 && args[1] == L"generate") {
    Generate(std::stoi(args[2]), static_cast<uint32_t>(std::stoul(args[3])), args[4]);
    return 0;
  }
  if (args.size() == 3 && args[1] == L"convert") {
    Convert(args[2]);
    return 0;
  }
  if (args.size() == 4 && args[1] == L"split") {
    Split(args[2], args[3]);
    return 0;
  }
  return 2;
}
