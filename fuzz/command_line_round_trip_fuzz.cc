// The POSIX GetCommandLineW round trip: any argument list, joined with
// Windows quoting, splits back into itself (the program name cannot hold a
// quote, so one is dropped from it).
#include <algorithm>
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "platform/posix/internal.h"
#include "platform/text_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::wstring> args = fuzz::WidePieces(data, size);
  std::wstring& program = args[0];
  program.erase(std::remove(program.begin(), program.end(), L'"'), program.end());
  if (posix::SplitCommandLine(text_rules::JoinCommandLine(args, true)) != args) abort();
  return 0;
}
