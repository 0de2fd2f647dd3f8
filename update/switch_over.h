// The switch from the old client to the new one, made by renames.
//
// Nothing of the old client is destroyed before the new client is whole on
// disk beside it, and nothing is destroyed before the switch is complete: the
// new files take their places by renames on the install root's volume, what
// they replace is renamed aside first, and when a rename fails everything
// moved so far is renamed back. Only once the new client has started does the
// old copy go.
//
// Each run works in a folder of its own in the staging folder, which lies on
// the install root's volume:
//   <staging folder>\zizaro_do-<process id>\new   the archive, unpacked
//   <staging folder>\zizaro_do-<process id>\old   what the switch set aside:
//       the old client folder (staged client), or the old files that new
//       ones replaced (archive)
// A run folder that could not be removed is removed by the next update of
// the same install root, which holds the root's lock; nothing of a run is
// ever left inside the client folder.
#ifndef UPDATE_SWITCH_OVER_H_
#define UPDATE_SWITCH_OVER_H_

#include <string>

#include "update/update.h"

struct RunFolder {
  std::wstring path;                 // empty until made
  std::wstring unpacked;             // path joined with new
  std::wstring aside;                // path joined with old
  bool made_staging_folder = false;  // the staging folder did not exist before this run
};

// Removes the run folders that earlier runs left in the staging folder, each
// with the removal's record. A run that ended between setting the client
// folder aside and promoting the new one left the old client there: when the
// install root has no client folder, it is renamed back first.
void RemoveLeftovers(const InstallLayout& layout);
// Makes this run's folder in the staging folder, and the staging folder when
// it is missing. False, with the system's error as the last error, when they
// cannot be made.
bool MakeRunFolder(const InstallLayout& layout, RunFolder* run);
// Removes the run's folder (with the removal's record when it is not empty),
// then the staging folder when this run made it and it is empty.
void RemoveRunFolder(const InstallLayout& layout, const RunFolder& run);

// Renames a folder or file to a path that does not exist yet, retried with
// fixed pauses for a second while the system refuses (a file in it open, a
// program running from it, a process's current folder in it). One INFO
// record `label` + result + ",from:" + `from` + ",to:" + `to`, with an ERROR
// record of the system's error before it when the rename failed.
bool RenameAside(const std::wstring& from, const std::wstring& to, const char* label);

// Compares the unpacked tree with the install root without changing either.
// False when an entry's kind differs from the root's entry of that path (a
// file where the root has a folder, or the reverse), when an entry would
// land in the staging folder, or when the tree cannot be read; `conflict`
// then names the root's path (or the unpacked tree).
bool FitsTheRoot(const std::wstring& unpacked, const std::wstring& root_dir,
                 std::wstring* conflict);
// Moves every entry of the unpacked tree to its place in the install root:
// an entry the root lacks is renamed there whole (a folder with everything
// in it), a folder the root has too is entered, and a file that replaces one
// first renames the old one into `aside` (its path below it the same). When
// a rename fails (after its retries) or meets a conflict, everything moved so
// far is renamed back; `restored` tells whether the root is then as it was
// (always true on success). True when every entry is in place. Records:
// "switch over result:" + 1 or 0 + ",moved:" + count + ",replaced:" + count +
// ",to:" + root, after an ERROR record naming what failed; after a failure
// "put back result:" + 1 or 0 + ",entries:" + count, after an ERROR record
// for each entry that could not be put back.
bool MergeOver(const std::wstring& unpacked, const std::wstring& root_dir,
               const std::wstring& aside, bool* restored);

#endif  // UPDATE_SWITCH_OVER_H_
