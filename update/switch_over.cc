#include "update/switch_over.h"

#include <algorithm>
#include <chrono>
#include <functional>
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

// What stands in the way where the old client's entry (attributes `old`) and
// the new one's are not both folders or both not; null where they agree.
// A link the user put in place of a folder is not followed.
const char* KindConflict(DWORD old, DWORD new_entry) {
  if (IsRealFolder(old) == IsRealFolder(new_entry)) return nullptr;
  return !IsRealFolder(new_entry) ? "a folder where the archive has a file"
         : IsFolder(old)          ? "a link where the archive has a folder"
                                  : "a file where the archive has a folder";
}

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
  return Utils::GetFileSystemName(folder, &name) && !IsFatFamily(name);
}

// The folder `relative` of the old client (below the client folder) in
// both clients, below the install root, and in the forms file calls take.
struct ClientFolder {
  ClientFolder(const InstallLayout& layout, const RunFolder& run, const std::wstring& relative)
      : old_below(BelowJoin(kClientBelow, relative)),
        new_below(BelowJoin(BelowJoin(run.Part(run_part::kUnpacked), kClientBelow), relative)),
        system_old(SystemPath(layout, old_below)),
        system_new(SystemPath(layout, new_below)) {}
  const std::wstring old_below;
  const std::wstring new_below;
  const std::wstring system_old;
  const std::wstring system_new;
};

// Whether a name that one listing lacks names an entry of the other folder
// all the same: a short (8.3) name, which only the volume resolves.
bool NamesAnEntryIn(const std::wstring& system_folder, const std::wstring& name) {
  return name.find(L'~') != std::wstring::npos &&
         GetFileAttributesW(long_paths::ChildPath(system_folder, name).c_str()) !=
             INVALID_FILE_ATTRIBUTES;
}

// Plans the carry in one folder that both clients have, from the listings of
// its old side (`olds`) and its new side (`folder->news`): the sub-folders
// both have, and the moves of the side with fewer entries to move into the
// other side's folder, so that the carry costs what the new client brings,
// not what the user keeps. Into the new side: each entry that only the old
// client has. Into the old side (never for the client folder itself, whose
// new side is the commit's): each entry that only the new client has, and
// each file both have once the old one is set aside. Where both name one
// entry (its long name, letter case as the volume reads it) the new one wins,
// and the old one stays with the old copy. A short (8.3) alias is another
// name: an old entry named like a new one's short form stays with the old
// copy for the last carry to keep beside it (the volume refuses it the name
// in the new folder), and a folder where a new entry is named like an old
// one's short form is carried into the new side, where the volume gives the
// old entry a short name of its own. Links are entries, never folders to
// enter. False when an entry is a folder in one and not in the other
// (`conflict` names it).
constexpr uint64_t kNotIntoOld = UINT64_MAX / 4;
// Which way Compare carries a folder: the cheaper for the folder alone, or
// the way asked for (into the old side only where it may be).
enum class Way { kCheaper, kIntoNew, kIntoOld };

bool Compare(const InstallLayout& layout, RunFolder* run, const std::wstring& relative,
             const std::vector<Utils::ListedEntry>& olds, PlannedFolder* folder,
             std::wstring* conflict, std::string* why, Way way = Way::kCheaper) {
  const ClientFolder paths(layout, *run, relative);
  std::vector<std::wstring> old_only;
  std::vector<std::wstring> into_old;   // new entries only the new client has
  std::vector<std::wstring> old_files;  // the old side's files both have, and what
  std::vector<std::wstring> new_files;  // the new side names them
  folder->both.clear();
  folder->olds.clear();
  for (const Utils::ListedEntry& entry : olds) folder->olds.push_back(entry.name);
  for (const auto& [name, attributes, last_write, size] : olds) {
    const auto found = FindNamed(folder->news, name);
    if (found == folder->news.end()) {
      old_only.push_back(name);
    } else if (const char* kinds = KindConflict(attributes, found->attributes)) {
      *conflict = BelowJoin(paths.old_below, name);
      *why = kinds;
      return false;
    } else if (IsRealFolder(attributes)) {
      folder->both.push_back(found->name);
    } else {
      old_files.push_back(name);
      new_files.push_back(found->name);
    }
  }
  bool aliased = false;
  for (const Utils::ListedEntry& entry : folder->news) {
    if (FindNamed(olds, entry.name) != olds.end()) continue;
    into_old.push_back(entry.name);
    aliased = aliased || NamesAnEntryIn(paths.system_old, entry.name);
  }
  const bool may_go_into_old = !relative.empty() && !aliased;
  folder->cost_new = old_only.size();
  folder->cost_old = may_go_into_old ? into_old.size() + 2 * old_files.size() : kNotIntoOld;
  folder->into_old =
      may_go_into_old &&
      (way == Way::kCheaper ? folder->cost_old + 2 < folder->cost_new : way == Way::kIntoOld);
  folder->moves.clear();
  const auto add = [&](const std::wstring& from, const std::wstring& to) {
    folder->moves.push_back(
        {RecordKind::kMove, from, to, IdentityOf(SystemPath(layout, from), run->stable_ids)});
  };
  if (!folder->into_old) {
    for (const std::wstring& name : old_only) {
      add(BelowJoin(paths.old_below, name), BelowJoin(paths.new_below, name));
    }
    return true;
  }
  for (size_t i = 0; i < old_files.size(); ++i) {
    add(BelowJoin(paths.old_below, old_files[i]), NextAside(layout, run));
    add(BelowJoin(paths.new_below, new_files[i]), BelowJoin(paths.old_below, new_files[i]));
  }
  for (const std::wstring& name : into_old) {
    add(BelowJoin(paths.new_below, name), BelowJoin(paths.old_below, name));
  }
  return true;
}

// Plans the folder `relative` of the old client, and the sub-folders both
// clients have. A folder that changed just before `now` is planned too, to
// be listed again when the switch comes to it. False at a conflict (see
// Compare).
bool Plan(const InstallLayout& layout, RunFolder* run, CarryPlan* plan,
          const std::wstring& relative, uint64_t now, std::wstring* conflict, std::string* why) {
  PlannedFolder folder;
  const ClientFolder paths(layout, *run, relative);
  folder.last_write = LastWrite(paths.system_old);
  if (folder.last_write + kSettledSteps > now) folder.last_write = 0;
  std::vector<Utils::ListedEntry> olds;
  if (!Utils::ListFolder(paths.system_old, &olds) ||
      !Utils::ListFolder(paths.system_new, &folder.news)) {
    return true;  // listed when the switch comes to it
  }
  SortByName(&olds);
  SortByName(&folder.news);
  if (!Compare(layout, run, relative, olds, &folder, conflict, why)) return false;
  // The way that costs the fewest renames for the whole sub-tree: a folder
  // whose sub-folders go one way goes that way too rather than relocating
  // each of them.
  uint64_t below_new = 0;
  uint64_t below_old = 0;
  for (const std::wstring& name : folder.both) {
    const std::wstring child = BelowJoin(relative, name);
    if (!Plan(layout, run, plan, child, now, conflict, why)) return false;
    const auto planned = plan->find(child);
    if (planned == plan->end()) continue;
    below_new += std::min(planned->second.cost_new, planned->second.cost_old + 2);
    below_old += std::min(planned->second.cost_old, planned->second.cost_new + 2);
  }
  const uint64_t own_new = folder.cost_new;
  const uint64_t own_old = folder.cost_old;
  const bool into_old = own_old < kNotIntoOld && own_old + below_old < own_new + below_new;
  if (into_old != folder.into_old && !Compare(layout, run, relative, olds, &folder, conflict, why,
                                              into_old ? Way::kIntoOld : Way::kIntoNew)) {
    return false;
  }
  folder.cost_new = own_new + below_new;
  folder.cost_old = own_old < kNotIntoOld ? own_old + below_old : kNotIntoOld;
  folder.planned = true;
  (*plan)[relative] = std::move(folder);
  return true;
}

// Moves the result of the sub-folder `relative`, carried the other way than
// its parent, to the side where its parent's result is, the folder left on
// that side set aside first.
void Relocate(const InstallLayout& layout, RunFolder* run, const std::wstring& relative,
              bool parent_into_old, std::vector<Move>* moves) {
  const ClientFolder paths(layout, *run, relative);
  const std::wstring& result = parent_into_old ? paths.new_below : paths.old_below;
  const std::wstring& place = parent_into_old ? paths.old_below : paths.new_below;
  moves->push_back({RecordKind::kMove, place, NextAside(layout, run), {}});
  moves->push_back({RecordKind::kMove, result, place, {}});
}

// The moves that carry what only the old client has in the folder
// `relative` (and below) into the new client folder, in the order they are
// made: from the plan when the folder has not changed since, else from a new
// listing of it. `listed_write`: when the folder last changed as its
// parent's new listing gave it, 0 when the folder is to be asked. False when
// a folder cannot be read or meets a conflict.
bool Carry(const InstallLayout& layout, RunFolder* run, CarryPlan* plan,
           const std::wstring& relative, uint64_t listed_write, std::vector<Move>* moves,
           int* carried) {
  const ClientFolder paths(layout, *run, relative);
  PlannedFolder& folder = (*plan)[relative];  // one not planned: nothing known
  const bool settled =
      folder.last_write != 0 &&
      (listed_write != 0 ? listed_write : LastWrite(paths.system_old)) == folder.last_write;
  // The new side of a folder as planned is still as it was listed.
  std::vector<Utils::ListedEntry> olds;
  std::wstring conflict;
  std::string why;
  if (!settled && folder.news.empty() && Utils::ListFolder(paths.system_new, &folder.news)) {
    SortByName(&folder.news);
  }
  // A folder that changed keeps the way planned for it, its sub-tree in mind.
  const Way way = !folder.planned ? Way::kCheaper : folder.into_old ? Way::kIntoOld : Way::kIntoNew;
  const bool known =
      settled || (Utils::ListFolder(paths.system_old, &olds) && (SortByName(&olds), true) &&
                  Compare(layout, run, relative, olds, &folder, &conflict, &why, way));
  if (!known) {
    const DWORD code = GetLastError();
    LOG(ERROR) << "old client entry not carried over:"
               << WideToUtf8(JoinPath(layout.root, paths.old_below))
               << (conflict.empty() ? ",getlasterror:" + std::to_string(code) : "," + why);
    return false;
  }
  moves->insert(moves->end(), folder.moves.begin(), folder.moves.end());
  *carried += static_cast<int>(folder.moves.size());
  for (const std::wstring& name : folder.both) {
    // Where a listing reads each entry itself, the one just made gives each
    // sub-folder's time without asking the sub-folder again.
    const auto listed = FindNamed(olds, name);
    const std::wstring child = BelowJoin(relative, name);
    if (!Carry(layout, run, plan, child, listed == olds.end() ? 0 : listed->last_write, moves,
               carried)) {
      return false;
    }
    if ((*plan)[child].into_old != folder.into_old) {
      Relocate(layout, run, child, folder.into_old, moves);
    }
  }
  return true;
}

void EndClientProgramsOf(void* client) { static_cast<ClientControl*>(client)->EndPrograms(); }

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

bool NewClientWhole(const InstallLayout& layout, const RunFolder& run) {
  std::vector<ManifestFile> files;
  if (!ReadManifest(SystemPath(layout, run.below), &files)) {
    // An earlier version wrote none; this one makes it durable before the
    // switch begins.
    return !EntryExists(SystemPath(layout, run.Part(run_part::kManifest)));
  }
  for (const ManifestFile& file : files) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    const std::wstring path = SystemPath(layout, BelowJoin(kClientBelow, file.path));
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) < file.size) {
      LOG(WARNING) << "new client not whole on disk:"
                   << WideToUtf8(PlainPath(layout, BelowJoin(kClientBelow, file.path)));
      return false;
    }
  }
  return true;
}

bool FitsTheRoot(const InstallLayout& layout, const std::wstring& unpacked, std::wstring* conflict,
                 std::string* why) {
  return Merge(layout, unpacked, nullptr).Run(conflict, why);
}

bool PlanCarry(const InstallLayout& layout, RunFolder* run, CarryPlan* plan, std::wstring* conflict,
               std::string* why) {
  plan->clear();
  // Where a folder's time does not follow the entries it gains and loses
  // (FAT), no folder's plan is trusted: the switch lists every folder.
  const bool trusted = FolderTimesFollowEntries(layout.client_dir);
  std::wstring below;
  if (Plan(layout, run, plan, L"", trusted ? Now() : UINT64_MAX, &below, why)) return true;
  *conflict = JoinPath(layout.root, below);
  return false;
}

bool SwitchOver(const InstallLayout& layout, RunFolder* run, CarryPlan* plan,
                ClientControl& client) {
  // The uninstall script may have taken the client folder: then there is
  // nothing to carry over or to set aside.
  const bool had_client = Utils::IsDirectory(layout.client_dir);
  int carried = 0;
  Merge merge(layout, run->unpacked, run);
  std::wstring failed;
  std::string why;
  const Move commit = {RecordKind::kCommit,
                       BelowJoin(run->Part(run_part::kUnpacked), kClientBelow),
                       kClientBelow,
                       {}};
  // The whole carry is recorded and flushed at once, so that the client is
  // down for the same time whatever the number of folders both clients have.
  std::vector<Move> carry;
  MoveOptions options;
  options.attempts = kRenameAttempts;
  options.new_wins_in = BelowJoin(run->Part(run_part::kUnpacked), kClientBelow);
  const bool ready = BeginSwitch(layout, run) &&
                     (!had_client || (Carry(layout, run, plan, L"", 0, &carry, &carried) &&
                                      MoveEntries(layout, run, carry, options))) &&
                     merge.Run(&failed, &why);
  const bool set_aside =
      ready && had_client && SetClientAside(layout, run, client) && SetAppearedAside(layout, run);
  const bool done = ready && (set_aside || !had_client) && Commit(layout, run, commit, [&] {
                      return RenameOrRecord(SystemPath(layout, commit.from),
                                            SystemPath(layout, commit.to), kRenameAttempts);
                    });
  LOG(INFO) << "switch over result:" << done << ",moved:" << done + merge.moved()
            << ",replaced:" << set_aside + merge.replaced() << ",carried:" << carried
            << ",to:" << WideToUtf8(layout.root);
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

bool CarryLast(const InstallLayout& layout, RunFolder* run, const CarryPlan* plan,
               bool from_old_copy) {
  // Everything set aside there appeared while the switch ran.
  const bool appeared_carried = CarryInto(
      SystemPath(layout, run->Part(run_part::kAppeared)), SystemPath(layout, kClientBelow),
      [](const std::wstring&, const std::wstring&) { return true; }, kRenameAttempts);
  if (!from_old_copy) {
    return appeared_carried &&
           durable::FlushNewFiles(layout.system_root, {}, {SystemPath(layout, kClientBelow)});
  }
  // A name that the old side did not have when its folder was carried
  // appeared since: kept beside the new client's.
  const auto appeared = [plan](const std::wstring& folder, const std::wstring& name) {
    if (plan == nullptr) return false;
    const auto planned = plan->find(folder);
    return planned != plan->end() &&
           !std::binary_search(planned->second.olds.begin(), planned->second.olds.end(), name,
                               [](const std::wstring& a, const std::wstring& b) {
                                 return listing::CompareNames(a, b) < 0;
                               });
  };
  // A folder of the old copy that the carry took nothing from and whose time
  // is still the one planned has nothing new: only its sub-folders are looked
  // at, so that the last carry costs a look per folder, not a listing.
  const std::wstring old_copy = run->Part(run_part::kOldClient);
  const auto unchanged = [&](const std::wstring& folder, std::vector<std::wstring>* folders) {
    if (plan == nullptr || folder.empty()) return false;
    const auto planned = plan->find(folder);
    if (planned == plan->end() || planned->second.last_write == 0 ||
        !planned->second.moves.empty() ||
        LastWrite(SystemPath(layout, BelowJoin(old_copy, folder))) != planned->second.last_write) {
      return false;
    }
    *folders = planned->second.both;
    return true;
  };
  const bool carried = CarryInto(SystemPath(layout, old_copy), SystemPath(layout, kClientBelow),
                                 appeared, kRenameAttempts, unchanged);
  // What moved into the new client is on disk before the old copy goes.
  return carried && appeared_carried &&
         durable::FlushNewFiles(layout.system_root, {}, {SystemPath(layout, kClientBelow)});
}
