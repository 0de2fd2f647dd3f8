// Entries of the install root as the switch and the recovery handle them:
// whether one is there, which one it is, and a rename that never replaces.
// Paths are in the form file calls take (update/layout.h: SystemPath).
#ifndef UPDATE_ENTRIES_H_
#define UPDATE_ENTRIES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "update/utils.h"

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
// Whether there is an entry of that very name at the path: one that the
// volume reaches by a short (8.3) alias of another name does not count.
bool EntryNamed(const std::wstring& system_path);
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
// Whether a rename's error says that its destination's name is taken.
bool IsNameTaken(DWORD code);
// RenameEntry, with the ERROR record of the rename when it fails.
bool RenameOrRecord(const std::wstring& from, const std::wstring& to, int attempts);
// Whether a file system of that name is one of the FAT family (FAT, FAT32,
// exFAT): no identity of an entry lasts across a rename there, and a
// folder's time does not follow the entries it gains and loses.
bool IsFatFamily(const std::wstring& file_system);
// Listed entries in the order in which the volume compares their names.
void SortByName(std::vector<Utils::ListedEntry>* entries);
// The entry of a listing sorted so that the volume reads `name` as, or the
// listing's end.
std::vector<Utils::ListedEntry>::const_iterator FindNamed(
    const std::vector<Utils::ListedEntry>& entries, const std::wstring& name);
// The ERROR record of a rename that failed.
void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code);

#endif  // UPDATE_ENTRIES_H_
