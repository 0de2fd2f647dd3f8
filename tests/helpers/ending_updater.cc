// The updater, ended as a crash or a logout would end it, exit code 3, at a
// point where the file system is about to change (platform/change_hook.h),
// chosen by ZIZARO_END_AT: a number N, its N-th point (on POSIX every call
// that changes the file system; under Windows before and after each journal
// record); or a record's beginning ("commit", "move#2": the second move), the
// point once that record is on disk, before its step. It gives a new client 50 ms to
// show that it cannot start, enough for a loader's failure on Linux and under
// Wine, so that tests of many updates do not wait. Built for tests only.
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
  const bool any = !wanted.empty() && std::isdigit(static_cast<unsigned char>(wanted[0]));
  const size_t hash = wanted.find('#');
  const long nth = any                         ? atol(wanted.c_str())
                   : hash == std::string::npos ? 1
                                               : atol(&wanted[hash + 1]);
  const std::string record = any ? "" : wanted.substr(0, hash);
  if (!wanted.empty() &&
      (any || (what != nullptr && strncmp(what, record.c_str(), record.size()) == 0)) &&
      ++seen == nth) {
    std::_Exit(3);
  }
}

const bool kInstalled = (change_hook::g_at_change = &EndAt, g_start_check_ms = 50, true);

}  // namespace
