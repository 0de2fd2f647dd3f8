// What a run does with the folders that earlier runs left in the staging
// folder, by their journals (update/run_state.h), under the install root's
// lock and before anything else.
#ifndef UPDATE_RECOVERY_H_
#define UPDATE_RECOVERY_H_

#include <string>
#include <vector>

#include "update/client.h"
#include "update/journal.h"
#include "update/layout.h"
#include "update/run_state.h"

enum class LeftoverAction {
  kSkip,    // the folder of the copy of the updater that runs this update
  kKeep,    // nothing to act on: kept as it is, with a WARNING, blocking nothing
  kRemove,  // nothing to finish or undo: removed
  kUndo,    // the old client goes back, then the folder goes
  kFinish,  // the switch is complete: the new client is started unless it
            // runs, then the folder goes; a new client that cannot start is
            // undone, the user's saves made with it going back with the old
            // client
};
struct LeftoverDecision {
  LeftoverAction action = LeftoverAction::kKeep;
  std::string why;  // for kKeep: what made the folder one to keep
  RunState state = RunState::kNone;
};
// Decides from a run folder's journal (read as `contents`; `read` as
// ReadJournal answered) what a later run does with it. The journal is not
// trusted: records in an order no run writes them, a record naming a path
// outside the places a run uses below the install root (the client folder,
// entries of the root beside the staging folder, the staged client folder,
// the run folder itself), through a link leading elsewhere included, make
// the folder one to keep.
LeftoverDecision DecideLeftover(const InstallLayout& layout, const RunFolder& run, JournalRead read,
                                const JournalContents& contents);

// Acts on what earlier runs left in the staging folder, by their journals,
// the newest first (see LeftoverAction), each with an INFO record
// "leftover of an earlier run:" + folder + ",state:" + its state, or a
// WARNING "leftover of an earlier run kept, " + why + ":" + folder. False,
// with an ERROR record "update refused, leftover of an earlier run cannot be
// put back:" + folder, when the system refuses a rename of an undo: what is
// done stays done, and the next run goes on from there. A switch that was
// made and whose new client cannot start is undone (WARNING "the new client
// of an earlier run does not start, the old one comes back:" + folder), what
// the user saved with the new client going back with the old one.
bool RecoverLeftovers(const InstallLayout& layout, ClientControl& client);

#endif  // UPDATE_RECOVERY_H_
