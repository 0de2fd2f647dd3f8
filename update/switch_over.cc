#include "update/switch_over.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "platform/durable.h"
#include "platform/listing.h"
#include "platform/long_paths.h"
#include "update/entries.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

// A rename of one entry of the merge: the system refuses it for
// a moment while another program (a scanner, an indexer) holds the file.
constexpr int kRenameAttempts = 8;
// Setting the client folder aside: its programs were just ended, and Windows
// lets go of their files only as they finish ending.
constexpr int kRenameAsideAttempts = 50;

// A new place in the run folder for an old entry that a new one replaces:
// "aside" and a number.
std::wstring NextAside(const InstallLayout& layout, RunFolder* run) {
  if (run->asides++ == 0) MakeRunPart(layout, run->Part(run_part::kAside));
  return BelowJoin(run->Part(run_part::kAside), std::to_wstring(run->asides));
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

  // True when every entry fits (or is in place); else `failed` names the
  // root's path of the entry that did not (the unpacked tree when it cannot
  // be read), and `why` what stands in its way.
  bool Run(std::wstring* failed, std::string* why) {
    if (Walk(L"")) return true;
    *failed = failed_.empty() ? unpacked_ : JoinPath(layout_.root, failed_);
    *why = why_;
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
    for (const auto& [name, attributes, last_write, size] : entries) {
      const std::wstring relative = BelowJoin(folder, name);
      // The run's own folders live in the staging folder: nothing lands there.
      if (IsStagingFolder(relative)) return Conflict(relative, "the staging folder");
      // The client folder is the plan's and the commit's (PlanCarry).
      if (relative == kClientBelow) continue;
      const DWORD target = GetFileAttributesW(SystemPath(layout_, relative).c_str());
      const bool source_folder = IsRealFolder(attributes);
      if (target == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return Fail(relative);
        if (!Rename({{RecordKind::kMove, Unpacked(relative), relative, {}}})) return false;
        ++moved_;
      } else if (const char* why = KindConflict(target, attributes)) {
        return Conflict(relative, why);
      } else if (source_folder) {
        if (!Walk(relative)) return false;
      } else if (run_ != nullptr) {
        // A file the root has: the old one aside, then the new one in.
        if (!Rename({{RecordKind::kMove, relative, NextAside(layout_, run_), {}},
                     {RecordKind::kMove, Unpacked(relative), relative, {}}})) {
          return false;
        }
        ++replaced_;
      }
    }
    return true;
  }

  // Below the install root: the entry `relative` of the unpacked tree (when
  // only looking, nothing).
  std::wstring Unpacked(const std::wstring& relative) const {
    return run_ == nullptr ? std::wstring() : BelowJoin(run_->Part(run_part::kUnpacked), relative);
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

  bool IsStagingFolder(const std::wstring& relative) const {
    Utils::FileFacts facts;
    return has_staging_ && relative.find(long_paths::kSeparator) == std::wstring::npos &&
           Utils::GetFileFacts(JoinPath(layout_.root, relative), &facts) &&
           facts.volume == staging_.volume && facts.index == staging_.index;
  }

  bool Conflict(const std::wstring& relative, const char* why) {
    failed_ = relative;
    why_ = why;
    if (run_ != nullptr) {
      LOG(ERROR) << "archive entry conflicts with the install root:"
                 << WideToUtf8(JoinPath(layout_.root, relative)) << "," << why;
    }
    return false;
  }

  bool Fail(const std::wstring& relative) {
    const DWORD code = GetLastError();
    failed_ = relative;
    why_ = "not read,getlasterror:" + std::to_string(code);
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
  std::string why_;
  int moved_ = 0;
  int replaced_ = 0;
  Utils::FileFacts staging_;
  bool has_staging_ = false;
};

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
  return Utils::GetFileSystemName(folder, &name) && !IsFatFamily(name);
}

void EndClientProgramsOf(void* client) { static_cast<ClientControl*>(client)->EndPrograms(); }

// The new client's folder in the run's unpacked archive, below the root.
std::wstring NewClientBelow(const RunFolder& run) {
  return BelowJoin(run.Part(run_part::kUnpacked), kClientBelow);
}

}  // namespace

bool SetClientAside(const InstallLayout& layout, RunFolder* run, ClientControl& client) {
  client.EndPrograms();
  MoveOptions options;
  options.attempts = kRenameAsideAttempts;
  options.before_retry = &EndClientProgramsOf;
  options.context = &client;
  const bool renamed = MoveEntries(
      layout, run, {{RecordKind::kMove, kClientBelow, run->Part(run_part::kOldClient), {}}},
      options);
  LOG(INFO) << "set aside result:" << renamed << ",from:" << WideToUtf8(layout.client_dir)
            << ",to:" << WideToUtf8(run->old_client);
  return renamed;
}

bool MakeNewClientDurable(const InstallLayout& layout, RunFolder* run, const std::wstring& tree,
                          const std::wstring& client) {
  std::vector<ManifestFile> manifest;
  std::vector<std::wstring> files;
  std::vector<std::wstring> folders = {SystemPath(layout, run->below)};
  // The tree, folder by folder: each file to flush, each below the client
  // folder into the manifest.
  std::vector<std::wstring> pending = {L""};
  bool listed = true;
  while (listed && !pending.empty()) {
    const std::wstring folder = pending.back();
    pending.pop_back();
    const std::wstring system_folder = SystemPath(layout, BelowJoin(tree, folder));
    folders.push_back(system_folder);
    std::vector<Utils::ListedEntry> entries;
    listed = Utils::ListFolder(system_folder, &entries);
    for (const Utils::ListedEntry& entry : entries) {
      const std::wstring relative = BelowJoin(folder, entry.name);
      if (IsRealFolder(entry.attributes)) {
        pending.push_back(relative);
        continue;
      }
      files.push_back(long_paths::ChildPath(system_folder, entry.name));
      if (IsSameOrBelowFolder(relative, client) && relative != client) {
        manifest.push_back(
            {client.empty() ? relative : relative.substr(client.size() + 1), entry.size});
      }
    }
  }
  const std::wstring system_run = SystemPath(layout, run->below);
  if (listed && WriteManifest(system_run, manifest)) {
    files.push_back(long_paths::ChildPath(system_run, run_part::kManifest));
    if (durable::FlushNewFiles(layout.system_root, files, folders)) return true;
  }
  const DWORD code = GetLastError();
  LOG(ERROR) << "update refused, new files not made durable:" << WideToUtf8(PlainPath(layout, tree))
             << ",getlasterror:" << code;
  return false;
}

bool FitsTheRoot(const InstallLayout& layout, const std::wstring& unpacked, std::wstring* conflict,
                 std::string* why) {
  return Merge(layout, unpacked, nullptr).Run(conflict, why);
}

bool PlanNewClient(const InstallLayout& layout, RunFolder* run, CarryPlan* plan,
                   std::wstring* conflict, std::string* why) {
  // Where a folder's time does not follow the entries it gains and loses
  // (FAT), no folder's plan is trusted: the last carry lists every folder.
  const uint64_t now = FolderTimesFollowEntries(layout.client_dir) ? Now() : UINT64_MAX;
  const std::wstring new_client = NewClientBelow(*run);
  CarryTrees trees;
  trees.old_client = SystemPath(layout, kClientBelow);
  trees.new_client = SystemPath(layout, new_client);
  trees.stable_ids = run->stable_ids;
  std::set<std::wstring> changed;
  trees.changed = &changed;
  if (!PlanCarry(trees, now, plan, conflict, why)) {
    *conflict = JoinPath(layout.client_dir, *conflict);
    return false;
  }
  // Its folders' new entries on disk with the rest of the new client.
  std::vector<std::wstring> folders;
  for (const std::wstring& folder : changed) {
    folders.push_back(SystemPath(layout, BelowJoin(new_client, folder)));
  }
  if (durable::FlushNewFiles(layout.system_root, {}, folders)) return true;
  *conflict = PlainPath(layout, new_client);
  *why = "not made durable,getlasterror:" + std::to_string(GetLastError());
  return false;
}

bool CarrySinceThePlan(const InstallLayout& layout, RunFolder* run, const CarryPlan& plan,
                       const std::wstring& from, const std::wstring& into) {
  CarryTrees trees;
  trees.old_client = SystemPath(layout, from);
  trees.new_client = SystemPath(layout, into);
  trees.stable_ids = run->stable_ids;
  std::set<std::wstring> changed;
  trees.changed = &changed;
  // What can neither be linked nor copied moves, recorded first.
  trees.move = [&](const std::wstring& old_entry, const std::wstring& new_entry) {
    MoveOptions options;
    options.attempts = kRenameAttempts;
    return MoveEntries(
        layout, run,
        {{RecordKind::kMove, BelowJoin(from, old_entry), BelowJoin(into, new_entry), {}}}, options);
  };
  const bool carried = CarryLast(trees, plan);
  for (const std::wstring& folder : changed) run->touched.insert(BelowJoin(into, folder));
  return carried;
}

bool SwitchOver(const InstallLayout& layout, RunFolder* run, const CarryPlan& plan,
                ClientControl& client) {
  // The uninstall script may have taken the client folder: then there is
  // nothing to carry over or to set aside.
  const bool had_client = Utils::IsDirectory(layout.client_dir);
  Merge merge(layout, run->unpacked, run);
  std::wstring failed;
  std::string why;
  const std::wstring new_client = NewClientBelow(*run);
  const Move commit = {RecordKind::kCommit, new_client, kClientBelow, {}};
  const bool ready = BeginSwitch(layout, run) && merge.Run(&failed, &why);
  const bool set_aside =
      ready && had_client && SetClientAside(layout, run, client) && SetAppearedAside(layout, run);
  // The old client folder is aside, its programs ended: what changed in it
  // since the plan, and what appeared at the client folder since, reach the
  // new client before the commit.
  const bool carried =
      (set_aside || (ready && !had_client)) &&
      (!had_client ||
       CarrySinceThePlan(layout, run, plan, run->Part(run_part::kOldClient), new_client)) &&
      CarrySinceThePlan(layout, run, CarryPlan(), run->Part(run_part::kAppeared), new_client);
  const bool done = carried && Commit(layout, run, commit, [&] {
                      return RenameOrRecord(SystemPath(layout, commit.from),
                                            SystemPath(layout, commit.to), kRenameAttempts);
                    });
  LOG(INFO) << "switch over result:" << done << ",moved:" << done + merge.moved()
            << ",replaced:" << set_aside + merge.replaced() << ",to:" << WideToUtf8(layout.root);
  return done;
}

bool SetAppearedAside(const InstallLayout& layout, RunFolder* run) {
  if (!EntryExists(SystemPath(layout, kClientBelow))) return true;
  MoveOptions options;
  options.attempts = kRenameAttempts;
  return MoveEntries(layout, run,
                     {{RecordKind::kMove, kClientBelow, run->Part(run_part::kAppeared), {}}},
                     options);
}
