// The POSIX entry: records the arguments and hands the program to wWinMain
// with the arguments after the program path, as Windows hands them to a GUI
// program.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "platform/posix/internal.h"
#include "platform/text_rules.h"

int main(int argc, char** argv) {
  // A standard descriptor that was closed at start is opened to /dev/null,
  // as daemons do: otherwise the next file opened (a log file) would take
  // its number, and what is written to standard error would land in it.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return 1;
  }
  PosixSetCommandLineArgs(argc, argv);
  std::vector<std::wstring> after_program;
  for (int i = 1; i < argc; ++i) after_program.push_back(posix::FromNative(argv[i]));
  std::wstring arguments = text_rules::JoinCommandLine(after_program, false);
  return wWinMain(nullptr, nullptr, arguments.data(), SW_SHOWDEFAULT);
}
