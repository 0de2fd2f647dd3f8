#include "update/switch_over.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>
#include <vector>

#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

constexpr wchar_t kRunFolderPrefix[] = L"zizaro_do-";
// A run folder whose journal said it could go, renamed so before its
// removal: what a removal cut short leaves of it goes with the next run.
constexpr wchar_t kRemovedSuffix[] = L".done";
// A rename of one entry of the merge: the system refuses it for a moment
// while another program (a scanner, an indexer) holds the file.
constexpr int kRenameAttempts = 8;
// Setting a whole folder aside, and putting it back: its programs were just
// ended, and Windows lets go of their files only as they finish ending.
constexpr int kRenameAsideAttempts = 50;
// A folder that changed this recently (in 100-nanosecond steps) may change
// again within the same tick of the file system's clock without its time
// changing: its plan is not trusted.
constexpr uint64_t kSettledSteps = 2 * 10000000ull;

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(long_paths::ExtendedLengthPath(path).c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool HasPrefix(const std::wstring& name, const wchar_t* prefix) {
  return name.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

bool HasSuffix(const std::wstring& name, const wchar_t* suffix) {
  const size_t length = std::char_traits<wchar_t>::length(suffix);
  return name.size() >= length && name.compare(name.size() - length, length, suffix) == 0;
}

// A path below a base: `relative` (its parts joined by the system's
// separator) appended to it.
std::wstring Below(const std::wstring& base, const std::wstring& relative) {
  return relative.empty() ? base : long_paths::ChildPath(base, relative);
}

// One walk over a tree of entries against a target tree. Without a journal
// it only looks for conflicts; with one it moves each entry the target lacks
// there whole, enters a folder both have, and for a file both have sets the
// target's aside first and moves the new one in. Paths are kept relative to
// the trees; the file calls reach them through the trees' extended forms,
// and records name them below the plain ones.
class Merge {
 public:
  Merge(const InstallLayout& layout, const std::wstring& source, const std::wstring& target,
        const std::wstring& aside, Journal* journal)
      : source_(source),
        target_(target),
        aside_(aside),
        system_source_(long_paths::ExtendedForm(source)),
        system_target_(long_paths::ExtendedForm(target)),
        journal_(journal) {
    has_staging_ = Utils::GetFileFacts(layout.staging_dir, &staging_);
  }

  // True when every entry fits (or is in place); `failed` names the target's
  // path of the entry that did not (the source tree when it cannot be read).
  bool Run(std::wstring* failed) {
    if (Walk(L"")) return true;
    *failed = failed_.empty() ? source_ : JoinPath(target_, failed_);
    return false;
  }

  int moved() const { return moved_; }
  int replaced() const { return replaced_; }

 private:
  bool Walk(const std::wstring& folder) {
    std::vector<Utils::ListedEntry> entries;
    if (!Utils::ListFolder(Below(system_source_, folder), &entries)) return Fail(L"");
    for (const auto& [name, attributes, last_write] : entries) {
      const std::wstring relative = folder.empty() ? name : folder + long_paths::kSeparator + name;
      // The run's own folders live in the staging folder: nothing lands there.
      if (IsStagingFolder(relative)) return Conflict(relative);
      const DWORD target = GetFileAttributesW(Below(system_target_, relative).c_str());
      const bool source_folder =
          IsFolder(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (target == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return Fail(relative);
        if (!Move(source_, target_, relative)) return false;
        ++moved_;
      } else if (source_folder != IsFolder(target)) {
        return Conflict(relative);
      } else if (source_folder) {
        if (!Walk(relative)) return false;
      } else if (journal_ != nullptr) {
        // A file the target has: the old one aside, then the new one in.
        if (!MakeAsideFolders(relative)) return Fail(relative);
        if (!Move(target_, aside_, relative) || !Move(source_, target_, relative)) return false;
        ++replaced_;
      }
    }
    return true;
  }

  // The journaled rename of `relative` from one tree to the other; nothing
  // when only looking.
  bool Move(const std::wstring& from, const std::wstring& to, const std::wstring& relative) {
    if (journal_ == nullptr) return true;
    if (journal_->Rename(Below(from, relative), Below(to, relative), kRenameAttempts)) return true;
    failed_ = relative;
    return false;
  }

  // The aside folder and each folder below it on the way to `relative`.
  bool MakeAsideFolders(const std::wstring& relative) {
    std::vector<std::wstring> folders = {L""};
    for (size_t at = relative.find(long_paths::kSeparator); at != std::wstring::npos;
         at = relative.find(long_paths::kSeparator, at + 1)) {
      folders.push_back(relative.substr(0, at));
    }
    for (const std::wstring& folder : folders) {
      if (made_.count(folder) != 0) continue;
      if (!CreateDirectoryW(long_paths::ExtendedForm(Below(aside_, folder)).c_str(), nullptr) &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        const DWORD code = GetLastError();
        LOG(ERROR) << "folder not made:" << WideToUtf8(Below(aside_, folder))
                   << ",getlasterror:" << code;
        return false;
      }
      made_.insert(folder);
    }
    return true;
  }

  bool IsStagingFolder(const std::wstring& relative) const {
    Utils::FileFacts facts;
    return has_staging_ && relative.find(long_paths::kSeparator) == std::wstring::npos &&
           Utils::GetFileFacts(JoinPath(target_, relative), &facts) &&
           facts.volume == staging_.volume && facts.index == staging_.index;
  }

  bool Conflict(const std::wstring& relative) {
    failed_ = relative;
    if (journal_ != nullptr) {
      LOG(ERROR) << "archive entry conflicts with the install root:"
                 << WideToUtf8(JoinPath(target_, relative));
    }
    return false;
  }

  bool Fail(const std::wstring& relative) {
    const DWORD code = GetLastError();
    failed_ = relative;
    if (journal_ != nullptr) {
      LOG(ERROR) << "entry not read:" << WideToUtf8(Below(source_, relative))
                 << ",getlasterror:" << code;
    }
    return false;
  }

  const std::wstring source_;
  const std::wstring target_;
  const std::wstring aside_;
  const std::wstring system_source_;
  const std::wstring system_target_;
  Journal* const journal_;
  std::wstring failed_;
  std::set<std::wstring> made_;
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

// The path below the client folder of the entry `name` of the folder
// `relative`.
std::wstring ChildOf(const std::wstring& relative, const std::wstring& name) {
  return relative.empty() ? name : relative + long_paths::kSeparator + name;
}

// The entry named `name` of a listing sorted by name, or the listing's end.
std::vector<Utils::ListedEntry>::const_iterator Find(const std::vector<Utils::ListedEntry>& entries,
                                                     const std::wstring& name) {
  const auto found = std::lower_bound(
      entries.begin(), entries.end(), name,
      [](const Utils::ListedEntry& entry, const std::wstring& key) { return entry.name < key; });
  return found != entries.end() && found->name == name ? found : entries.end();
}

// Fills in the entries of the old folder (listed in `olds`) that the new one
// (listed in `folder->news`) lacks, and the sub-folders both have; links are
// entries, never folders to enter. False when an entry is a file in one and
// a folder in the other (`conflict` names it).
bool Compare(const std::vector<Utils::ListedEntry>& olds, PlannedFolder* folder,
             std::wstring* conflict) {
  const auto is_folder = [](DWORD attributes) {
    return IsFolder(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  };
  folder->old_only.clear();
  folder->both.clear();
  for (const auto& [name, attributes, last_write] : olds) {
    const auto found = Find(folder->news, name);
    if (found == folder->news.end()) {
      folder->old_only.push_back(name);
    } else if (is_folder(attributes) != is_folder(found->attributes)) {
      *conflict = name;
      return false;
    } else if (is_folder(attributes)) {
      folder->both.push_back(name);
    }
  }
  return true;
}

// The old and the new client folders in the forms the file calls take.
struct ClientFolders {
  std::wstring system_old;
  std::wstring system_new;
};

// Plans the folder `relative` of the old client, and the sub-folders both
// clients have. A folder that changed just now is planned too, to be listed
// again when the switch comes to it.
void Plan(const ClientFolders& clients, const std::wstring& relative, uint64_t now,
          std::map<std::wstring, PlannedFolder>* plan) {
  PlannedFolder folder;
  const std::wstring old_folder = Below(clients.system_old, relative);
  folder.last_write = LastWrite(old_folder);
  if (folder.last_write + kSettledSteps > now) folder.last_write = 0;
  std::vector<Utils::ListedEntry> olds;
  std::wstring conflict;
  if (!Utils::ListFolder(old_folder, &olds) ||
      !Utils::ListFolder(Below(clients.system_new, relative), &folder.news) ||
      !Compare(olds, &folder, &conflict)) {
    return;  // listed when the switch comes to it
  }
  for (const std::wstring& name : folder.both) Plan(clients, ChildOf(relative, name), now, plan);
  (*plan)[relative] = std::move(folder);
}

// Carries what only the old client has in the folder `relative` (and below)
// into the new client folder: from the plan when the folder has not changed
// since, else from a new listing of it. `listed_write`: when the folder last
// changed as its parent's new listing gave it, 0 when the folder is to be
// asked. False when a rename failed or met a conflict.
bool Carry(RunFolder* run, const std::wstring& client_dir, const ClientFolders& clients,
           const std::wstring& relative, uint64_t listed_write, int* carried) {
  const std::wstring system_old = Below(clients.system_old, relative);
  PlannedFolder& folder = run->carry_plan[relative];  // one not planned: nothing known
  const bool settled =
      folder.last_write != 0 &&
      (listed_write != 0 ? listed_write : LastWrite(system_old)) == folder.last_write;
  // The new side of a folder as planned is still as it was listed.
  std::vector<Utils::ListedEntry> olds;
  std::wstring conflict;
  const bool known =
      settled || ((!folder.news.empty() ||
                   Utils::ListFolder(Below(clients.system_new, relative), &folder.news)) &&
                  Utils::ListFolder(system_old, &olds) && Compare(olds, &folder, &conflict));
  if (!known) {
    const DWORD code = GetLastError();
    LOG(ERROR) << "old client entry not carried over:"
               << WideToUtf8(Below(run->old_client, relative))
               << (conflict.empty() ? ",getlasterror:" + std::to_string(code)
                                    : ",conflicts with:" + WideToUtf8(conflict));
    return false;
  }
  for (const std::wstring& name : folder.old_only) {
    const std::wstring below = ChildOf(relative, name);
    if (!run->journal.Rename(Below(run->old_client, below), Below(client_dir, below),
                             kRenameAttempts)) {
      return false;
    }
    ++*carried;
  }
  for (const std::wstring& name : folder.both) {
    // Where a listing reads each entry itself, the one just made gives each
    // sub-folder's time without asking the sub-folder again.
    const auto listed = Find(olds, name);
    if (!Carry(run, client_dir, clients, ChildOf(relative, name),
               listed == olds.end() ? 0 : listed->last_write, carried)) {
      return false;
    }
  }
  return true;
}

// Undoes the recorded renames of a run, the last first, then puts its kept
// executable back; see PutBack.
bool Undo(const InstallLayout& layout, const std::wstring& run_folder,
          const std::vector<std::string>& records) {
  int undone = 0;
  bool complete = true;
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    std::wstring from;
    std::wstring to;
    if (!ParseMove(*record, layout.root, &from, &to) || !Exists(to)) continue;
    // Made, and its place free again: renamed back. Made, with something
    // else in its place since: left as it is, and the old client is not
    // complete.
    DWORD code = ERROR_ALREADY_EXISTS;
    if (!Exists(from) && RenameEntry(to, from, kRenameAsideAttempts, &code)) {
      ++undone;
    } else {
      RecordFailedMove(to, from, code);
      complete = false;
    }
  }
  // The executable, once kept, goes back where the client lacks it; without
  // the kept one (something removed it) the old client is not complete.
  const std::wstring kept = JoinPath(run_folder, kClientProcessName);
  if (complete && std::find(records.begin(), records.end(), kJournalKept) != records.end() &&
      !Exists(layout.client_exe)) {
    DWORD code = ERROR_FILE_NOT_FOUND;
    if (!Exists(kept) || !RenameEntry(kept, layout.client_exe, kRenameAsideAttempts, &code)) {
      RecordFailedMove(kept, layout.client_exe, code);
      complete = false;
    }
  }
  LOG(INFO) << "put back result:" << complete << ",entries:" << undone
            << ",from:" << WideToUtf8(run_folder);
  return complete;
}

bool IsMove(const std::string& record) { return record.rfind("move ", 0) == 0; }

// Ends the client's programs before a switch that was cut short is undone:
// the client folder may be the new one, and a client started from it since
// would hold it.
void EndClientPrograms(const InstallLayout& layout) {
  const int32_t killed = Utils::KillProcessesByName(kClientProcessName) +
                         Utils::KillProcessesInFolder(layout.client_dir, kClientProcessName);
  if (killed == 0) return;
  LOG(INFO) << killed << " process killed," << WideToUtf8(layout.client_dir);
  Sleep(16);
}

// Removes a run folder that may go: renamed first, so that whatever a
// removal cut short leaves of it is known to be removable without its
// journal.
void RemoveDone(const std::wstring& run_folder) {
  const std::wstring done = run_folder + kRemovedSuffix;
  DWORD code = 0;
  if (RenameEntry(run_folder, done, 1, &code)) {
    Utils::RemoveAll(done);
  } else {
    LOG(WARNING) << "run folder left for the next run:" << WideToUtf8(run_folder)
                 << ",getlasterror:" << code;
  }
}

// Removes a run folder that holds nothing, or only a journal without one
// whole line (`records`, as read): a run ended before it wrote its first
// record, having changed nothing.
bool RemoveEmptyRunFolder(const std::wstring& run_folder, const std::vector<std::string>& records) {
  std::vector<Utils::ListedEntry> entries;
  if (records.empty() && Utils::ListFolder(long_paths::ExtendedForm(run_folder), &entries) &&
      entries.size() == 1 && entries.front().name == L"journal") {
    DeleteFileW(long_paths::ExtendedLengthPath(JournalPath(run_folder)).c_str());
  }
  return RemoveDirectoryW(long_paths::ExtendedLengthPath(run_folder).c_str()) != FALSE;
}

// The state a journal ends in: its last record but a move ("switching"
// then), "begun" when it has only its first.
std::string StateOf(const std::vector<std::string>& records) {
  if (records.size() < 2) return "begun";
  return IsMove(records.back()) ? "switching" : records.back();
}

// Whether the new client of a journal's run was complete in place: it
// switched over and did not begin to undo that.
bool SwitchedOver(const std::vector<std::string>& records) {
  bool switched = false;
  for (const std::string& record : records) {
    if (record == kJournalSwitched || record == kJournalStarted) switched = true;
    if (record == kJournalUndoing) switched = false;
  }
  return switched;
}

bool Started(const std::vector<std::string>& records) {
  return std::find(records.begin(), records.end(), kJournalStarted) != records.end();
}

}  // namespace

bool RecoverLeftovers(const InstallLayout& layout, bool* start_owed) {
  *start_owed = false;
  std::vector<Utils::ListedEntry> entries;
  if (!Utils::ListFolder(long_paths::ExtendedForm(layout.staging_dir), &entries)) return true;
  struct Leftover {
    uint64_t started;
    std::wstring path;
    std::vector<std::string> records;
  };
  std::vector<Leftover> leftovers;
  for (const auto& [name, attributes, last_write] : entries) {
    if (!HasPrefix(name, kRunFolderPrefix)) continue;
    const std::wstring path = JoinPath(layout.staging_dir, name);
    Leftover leftover{0, path, {}};
    if (HasSuffix(name, kRemovedSuffix)) {
      Utils::RemoveAll(path);
    } else if (ReadJournal(path, &leftover.records, &leftover.started)) {
      leftovers.push_back(std::move(leftover));
    } else if (!RemoveEmptyRunFolder(path, leftover.records)) {
      // Nothing tells what it holds: it may be the only copy.
      LOG(WARNING) << "leftover of an earlier run kept, no journal:" << WideToUtf8(path);
    }
  }
  std::sort(leftovers.begin(), leftovers.end(),
            [](const Leftover& a, const Leftover& b) { return a.started > b.started; });
  for (const Leftover& leftover : leftovers) {
    LOG(INFO) << "leftover of an earlier run:" << WideToUtf8(leftover.path)
              << ",state:" << StateOf(leftover.records);
    if (leftover.records.back() == kJournalCopy) {
      // The copy of the updater that runs this very update stays.
      Utils::FileFacts folder;
      if (Utils::GetFileFacts(leftover.path, &folder) &&
          Utils::LiesWithin(Utils::GetExeDirFilePath(L""), folder, true)) {
        continue;
      }
    } else if (SwitchedOver(leftover.records)) {
      *start_owed = *start_owed || !Started(leftover.records);
    } else {
      if (std::any_of(leftover.records.begin(), leftover.records.end(), IsMove)) {
        EndClientPrograms(layout);
      }
      if (!Undo(layout, leftover.path, leftover.records)) {
        LOG(ERROR) << "update refused, leftover of an earlier run cannot be put back:"
                   << WideToUtf8(leftover.path);
        return false;
      }
    }
    RemoveDone(leftover.path);
  }
  return true;
}

bool MakeRunFolder(const InstallLayout& layout, RunFolder* run) {
  if (!Utils::IsDirectory(layout.staging_dir)) {
    if (!CreateDirectoryW(long_paths::ExtendedLengthPath(layout.staging_dir).c_str(), nullptr)) {
      return false;
    }
    run->made_staging_folder = true;
  }
  const std::wstring name = kRunFolderPrefix + std::to_wstring(GetCurrentProcessId());
  // A folder of an earlier run under this process id that could not be
  // removed: the next free name.
  for (int suffix = 1;; ++suffix) {
    const std::wstring path =
        JoinPath(layout.staging_dir, suffix == 1 ? name : name + L"-" + std::to_wstring(suffix));
    if (CreateDirectoryW(long_paths::ExtendedLengthPath(path).c_str(), nullptr)) {
      run->path = path;
      run->unpacked = JoinPath(path, L"new");
      run->old_client = JoinPath(path, L"old");
      run->replaced = JoinPath(path, L"aside");
      run->kept_exe = JoinPath(path, kClientProcessName);
      return run->journal.Start(layout.root, path);
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS || suffix == 100) return false;
  }
}

void RemoveRunFolder(const InstallLayout& layout, RunFolder* run) {
  if (run->path.empty()) return;
  run->journal.Close();
  RemoveDone(run->path);
  if (run->made_staging_folder) {
    RemoveDirectoryW(long_paths::ExtendedLengthPath(layout.staging_dir).c_str());
  }
}

bool KeepClientExe(const InstallLayout& layout, RunFolder* run) {
  const std::wstring exe = long_paths::ExtendedLengthPath(layout.client_exe);
  const DWORD attributes = GetFileAttributesW(exe.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || IsFolder(attributes)) return true;
  const std::wstring kept = long_paths::ExtendedLengthPath(run->kept_exe);
  if (!CreateHardLinkW(kept.c_str(), exe.c_str(), nullptr) &&
      !CopyFileW(exe.c_str(), kept.c_str(), TRUE)) {
    const DWORD code = GetLastError();
    LOG(ERROR) << "update refused, executable not kept:" << WideToUtf8(run->kept_exe)
               << ",getlasterror:" << code;
    return false;
  }
  return run->journal.Record(kJournalKept);
}

bool PutBack(const InstallLayout& layout, RunFolder* run) {
  // Should even this record fail, the journal's moves are all there is to
  // undo: a next run finds them.
  run->journal.Record(kJournalUndoing);
  if (!Undo(layout, run->path, run->journal.records())) return false;
  RemoveRunFolder(layout, run);
  return true;
}

bool RenameAside(RunFolder* run, const std::wstring& from, const std::wstring& to,
                 const char* label) {
  const bool renamed = run->journal.Rename(from, to, kRenameAsideAttempts);
  LOG(INFO) << label << renamed << ",from:" << WideToUtf8(from) << ",to:" << WideToUtf8(to);
  return renamed;
}

bool FitsTheRoot(const InstallLayout& layout, const std::wstring& unpacked,
                 std::wstring* conflict) {
  return Merge(layout, unpacked, layout.root, L"", nullptr).Run(conflict);
}

void PlanCarry(const InstallLayout& layout, RunFolder* run) {
  run->carry_plan.clear();
  // Where a folder's time does not follow the entries it gains and loses
  // (FAT), no plan is trusted: the switch lists every folder.
  if (!FolderTimesFollowEntries(layout.client_dir)) return;
  Plan({long_paths::ExtendedForm(layout.client_dir),
        long_paths::ExtendedForm(JoinPath(run->unpacked, L"Client"))},
       L"", Now(), &run->carry_plan);
}

bool SwitchOver(const InstallLayout& layout, RunFolder* run) {
  const bool had_client = Exists(layout.client_dir);
  const bool set_aside =
      had_client && RenameAside(run, layout.client_dir, run->old_client, "set aside result:");
  const bool moved_in =
      (set_aside || !had_client) &&
      run->journal.Rename(JoinPath(run->unpacked, L"Client"), layout.client_dir, kRenameAttempts);
  // What only the old client has goes into the new one; then the archive's
  // entries beside the client folder.
  int carried = 0;
  Merge merge(layout, run->unpacked, layout.root, run->replaced, &run->journal);
  std::wstring failed;
  const ClientFolders clients = {long_paths::ExtendedForm(run->old_client),
                                 long_paths::ExtendedForm(layout.client_dir)};
  const bool done = moved_in &&
                    (!set_aside || Carry(run, layout.client_dir, clients, L"", 0, &carried)) &&
                    merge.Run(&failed);
  LOG(INFO) << "switch over result:" << done << ",moved:" << moved_in + merge.moved()
            << ",replaced:" << set_aside + merge.replaced() << ",carried:" << carried
            << ",to:" << WideToUtf8(layout.root);
  return done;
}
