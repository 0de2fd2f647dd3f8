#include "update/run_state.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "platform/durable.h"
#include "platform/long_paths.h"
#include "update/carry.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

// Putting an entry back: programs just ended let go of their files only as
// they finish ending.
constexpr int kPutBackAttempts = 50;
// Where an undo puts a client this run promoted when one staged since
// stands in its place: it goes with the run folder.
constexpr wchar_t kDiscarded[] = L"discarded";

// The diagram of update/run_state.h, edge by edge: the record that makes a
// run go from one state to the other. `earlier` edges are read in journals of
// an earlier version and never written.
struct Edge {
  RunState from;
  RecordKind record;
  RunState to;
  bool earlier = false;
};
constexpr Edge kEdges[] = {
    {RunState::kNone, RecordKind::kHeader, RunState::kBegun},
    {RunState::kBegun, RecordKind::kCopy, RunState::kCopy},
    {RunState::kBegun, RecordKind::kSwitching, RunState::kSwitching},
    {RunState::kSwitching, RecordKind::kMove, RunState::kSwitching},
    {RunState::kSwitching, RecordKind::kCommit, RunState::kCommitting},
    {RunState::kCommitting, RecordKind::kSwitched, RunState::kSwitched},
    {RunState::kSwitched, RecordKind::kStarted, RunState::kStarted},
    {RunState::kSwitching, RecordKind::kUndoing, RunState::kUndoing},
    {RunState::kCommitting, RecordKind::kUndoing, RunState::kUndoing},
    {RunState::kSwitched, RecordKind::kUndoing, RunState::kUndoing},
    {RunState::kUndoing, RecordKind::kUndone, RunState::kUndone},
    {RunState::kUndoing, RecordKind::kDisplace, RunState::kUndoing, true},
    {RunState::kBegun, RecordKind::kUnpacked, RunState::kBegun, true},
    {RunState::kBegun, RecordKind::kKept, RunState::kBegun, true},
    {RunState::kBegun, RecordKind::kMove, RunState::kSwitching, true},
};

// Where `record` takes a run in `state`; false when no edge leaves it so.
bool Follow(RunState state, RecordKind record, bool earlier_allowed, RunState* next) {
  for (const Edge& edge : kEdges) {
    if (edge.from == state && edge.record == record && (earlier_allowed || !edge.earlier)) {
      *next = edge.to;
      return true;
    }
  }
  return false;
}

// The states a transition may leave; false, with the ERROR record of a bug,
// when the run is in another.
bool Leaves(const RunFolder& run, std::initializer_list<RunState> states, const char* transition) {
  if (std::find(states.begin(), states.end(), run.state()) != states.end()) return true;
  LOG(ERROR) << "run state broken:" << transition << " in " << StateName(run.state()) << ","
             << WideToUtf8(run.path);
  assert(false && "a transition from a state that the diagram does not leave so");
  return false;
}

std::string PlainText(const InstallLayout& layout, const std::wstring& below) {
  return WideToUtf8(PlainPath(layout, below));
}

// The parsed records of a run's journal.
std::vector<Record> ParsedRecords(const RunFolder& run) {
  std::vector<Record> records;
  for (const std::string& text : run.journal.records()) {
    Record record;
    if (ParseRecord(text, &record)) records.push_back(record);
  }
  return records;
}

bool HasRecord(const RunFolder& run, RecordKind kind) {
  const std::vector<Record> records = ParsedRecords(run);
  return std::any_of(records.begin(), records.end(),
                     [kind](const Record& record) { return record.kind == kind; });
}

// Makes the folders on the way to `below` that are missing.
void MakeParents(const InstallLayout& layout, const std::wstring& below) {
  const std::wstring parent = ParentBelow(below);
  if (parent.empty() || EntryExists(SystemPath(layout, parent))) return;
  MakeParents(layout, parent);
  CreateDirectoryW(SystemPath(layout, parent).c_str(), nullptr);
}

// Renames the moves recorded (their identities known or read now), never
// replacing; false, with an ERROR record naming the rename, at the first that
// fails.
bool RenameRecorded(const InstallLayout& layout, const std::vector<Move>& moves,
                    const MoveOptions& options) {
  for (const Move& move : moves) {
    const std::wstring from = SystemPath(layout, move.from);
    const std::wstring to = SystemPath(layout, move.to);
    DWORD code = 0;
    if (RenameEntry(from, to, options.attempts, &code, options.before_retry, options.context)) {
      continue;
    }
    RecordFailedMove(from, to, code);
    return false;
  }
  return true;
}

// Records the moves (their identities read where not known), then renames.
bool RecordAndRename(const InstallLayout& layout, RunFolder* run, std::vector<Move> moves,
                     const MoveOptions& options) {
  std::vector<Record> records;
  for (Move& move : moves) {
    if (!move.id.known) move.id = IdentityOf(SystemPath(layout, move.from), run->stable_ids);
    run->touched.insert({ParentBelow(move.from), ParentBelow(move.to)});
    Record record;
    record.kind = move.kind;
    record.move = move;
    records.push_back(record);
  }
  return Transit(run, records) && RenameRecorded(layout, moves, options);
}

// Before a committed new client at `client` (below the root) goes back
// into the run folder: what the user saved with it since goes into the old
// copy, so that the old client comes back with it (update/carry.h). Only
// where the run's manifest says which files are the new client's own.
void CarryBackSaves(const InstallLayout& layout, const RunFolder& run, const std::wstring& client) {
  std::vector<ManifestFile> files;
  const std::wstring old_copy = SystemPath(layout, run.Part(run_part::kOldClient));
  if (!EntryNamed(old_copy) || !ReadManifest(SystemPath(layout, run.below), &files)) return;
  std::set<std::wstring> own;
  for (const ManifestFile& file : files) own.insert(file.path);
  CarryTrees trees;
  trees.old_client = old_copy;
  trees.new_client = SystemPath(layout, client);
  trees.stable_ids = run.stable_ids;
  CarryBack(trees, own);
}

// Renames back what the run's journal says was moved, the last first; see
// PutBack. `undone` counts the renames.
bool Undo(const InstallLayout& layout, RunFolder* run, int* undone) {
  bool complete = true;
  const std::vector<Move> moves = MovesMade(run->journal.records());
  // The journal's paths were checked when it was read; a link made on the
  // way since (another user of a shared root) would lead a rename out of
  // the root: each rename's folders are looked at again right before it.
  const auto within_root = [&](const std::wstring& below) {
    return FolderWithin(layout, ParentBelow(below), L"");
  };
  for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
    const std::wstring from = SystemPath(layout, move->from);
    const std::wstring to = SystemPath(layout, move->to);
    // Where the run put it. In its own folder nothing else puts an entry:
    // whatever stands there is what it moved, whatever identity it has now
    // (an install copied or restored since gives every entry a new one).
    // Elsewhere only the entry the run moved; without an identity, one whose
    // place is free.
    const bool in_run = IsSameOrBelowFolder(move->to, run->below);
    const bool there = in_run           ? EntryNamed(to)
                       : move->id.known ? IsEntry(to, move->id)
                                        : EntryExists(to) && !EntryExists(from);
    if (!there) continue;  // back already, never made, or gone since
    if (!within_root(move->to) || !within_root(move->from)) {
      LOG(ERROR) << "entry not put back, a link leads out of the install root:"
                 << PlainText(layout, move->to) << ",to:" << PlainText(layout, move->from);
      complete = false;
      continue;
    }
    run->touched.insert({ParentBelow(move->from), ParentBelow(move->to)});
    if (move->kind == RecordKind::kCommit) CarryBackSaves(layout, *run, move->to);
    bool back = false;
    if (!EntryExists(from)) {
      MakeParents(layout, move->from);
      back = RenameOrRecord(to, from, kPutBackAttempts);
    } else if (move->kind == RecordKind::kCommit && move->from == StagedClientBelow()) {
      // A client staged since wins over the one this run promoted, which
      // goes with the run folder.
      back = RenameOrRecord(to, SystemPath(layout, run->Part(kDiscarded)), kPutBackAttempts);
    } else if (move->from == kClientBelow &&
               EntryExists(SystemPath(layout, BelowJoin(kClientBelow, kClientProcessName)))) {
      // Another client stands in the client folder (installed by hand since,
      // or switched to by another run): what the old copy has and it lacks
      // goes into it; the old client's own files are its to replace.
      back = CarryInto(to, from, kPutBackAttempts);
      LOG(WARNING) << "another client stands in the client folder, what only the old one had "
                      "moved into it:"
                   << PlainText(layout, move->from);
    } else {
      // Something made since stands there (a folder a program made, what the
      // user saved): the newer stays, the older is kept beside it.
      back = MergeInto(to, from, kPutBackAttempts);
    }
    if (back) {
      ++*undone;
    } else {
      complete = false;
    }
  }
  RestoreSetAside(layout, run);
  // The old client folder, once back, gets its executable back whatever else
  // failed, where an earlier version kept it: a client that cannot start is
  // of no use.
  const bool client_back = Utils::IsDirectory(layout.client_dir);
  if (client_back && !RestoreKeptExecutable(layout, run)) complete = false;
  return complete && (client_back || !HasRecord(*run, RecordKind::kSwitching));
}

}  // namespace

const char* StateName(RunState state) {
  static const char* const kNames[] = {"none",     "begun",   "copy",    "switching", "committing",
                                       "switched", "started", "undoing", "undone"};
  return kNames[static_cast<int>(state)];
}

bool ReplayJournal(const std::vector<std::string>& texts, RunState* state) {
  *state = RunState::kNone;
  for (const std::string& text : texts) {
    Record record;
    if (!ParseRecord(text, &record) || !Follow(*state, record.kind, true, state)) return false;
  }
  return true;
}

std::vector<Move> MovesMade(const std::vector<std::string>& records) {
  std::vector<Move> moves;
  for (const std::string& text : records) {
    Record record;
    if (!ParseRecord(text, &record)) continue;
    if (record.kind == RecordKind::kUndoing) break;
    if (record.kind == RecordKind::kMove || record.kind == RecordKind::kCommit) {
      moves.push_back(record.move);
    }
  }
  return moves;
}

bool FolderWithin(const InstallLayout& layout, const std::wstring& below,
                  const std::wstring& outer) {
  if (!IsSameOrBelowFolder(below, outer)) return false;
  // Each step from `outer` down, as far as the steps exist, a folder that is
  // no link: asked of each step itself, so that no final path (which some
  // systems cannot give for a long one) is needed.
  for (std::wstring folder = below; folder != outer; folder = ParentBelow(folder)) {
    const DWORD attributes = GetFileAttributesW(SystemPath(layout, folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return false;
    }
  }
  return true;
}

void RunFolder::Name(const InstallLayout& layout, const std::wstring& below_root) {
  below = below_root;
  path = PlainPath(layout, below);
  unpacked = JoinPath(path, run_part::kUnpacked);
  old_client = JoinPath(path, run_part::kOldClient);
}

bool Transit(RunFolder* run, const std::vector<Record>& records) {
  RunState state = run->state_;
  std::vector<std::string> texts;
  for (const Record& record : records) {
    if (!Follow(state, record.kind, false, &state)) {
      LOG(ERROR) << "run state broken:" << RecordText(record).substr(0, 200) << " in "
                 << StateName(state) << "," << WideToUtf8(run->path);
      assert(false && "a record that the diagram does not take in this state");
      return false;
    }
    texts.push_back(RecordText(record));
  }
  if (!run->journal.Append(texts)) return false;
  run->state_ = state;
  return true;
}

bool ResumeRun(const InstallLayout& layout, const std::wstring& below,
               const JournalContents& contents, RunFolder* run) {
  run->Name(layout, below);
  RunState state = RunState::kNone;
  if (!ReplayJournal(contents.records, &state)) return false;
  run->state_ = state;
  return run->journal.Reopen(SystemPath(layout, below), contents);
}

bool MakeRunFolder(const InstallLayout& layout, RunFolder* run) {
  if (!Leaves(*run, {RunState::kNone}, "MakeRunFolder")) return false;
  const std::wstring staging = SystemPath(layout, kStagingBelow);
  if (!Utils::IsDirectory(layout.staging_dir)) {
    if (!CreateDirectoryW(staging.c_str(), nullptr)) return false;
    run->made_staging_folder = true;
  }
  const std::wstring name = kRunFolderPrefix + std::to_wstring(GetCurrentProcessId());
  // A folder of an earlier run under this process id that could not be
  // removed: the next free name.
  for (int suffix = 1;; ++suffix) {
    const std::wstring below =
        BelowJoin(kStagingBelow, suffix == 1 ? name : name + L"-" + std::to_wstring(suffix));
    if (CreateDirectoryW(SystemPath(layout, below).c_str(), nullptr)) {
      run->Name(layout, below);
      // Where the volume keeps no identity across a rename (FAT), undoing
      // goes by whether an entry's place is free.
      std::wstring file_system;
      run->stable_ids =
          !Utils::GetFileSystemName(layout.root, &file_system) || !IsFatFamily(file_system);
      // The journal, and the folders that hold it, on disk before any
      // record of it counts.
      if (!run->journal.Start(SystemPath(layout, below)) ||
          !durable::FlushFolders({staging, SystemPath(layout, below)})) {
        return false;
      }
      run->state_ = RunState::kBegun;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS || suffix == 100) return false;
  }
}

bool MarkCopy(RunFolder* run) {
  Record record;
  record.kind = RecordKind::kCopy;
  return Transit(run, {record});
}

bool BeginSwitch(const InstallLayout& layout, RunFolder* run) {
  Record record;
  record.kind = RecordKind::kSwitching;
  record.id = IdentityOf(SystemPath(layout, kClientBelow), run->stable_ids);
  return Transit(run, {record});
}

bool MoveEntries(const InstallLayout& layout, RunFolder* run, std::vector<Move> moves,
                 const MoveOptions& options) {
  if (moves.empty()) return true;
  return Leaves(*run, {RunState::kSwitching}, "MoveEntries") &&
         RecordAndRename(layout, run, std::move(moves), options);
}

bool Commit(const InstallLayout& layout, RunFolder* run, Move move,
            const std::function<bool()>& act) {
  if (!Leaves(*run, {RunState::kSwitching}, "Commit")) return false;
  Record record;
  record.kind = RecordKind::kCommit;
  record.move = move;
  record.move.kind = RecordKind::kCommit;
  record.move.id = IdentityOf(SystemPath(layout, move.from), run->stable_ids);
  return MakeRenamesDurable(layout, run) && Transit(run, {record}) && act() &&
         ConfirmCommit(layout, run);
}

bool ConfirmCommit(const InstallLayout& layout, RunFolder* run) {
  for (const Move& move : MovesMade(run->journal.records())) {
    if (move.kind == RecordKind::kCommit) {
      run->touched.insert({ParentBelow(move.from), ParentBelow(move.to)});
    }
  }
  Record record;
  record.kind = RecordKind::kSwitched;
  return MakeRenamesDurable(layout, run) && Transit(run, {record}) && Holds(layout, *run);
}

bool NewClientWhole(const InstallLayout& layout, const std::wstring& below) {
  std::vector<ManifestFile> files;
  if (!ReadManifest(SystemPath(layout, below), &files)) {
    // An earlier version wrote none; this one makes it durable before the
    // switch begins.
    return !EntryExists(SystemPath(layout, BelowJoin(below, run_part::kManifest)));
  }
  for (const ManifestFile& file : files) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    const std::wstring path = SystemPath(layout, BelowJoin(kClientBelow, file.path));
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) < file.size) {
      LOG(WARNING) << "new client not whole on disk:"
                   << PlainText(layout, BelowJoin(kClientBelow, file.path));
      return false;
    }
  }
  return true;
}

bool StateHolds(const InstallLayout& layout, const std::wstring& below, RunState state,
                std::string* why) {
  const bool client = Utils::IsDirectory(SystemPath(layout, kClientBelow));
  const bool set_aside = EntryNamed(SystemPath(layout, BelowJoin(below, run_part::kOldClient)));
  bool holds = true;
  switch (state) {
    case RunState::kSwitching:
    case RunState::kCommitting:
      holds = client || set_aside;
      break;
    case RunState::kSwitched:
    case RunState::kStarted:
      holds = client &&
              EntryExists(SystemPath(layout, BelowJoin(kClientBelow, kClientProcessName))) &&
              NewClientWhole(layout, below);
      break;
    case RunState::kUndone:
      holds = client && !set_aside;
      break;
    default:
      break;
  }
  if (!holds) {
    *why = std::string("the client folder does not hold what ") + StateName(state) + " holds";
  }
  return holds;
}

bool MakeRenamesDurable(const InstallLayout& layout, RunFolder* run) {
  std::vector<std::wstring> folders;
  for (const std::wstring& folder : run->touched) folders.push_back(SystemPath(layout, folder));
  if (!durable::FlushFolders(folders)) {
    const DWORD code = GetLastError();
    LOG(ERROR) << "renames not made durable:" << WideToUtf8(run->path) << ",getlasterror:" << code;
    return false;
  }
  run->touched.clear();
  return true;
}

bool MarkStarted(RunFolder* run) {
  Record record;
  record.kind = RecordKind::kStarted;
  return Transit(run, {record});
}

bool Holds(const InstallLayout& layout, const RunFolder& run) {
  std::string why;
  if (StateHolds(layout, run.below, run.state(), &why)) return true;
  LOG(ERROR) << "run state broken:" << why << "," << WideToUtf8(run.path);
  assert(false && "the disk does not hold what the run's state says");
  return false;
}

bool PutBack(const InstallLayout& layout, RunFolder* run) {
  if (!Leaves(*run,
              {RunState::kBegun, RunState::kSwitching, RunState::kCommitting, RunState::kSwitched,
               RunState::kUndoing},
              "PutBack")) {
    return false;
  }
  // Nothing switched yet: nothing of the install changed.
  if (run->state() == RunState::kBegun) {
    RemoveRunFolder(layout, run);
    return true;
  }
  // Should even this record fail, the journal's moves are all there is to
  // undo: a next run finds them.
  if (run->state() != RunState::kUndoing) {
    Record record;
    record.kind = RecordKind::kUndoing;
    Transit(run, {record});
  }
  int undone = 0;
  Record undone_record;
  undone_record.kind = RecordKind::kUndone;
  // The old client is back on disk before the run folder, with the new
  // client and whatever was set aside there, can go.
  const bool complete = Undo(layout, run, &undone) && run->state() == RunState::kUndoing &&
                        MakeRenamesDurable(layout, run) && Transit(run, {undone_record});
  LOG(INFO) << "put back result:" << complete << ",entries:" << undone
            << ",from:" << WideToUtf8(run->path);
  if (complete && Holds(layout, *run)) RemoveRunFolder(layout, run);
  return complete;
}

bool RestoreSetAside(const InstallLayout& layout, RunFolder* run) {
  bool restored = true;
  for (const wchar_t* part : {run_part::kOldClient, run_part::kAppeared}) {
    const std::wstring aside = SystemPath(layout, run->Part(part));
    if (!EntryNamed(aside)) continue;
    // Never what a link put in the run folder's place leads to.
    if (!FolderWithin(layout, run->below, L"")) {
      LOG(ERROR) << "entry not put back, a link leads out of the install root:"
                 << WideToUtf8(JoinPath(run->path, part));
      return false;
    }
    run->touched.insert({run->below, L""});
    // Where the client folder stands again, the two are merged.
    if (!MergeInto(aside, SystemPath(layout, kClientBelow), kPutBackAttempts)) {
      restored = false;
      continue;
    }
    LOG(WARNING) << (part == run_part::kOldClient ? "old client" : "entry")
                 << " put back without its record:" << WideToUtf8(JoinPath(run->path, part));
  }
  return restored;
}

bool RestoreKeptExecutable(const InstallLayout& layout, RunFolder* run) {
  const std::wstring exe = BelowJoin(kClientBelow, kClientProcessName);
  const std::wstring kept = run->Part(kClientProcessName);
  if (!HasRecord(*run, RecordKind::kKept) || EntryExists(SystemPath(layout, exe)) ||
      !Utils::IsDirectory(layout.client_dir)) {
    return true;
  }
  DWORD code = ERROR_FILE_NOT_FOUND;
  run->touched.insert({run->below, kClientBelow});
  if (EntryExists(SystemPath(layout, kept)) &&
      RenameEntry(SystemPath(layout, kept), SystemPath(layout, exe), kPutBackAttempts, &code)) {
    return true;
  }
  RecordFailedMove(SystemPath(layout, kept), SystemPath(layout, exe), code);
  return false;
}

void RemoveRunFolder(const InstallLayout& layout, RunFolder* run) {
  if (run->path.empty()) return;
  if (!Leaves(*run, {RunState::kBegun, RunState::kCopy, RunState::kStarted, RunState::kUndone},
              "RemoveRunFolder")) {
    return;
  }
  // Whatever a journal torn or damaged since left unsaid: an old client
  // folder or what appeared in its place never goes with a run folder but
  // once its new client runs.
  if (run->state() != RunState::kStarted && !RestoreSetAside(layout, run)) {
    LOG(WARNING) << "run folder left for the next run:" << WideToUtf8(run->path);
    return;
  }
  run->journal.Close();
  const std::wstring folder = SystemPath(layout, run->below);
  // What an undo of an earlier version set aside goes back where it stood,
  // merged with what stands there now: kept entries do not pile up.
  for (const Record& record : ParsedRecords(*run)) {
    if (record.kind != RecordKind::kDisplace || !EntryNamed(SystemPath(layout, record.move.to))) {
      continue;
    }
    MakeParents(layout, record.move.from);
    MergeInto(SystemPath(layout, record.move.to), SystemPath(layout, record.move.from),
              kPutBackAttempts);
  }
  RemoveDirectoryW(SystemPath(layout, run->Part(run_part::kDisplaced)).c_str());
  if (EntryExists(SystemPath(layout, run->Part(run_part::kDisplaced)))) {
    // What an undo set aside stays, with the journal that says where it came
    // from; the rest goes.
    std::vector<Utils::ListedEntry> entries;
    Utils::ListFolder(folder, &entries);
    for (const Utils::ListedEntry& entry : entries) {
      if (entry.name != run_part::kDisplaced && entry.name != run_part::kJournal) {
        Utils::RemoveAll(JoinPath(run->path, entry.name));
      }
    }
    LOG(WARNING) << "leftover of an earlier run kept, entries in the way of its undo:"
                 << WideToUtf8(run->path);
  } else {
    const std::wstring done = folder + kRemovedSuffix;
    DWORD code = 0;
    if (RenameEntry(folder, done, 1, &code)) {
      Utils::RemoveAll(run->path + kRemovedSuffix);
    } else {
      LOG(WARNING) << "run folder left for the next run:" << WideToUtf8(run->path)
                   << ",getlasterror:" << code;
    }
  }
  if (run->made_staging_folder) RemoveDirectoryW(SystemPath(layout, kStagingBelow).c_str());
}

bool MakeRunPart(const InstallLayout& layout, const std::wstring& below) {
  if (CreateDirectoryW(SystemPath(layout, below).c_str(), nullptr) ||
      GetLastError() == ERROR_ALREADY_EXISTS) {
    return true;
  }
  // The renames into it fail next; this says why.
  const DWORD code = GetLastError();
  LOG(ERROR) << "folder not made:" << PlainText(layout, below) << ",getlasterror:" << code;
  return false;
}
