// The updater, ended as a crash would end it (exit code 3) at the change of the
// file system (platform/change_hook.h) that ZIZARO_END_AT names: its N-th, or
// the one after a record beginning so ("commit"; "move#2", the second move).
// A new client gets 50 ms to show that it cannot start (a loader's failure
// shows sooner on Linux and under Wine), so that many updates do not wait.
// Built for tests only.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/change_hook.h"
#include "update/update.h"

namespace {

void EndAt(const char* what) {
  static long seen = 0;
  static const std::string wanted = getenv("ZIZARO_END_AT") ? getenv("ZIZARO_END_AT") : "";
  if (wanted.empty()) return;
  const bool any = std::isdigit(static_cast<unsigned char>(wanted[0]));
  const size_t hash = wanted.find('#');
  const std::string record = wanted.substr(0, hash);
  const long nth = any                         ? atol(wanted.c_str())
                   : hash == std::string::npos ? 1
                                               : atol(&wanted[hash + 1]);
  if ((any || (what != nullptr && strncmp(what, record.c_str(), record.size()) == 0)) &&
      ++seen == nth) {
    std::_Exit(3);
  }
}

const bool kInstalled = (change_hook::g_at_change = &EndAt, g_start_check_ms = 50, true);

}  // namespace
