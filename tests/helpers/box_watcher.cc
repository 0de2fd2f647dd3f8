// Watches for message boxes, as a user would see them, and answers them:
// each box's caption and text are appended to a record file, then OK is
// pressed. The line is "<ms since 1970>\t<caption>\t<text>", written when the
// box is closed. Runs until a file named <record-file>.stop exists, or for at
// most the given seconds (default 120).
//   box_watcher <record-file> [seconds]
// On POSIX a message box is a line on standard error: there is nothing to
// watch, and the program ends at once.
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/test_env.h"
#include "utility/base/file_path.h"

namespace {

#ifdef _WIN32
std::wstring TextOf(HWND window) {
  wchar_t text[4096] = {};
  GetWindowTextW(window, text, 4096);
  return text;
}

// The box's message: the first "Static" child with text (an icon is a
// Static child too, without text).
std::wstring MessageOf(HWND box) {
  for (HWND child = FindWindowExW(box, nullptr, L"Static", nullptr); child != nullptr;
       child = FindWindowExW(box, child, L"Static", nullptr)) {
    std::wstring text = TextOf(child);
    if (!text.empty()) return text;
  }
  return std::wstring();
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
#endif

}  // namespace

int main() {
  const std::vector<std::wstring> args = testenv::ProgramArguments();
  if (args.size() < 2) return 2;
#ifdef _WIN32
  const std::wstring record = args[1];
  const std::wstring stop = record + L".stop";
  const long long seconds = args.size() > 2 ? std::stoll(args[2]) : 120;
  const long long deadline = NowMs() + seconds * 1000;
  while (NowMs() < deadline && !testenv::Exists(stop)) {
    HWND box = FindWindowW(L"#32770", nullptr);
    if (box == nullptr) {
      Sleep(20);
      continue;
    }
    // A box is found as soon as it exists: wait until it is shown with its
    // caption and text, as the user sees it.
    std::wstring caption;
    std::wstring message;
    for (int i = 0; i < 250; ++i) {
      caption = TextOf(box);
      message = MessageOf(box);
      if (IsWindowVisible(box) && !caption.empty() && !message.empty()) break;
      Sleep(20);
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 250 && IsWindow(box); ++i) Sleep(20);
    std::ofstream(ToFsPath(record), std::ios::app | std::ios::binary)
        << NowMs() << '\t' << testenv::Utf8(caption) << '\t' << testenv::Utf8(message) << '\n';
  }
#endif
  return 0;
}
