// The POSIX entry: records the arguments and hands the program to wWinMain
// with the arguments after the program path, as Windows hands them to a GUI
// program.
#include <string>

#include "platform/posix/internal.h"

int main(int argc, char** argv) {
  PosixSetCommandLineArgs(argc, argv);
  std::wstring arguments;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) arguments.push_back(L' ');
    arguments.append(posix::QuoteArgument(posix::FromUtf8(argv[i]), false));
  }
  return wWinMain(nullptr, nullptr, arguments.data(), SW_SHOWDEFAULT);
}
