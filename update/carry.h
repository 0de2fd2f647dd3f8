// The carry: what only the old client has (the user's files, caches, the
// folders the user made) brought into the new client's tree, which the
// archive's switch builds whole beside the old client folder, so that the
// client folder holds one whole client at every instant a client can start.
// The old client folder is never changed before the commit; only the new
// tree, in the run's folder, is.
//
// Its rules, in the order a run meets them:
// - The plan (PlanCarry), made before the old client is ended: the two trees
//   compared folder by folder; an entry that only the old client has is
//   brought into the new tree by a hard link (nothing copied, an edit in
//   place reaching both), a copy where the volume has no links (the FAT
//   family), and a folder only the old client has is made anew there with
//   its attributes and filled the same way. Where both name one entry (its
//   long name as the volume compares it) the new client's wins; a folder in
//   one and a file or a link in the other stops the update before anything
//   is touched.
// - The last carry (CarryLast), once the old client's programs have ended and
//   its folder is set aside, before the commit: what changed in the old
//   folder since the plan (the folders whose time changed, listed again)
//   reaches the new tree: names added are carried, names replaced (renamed
//   over) carried again, names deleted deleted. Where a name added or
//   changed since meets the new client's entry of that name, the newer by
//   its write time keeps the name and the older is kept beside it once
//   (KeptName); a copy of the same bytes is not kept. An entry that can
//   neither be linked nor copied moves (a rename the journal records, which
//   an undo takes back).
// - Back (CarryBack), when a committed switch is undone: what the user saved
//   in the new client since (every entry but the new client's own files and
//   those it shares with the old copy) goes into the old copy by the same
//   rule, so that the old client comes back with it.
#ifndef UPDATE_CARRY_H_
#define UPDATE_CARRY_H_

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "update/utils.h"

// A folder of the old client as the plan found it: when it last changed (0:
// list it again at the last carry), the entries of the old side and of the
// new client (the archive's), each sorted by name as the volume compares
// names, and where the folder lies in the new tree (below it).
struct PlannedFolder {
  uint64_t last_write = 0;
  std::vector<Utils::ListedEntry> olds;
  std::vector<Utils::ListedEntry> news;
  std::wstring in_new;
};
// The plan, by folder below the old client folder ("" for the folder itself).
using CarryPlan = std::map<std::wstring, PlannedFolder>;

// Where the carry works: the old client folder (or its copy set aside), the
// new client's folder, in the forms file calls take; whether identities last
// across renames there (not on FAT); for the last carry, a rename that the
// run's journal records first (below both trees: from below the old, to
// below the new), for an entry neither linked nor copied; and where the
// folders of the new tree that got or lost entries are noted (below it), to
// be made durable.
struct CarryTrees {
  std::wstring old_client;
  std::wstring new_client;
  bool stable_ids = true;
  std::function<bool(const std::wstring& from, const std::wstring& to)> move;
  std::set<std::wstring>* changed = nullptr;
};

// A folder to enter: a folder that is no link.
bool IsRealFolder(DWORD attributes);
// What stands in the way where the old client's entry (attributes `old`) and
// the new one's are not both folders or both not; null where they agree. A
// link the user put in place of a folder is not followed.
const char* KindConflict(DWORD old, DWORD new_entry);

// Builds the new tree from the old client folder by the plan's rules, and
// records the plan. `now` is the time (Utils::StepsOf) before which a
// folder's time is trusted (UINT64_MAX: none is, on a volume whose folder
// times do not follow their entries). False at a conflict of kinds:
// `conflict` names the old client's entry (below its folder), `why` what
// stands in the way; or when a folder of the new tree cannot be made
// (`why`: the system's error).
bool PlanCarry(const CarryTrees& trees, uint64_t now, CarryPlan* plan, std::wstring* conflict,
               std::string* why);

// The last carry from `trees.old_client` (the old copy, or what appeared at
// the client folder since it was set aside, with an empty plan). False, with
// the record of what failed, when something could not be carried.
bool CarryLast(const CarryTrees& trees, const CarryPlan& plan);

// The new client's saves since the commit, from `trees.new_client` into the
// old copy `trees.old_client`, but for `own` (the new client's files, below
// its folder). False, with the record of the rename, when one failed.
bool CarryBack(const CarryTrees& trees, const std::set<std::wstring>& own);

// A free name beside `name` in the folder `system_folder` for an entry kept
// beside another: "<stem> (kept)" and its extension, then "(kept 2)" and on,
// a "(kept)" or "(kept <n>)" the stem already ends in taken off first (kept
// copies do not nest), the stem shortened where the name would not fit the
// volume's limit. Empty when no such name is free.
std::wstring KeptName(const std::wstring& system_folder, const std::wstring& name);
// Moves the entry at `from` to `to`, never replacing: where `to` is taken,
// two folders are merged (each entry of `from` moved in by the same rule,
// then `from` removed once empty); two files of the same bytes are one (the
// one at `from` goes); otherwise the newer by its write time takes the name
// and the older is kept beside it (KeptName, with a WARNING "entry kept
// beside a newer one:" + kept path + ",newer:" + `to`). False, with the
// record of the rename, when one failed; what was moved stays moved.
bool MergeInto(const std::wstring& from, const std::wstring& to, int attempts);
// Carries into the folder `to` what the folder `from` has and `to` lacks:
// each entry whose name `to` lacks (long names compared as the volume
// compares them) moved in, never replacing, and each folder both have
// entered in turn; an entry both name stays where it is, `to`'s winning.
// False, with the record of the rename, when one failed; the others are
// carried all the same.
bool CarryInto(const std::wstring& from, const std::wstring& to, int attempts);

#endif  // UPDATE_CARRY_H_
