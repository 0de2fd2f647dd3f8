// The POSIX entry: records the arguments and hands the program to wWinMain
// with the arguments after the program path, as Windows hands them to a GUI
// program.
#include <string>

#include "platform/posix/internal.h"
#include "platform/text_rules.h"

int main(int argc, char** argv) {
  PosixSetCommandLineArgs(argc, argv);
  std::vector<std::wstring> after_program;
  for (int i = 1; i < argc; ++i) after_program.push_back(posix::FromUtf8(argv[i]));
  std::wstring arguments = text_rules::JoinCommandLine(after_program, false);
  return wWinMain(nullptr, nullptr, arguments.data(), SW_SHOWDEFAULT);
}
