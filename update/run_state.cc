#include "update/run_state.h"

#include <algorithm>
#include <map>
#include <utility>

#include "platform/long_paths.h"
#include "update/switch_over.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

constexpr wchar_t kRunFolderPrefix[] = L"zizaro_do-";
// A run folder whose journal said it could go, renamed so before its
// removal: what a removal cut short leaves of it goes with the next run.
constexpr wchar_t kRemovedSuffix[] = L".done";
constexpr wchar_t kDisplaced[] = L"displaced";
// Putting an entry back: programs just ended let go of their files only as
// they finish ending.
constexpr int kPutBackAttempts = 50;

bool Exists(const std::wstring& system_path) {
  return GetFileAttributesW(system_path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whether the entry at a path is the one named: by identity, or, where none
// was known, by there being one.
bool IsEntry(const std::wstring& system_path, const EntryId& id) {
  return id.known ? IdentityOf(system_path) == id : Exists(system_path);
}

bool Has(const std::vector<std::string>& records, const char* record) {
  return std::find(records.begin(), records.end(), record) != records.end();
}

bool HasPrefix(const std::wstring& name, const wchar_t* prefix) {
  return name.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

bool HasSuffix(const std::wstring& name, const wchar_t* suffix) {
  const size_t length = std::char_traits<wchar_t>::length(suffix);
  return name.size() >= length && name.compare(name.size() - length, length, suffix) == 0;
}

std::string PlainText(const InstallLayout& layout, const std::wstring& below) {
  return WideToUtf8(JoinPath(layout.root, below));
}

// The identity in a "switching" record: the old client folder.
EntryId SwitchedFrom(const std::vector<std::string>& records) {
  const std::string prefix = std::string(kJournalSwitching) + " ";
  EntryId id;
  for (const std::string& record : records) {
    if (record.rfind(prefix, 0) == 0 && ParseId(record.substr(prefix.size()), &id)) return id;
  }
  return id;
}

// The moves of a journal that an undo reverses, in the order made: those
// recorded before the undo began.
std::vector<Move> MovesToUndo(const std::vector<std::string>& records) {
  std::vector<Move> moves;
  for (const std::string& record : records) {
    if (record == kJournalUndoing) break;
    Move move;
    if (ParseMove(record, &move) && move.kind != MoveKind::kDisplace) moves.push_back(move);
  }
  return moves;
}

std::wstring ParentBelow(const std::wstring& below) {
  const size_t separator = below.rfind(long_paths::kSeparator);
  return separator == std::wstring::npos ? std::wstring() : below.substr(0, separator);
}

// The places a run uses below the install root, against which the paths of
// an earlier run's journal are checked: the run folder itself, the staged
// client folder, and every entry of the root but the staging folder, each
// reached without a link that leads elsewhere.
class Places {
 public:
  Places(const InstallLayout& layout, const RunFolder& run)
      : layout_(layout),
        run_(run.below),
        root_final_(Utils::FinalPathOf(layout.root)),
        run_final_(Utils::FinalPathOf(SystemPath(layout, run.below))) {}

  bool Allowed(const std::wstring& below) {
    const std::wstring staging = StagingBelow();
    if (below == StagedClientBelow()) return true;
    if (below.compare(0, run_.size(), run_) == 0 && below.size() > run_.size() &&
        below[run_.size()] == long_paths::kSeparator) {
      return Within(ParentBelow(below), run_final_);
    }
    if (below == staging || HasPrefix(below, (staging + long_paths::kSeparator).c_str())) {
      return false;
    }
    return Within(ParentBelow(below), root_final_);
  }

 private:
  // Whether the folder `below` (or, where it is missing, the nearest folder
  // above it that exists), every link resolved, lies in `outer`.
  bool Within(std::wstring below, const std::wstring& outer) {
    if (outer.empty()) return false;
    const auto known = checked_.find(below);
    if (known != checked_.end()) return known->second;
    std::wstring existing = below;
    while (!existing.empty() && !Exists(SystemPath(layout_, existing))) {
      existing = ParentBelow(existing);
    }
    const std::wstring final_path =
        existing.empty() ? root_final_ : Utils::FinalPathOf(SystemPath(layout_, existing));
    const bool within =
        !final_path.empty() &&
        (final_path == outer ||
         (final_path.compare(0, outer.size(), outer) == 0 && final_path.size() > outer.size() &&
          (final_path[outer.size()] == long_paths::kSeparator ||
           outer.back() == long_paths::kSeparator)));
    checked_[below] = within;
    return within;
  }

  const InstallLayout& layout_;
  const std::wstring run_;
  const std::wstring root_final_;
  const std::wstring run_final_;
  std::map<std::wstring, bool> checked_;
};

// Makes the folders on the way to `below` that are missing.
void MakeParents(const InstallLayout& layout, const std::wstring& below) {
  const std::wstring parent = ParentBelow(below);
  if (parent.empty() || Exists(SystemPath(layout, parent))) return;
  MakeParents(layout, parent);
  CreateDirectoryW(SystemPath(layout, parent).c_str(), nullptr);
}

// Sets the entry at `below`, which stands where the undo puts another back,
// aside into the run folder, recorded first: it is kept there.
bool Displace(const InstallLayout& layout, RunFolder* run, const std::wstring& below) {
  const std::vector<std::string>& records = run->journal.records();
  const auto count = std::count_if(records.begin(), records.end(), [](const std::string& record) {
    Move move;
    return ParseMove(record, &move) && move.kind == MoveKind::kDisplace;
  });
  const std::wstring folder = run->Part(kDisplaced);
  MakeRunPart(layout, folder);
  Move move{MoveKind::kDisplace, below, BelowJoin(folder, std::to_wstring(count + 1)),
            IdentityOf(SystemPath(layout, below), run->stable_ids)};
  MoveOptions options;
  options.attempts = kPutBackAttempts;
  if (!MoveEntries(layout, run, {move}, options)) return false;
  LOG(WARNING) << "entry in the way of the undo kept:" << PlainText(layout, below)
               << ",at:" << PlainText(layout, move.to);
  return true;
}

// Renames back what the run's journal says was moved, the last first; see
// PutBack. `undone` counts the renames.
bool Undo(const InstallLayout& layout, RunFolder* run, int* undone) {
  bool complete = true;
  const std::vector<Move> moves = MovesToUndo(run->journal.records());
  for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
    const std::wstring from = SystemPath(layout, move->from);
    const std::wstring to = SystemPath(layout, move->to);
    // Back already, never made, or gone since: nothing to rename. Without an
    // identity, only an entry whose place is free goes back.
    if (!IsEntry(to, move->id) || (!move->id.known && Exists(from))) continue;
    if (Exists(from) && !Displace(layout, run, move->from)) {
      complete = false;
      continue;
    }
    MakeParents(layout, move->from);
    DWORD code = 0;
    if (RenameEntry(to, from, kPutBackAttempts, &code)) {
      ++*undone;
    } else {
      RecordFailedMove(to, from, code);
      complete = false;
    }
  }
  // The old client folder, once back, gets its executable back whatever else
  // failed, where the run kept it (an earlier version deleted it before the
  // switch): a client that cannot start is of no use.
  const EntryId old_client = SwitchedFrom(run->journal.records());
  const std::wstring client = SystemPath(layout, kClientBelow);
  const bool client_back =
      Utils::IsDirectory(client) && (!old_client.known || IdentityOf(client) == old_client);
  const std::wstring exe = BelowJoin(kClientBelow, kClientProcessName);
  const std::wstring kept = run->Part(kClientProcessName);
  if (client_back && Has(run->journal.records(), kJournalKept) &&
      !Exists(SystemPath(layout, exe))) {
    DWORD code = ERROR_FILE_NOT_FOUND;
    if (!Exists(SystemPath(layout, kept)) ||
        !RenameEntry(SystemPath(layout, kept), SystemPath(layout, exe), kPutBackAttempts, &code)) {
      RecordFailedMove(SystemPath(layout, kept), SystemPath(layout, exe), code);
      complete = false;
    }
  }
  return complete && (client_back || !old_client.known);
}

// Removes a run folder that holds nothing, or only a journal without one
// whole line: a run ended before it wrote its first record, having changed
// nothing.
bool RemoveEmptyRunFolder(const std::wstring& system_folder) {
  std::vector<Utils::ListedEntry> entries;
  if (Utils::ListFolder(system_folder, &entries) && entries.size() == 1 &&
      entries.front().name == L"journal") {
    DeleteFileW(JournalPath(system_folder).c_str());
  }
  return RemoveDirectoryW(system_folder.c_str()) != FALSE;
}

const char* StateName(RunState state) {
  static const char* const kNames[] = {"begun",   "copy",    "switching", "switched",
                                       "started", "undoing", "undone"};
  return kNames[static_cast<int>(state)];
}

// A switch found complete: the new client runs, started now when its run
// ended before, then the old copy goes. A new client that cannot start gets
// the old one back.
bool Finish(const InstallLayout& layout, RunFolder* run) {
  if (!Has(run->journal.records(), kJournalSwitched)) run->journal.Record(kJournalSwitched);
  if (ClientRuns(layout) || StartNewClient(layout)) {
    MarkStarted(run);
    RemoveRunFolder(layout, run);
    return true;
  }
  return PutBack(layout, run);
}

}  // namespace

RunState StateOf(const std::vector<std::string>& records) {
  if (Has(records, kJournalUndone)) return RunState::kUndone;
  if (Has(records, kJournalUndoing)) return RunState::kUndoing;
  if (Has(records, kJournalStarted)) return RunState::kStarted;
  if (Has(records, kJournalSwitched)) return RunState::kSwitched;
  const std::string switching = std::string(kJournalSwitching) + " ";
  for (const std::string& record : records) {
    Move move;
    if (record.rfind(switching, 0) == 0 || ParseMove(record, &move)) return RunState::kSwitching;
  }
  return !records.empty() && records.back() == kJournalCopy ? RunState::kCopy : RunState::kBegun;
}

LeftoverDecision DecideLeftover(const InstallLayout& layout, const RunFolder& run, JournalRead read,
                                const std::vector<std::string>& records) {
  if (read != JournalRead::kRead) {
    return {LeftoverAction::kKeep,
            read == JournalRead::kNone ? "no journal" : "journal not trusted"};
  }
  Places places(layout, run);
  for (const std::string& record : records) {
    Move move;
    const bool is_move = record.rfind("move ", 0) == 0 || record.rfind("commit ", 0) == 0 ||
                         record.rfind("displace ", 0) == 0;
    if (is_move &&
        (!ParseMove(record, &move) || !places.Allowed(move.from) || !places.Allowed(move.to))) {
      return {LeftoverAction::kKeep, "journal not trusted"};
    }
  }
  switch (StateOf(records)) {
    case RunState::kCopy: {
      // The copy of the updater that runs this very update stays.
      Utils::FileFacts folder;
      const bool own = Utils::GetFileFacts(run.path, &folder) &&
                       Utils::LiesWithin(Utils::GetExeDirFilePath(L""), folder, true);
      return {own ? LeftoverAction::kSkip : LeftoverAction::kRemove, ""};
    }
    case RunState::kBegun:
    case RunState::kStarted:
    case RunState::kUndone:
      return {LeftoverAction::kRemove, ""};
    case RunState::kUndoing:
      return {LeftoverAction::kUndo, ""};
    case RunState::kSwitched:
      return {LeftoverAction::kFinish, ""};
    case RunState::kSwitching:
      break;
  }
  // The commit, when recorded, happened if its entry is where it put it.
  for (const std::string& record : records) {
    Move commit;
    if (!ParseMove(record, &commit) || commit.kind != MoveKind::kCommit) continue;
    if (IsEntry(SystemPath(layout, commit.to), commit.id)) return {LeftoverAction::kFinish, ""};
    if (!IsEntry(SystemPath(layout, commit.from), commit.id)) {
      return {LeftoverAction::kKeep, "its new client is gone"};
    }
  }
  // Not committed: the old client folder is in place, or where the run set
  // it aside; else the install changed since (another run switched), and
  // putting back what this run moved would undo a newer client's files.
  const EntryId old_client = SwitchedFrom(records);
  bool found = !old_client.known || IsEntry(SystemPath(layout, kClientBelow), old_client);
  for (const Move& move : MovesToUndo(records)) {
    found = found || (move.from == kClientBelow && IsEntry(SystemPath(layout, move.to), move.id));
  }
  if (!found) return {LeftoverAction::kKeep, "the install changed since"};
  return {LeftoverAction::kUndo, ""};
}

bool RecoverLeftovers(const InstallLayout& layout) {
  std::vector<Utils::ListedEntry> entries;
  if (!Utils::ListFolder(SystemPath(layout, StagingBelow()), &entries)) return true;
  struct Leftover {
    uint64_t started = 0;
    std::wstring below;
    JournalRead read = JournalRead::kNone;
    std::vector<std::string> records;
  };
  std::vector<Leftover> leftovers;
  for (const auto& [name, attributes, last_write] : entries) {
    if (!HasPrefix(name, kRunFolderPrefix)) continue;
    Leftover leftover;
    leftover.below = BelowJoin(StagingBelow(), name);
    const std::wstring system_folder = SystemPath(layout, leftover.below);
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      LOG(WARNING) << "leftover of an earlier run kept, not a folder:"
                   << PlainText(layout, leftover.below);
      continue;
    }
    if (HasSuffix(name, kRemovedSuffix)) {
      Utils::RemoveAll(JoinPath(layout.root, leftover.below));
      continue;
    }
    leftover.read = ReadJournal(system_folder, &leftover.records, &leftover.started);
    if (leftover.read == JournalRead::kNone && RemoveEmptyRunFolder(system_folder)) continue;
    leftovers.push_back(std::move(leftover));
  }
  std::sort(leftovers.begin(), leftovers.end(),
            [](const Leftover& a, const Leftover& b) { return a.started > b.started; });
  for (const Leftover& leftover : leftovers) {
    RunFolder run;
    run.Name(layout, leftover.below);
    const LeftoverDecision decision = DecideLeftover(layout, run, leftover.read, leftover.records);
    if (decision.action == LeftoverAction::kKeep) {
      LOG(WARNING) << "leftover of an earlier run kept, " << decision.why << ":"
                   << WideToUtf8(run.path);
      continue;
    }
    if (decision.action == LeftoverAction::kSkip) continue;
    LOG(INFO) << "leftover of an earlier run:" << WideToUtf8(run.path)
              << ",state:" << StateName(StateOf(leftover.records));
    if (!run.journal.Reopen(SystemPath(layout, run.below), leftover.records)) {
      const DWORD code = GetLastError();
      LOG(WARNING) << "leftover of an earlier run kept, journal not opened:" << WideToUtf8(run.path)
                   << ",getlasterror:" << code;
      continue;
    }
    bool settled = true;
    switch (decision.action) {
      case LeftoverAction::kRemove:
        // A run that never switched may have lost its executable to the
        // uninstall script: it goes back before the folder goes.
        if (StateOf(leftover.records) == RunState::kBegun) {
          int undone = 0;
          Undo(layout, &run, &undone);
        }
        RemoveRunFolder(layout, &run);
        break;
      case LeftoverAction::kUndo:
        if (!MovesToUndo(leftover.records).empty()) EndClientPrograms(layout);
        settled = PutBack(layout, &run);
        break;
      case LeftoverAction::kFinish:
        settled = Finish(layout, &run);
        break;
      default:
        break;
    }
    if (!settled) {
      LOG(ERROR) << "update refused, leftover of an earlier run cannot be put back:"
                 << WideToUtf8(run.path);
      return false;
    }
  }
  return true;
}

bool MakeRunFolder(const InstallLayout& layout, RunFolder* run) {
  const std::wstring staging = SystemPath(layout, StagingBelow());
  if (!Utils::IsDirectory(layout.staging_dir)) {
    if (!CreateDirectoryW(staging.c_str(), nullptr)) return false;
    run->made_staging_folder = true;
  }
  const std::wstring name = kRunFolderPrefix + std::to_wstring(GetCurrentProcessId());
  // A folder of an earlier run under this process id that could not be
  // removed: the next free name.
  for (int suffix = 1;; ++suffix) {
    const std::wstring below =
        BelowJoin(StagingBelow(), suffix == 1 ? name : name + L"-" + std::to_wstring(suffix));
    if (CreateDirectoryW(SystemPath(layout, below).c_str(), nullptr)) {
      run->Name(layout, below);
      // Where the volume keeps no identity across a rename (FAT), undoing
      // goes by whether an entry's place is free.
      std::wstring file_system;
      run->stable_ids = !Utils::GetFileSystemName(layout.root, &file_system) ||
                        (file_system.rfind(L"FAT", 0) != 0 && file_system != L"exFAT");
      return run->journal.Start(SystemPath(layout, below));
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS || suffix == 100) return false;
  }
}

bool MakeRunPart(const InstallLayout& layout, const std::wstring& below) {
  if (CreateDirectoryW(SystemPath(layout, below).c_str(), nullptr) ||
      GetLastError() == ERROR_ALREADY_EXISTS) {
    return true;
  }
  // The renames into it fail next; this says why.
  const DWORD code = GetLastError();
  LOG(ERROR) << "folder not made:" << WideToUtf8(JoinPath(layout.root, below))
             << ",getlasterror:" << code;
  return false;
}

bool BeginSwitch(const InstallLayout& layout, RunFolder* run) {
  return run->journal.Record(std::string(kJournalSwitching) + " " +
                             IdText(IdentityOf(SystemPath(layout, kClientBelow), run->stable_ids)));
}

bool MoveEntries(const InstallLayout& layout, RunFolder* run, std::vector<Move> moves,
                 const MoveOptions& options) {
  for (Move& move : moves) {
    if (!move.id.known) move.id = IdentityOf(SystemPath(layout, move.from), run->stable_ids);
  }
  if (!run->journal.RecordMoves(moves)) return false;
  for (const Move& move : moves) {
    const std::wstring from = SystemPath(layout, move.from);
    const std::wstring to = SystemPath(layout, move.to);
    DWORD code = 0;
    if (RenameEntry(from, to, options.attempts, &code, options.before_retry, options.context)) {
      continue;
    }
    // The volume reads the two names as one: the entry there wins.
    if (options.new_wins && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) continue;
    RecordFailedMove(from, to, code);
    return false;
  }
  return true;
}

bool Commit(const InstallLayout& layout, RunFolder* run, Move move,
            const std::function<bool()>& act) {
  move.kind = MoveKind::kCommit;
  move.id = IdentityOf(SystemPath(layout, move.from), run->stable_ids);
  return run->journal.RecordMoves({move}) && act() && run->journal.Record(kJournalSwitched);
}

bool MarkStarted(RunFolder* run) { return run->journal.Record(kJournalStarted); }

bool PutBack(const InstallLayout& layout, RunFolder* run) {
  // Should even this record fail, the journal's moves are all there is to
  // undo: a next run finds them.
  if (StateOf(run->journal.records()) != RunState::kUndoing) {
    run->journal.Record(kJournalUndoing);
  }
  int undone = 0;
  const bool complete = Undo(layout, run, &undone) && run->journal.Record(kJournalUndone);
  LOG(INFO) << "put back result:" << complete << ",entries:" << undone
            << ",from:" << WideToUtf8(run->path);
  if (complete) RemoveRunFolder(layout, run);
  return complete;
}

void RemoveRunFolder(const InstallLayout& layout, RunFolder* run) {
  if (run->path.empty()) return;
  run->journal.Close();
  const std::wstring folder = SystemPath(layout, run->below);
  if (Exists(SystemPath(layout, run->Part(kDisplaced)))) {
    // What an undo set aside stays, with the journal that says where it came
    // from; the rest goes.
    std::vector<Utils::ListedEntry> entries;
    Utils::ListFolder(folder, &entries);
    for (const Utils::ListedEntry& entry : entries) {
      if (entry.name != kDisplaced && entry.name != L"journal") {
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
  if (run->made_staging_folder) RemoveDirectoryW(SystemPath(layout, StagingBelow()).c_str());
}

std::wstring BelowJoin(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || name.empty()) return folder + name;
  return folder + long_paths::kSeparator + name;
}

std::wstring SystemPath(const InstallLayout& layout, const std::wstring& below) {
  return below.empty() ? layout.system_root : long_paths::ChildPath(layout.system_root, below);
}

EntryId IdentityOf(const std::wstring& system_path, bool stable) {
  Utils::FileFacts facts;
  EntryId id;
  if (stable && Utils::GetFileFacts(system_path, &facts, false)) {
    id.known = true;
    id.volume = facts.volume;
    id.index = facts.index;
  }
  return id;
}
