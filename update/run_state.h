// A run of the updater as a state machine, kept in its journal
// (update/journal.h) as a database keeps a commit in its rollback journal:
// the old client (the before-image) stays whole until the commit, the commit
// is one rename, and a journal that a run left behind is played back by the
// next holder of the install root's lock before anything else. Each
// transition records, flushes, then acts; playing a journal back is
// idempotent, so that a recovery cut short anywhere, and repeated any number
// of times, reaches the same end.
//
// The states a journal can be in, by its records:
//   begun      only its first record (and "unpacked"): nothing of the
//              install changed
//   copy       a copy of the updater runs the update from the run folder
//   switching  "switching" and moves, no commit made: the old client is
//              still the client; a later run undoes what was moved
//   switched   the commit is made: the new client is the client, the old one
//              in the run folder; a later run starts the new client when the
//              run ended before that, and removes the old copy
//   started    the new client runs: only the old copy is left to remove
//   undoing    the run is being undone (a switch that failed, a new client
//              that could not start): a later run goes on undoing
//   undone     the old client is back, complete: only the run folder is left
//              to remove (entries that stood in the way stay there, kept)
// A run folder goes only in "begun", "started" and "undone", renamed first
// ("<folder>.done") so that what a removal cut short leaves is removed by
// the next run without a journal to read.
#ifndef UPDATE_RUN_STATE_H_
#define UPDATE_RUN_STATE_H_

#include <functional>
#include <string>
#include <vector>

#include "update/journal.h"
#include "update/update.h"

struct RunFolder;

enum class RunState { kBegun, kCopy, kSwitching, kSwitched, kStarted, kUndoing, kUndone };

// The state that a journal's records leave a run in.
RunState StateOf(const std::vector<std::string>& records);

// What a later run does with a run folder it finds in the staging folder.
enum class LeftoverAction {
  kSkip,    // the folder of the copy of the updater that runs this update
  kKeep,    // nothing to act on: kept as it is, with a WARNING, blocking nothing
  kRemove,  // nothing to finish or undo: removed
  kUndo,    // the old client goes back, then the folder goes
  kFinish,  // the switch is complete: the new client is started unless it
            // runs, then the folder goes (or, when it cannot start, undone)
};
struct LeftoverDecision {
  LeftoverAction action = LeftoverAction::kKeep;
  std::string why;  // for kKeep: what made the folder one to keep
};
// Decides from a run folder's journal (read as `records`; `read` as
// ReadJournal answered) what a later run does with it. The journal is not
// trusted: a record naming a path outside the places a run uses below the
// install root (the client folder, entries of the root beside the staging
// folder, the staged client folder, the run folder itself), through a link
// leading elsewhere included, makes the folder one to keep, as does a switch
// whose old client folder is neither in place nor where the run set it aside
// (the install changed since: another run switched).
LeftoverDecision DecideLeftover(const InstallLayout& layout, const RunFolder& run, JournalRead read,
                                const std::vector<std::string>& records);

// Acts on what earlier runs left in the staging folder, by their journals,
// the newest first (see LeftoverAction), each with an INFO record
// "leftover of an earlier run:" + folder + ",state:" + its state, or a
// WARNING "leftover of an earlier run kept, " + why + ":" + folder. False,
// with an ERROR record "update refused, leftover of an earlier run cannot be
// put back:" + folder, when the system refuses a rename of an undo: what is
// done stays done, and the next run goes on from there.
bool RecoverLeftovers(const InstallLayout& layout);

// The transitions of a run of this process.
// Makes this run's folder in the staging folder (and the staging folder when
// it is missing) and starts its journal. False, with the system's error as
// the last error, when they cannot be made.
bool MakeRunFolder(const InstallLayout& layout, RunFolder* run);
// Makes a folder of the run folder (`below` the install root) when missing;
// false, with an ERROR record naming the system's error, when it cannot.
bool MakeRunPart(const InstallLayout& layout, const std::wstring& below);
// Records "switching" with the identity of the client folder.
bool BeginSwitch(const InstallLayout& layout, RunFolder* run);
// How MoveEntries renames: `attempts` while the system refuses, with
// `before_retry` before each attempt but the first; with `new_wins`, an
// entry whose destination name is taken stays where it is (the volume reads
// both names as one entry, and the new one wins).
struct MoveOptions {
  int attempts = 8;
  bool new_wins = false;
  void (*before_retry)(void*) = nullptr;
  void* context = nullptr;
};
// Records the moves (one write, one flush), then renames each entry, never
// replacing. Moves without a known identity get the identity of the entry at
// their source. False, with an ERROR record naming the rename, at the first
// that fails.
bool MoveEntries(const InstallLayout& layout, RunFolder* run, std::vector<Move> moves,
                 const MoveOptions& options);
// The commit: records it, then `act` (which makes the rename of `move`),
// then "switched".
bool Commit(const InstallLayout& layout, RunFolder* run, Move move,
            const std::function<bool()>& act);
// Records "started".
bool MarkStarted(RunFolder* run);
// Undoes the run: records "undoing", renames back each entry the run moved
// that is still where the run put it, the last first (moving into the run
// folder whatever stands in its place, recorded as "displace"), puts a kept
// executable back where the old client folder lacks it, and records "undone"
// once the old client folder is in place. One record "put back result:" + 1
// or 0 + ",entries:" + renames undone + ",from:" + the run folder. True when
// the old client is complete again; the run folder then goes (but for what
// the undo set aside). False leaves the folder, with its journal, for the
// next run to go on.
bool PutBack(const InstallLayout& layout, RunFolder* run);
// Removes the run's folder: renamed to "<folder>.done", then removed (with
// the removal's record), but for entries an undo set aside; then the staging
// folder when this run made it and it is empty.
void RemoveRunFolder(const InstallLayout& layout, RunFolder* run);

// Paths below the install root, as records name them.
std::wstring BelowJoin(const std::wstring& folder, const std::wstring& name);
// A path below the install root as the file calls take it: appended to the
// root's extended-length form, so that every name reaches the system as it
// is ("aux.js", "trail.").
std::wstring SystemPath(const InstallLayout& layout, const std::wstring& below);
// The identity of the entry at a path itself (a link, not what it leads to);
// not known when it cannot be read or `stable` is false (a volume whose
// identities change with a rename).
EntryId IdentityOf(const std::wstring& system_path, bool stable = true);

#endif  // UPDATE_RUN_STATE_H_
