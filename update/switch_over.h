// The switch from the old client to the new one, made by renames that the
// run's journal records first (update/run_state.h). The layout of a run's
// folder is in update/layout.h.
//
// The old client folder is never changed before the commit: the new client
// is made whole beside it, in the run's folder, with what only the old
// client has (update/carry.h). The switch then merges the archive's entries
// beside the client folder into the root (a file they replace set aside),
// sets the client folder aside whole, carries what changed in it since the
// plan, and renames the new one into its place: the commit. Between those
// two renames, and only there, no client can be started.
#ifndef UPDATE_SWITCH_OVER_H_
#define UPDATE_SWITCH_OVER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "update/carry.h"
#include "update/client.h"
#include "update/journal.h"
#include "update/layout.h"
#include "update/run_state.h"
#include "update/utils.h"

// Makes the new client whole on disk before anything relies on it: the
// tree `tree` (below the install root: the unpacked archive, or the staged
// client folder), whose client folder is `client` below it, listed into the
// run's manifest (update/journal.h), then its files, the manifest and its
// folders made durable (platform/durable.h). False, with an ERROR record
// "update refused, new files not made durable:" + the tree, when not.
bool MakeNewClientDurable(const InstallLayout& layout, RunFolder* run, const std::wstring& tree,
                          const std::wstring& client);

// Renames the client folder into the run folder ("old"), recorded first, the
// client's programs ended before each attempt, retried for a second while the
// system refuses. One INFO record "set aside result:" + result + ",from:" +
// from + ",to:" + to, after the ERROR record of the failed rename.
bool SetClientAside(const InstallLayout& layout, RunFolder* run, ClientControl& client);

// Sets what stands at the client folder once the client folder was set
// aside (a program that saved into the client meanwhile made it again) into
// the run folder ("appeared"), recorded first, so that the commit's rename
// finds the name free; the last carry brings it into the new client. True
// when nothing stands there or it was set aside.
bool SetAppearedAside(const InstallLayout& layout, RunFolder* run);

// Compares the unpacked tree but for its client folder (PlanNewClient's) with
// the install root without changing either.
// False when an entry's kind differs from the root's entry of that path (a
// file or a link where the root has a folder, or the reverse), when an entry
// would land in the staging folder, or when the tree cannot be read;
// `conflict` then names the root's path (or the unpacked tree), and `why`
// what stands in the way.
bool FitsTheRoot(const InstallLayout& layout, const std::wstring& unpacked, std::wstring* conflict,
                 std::string* why);
// Before the old client is ended: builds the new client's tree beside it
// (update/carry.h: PlanCarry), its folders' new entries made durable. False
// when an entry is a folder in one client and not in the other (a link the
// user put in place of a folder included), or the tree cannot be built:
// `conflict` names the old client's entry and `why` what stands in the way.
bool PlanNewClient(const InstallLayout& layout, RunFolder* run, CarryPlan* plan,
                   std::wstring* conflict, std::string* why);
// The last carry (update/carry.h: CarryLast) from `from` (below the install
// root: the old copy, or what appeared at the client folder) into the new
// client `into`, with `plan` (empty: everything in `from` is new); what can
// neither be linked nor copied moves, recorded first. The new tree's folders
// it changed are noted for the commit to make durable.
bool CarrySinceThePlan(const InstallLayout& layout, RunFolder* run, const CarryPlan& plan,
                       const std::wstring& from, const std::wstring& into);
// The archive's switch, after the uninstall script: the unpacked entries
// outside the client folder moved over the root (a file they replace set
// aside first), the client folder set aside, what changed in it since the
// plan and what appeared in its place carried into the new client, and, the
// commit, the new client renamed into its place: the result is the tree that
// extraction over the root gives. One record "switch over result:" + 1 or 0
// + ",moved:" + new entries moved in + ",replaced:" + old entries set aside +
// ",to:" + root. False when a rename failed or met a conflict; the caller
// then puts everything back.
bool SwitchOver(const InstallLayout& layout, RunFolder* run, const CarryPlan& plan,
                ClientControl& client);

#endif  // UPDATE_SWITCH_OVER_H_
