// CommandLineToArgvW on any text: it never fails on a non-empty line, and
// what it gives back, quoted again, splits back into itself.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "platform/posix/internal.h"
#include "platform/text_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring line = fuzz::WideText(data, size);
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
  if (argv == nullptr || count < 1) abort();
  std::vector<std::wstring> args(argv, argv + count);
  LocalFree(argv);
  if (line.find(L'\0') == std::wstring::npos && !line.empty() &&
      args != posix::SplitCommandLine(line)) {
    abort();
  }
  // Later arguments survive quoting; the program name does unless it holds a
  // quote, which its token cannot carry.
  if (args[0].find(L'"') != std::wstring::npos) return 0;
  if (posix::SplitCommandLine(text_rules::JoinCommandLine(args, true)) != args) abort();
  return 0;
}
