// Stands in for the game client in tests: runs until it is killed, or, told
// so, ends by itself.
//   --exit-after=MS   end after MS milliseconds
//   --exit-code=N     with exit code N (default 0)
// When ZIZARO_CLIENT_LOG names a file, each start appends a line to it:
// "<pid> <own path>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/win32.h"
#include "utility/base/file_path.h"

int main(int argc, char** argv) {
  long exit_after = -1;
  int exit_code = 0;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--exit-after=", 13) == 0) exit_after = strtol(argv[i] + 13, nullptr, 10);
    if (strncmp(argv[i], "--exit-code=", 12) == 0) exit_code = atoi(argv[i] + 12);
  }
  if (const char* log = getenv("ZIZARO_CLIENT_LOG"); log != nullptr && *log != '\0') {
    wchar_t self[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    if (FILE* out = fopen(log, "a")) {
      fprintf(out, "%lu %s\n", static_cast<unsigned long>(GetCurrentProcessId()),
              ToFsPath(self).u8string().c_str());
      fclose(out);
    }
  }
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (exit_after >= 0 &&
        std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(exit_after)) {
      return exit_code;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
