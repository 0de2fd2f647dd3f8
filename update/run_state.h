// A run of the updater as a state machine, kept in its journal
// (update/journal.h) as a database keeps a commit in its rollback journal:
// the old client (the before-image) stays whole until the commit, the commit
// is one rename, and a journal that a run left behind is played back by the
// next holder of the install root's lock (update/recovery.h) before anything
// else.
//
// A run's folder (update/layout.h) holds the state it is in (RunFolder), and
// only the transitions below change it. Each records first, flushes, then
// acts, and checks the state it leaves: an edge that is not in the diagram is
// a bug, refused with an ERROR record "run state broken:" (and stopped in a
// build for tests). A journal is read back through the same diagram
// (ReplayJournal): records in an order no run writes make it untrusted.
//
//   (none)
//     | MakeRunFolder: "zizaro_do run <start>"
//     v
//   begun ----------------------> copy       a copy of the updater runs the
//     |   MarkCopy: "copy"                   update from the run folder
//     | BeginSwitch: "switching <id of the client folder>"
//     v
//   switching <--+ MoveEntries: "move ..." (the carry, the merge, the set-aside)
//     |     |    |
//     |     +----+
//     | Commit: "commit ..." (the new client folder's rename recorded)
//     v
//   committing
//     | Commit, or the recovery once it finds the rename made: "switched"
//     v
//   switched
//     | MarkStarted: "started" (the new client runs)
//     v
//   started
//
//   switching, committing, switched
//     | PutBack: "undoing" (a switch that failed, a new client that cannot
//     v          start)
//   undoing <--+ "displace ..." (an earlier version's: an entry in the way,
//     |   |    |   set aside in the run folder)
//     |   +----+
//     | PutBack: "undone" (the old client is back, complete)
//     v
//   undone
//
// Journals of an earlier version may also hold "unpacked" and "kept" in
// begun, and a move right after begun (no "switching").
//
// A run folder goes (RemoveRunFolder) only in begun, copy, started and
// undone, renamed "<folder>.done" first, so that what a removal cut short
// leaves is removed by the next run without a journal to read.
#ifndef UPDATE_RUN_STATE_H_
#define UPDATE_RUN_STATE_H_

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "update/entries.h"
#include "update/journal.h"
#include "update/layout.h"

enum class RunState {
  kNone,
  kBegun,
  kCopy,
  kSwitching,
  kCommitting,
  kSwitched,
  kStarted,
  kUndoing,
  kUndone,
};
const char* StateName(RunState state);

// The state a journal's records leave a run in, each record taken through
// the diagram; false when a record is not one that a run writes there.
bool ReplayJournal(const std::vector<std::string>& records, RunState* state);

class RunFolder {
 public:
  // Names the run folder at `below` (below the install root).
  void Name(const InstallLayout& layout, const std::wstring& below);
  // One of its parts, below the install root.
  std::wstring Part(const std::wstring& name) const { return BelowJoin(below, name); }
  RunState state() const { return state_; }

  std::wstring path;                 // empty until made or found
  std::wstring below;                // the same below the install root
  std::wstring unpacked;             // path joined with new
  std::wstring old_client;           // path joined with old
  bool made_staging_folder = false;  // the staging folder did not exist before this run
  bool stable_ids = true;            // the volume keeps identities across renames
  int asides = 0;                    // old entries set aside in "aside" so far
  // The folders (below the install root) whose entries this run's renames
  // changed since they were last made durable.
  std::set<std::wstring> touched;
  Journal journal;

 private:
  friend bool MakeRunFolder(const InstallLayout& layout, RunFolder* run);
  friend bool Transit(RunFolder* run, const std::vector<Record>& records);
  friend bool ResumeRun(const InstallLayout& layout, const std::wstring& below,
                        const JournalContents& contents, RunFolder* run);
  RunState state_ = RunState::kNone;
};

// Appends `records` (of one kind, or moves) to the run's journal, each
// taken through the diagram from the state the run holds, which it then
// holds. False, with an ERROR record, for an edge that is not in the diagram
// (nothing written) or a journal that cannot be written.
bool Transit(RunFolder* run, const std::vector<Record>& records);
// Takes up an earlier run's folder at `below`, its journal read as
// `contents`, in the state its records leave it: the journal reopened (a
// torn record cut away) to go on recording. False when it cannot be.
bool ResumeRun(const InstallLayout& layout, const std::wstring& below,
               const JournalContents& contents, RunFolder* run);

// The moves and commits that a journal's records made before any undo, in
// the order made: what an undo reverses.
std::vector<Move> MovesMade(const std::vector<std::string>& records);
// Whether the folder `below` lies in the folder `outer` (both below the
// install root; "" for the root itself) without a link on the way: each of
// its steps below `outer` that exists is a folder and no link.
bool FolderWithin(const InstallLayout& layout, const std::wstring& below,
                  const std::wstring& outer);

// What the disk holds in each state, C being the client folder; at every
// instant a client can be started, C holds one whole client:
//   none, begun, copy: C as the run found it (the old client, never changed:
//     the new tree is built beside it, in the run folder);
//   switching, committing: C as the run found it, or, between the commit's
//     two renames, no C and the old client set aside in the run folder
//     ("old"), or, the commit made, the new client in C;
//   switched, started: the new client whole in C (NewClientWhole), its
//     executable included;
//   undoing: any of these, an undo going on from where it was cut;
//   undone: the old client back in C, nothing of it left aside.
// Whether the run folder `below` in `state` finds the disk so, as far as it
// can be seen without a record of the old client's files; `why` says what
// does not hold. The transitions check what they leave, the recovery decides
// by it, and the tests check it at every point a run can be cut.
bool StateHolds(const InstallLayout& layout, const std::wstring& below, RunState state,
                std::string* why);
// Whether the client folder holds the new client of the run folder `below`
// whole, as its manifest lists it: every file there, none shorter than it
// was made (a power cut can leave a renamed file empty where its data never
// reached the disk), and its manifest itself whole. A run of an earlier
// version left no manifest: its switch is taken as it is.
bool NewClientWhole(const InstallLayout& layout, const std::wstring& below);
// StateHolds for the state the run is in, the transitions' check: false,
// with an ERROR record "run state broken:" (and stopped in a build for
// tests), when the disk does not hold it.
bool Holds(const InstallLayout& layout, const RunFolder& run);

// Makes the entries of the folders the run's renames changed durable
// (platform/durable.h), so that nothing those renames replaced goes before
// they are on disk. False, with an ERROR record, when it cannot.
bool MakeRenamesDurable(const InstallLayout& layout, RunFolder* run);

// The transitions of the diagram.
// none -> begun: makes this run's folder in the staging folder (and the
// staging folder when it is missing) and starts its journal. False, with the
// system's error as the last error, when they cannot be made.
bool MakeRunFolder(const InstallLayout& layout, RunFolder* run);
// begun -> copy.
bool MarkCopy(RunFolder* run);
// begun -> switching: records the identity of the client folder.
bool BeginSwitch(const InstallLayout& layout, RunFolder* run);
// How MoveEntries renames: `attempts` while the system refuses, with
// `before_retry` before each attempt but the first.
struct MoveOptions {
  int attempts = 8;
  void (*before_retry)(void*) = nullptr;
  void* context = nullptr;
};
// switching -> switching: records the moves (one write, one flush), then
// renames each entry, never replacing. Moves without a known identity get
// the identity of the entry at their source. False, with an ERROR record
// naming the rename, at the first that fails.
bool MoveEntries(const InstallLayout& layout, RunFolder* run, std::vector<Move> moves,
                 const MoveOptions& options);
// switching -> committing -> switched: makes the renames so far durable,
// records the commit, then `act` (which makes the rename of `move`), then
// ConfirmCommit.
bool Commit(const InstallLayout& layout, RunFolder* run, Move move,
            const std::function<bool()>& act);
// committing -> switched, once the commit's rename is made (by this run or,
// as a recovery finds, an earlier one): the renames made durable first, so
// that the journal never says "switched" of a switch the disk lacks.
bool ConfirmCommit(const InstallLayout& layout, RunFolder* run);
// switched -> started.
bool MarkStarted(RunFolder* run);
// switching, committing, switched or undoing -> undoing -> undone: renames
// back each entry the run moved that is still where the run put it (in its
// own folder whatever stands at the place, elsewhere the entry of the
// recorded identity), the last first, its folders looked at again right
// before (a link made since that leads out of the install root stops it).
// Where something made since stands in the place (what the user saved after
// a crash, a folder a program made), the two are merged (MergeInto: the
// newer stays, the older is kept beside it); where another client stands in
// the client folder, it gets what only the old client had (CarryInto); where
// a client staged since stands in the staged client folder, it wins, and the
// run's goes with the run folder. Puts a kept executable back where the old
// client folder lacks it, and records "undone" once a client folder is in
// place. One
// record "put back result:" + 1 or 0 + ",entries:" + renames undone +
// ",from:" + the run folder. True when the old client is complete again; the
// run folder then goes (but for what the undo set aside). False leaves the
// folder, with its journal, for the next run to go on. In begun there is
// nothing to put back: the run folder goes.
bool PutBack(const InstallLayout& layout, RunFolder* run);
// The old client folder that the run set aside, and what appeared in its
// place, put back (merged with what stands at the client folder since)
// though no record names their moves (a journal torn or damaged after them);
// false when that cannot be.
bool RestoreSetAside(const InstallLayout& layout, RunFolder* run);
// The executable that a run of an earlier version kept in its folder, put
// back where the old client folder lacks it; false when it cannot be.
bool RestoreKeptExecutable(const InstallLayout& layout, RunFolder* run);
// Removes the run's folder in begun, copy, started or undone: renamed to
// "<folder>.done", then removed (with the removal's record), but for entries
// an undo set aside; then the staging folder when this run made it and it is
// empty.
void RemoveRunFolder(const InstallLayout& layout, RunFolder* run);
// Makes a folder of the run folder (`below` the install root) when missing;
// false, with an ERROR record naming the system's error, when it cannot.
bool MakeRunPart(const InstallLayout& layout, const std::wstring& below);

#endif  // UPDATE_RUN_STATE_H_
