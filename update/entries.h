// Entries of the install root as the switch and the recovery handle them:
// whether one is there, which one it is, and a rename that never replaces.
// Paths are in the form file calls take (update/layout.h: SystemPath).
#ifndef UPDATE_ENTRIES_H_
#define UPDATE_ENTRIES_H_

#include <cstdint>
#include <string>

#include "platform/win32.h"

// An entry's identity, unique over time: its volume (the file system's own
// id, not where it is attached), its index there, and when it was made (an
// index the volume gives to the next new entry once this one is gone gets
// another time), in 100-nanosecond steps since 1601, 0 where the volume
// keeps no such time. Not known where the volume keeps no identity that lasts
// across a rename (FAT).
struct EntryId {
  bool known = false;
  DWORD volume = 0;
  uint64_t index = 0;
  uint64_t born = 0;
  // The same entry: a time that one side lacks (an identity read by an
  // earlier version) is not compared.
  bool operator==(const EntryId& other) const {
    return known == other.known && volume == other.volume && index == other.index &&
           (born == other.born || born == 0 || other.born == 0);
  }
  bool operator!=(const EntryId& other) const { return !(*this == other); }
};

// Whether there is an entry at the path (a link counts, whatever it leads to).
bool EntryExists(const std::wstring& system_path);
// The identity of the entry at a path itself (a link, not what it leads to);
// not known when it cannot be read or `stable` is false.
EntryId IdentityOf(const std::wstring& system_path, bool stable = true);
// Whether the entry at a path is the one named: by identity, or, where none
// is known, by there being one.
bool IsEntry(const std::wstring& system_path, const EntryId& id);

// Renames, never replacing (the system refuses a taken name), retried with
// fixed pauses `attempts` times while the system refuses for a moment, but
// not when the name is taken. False, with the system's error in `code`.
// `before_retry`, when given, runs before each attempt but the first.
bool RenameEntry(const std::wstring& from, const std::wstring& to, int attempts, DWORD* code,
                 void (*before_retry)(void*) = nullptr, void* context = nullptr);
// The ERROR record of a rename that failed.
void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code);

#endif  // UPDATE_ENTRIES_H_
