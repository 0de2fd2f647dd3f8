// The switch from the old client to the new one, made by renames that the
// run's journal records first (update/run_state.h), and the carry of what
// only the old client has into the new client. The layout of a run's folder
// is in update/layout.h.
//
// Nothing of the old client is destroyed before the new client is whole on
// disk beside it, and nothing before the new client has started. Until its
// last rename the switch leaves the old client in the client folder, its
// executable included: what only the old client has (user data, caches) is
// carried into the new client folder first, the archive's entries beside the
// client folder are merged into the root (a file they replace set aside),
// then the client folder is renamed aside whole and the new one renamed into
// its place, which is the commit.
#ifndef UPDATE_SWITCH_OVER_H_
#define UPDATE_SWITCH_OVER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "update/client.h"
#include "update/journal.h"
#include "update/layout.h"
#include "update/run_state.h"
#include "update/utils.h"

// A folder that both clients have, as the archive's switch planned its carry
// before the old client was ended: when it last changed (0: just before it
// was read, within the file system's granularity, or not known), which way
// its entries move (the new client's into the old folder, when fewer), the
// moves with the identities of what they move, the sub-folders both have,
// and the entries of the new client's folder (which nothing else changes),
// as listed.
struct PlannedFolder {
  bool planned = false;
  uint64_t last_write = 0;
  bool into_old = false;
  // The renames that carrying this folder and what is below it takes, into
  // the new side and into the old side (each sub-folder its cheaper way, a
  // sub-folder carried the other way than its parent two renames more);
  // carrying into the old side is out of the question where it costs
  // kNotIntoOld or more.
  uint64_t cost_new = 0;
  uint64_t cost_old = 0;
  std::vector<Move> moves;
  std::vector<std::wstring> both;
  std::vector<Utils::ListedEntry> news;
  // The old side's names when it was carried, sorted (SortByName).
  std::vector<std::wstring> olds;
};
// The plan of the carry, by folder below the client folder.
using CarryPlan = std::map<std::wstring, PlannedFolder>;

// Makes the new client whole on disk before anything relies on it: the
// tree `tree` (below the install root: the unpacked archive, or the staged
// client folder), whose client folder is `client` below it, listed into the
// run's manifest (update/journal.h), then its files, the manifest and its
// folders made durable (platform/durable.h). False, with an ERROR record
// "update refused, new files not made durable:" + the tree, when not.
bool MakeNewClientDurable(const InstallLayout& layout, RunFolder* run, const std::wstring& tree,
                          const std::wstring& client);
// Whether the client folder holds the new client of a run whole, as its
// manifest lists it: every file there, none shorter than it was made (a
// power cut can leave a renamed file empty where its data never reached the
// disk), and its manifest itself whole. A run of an earlier version left no
// manifest: its switch is taken as it is.
bool NewClientWhole(const InstallLayout& layout, const RunFolder& run);

// Renames the client folder into the run folder ("old"), recorded first, the
// client's programs ended before each attempt, retried for a second while the
// system refuses. One INFO record "set aside result:" + result + ",from:" +
// from + ",to:" + to, after the ERROR record of the failed rename.
bool SetClientAside(const InstallLayout& layout, RunFolder* run, ClientControl& client);

// Sets what stands at the client folder once the client folder was set
// aside (a program that saved into the client meanwhile made it again) into
// the run folder ("appeared"), recorded first, so that the commit's rename
// finds the name free; CarryLast brings it into the new client. True when
// nothing stands there or it was set aside.
bool SetAppearedAside(const InstallLayout& layout, RunFolder* run);

// Compares the unpacked tree but for its client folder (PlanCarry's) with
// the install root without changing either.
// False when an entry's kind differs from the root's entry of that path (a
// file or a link where the root has a folder, or the reverse), when an entry
// would land in the staging folder, or when the tree cannot be read;
// `conflict` then names the root's path (or the unpacked tree), and `why`
// what stands in the way.
bool FitsTheRoot(const InstallLayout& layout, const std::wstring& unpacked, std::wstring* conflict,
                 std::string* why);
// Before the old client is ended: compares its folders with the unpacked
// client's, to plan the carry (PlannedFolder), so that the switch carries
// what only the old client has without a walk of the whole client while the
// client is down. False when an entry is a folder in one client and not in
// the other (a link the user put in place of a folder included): `conflict`
// names the old client's entry and `why` what stands in the way.
bool PlanCarry(const InstallLayout& layout, RunFolder* run, CarryPlan* plan, std::wstring* conflict,
               std::string* why);
// The archive's switch, after the uninstall script: what only the old client
// has carried into the unpacked client folder (a folder being listed again
// only when it has changed since PlanCarry), the unpacked entries outside
// the client folder moved over the root (a file they replace set aside
// first), the client folder set aside and, the commit, the unpacked one
// renamed into its place: the result is the tree that extraction over the
// root gives. One record "switch over result:" + 1 or 0 + ",moved:" + new
// entries moved in + ",replaced:" + old entries set aside + ",carried:" +
// old entries moved into the new client + ",to:" + root. False when a rename
// failed or met a conflict; the caller then puts everything back.
bool SwitchOver(const InstallLayout& layout, RunFolder* run, CarryPlan* plan,
                ClientControl& client);

// After the commit, before the old copy goes: whatever appeared in the old
// client folder since its folders were carried (a program that does not run
// from the client folder saved there meanwhile), with `from_old_copy` (an
// archive's switch), and whatever SetAppearedAside set aside, is moved into
// the new client where its name is free, and kept beside the new client's
// entry of the same name (CarryInto) where not; names the old client had
// when its folder was carried (`plan`; without one, every name both have)
// are the new client's to replace. Long names only, compared as the volume
// compares them: a short (8.3) alias is another name. False, with the record
// of the rename, when one failed: the old copy must then stay.
bool CarryLast(const InstallLayout& layout, RunFolder* run, const CarryPlan* plan,
               bool from_old_copy);

#endif  // UPDATE_SWITCH_OVER_H_
