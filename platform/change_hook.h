// The points at which the file system is about to change, where a build of
// the updater for tests ends the run as a crash would end it, so that every
// such point can be the last one. Null in the shipped program.
//
// The POSIX layer calls it before every rename, deletion, removal of a
// folder, new folder, link, copy, attribute change and new file (`what`:
// null); the journal, on every platform, before it writes a record (null),
// and once the record is flushed to disk, before the step it announces (the
// record). Under Windows the journal's are the only points.
#ifndef PLATFORM_CHANGE_HOOK_H_
#define PLATFORM_CHANGE_HOOK_H_

namespace change_hook {

inline void (*g_at_change)(const char* what) = nullptr;

inline void AtChange(const char* what = nullptr) {
  if (g_at_change != nullptr) g_at_change(what);
}

}  // namespace change_hook

#endif  // PLATFORM_CHANGE_HOOK_H_
