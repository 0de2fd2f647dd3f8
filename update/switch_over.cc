#include "update/switch_over.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>
#include <vector>

#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

const wchar_t kClientBelow[] = L"Client";

namespace {

// A rename of one entry of the carry or the merge: the system refuses it for
// a moment while another program (a scanner, an indexer) holds the file.
constexpr int kRenameAttempts = 8;
// Setting the client folder aside: its programs were just ended, and Windows
// lets go of their files only as they finish ending.
constexpr int kRenameAsideAttempts = 50;
// A folder that changed this recently (in 100-nanosecond steps) may change
// again within the same tick of the file system's clock without its time
// changing: its plan is not trusted.
constexpr uint64_t kSettledSteps = 2 * 10000000ull;

bool IsFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A folder to enter: a folder that is no link.
bool IsRealFolder(DWORD attributes) {
  return IsFolder(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// One walk over the unpacked tree against the install root. Without a run
// it only looks for conflicts; with one it moves each entry the root lacks
// there whole, enters a folder both have, and for a file both have sets the
// root's aside first and moves the new one in, each move journaled first.
// The client folder itself is the commit's, not the merge's. Paths are
// kept below the unpacked tree; the file calls reach them through the
// trees' extended forms.
class Merge {
 public:
  Merge(const InstallLayout& layout, const std::wstring& unpacked, RunFolder* run)
      : layout_(layout),
        unpacked_(unpacked),
        system_source_(long_paths::ExtendedForm(unpacked)),
        run_(run) {
    has_staging_ = Utils::GetFileFacts(layout.staging_dir, &staging_);
  }

  // True when every entry fits (or is in place); `failed` names the root's
  // path of the entry that did not (the unpacked tree when it cannot be
  // read).
  bool Run(std::wstring* failed) {
    if (Walk(L"")) return true;
    *failed = failed_.empty() ? unpacked_ : JoinPath(layout_.root, failed_);
    return false;
  }

  int moved() const { return moved_; }
  int replaced() const { return replaced_; }

 private:
  bool Walk(const std::wstring& folder) {
    std::vector<Utils::ListedEntry> entries;
    const std::wstring source =
        folder.empty() ? system_source_ : long_paths::ChildPath(system_source_, folder);
    if (!Utils::ListFolder(source, &entries)) return Fail(L"");
    for (const auto& [name, attributes, last_write] : entries) {
      const std::wstring relative = BelowJoin(folder, name);
      // The run's own folders live in the staging folder: nothing lands there.
      if (IsStagingFolder(relative)) return Conflict(relative);
      if (run_ != nullptr && relative == kClientBelow) continue;
      const DWORD target = GetFileAttributesW(SystemPath(layout_, relative).c_str());
      const bool source_folder = IsRealFolder(attributes);
      if (target == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return Fail(relative);
        if (!Rename({{MoveKind::kMove, Unpacked(relative), relative, {}}})) return false;
        ++moved_;
      } else if (source_folder != IsRealFolder(target)) {
        return Conflict(relative);
      } else if (source_folder) {
        if (!Walk(relative)) return false;
      } else if (run_ != nullptr) {
        // A file the root has: the old one aside, then the new one in.
        if (!MakeAsideFolders(relative) ||
            !Rename({{MoveKind::kMove, relative, BelowJoin(run_->Part(L"aside"), relative), {}},
                     {MoveKind::kMove, Unpacked(relative), relative, {}}})) {
          return false;
        }
        ++replaced_;
      }
    }
    return true;
  }

  // Below the install root: the entry `relative` of the unpacked tree, and
  // of the folder for what it replaces (when only looking, nothing).
  std::wstring Unpacked(const std::wstring& relative) const {
    return run_ == nullptr ? std::wstring() : BelowJoin(run_->Part(L"new"), relative);
  }

  // The journaled renames; nothing when only looking.
  bool Rename(const std::vector<Move>& moves) {
    if (run_ == nullptr) return true;
    MoveOptions options;
    options.attempts = kRenameAttempts;
    if (MoveEntries(layout_, run_, moves, options)) return true;
    failed_ = moves.back().to;
    return false;
  }

  // The aside folder and each folder below it on the way to `relative`.
  bool MakeAsideFolders(const std::wstring& relative) {
    std::wstring folder = run_->Part(L"aside");
    for (size_t at = 0;;) {
      const std::wstring system_folder = SystemPath(layout_, folder);
      if (!CreateDirectoryW(system_folder.c_str(), nullptr) &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        const DWORD code = GetLastError();
        LOG(ERROR) << "folder not made:" << WideToUtf8(JoinPath(layout_.root, folder))
                   << ",getlasterror:" << code;
        failed_ = relative;
        return false;
      }
      const size_t next = relative.find(long_paths::kSeparator, at);
      if (next == std::wstring::npos) return true;
      folder = BelowJoin(run_->Part(L"aside"), relative.substr(0, next));
      at = next + 1;
    }
  }

  bool IsStagingFolder(const std::wstring& relative) const {
    Utils::FileFacts facts;
    return has_staging_ && relative.find(long_paths::kSeparator) == std::wstring::npos &&
           Utils::GetFileFacts(JoinPath(layout_.root, relative), &facts) &&
           facts.volume == staging_.volume && facts.index == staging_.index;
  }

  bool Conflict(const std::wstring& relative) {
    failed_ = relative;
    if (run_ != nullptr) {
      LOG(ERROR) << "archive entry conflicts with the install root:"
                 << WideToUtf8(JoinPath(layout_.root, relative));
    }
    return false;
  }

  bool Fail(const std::wstring& relative) {
    const DWORD code = GetLastError();
    failed_ = relative;
    if (run_ != nullptr) {
      LOG(ERROR) << "entry not read:" << WideToUtf8(JoinPath(unpacked_, relative))
                 << ",getlasterror:" << code;
    }
    return false;
  }

  const InstallLayout& layout_;
  const std::wstring unpacked_;
  const std::wstring system_source_;
  RunFolder* const run_;
  std::wstring failed_;
  int moved_ = 0;
  int replaced_ = 0;
  Utils::FileFacts staging_;
  bool has_staging_ = false;
};

// When the entry at `path` last changed, in 100-nanosecond steps since 1601;
// 0 when the system cannot tell.
uint64_t LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return Utils::StepsOf(data.ftLastWriteTime);
}

// Now, in the same steps.
uint64_t Now() {
  constexpr uint64_t kStepsFrom1601To1970 = 116444736000000000ull;
  const auto since_1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return kStepsFrom1601To1970 + static_cast<uint64_t>(since_1970.count()) / 100;
}

// Whether the file system of `folder` marks a folder changed whenever an
// entry is added to it, removed or renamed (NTFS and ReFS, and POSIX file
// systems, do; FAT does not). False when the system cannot tell.
bool FolderTimesFollowEntries(const std::wstring& folder) {
  std::wstring name;
  return Utils::GetFileSystemName(folder, &name) && name.rfind(L"FAT", 0) != 0 && name != L"exFAT";
}

// The entry named `name` of a listing sorted by name, or the listing's end.
std::vector<Utils::ListedEntry>::const_iterator Find(const std::vector<Utils::ListedEntry>& entries,
                                                     const std::wstring& name) {
  const auto found = std::lower_bound(
      entries.begin(), entries.end(), name,
      [](const Utils::ListedEntry& entry, const std::wstring& key) { return entry.name < key; });
  return found != entries.end() && found->name == name ? found : entries.end();
}

// The folder `relative` of the old client (below the client folder) in
// both clients, below the install root, and in the forms file calls take.
struct ClientFolder {
  ClientFolder(const InstallLayout& layout, const RunFolder& run, const std::wstring& relative)
      : old_below(BelowJoin(kClientBelow, relative)),
        new_below(BelowJoin(BelowJoin(run.Part(L"new"), kClientBelow), relative)),
        system_old(SystemPath(layout, old_below)),
        system_new(SystemPath(layout, new_below)) {}
  const std::wstring old_below;
  const std::wstring new_below;
  const std::wstring system_old;
  const std::wstring system_new;
};

// Fills in the entries of the old folder (listed in `olds`) that the new one
// (listed in `folder->news`) lacks, with their identities, and the
// sub-folders both have; links are entries, never folders to enter. False
// when an entry is a file in one and a folder in the other (`conflict`
// names it).
bool Compare(const ClientFolder& paths, const std::vector<Utils::ListedEntry>& olds,
             bool stable_ids, PlannedFolder* folder, std::wstring* conflict) {
  folder->old_only.clear();
  folder->old_ids.clear();
  folder->both.clear();
  for (const auto& [name, attributes, last_write] : olds) {
    const auto found = Find(folder->news, name);
    if (found == folder->news.end()) {
      folder->old_only.push_back(name);
      folder->old_ids.push_back(
          IdentityOf(long_paths::ChildPath(paths.system_old, name), stable_ids));
    } else if (IsRealFolder(attributes) != IsRealFolder(found->attributes)) {
      *conflict = name;
      return false;
    } else if (IsRealFolder(attributes)) {
      folder->both.push_back(name);
    }
  }
  return true;
}

// Plans the folder `relative` of the old client, and the sub-folders both
// clients have. A folder that changed just now is planned too, to be listed
// again when the switch comes to it.
void Plan(const InstallLayout& layout, RunFolder* run, const std::wstring& relative, uint64_t now) {
  PlannedFolder folder;
  const ClientFolder paths(layout, *run, relative);
  folder.last_write = LastWrite(paths.system_old);
  if (folder.last_write + kSettledSteps > now) folder.last_write = 0;
  std::vector<Utils::ListedEntry> olds;
  std::wstring conflict;
  if (!Utils::ListFolder(paths.system_old, &olds) ||
      !Utils::ListFolder(paths.system_new, &folder.news) ||
      !Compare(paths, olds, run->stable_ids, &folder, &conflict)) {
    return;  // listed when the switch comes to it
  }
  for (const std::wstring& name : folder.both) Plan(layout, run, BelowJoin(relative, name), now);
  run->carry_plan[relative] = std::move(folder);
}

// Carries what only the old client has in the folder `relative` (and below)
// into the new client folder: from the plan when the folder has not changed
// since, else from a new listing of it; one journal record for the folder's
// moves. `listed_write`: when the folder last changed as its parent's new
// listing gave it, 0 when the folder is to be asked. False when a rename
// failed or met a conflict.
bool Carry(const InstallLayout& layout, RunFolder* run, const std::wstring& relative,
           uint64_t listed_write, int* carried) {
  const ClientFolder paths(layout, *run, relative);
  PlannedFolder& folder = run->carry_plan[relative];  // one not planned: nothing known
  const bool settled =
      folder.last_write != 0 &&
      (listed_write != 0 ? listed_write : LastWrite(paths.system_old)) == folder.last_write;
  // The new side of a folder as planned is still as it was listed.
  std::vector<Utils::ListedEntry> olds;
  std::wstring conflict;
  const bool known =
      settled || ((!folder.news.empty() || Utils::ListFolder(paths.system_new, &folder.news)) &&
                  Utils::ListFolder(paths.system_old, &olds) &&
                  Compare(paths, olds, run->stable_ids, &folder, &conflict));
  if (!known) {
    const DWORD code = GetLastError();
    LOG(ERROR) << "old client entry not carried over:"
               << WideToUtf8(JoinPath(layout.root, paths.old_below))
               << (conflict.empty() ? ",getlasterror:" + std::to_string(code)
                                    : ",conflicts with:" + WideToUtf8(conflict));
    return false;
  }
  std::vector<Move> moves;
  for (size_t i = 0; i < folder.old_only.size(); ++i) {
    const std::wstring& name = folder.old_only[i];
    moves.push_back({MoveKind::kMove, BelowJoin(paths.old_below, name),
                     BelowJoin(paths.new_below, name), folder.old_ids[i]});
  }
  MoveOptions options;
  options.attempts = kRenameAttempts;
  options.new_wins = true;
  if (!MoveEntries(layout, run, moves, options)) return false;
  *carried += static_cast<int>(moves.size());
  for (const std::wstring& name : folder.both) {
    // Where a listing reads each entry itself, the one just made gives each
    // sub-folder's time without asking the sub-folder again.
    const auto listed = Find(olds, name);
    if (!Carry(layout, run, BelowJoin(relative, name),
               listed == olds.end() ? 0 : listed->last_write, carried)) {
      return false;
    }
  }
  return true;
}

void EndClientProgramsOf(void* layout) {
  EndClientPrograms(*static_cast<const InstallLayout*>(layout));
}

}  // namespace

std::wstring StagingBelow() { return L"qxcg_update_tmp"; }

std::wstring StagedClientBelow() { return BelowJoin(StagingBelow(), kClientBelow); }

void RunFolder::Name(const InstallLayout& layout, const std::wstring& below_root) {
  below = below_root;
  path = JoinPath(layout.root, below);
  unpacked = JoinPath(path, L"new");
  old_client = JoinPath(path, L"old");
  replaced = JoinPath(path, L"aside");
  kept_exe = JoinPath(path, kClientProcessName);
}

void EndClientPrograms(const InstallLayout& layout) {
  const int32_t killed = Utils::KillProcessesByName(kClientProcessName) +
                         Utils::KillProcessesInFolder(layout.client_dir, kClientProcessName);
  if (killed == 0) return;
  LOG(INFO) << killed << " process killed," << WideToUtf8(layout.client_dir);
  Sleep(16);
}

bool SetClientAside(const InstallLayout& layout, RunFolder* run) {
  EndClientPrograms(layout);
  MoveOptions options;
  options.attempts = kRenameAsideAttempts;
  options.before_retry = &EndClientProgramsOf;
  options.context = const_cast<InstallLayout*>(&layout);
  const bool renamed =
      MoveEntries(layout, run, {{MoveKind::kMove, kClientBelow, run->Part(L"old"), {}}}, options);
  LOG(INFO) << "set aside result:" << renamed << ",from:" << WideToUtf8(layout.client_dir)
            << ",to:" << WideToUtf8(run->old_client);
  return renamed;
}

bool FitsTheRoot(const InstallLayout& layout, const std::wstring& unpacked,
                 std::wstring* conflict) {
  return Merge(layout, unpacked, nullptr).Run(conflict);
}

void PlanCarry(const InstallLayout& layout, RunFolder* run) {
  run->carry_plan.clear();
  // Where a folder's time does not follow the entries it gains and loses
  // (FAT), no plan is trusted: the switch lists every folder.
  if (!FolderTimesFollowEntries(layout.client_dir)) return;
  Plan(layout, run, L"", Now());
}

bool SwitchOver(const InstallLayout& layout, RunFolder* run) {
  // The uninstall script may have taken the client folder: then there is
  // nothing to carry over or to set aside.
  const bool had_client = Utils::IsDirectory(layout.client_dir);
  int carried = 0;
  Merge merge(layout, run->unpacked, run);
  std::wstring failed;
  const Move commit = {
      MoveKind::kCommit, BelowJoin(run->Part(L"new"), kClientBelow), kClientBelow, {}};
  const bool ready = BeginSwitch(layout, run) &&
                     (!had_client || Carry(layout, run, L"", 0, &carried)) && merge.Run(&failed);
  const bool set_aside = ready && had_client && SetClientAside(layout, run);
  const bool done = ready && (set_aside || !had_client) && Commit(layout, run, commit, [&] {
                      const std::wstring from = SystemPath(layout, commit.from);
                      const std::wstring to = SystemPath(layout, commit.to);
                      DWORD code = 0;
                      if (RenameEntry(from, to, kRenameAttempts, &code)) return true;
                      RecordFailedMove(from, to, code);
                      return false;
                    });
  LOG(INFO) << "switch over result:" << done << ",moved:" << done + merge.moved()
            << ",replaced:" << set_aside + merge.replaced() << ",carried:" << carried
            << ",to:" << WideToUtf8(layout.root);
  return done;
}
