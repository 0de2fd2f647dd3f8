// The updater, ended as a crash would end it (exit code 3) at the change of the
// file system (platform/change_hook.h) that ZIZARO_END_AT names: its N-th, or
// the one after a record beginning so ("commit"; "move#2", the second move).
// At the change that ZIZARO_SAVE_AT names so, it writes "saved meanwhile" to
// each file that ZIZARO_SAVE_FILES names (separated by "|") and goes on, as
// another program saving while the update runs. At the change that
// ZIZARO_LINK_AT names so, it renames the folder that ZIZARO_LINK names
// ("<folder>|<target>") to "<folder>.moved" and makes a link to <target> in
// its place, as another user of a shared root might (POSIX only).
// A new client gets 50 ms to show that it cannot start (a loader's failure
// shows sooner on Linux and under Wine), so that many updates do not wait.
// Built for tests only.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/change_hook.h"
#include "update/update.h"

namespace {

// Whether this change is the one `wanted` names, counted in `seen`.
bool IsPoint(const std::string& wanted, const char* what, long* seen) {
  if (wanted.empty()) return false;
  const bool any = std::isdigit(static_cast<unsigned char>(wanted[0]));
  const size_t hash = wanted.find('#');
  const std::string record = wanted.substr(0, hash);
  const long nth = any                         ? atol(wanted.c_str())
                   : hash == std::string::npos ? 1
                                               : atol(&wanted[hash + 1]);
  return (any || (what != nullptr && strncmp(what, record.c_str(), record.size()) == 0)) &&
         ++*seen == nth;
}

std::string Env(const char* name) { return getenv(name) ? getenv(name) : ""; }

void EndAt(const char* what) {
  static long seen_end = 0;
  static long seen_save = 0;
  static long seen_link = 0;
  static const std::string end = Env("ZIZARO_END_AT");
  static const std::string save = Env("ZIZARO_SAVE_AT");
  static const std::string link = Env("ZIZARO_LINK_AT");
  if (IsPoint(save, what, &seen_save)) {
    const std::string files = Env("ZIZARO_SAVE_FILES");
    for (size_t start = 0, bar; start < files.size(); start = bar + 1) {
      bar = files.find('|', start);
      if (bar == std::string::npos) bar = files.size();
      const std::string path = files.substr(start, bar - start);
      std::error_code error;  // the program would make its folder again
      std::filesystem::create_directories(std::filesystem::u8path(path).parent_path(), error);
      if (FILE* file = fopen(path.c_str(), "wb")) {
        fputs("saved meanwhile", file);
        fclose(file);
      }
    }
  }
  if (IsPoint(link, what, &seen_link)) {
    const std::string both = Env("ZIZARO_LINK");
    const std::filesystem::path folder = std::filesystem::u8path(both.substr(0, both.find('|')));
    std::error_code error;
    std::filesystem::rename(folder, folder.string() + ".moved", error);
    std::filesystem::create_directory_symlink(
        std::filesystem::u8path(both.substr(both.find('|') + 1)), folder, error);
  }
  if (IsPoint(end, what, &seen_end)) std::_Exit(3);
}

const bool kInstalled = (change_hook::g_at_change = &EndAt, g_start_check_ms = 50, true);

}  // namespace
