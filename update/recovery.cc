#include "update/recovery.h"

#include <algorithm>
#include <map>
#include <utility>

#include "platform/long_paths.h"
#include "update/entries.h"
#include "update/switch_over.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

// The places a run uses below the install root, against which the paths of
// an earlier run's journal are checked: the run folder itself, the staged
// client folder, and every entry of the root but the staging folder, each
// reached without a link that leads elsewhere.
class Places {
 public:
  Places(const InstallLayout& layout, const RunFolder& run) : layout_(layout), run_(run.below) {}

  bool Allowed(const std::wstring& below) {
    if (below == StagedClientBelow()) return true;
    if (below != run_ && IsSameOrBelowFolder(below, run_)) return Within(ParentBelow(below), run_);
    if (IsSameOrBelowFolder(below, kStagingBelow)) return false;
    return Within(ParentBelow(below), L"");
  }

 private:
  // Whether the folder `below` lies in `outer` without a link on the way.
  bool Within(const std::wstring& below, const std::wstring& outer) {
    const auto known = checked_.find(below);
    if (known != checked_.end()) return known->second;
    return checked_[below] = FolderWithin(layout_, below, outer);
  }

  const InstallLayout& layout_;
  const std::wstring run_;
  std::map<std::wstring, bool> checked_;
};

// Removes a run folder that holds nothing, or only a journal without one
// whole record: a run ended before it wrote its first record, having changed
// nothing.
bool RemoveEmptyRunFolder(const std::wstring& system_folder) {
  std::vector<Utils::ListedEntry> entries;
  if (Utils::ListFolder(system_folder, &entries) && entries.size() == 1 &&
      entries.front().name == run_part::kJournal) {
    DeleteFileW(long_paths::ChildPath(system_folder, run_part::kJournal).c_str());
  }
  return RemoveDirectoryW(system_folder.c_str()) != FALSE;
}

// A switch found complete: the new client runs, started now when its run
// ended before, then the old copy goes. A new client that cannot start is
// undone: the old client comes back with what the user saved with the new
// one since (update/carry.h), and the run goes on. False when the undo cannot
// complete.
bool Finish(const InstallLayout& layout, RunFolder* run, ClientControl& client) {
  if (run->state() == RunState::kCommitting && !ConfirmCommit(layout, run)) return false;
  if (run->state() == RunState::kSwitched && !client.Runs() && !client.Start()) {
    LOG(WARNING) << "the new client of an earlier run does not start, the old one comes back:"
                 << WideToUtf8(run->path);
    client.EndPrograms();
    return PutBack(layout, run);
  }
  if (run->state() == RunState::kSwitched) MarkStarted(run);
  RemoveRunFolder(layout, run);
  return true;
}

}  // namespace

LeftoverDecision DecideLeftover(const InstallLayout& layout, const RunFolder& run, JournalRead read,
                                const JournalContents& contents) {
  if (read != JournalRead::kRead) {
    return {LeftoverAction::kKeep,
            read == JournalRead::kNone ? "no journal" : "journal not trusted"};
  }
  RunState state = RunState::kNone;
  if (!ReplayJournal(contents.records, &state)) {
    return {LeftoverAction::kKeep, "journal not trusted"};
  }
  Places places(layout, run);
  for (const std::string& text : contents.records) {
    Record record;
    ParseRecord(text, &record);
    const bool is_move = record.kind == RecordKind::kMove || record.kind == RecordKind::kCommit ||
                         record.kind == RecordKind::kDisplace;
    if (is_move && (!places.Allowed(record.move.from) || !places.Allowed(record.move.to))) {
      return {LeftoverAction::kKeep, "journal not trusted", state};
    }
  }
  switch (state) {
    case RunState::kCopy: {
      // The copy of the updater that runs this very update stays.
      Utils::FileFacts folder;
      const bool own = Utils::GetFileFacts(run.path, &folder) &&
                       Utils::LiesWithin(Utils::GetExeDirFilePath(L""), folder, true);
      return {own ? LeftoverAction::kSkip : LeftoverAction::kRemove, "", state};
    }
    case RunState::kNone:
    case RunState::kBegun:
    case RunState::kStarted:
    case RunState::kUndone:
      return {LeftoverAction::kRemove, "", state};
    case RunState::kUndoing:
      return {LeftoverAction::kUndo, "", state};
    case RunState::kSwitching:
    case RunState::kCommitting:
    case RunState::kSwitched:
      break;
  }
  // The commit, when recorded, happened if the disk shows it: its entry where
  // it put it (a file system may keep the record and lose the rename, even
  // after "switched"), or, where identities changed (a copied install), its
  // source gone and something in its place once the old client was set
  // aside. A switch not made, or whose new client is not whole on disk, is
  // undone, whatever became of its new client: the undo merges what it puts
  // back with whatever stands there since.
  for (const Move& move : MovesMade(contents.records)) {
    if (move.kind != RecordKind::kCommit) continue;
    const bool made =
        IsEntry(SystemPath(layout, move.to), move.id) ||
        (!EntryExists(SystemPath(layout, move.from)) && EntryExists(SystemPath(layout, move.to)) &&
         (IsSameOrBelowFolder(move.from, run.below) ||
          EntryNamed(SystemPath(layout, run.Part(run_part::kOldClient)))));
    std::string why;
    if (made && StateHolds(layout, run.below, RunState::kSwitched, &why)) {
      return {LeftoverAction::kFinish, "", state};
    }
  }
  return {LeftoverAction::kUndo, "", state};
}

bool RecoverLeftovers(const InstallLayout& layout, ClientControl& client) {
  std::vector<Utils::ListedEntry> entries;
  if (!Utils::ListFolder(SystemPath(layout, kStagingBelow), &entries)) return true;
  struct Leftover {
    std::wstring below;
    JournalRead read = JournalRead::kNone;
    JournalContents contents;
  };
  std::vector<Leftover> leftovers;
  for (const auto& [name, attributes, last_write, size] : entries) {
    if (!StartsWith(name, kRunFolderPrefix)) continue;
    Leftover leftover;
    leftover.below = BelowJoin(kStagingBelow, name);
    const std::wstring system_folder = SystemPath(layout, leftover.below);
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      LOG(WARNING) << "leftover of an earlier run kept, not a folder:"
                   << WideToUtf8(PlainPath(layout, leftover.below));
      continue;
    }
    if (EndsWith(name, kRemovedSuffix)) {
      Utils::RemoveAll(PlainPath(layout, leftover.below));
      continue;
    }
    leftover.read = ReadJournal(system_folder, &leftover.contents);
    if (leftover.read == JournalRead::kNone && RemoveEmptyRunFolder(system_folder)) continue;
    leftovers.push_back(std::move(leftover));
  }
  std::sort(leftovers.begin(), leftovers.end(), [](const Leftover& a, const Leftover& b) {
    return a.contents.started > b.contents.started;
  });
  for (const Leftover& leftover : leftovers) {
    RunFolder run;
    run.Name(layout, leftover.below);
    const LeftoverDecision decision = DecideLeftover(layout, run, leftover.read, leftover.contents);
    if (decision.action == LeftoverAction::kKeep) {
      LOG(WARNING) << "leftover of an earlier run kept, " << decision.why << ":"
                   << WideToUtf8(run.path);
      continue;
    }
    if (decision.action == LeftoverAction::kSkip) continue;
    LOG(INFO) << "leftover of an earlier run:" << WideToUtf8(run.path)
              << ",state:" << StateName(decision.state);
    if (!ResumeRun(layout, leftover.below, leftover.contents, &run)) {
      const DWORD code = GetLastError();
      LOG(WARNING) << "leftover of an earlier run kept, journal not opened:" << WideToUtf8(run.path)
                   << ",getlasterror:" << code;
      continue;
    }
    bool settled = true;
    switch (decision.action) {
      case LeftoverAction::kRemove:
        // A run of an earlier version that never switched may have lost its
        // executable to the uninstall script: it goes back before the folder
        // goes.
        if (run.state() == RunState::kBegun &&
            (!RestoreSetAside(layout, &run) || !RestoreKeptExecutable(layout, &run))) {
          settled = false;
          break;
        }
        RemoveRunFolder(layout, &run);
        break;
      case LeftoverAction::kUndo:
        if (!MovesMade(leftover.contents.records).empty()) client.EndPrograms();
        settled = PutBack(layout, &run);
        break;
      case LeftoverAction::kFinish:
        settled = Finish(layout, &run, client);
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
