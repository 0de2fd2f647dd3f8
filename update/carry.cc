#include "update/carry.h"

#include <algorithm>
#include <utility>

#include "platform/long_paths.h"
#include "update/entries.h"
#include "utility/base/logging.h"

namespace {

// A rename of the carry: the system refuses one for a moment while another
// program (a scanner, an indexer) holds the file.
constexpr int kCarryAttempts = 8;
// A folder that changed this recently (in 100-nanosecond steps) may change
// again within the same tick of the file system's clock without its time
// changing: the plan lists it again at the last carry.
constexpr uint64_t kSettledSteps = 2 * 10000000ull;

bool IsFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring Below(const std::wstring& folder, const std::wstring& name) {
  return folder.empty() ? name : folder + long_paths::kSeparator + name;
}

// `below` in the tree at `system_root`.
std::wstring At(const std::wstring& system_root, const std::wstring& below) {
  return below.empty() ? system_root : long_paths::ChildPath(system_root, below);
}

std::string Plain(const std::wstring& system_path) {
  return WideToUtf8(long_paths::PlainForm(system_path));
}

// When the entry at `path` last changed (Utils::StepsOf); 0 when the system
// cannot tell.
uint64_t LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return Utils::StepsOf(data.ftLastWriteTime);
}

// Whether a listed entry is as the plan listed it.
bool Unchanged(const Utils::ListedEntry& planned, const Utils::ListedEntry& now) {
  return planned.last_write == now.last_write && planned.size == now.size &&
         IsRealFolder(planned.attributes) == IsRealFolder(now.attributes);
}

// Whether two paths name one file (a hard link of the other).
bool SameFile(const std::wstring& a, const std::wstring& b) {
  const EntryId id = IdentityOf(a);
  return id.known && id == IdentityOf(b);
}

// Whether two files hold the same bytes (files of up to 64 MiB are read).
bool SameBytes(const std::wstring& a, const std::wstring& b) {
  Utils::FileFacts facts_a;
  Utils::FileFacts facts_b;
  if (!Utils::GetFileFacts(a, &facts_a, false) || !Utils::GetFileFacts(b, &facts_b, false) ||
      ((facts_a.attributes | facts_b.attributes) &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  std::string bytes_a;
  std::string bytes_b;
  return Utils::ReadWholeFile(a, &bytes_a, uint64_t{64} << 20) &&
         Utils::ReadWholeFile(b, &bytes_b, uint64_t{64} << 20) && bytes_a == bytes_b;
}

std::wstring FolderOf(const std::wstring& system_path) {
  const size_t separator = system_path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : system_path.substr(0, separator);
}

std::wstring NameOf(const std::wstring& system_path) {
  const size_t separator = system_path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? system_path : system_path.substr(separator + 1);
}

// Brings the entry at `from` to the free name `to` without touching it: a
// hard link, or where the volume refuses one, a copy of a file.
// ERROR_SUCCESS, or the system's error (a taken name's as it is).
DWORD Bring(const std::wstring& from, const std::wstring& to) {
  if (CreateHardLinkW(to.c_str(), from.c_str(), nullptr)) return ERROR_SUCCESS;
  const DWORD code = GetLastError();
  const DWORD attributes = GetFileAttributesW(from.c_str());
  if (IsNameTaken(code) || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return code;
  }
  return CopyFileW(from.c_str(), to.c_str(), TRUE) ? ERROR_SUCCESS : GetLastError();
}

// Makes the folder `name` in `folder` with the attributes of `model`, or
// where the volume reads the name as another entry's (a short 8.3 alias),
// under a kept name beside it; `made` is the name it got. False, with the
// system's error as the last error, when it cannot be made.
bool MakeFolderLike(const std::wstring& model, const std::wstring& folder, const std::wstring& name,
                    std::wstring* made) {
  *made = name;
  if (CreateDirectoryExW(model.c_str(), long_paths::ChildPath(folder, name).c_str(), nullptr)) {
    return true;
  }
  if (!IsNameTaken(GetLastError())) return false;
  *made = KeptName(folder, name);
  if (made->empty() ||
      !CreateDirectoryExW(model.c_str(), long_paths::ChildPath(folder, *made).c_str(), nullptr)) {
    return false;
  }
  LOG(WARNING) << "entry kept beside:" << Plain(long_paths::ChildPath(folder, *made))
               << ",next to:" << Plain(long_paths::ChildPath(folder, name));
  return true;
}

// The plan's walk (PlanCarry).
class Planner {
 public:
  Planner(const CarryTrees& trees, uint64_t now, CarryPlan* plan)
      : trees_(trees), now_(now), plan_(plan) {}

  // Plans the old client's folder `old_rel`, which lies at `new_rel` in the
  // new tree; `both`: the archive has it too.
  bool Folder(const std::wstring& old_rel, const std::wstring& new_rel, bool both) {
    PlannedFolder folder;
    folder.in_new = new_rel;
    const std::wstring old_path = At(trees_.old_client, old_rel);
    const std::wstring new_path = At(trees_.new_client, new_rel);
    folder.last_write = LastWrite(old_path);
    if (folder.last_write + kSettledSteps > now_) folder.last_write = 0;
    if (!Utils::ListFolder(old_path, &folder.olds) ||
        (both && !Utils::ListFolder(new_path, &folder.news))) {
      // Listed at the last carry.
      folder.last_write = 0;
      folder.olds.clear();
      (*plan_)[old_rel] = std::move(folder);
      return true;
    }
    SortByName(&folder.olds);
    SortByName(&folder.news);
    std::vector<std::wstring> deferred;
    for (const Utils::ListedEntry& entry : folder.olds) {
      const std::wstring old_entry = Below(old_rel, entry.name);
      const auto same = FindNamed(folder.news, entry.name);
      if (same != folder.news.end()) {
        if (const char* kinds = KindConflict(entry.attributes, same->attributes)) {
          conflict = old_entry;
          why = kinds;
          return false;
        }
        // A file both have is the new client's; a folder both have is planned.
        if (IsRealFolder(entry.attributes) &&
            !Folder(old_entry, Below(new_rel, same->name), true)) {
          return false;
        }
        continue;
      }
      const std::wstring old_path_of_entry = long_paths::ChildPath(old_path, entry.name);
      if (IsRealFolder(entry.attributes)) {
        std::wstring made;
        if (!MakeFolderLike(old_path_of_entry, new_path, entry.name, &made)) {
          conflict = old_entry;
          why = "not carried,getlasterror:" + std::to_string(GetLastError());
          return false;
        }
        if (trees_.changed != nullptr) trees_.changed->insert(new_rel);
        if (!Folder(old_entry, Below(new_rel, made), false)) return false;
        continue;
      }
      DWORD code = Bring(old_path_of_entry, long_paths::ChildPath(new_path, entry.name));
      if (IsNameTaken(code)) {
        // The volume reads the name as the new client's (its short name).
        const std::wstring kept = KeptName(new_path, entry.name);
        code =
            kept.empty() ? code : Bring(old_path_of_entry, long_paths::ChildPath(new_path, kept));
        if (code == ERROR_SUCCESS) {
          LOG(WARNING) << "entry kept beside:" << Plain(long_paths::ChildPath(new_path, kept))
                       << ",next to:" << Plain(long_paths::ChildPath(new_path, entry.name));
        }
      }
      // One that cannot be brought now (held by a program) is the last
      // carry's, as one added since.
      if (code != ERROR_SUCCESS) {
        folder.last_write = 0;
        deferred.push_back(entry.name);
      } else if (trees_.changed != nullptr) {
        trees_.changed->insert(new_rel);
      }
    }
    for (const std::wstring& name : deferred) {
      folder.olds.erase(FindNamed(folder.olds, name));
    }
    (*plan_)[old_rel] = std::move(folder);
    return true;
  }

  std::wstring conflict;
  std::string why;

 private:
  const CarryTrees& trees_;
  const uint64_t now_;
  CarryPlan* const plan_;
};

// The last carry's walk (CarryLast).
class LastCarry {
 public:
  LastCarry(const CarryTrees& trees, const CarryPlan& plan) : trees_(trees), plan_(plan) {}

  // The old side's folder `old_rel`, at `new_rel` in the new tree, as planned
  // (`planned`, null for a folder the plan did not see).
  bool Folder(const std::wstring& old_rel, const std::wstring& new_rel,
              const PlannedFolder* planned) {
    const std::wstring old_path = At(trees_.old_client, old_rel);
    const std::wstring new_path = At(trees_.new_client, new_rel);
    if (planned != nullptr && planned->last_write != 0 &&
        LastWrite(old_path) == planned->last_write) {
      // Nothing added, renamed or deleted here since: only its folders.
      bool carried = true;
      for (const Utils::ListedEntry& entry : planned->olds) {
        const auto below = plan_.find(Below(old_rel, entry.name));
        if (IsRealFolder(entry.attributes) && below != plan_.end()) {
          carried = Folder(below->first, below->second.in_new, &below->second) && carried;
        }
      }
      return carried;
    }
    static const std::vector<Utils::ListedEntry> kNone;
    const std::vector<Utils::ListedEntry>& base = planned != nullptr ? planned->olds : kNone;
    const std::vector<Utils::ListedEntry>& archive = planned != nullptr ? planned->news : kNone;
    std::vector<Utils::ListedEntry> olds;
    std::vector<Utils::ListedEntry> news;
    if (!Utils::ListFolder(old_path, &olds)) {
      const DWORD code = GetLastError();
      // A folder the user deleted since: its entries are deleted below.
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return Failed(old_path);
    }
    if (!Utils::ListFolder(new_path, &news)) return Failed(new_path);
    SortByName(&olds);
    SortByName(&news);
    bool carried = true;
    for (const Utils::ListedEntry& entry : olds) {
      carried = Entry(old_rel, new_rel, entry, base, archive, news) && carried;
    }
    // Deleted since the plan: what the plan carried that the old side lost.
    for (const Utils::ListedEntry& entry : news) {
      if (FindNamed(olds, entry.name) != olds.end()) continue;
      const auto planned_entry = FindNamed(base, entry.name);
      if (FindNamed(archive, entry.name) != archive.end()) {
        // A folder of the new client's: the user's entries in it go.
        const auto below = plan_.find(Below(old_rel, entry.name));
        if (IsRealFolder(entry.attributes) && below != plan_.end()) {
          carried = Folder(below->first, below->second.in_new, &below->second) && carried;
        }
      } else if (planned_entry != base.end()) {
        Changed(new_rel);
        carried = Utils::RemoveAll(long_paths::ChildPath(new_path, entry.name)) && carried;
      }
    }
    return carried;
  }

 private:
  // One entry of the old side's folder that changed since the plan.
  bool Entry(const std::wstring& old_rel, const std::wstring& new_rel,
             const Utils::ListedEntry& entry, const std::vector<Utils::ListedEntry>& base,
             const std::vector<Utils::ListedEntry>& archive,
             const std::vector<Utils::ListedEntry>& news) {
    const std::wstring old_path = At(trees_.old_client, old_rel);
    const std::wstring new_path = At(trees_.new_client, new_rel);
    const std::wstring old_entry = Below(old_rel, entry.name);
    const auto planned = FindNamed(base, entry.name);
    const auto in_new = FindNamed(news, entry.name);
    const bool in_archive = FindNamed(archive, entry.name) != archive.end();
    if (IsRealFolder(entry.attributes)) {
      const auto below = plan_.find(old_entry);
      const PlannedFolder* planned_folder = below != plan_.end() ? &below->second : nullptr;
      if (in_new != news.end() && IsRealFolder(in_new->attributes)) {
        const std::wstring at =
            planned_folder != nullptr ? planned_folder->in_new : Below(new_rel, in_new->name);
        return Folder(old_entry, at, planned_folder);
      }
      // Added since (or only beside a file of the new client's of its name).
      std::wstring made;
      Changed(new_rel);
      if (!MakeFolderLike(long_paths::ChildPath(old_path, entry.name), new_path, entry.name,
                          &made)) {
        return Failed(long_paths::ChildPath(new_path, entry.name));
      }
      return Folder(old_entry, Below(new_rel, made), nullptr);
    }
    // As the plan found it: the new client's entry of the name wins over the
    // old client's own; one the plan carried is there already (beside the
    // new client's, where the volume read its name as another's).
    if (planned != base.end() && Unchanged(*planned, entry)) return true;
    if (in_new == news.end()) return Put(old_rel, entry.name, new_rel, entry.name);
    const std::wstring old_file = long_paths::ChildPath(old_path, entry.name);
    const std::wstring new_file = long_paths::ChildPath(new_path, in_new->name);
    // Carried and changed since in place: one file, the edit reaching both.
    if (!in_archive && SameFile(old_file, new_file)) return true;
    if (!in_archive && planned != base.end()) {
      // Replaced since (renamed over): the new tree's copy of the old goes.
      Changed(new_rel);
      return Utils::RemoveAll(new_file) && Put(old_rel, entry.name, new_rel, entry.name);
    }
    return Meet(old_rel, entry.name, new_rel, in_new->name);
  }

  // The entry `name` of the old side, added or changed since the plan, meets
  // the new tree's `new_name`: the newer by its write time keeps the name,
  // the older is kept beside it once; the same bytes are one file.
  bool Meet(const std::wstring& old_rel, const std::wstring& name, const std::wstring& new_rel,
            const std::wstring& new_name) {
    const std::wstring new_path = At(trees_.new_client, new_rel);
    const std::wstring old_file = long_paths::ChildPath(At(trees_.old_client, old_rel), name);
    const std::wstring new_file = long_paths::ChildPath(new_path, new_name);
    if (SameBytes(old_file, new_file)) return true;
    const std::wstring kept = KeptName(new_path, new_name);
    if (kept.empty()) return Failed(new_file);
    Changed(new_rel);
    // A name the volume reads as another entry's (its short 8.3 alias): that
    // entry is another name's, and stays.
    if (!EntryNamed(new_file)) {
      LOG(WARNING) << "entry kept beside:" << Plain(long_paths::ChildPath(new_path, kept))
                   << ",next to:" << Plain(new_file);
      return Put(old_rel, name, new_rel, kept);
    }
    bool carried = false;
    if (LastWrite(old_file) > LastWrite(new_file)) {
      DWORD code = 0;
      carried =
          RenameEntry(new_file, long_paths::ChildPath(new_path, kept), kCarryAttempts, &code) &&
          Put(old_rel, name, new_rel, new_name);
    } else {
      carried = Put(old_rel, name, new_rel, kept);
    }
    LOG(WARNING) << "entry kept beside a newer one:" << Plain(long_paths::ChildPath(new_path, kept))
                 << ",newer:" << Plain(new_file);
    return carried;
  }

  // Brings the old side's `name` to the free name `target` of the new tree;
  // where it can neither be linked nor copied, it moves, recorded first.
  bool Put(const std::wstring& old_rel, const std::wstring& name, const std::wstring& new_rel,
           const std::wstring& target) {
    Changed(new_rel);
    const std::wstring from = long_paths::ChildPath(At(trees_.old_client, old_rel), name);
    const std::wstring to = long_paths::ChildPath(At(trees_.new_client, new_rel), target);
    const DWORD code = Bring(from, to);
    if (code == ERROR_SUCCESS) return true;
    // Gone meanwhile (another program deleted it): nothing to carry.
    if (code == ERROR_FILE_NOT_FOUND) return true;
    if (IsNameTaken(code)) return Meet(old_rel, name, new_rel, target);
    return trees_.move != nullptr && trees_.move(Below(old_rel, name), Below(new_rel, target));
  }

  void Changed(const std::wstring& new_rel) {
    if (trees_.changed != nullptr) trees_.changed->insert(new_rel);
  }

  bool Failed(const std::wstring& path) {
    const DWORD code = GetLastError();
    LOG(ERROR) << "old client entry not carried over:" << Plain(path) << ",getlasterror:" << code;
    return false;
  }

  const CarryTrees& trees_;
  const CarryPlan& plan_;
};

// The folder `rel` of the old copy made where missing, with its parents,
// each like the new client's folder of that path; false when it cannot be.
bool MakeOldFolder(const CarryTrees& trees, const std::wstring& rel) {
  if (rel.empty() || IsRealFolder(GetFileAttributesW(At(trees.old_client, rel).c_str()))) {
    return true;
  }
  const size_t separator = rel.rfind(long_paths::kSeparator);
  return MakeOldFolder(trees, separator == std::wstring::npos ? L"" : rel.substr(0, separator)) &&
         CreateDirectoryExW(At(trees.new_client, rel).c_str(), At(trees.old_client, rel).c_str(),
                            nullptr);
}

// CarryBack's walk of the new client's folder `rel`.
bool Back(const CarryTrees& trees, const std::set<std::wstring>& own, const std::wstring& rel) {
  const std::wstring new_path = At(trees.new_client, rel);
  const std::wstring old_path = At(trees.old_client, rel);
  std::vector<Utils::ListedEntry> entries;
  if (!Utils::ListFolder(new_path, &entries)) return true;
  bool carried = true;
  for (const Utils::ListedEntry& entry : entries) {
    const std::wstring below = Below(rel, entry.name);
    const std::wstring from = long_paths::ChildPath(new_path, entry.name);
    const std::wstring to = long_paths::ChildPath(old_path, entry.name);
    if (IsRealFolder(entry.attributes)) {
      // A folder with the new client's files in it is entered; one without
      // is the user's, whole.
      const std::wstring prefix = below + long_paths::kSeparator;
      const auto next = own.lower_bound(prefix);
      if (next != own.end() && next->compare(0, prefix.size(), prefix) == 0) {
        carried = Back(trees, own, below) && carried;
        continue;
      }
    } else if (own.count(below) != 0 || SameFile(from, to)) {
      continue;
    }
    carried = MakeOldFolder(trees, rel) && MergeInto(from, to, kCarryAttempts) && carried;
  }
  return carried;
}

// CarryInto for the folder `relative` below both.
bool CarryIn(const std::wstring& from_root, const std::wstring& to_root,
             const std::wstring& relative, int attempts) {
  const std::wstring from = At(from_root, relative);
  const std::wstring to = At(to_root, relative);
  std::vector<Utils::ListedEntry> froms;
  std::vector<Utils::ListedEntry> tos;
  if (!Utils::ListFolder(from, &froms) || !Utils::ListFolder(to, &tos)) return true;
  SortByName(&tos);
  bool complete = true;
  for (const Utils::ListedEntry& entry : froms) {
    const auto same = FindNamed(tos, entry.name);
    if (same == tos.end()) {
      DWORD code = 0;
      const std::wstring source = long_paths::ChildPath(from, entry.name);
      const std::wstring target = long_paths::ChildPath(to, entry.name);
      if (!RenameEntry(source, target, attempts, &code)) {
        RecordFailedMove(source, target, code);
        complete = false;
      }
    } else if (IsRealFolder(entry.attributes) && IsRealFolder(same->attributes)) {
      complete = CarryIn(from_root, to_root, Below(relative, entry.name), attempts) && complete;
    }
  }
  return complete;
}

}  // namespace

bool IsRealFolder(DWORD attributes) {
  return IsFolder(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

const char* KindConflict(DWORD old, DWORD new_entry) {
  if (IsRealFolder(old) == IsRealFolder(new_entry)) return nullptr;
  return !IsRealFolder(new_entry) ? "a folder where the archive has a file"
         : IsFolder(old)          ? "a link where the archive has a folder"
                                  : "a file where the archive has a folder";
}

bool PlanCarry(const CarryTrees& trees, uint64_t now, CarryPlan* plan, std::wstring* conflict,
               std::string* why) {
  plan->clear();
  Planner planner(trees, now, plan);
  if (planner.Folder(L"", L"", true)) return true;
  *conflict = planner.conflict;
  *why = planner.why;
  return false;
}

bool CarryLast(const CarryTrees& trees, const CarryPlan& plan) {
  const auto top = plan.find(L"");
  return LastCarry(trees, plan).Folder(L"", L"", top != plan.end() ? &top->second : nullptr);
}

bool CarryBack(const CarryTrees& trees, const std::set<std::wstring>& own) {
  return Back(trees, own, L"");
}

std::wstring KeptName(const std::wstring& system_folder, const std::wstring& name) {
  const size_t dot = name.rfind(L'.');
  const bool has_extension = dot != std::wstring::npos && dot > 0;
  std::wstring stem = has_extension ? name.substr(0, dot) : name;
  const std::wstring extension = has_extension ? name.substr(dot) : std::wstring();
  // A kept copy kept again keeps its one mark.
  const size_t mark = stem.rfind(L" (kept");
  if (mark != std::wstring::npos && mark > 0 && stem.back() == L')' &&
      stem.find_first_not_of(L"0123456789 ", mark + 6) == stem.size() - 1) {
    stem.resize(mark);
  }
  for (int n = 1; n <= 1000; ++n) {
    const std::wstring mark_text =
        L" (kept" + (n == 1 ? std::wstring() : L" " + std::to_wstring(n)) + L")" + extension;
    std::wstring shortened = stem;
    while (!shortened.empty() && !long_paths::NameFits(shortened + mark_text)) {
      shortened.pop_back();
      // Never half of a pair of surrogates.
      if (!shortened.empty() && shortened.back() >= 0xD800 && shortened.back() <= 0xDBFF) {
        shortened.pop_back();
      }
    }
    const std::wstring kept = shortened + mark_text;
    if (long_paths::NameFits(kept) && !EntryExists(long_paths::ChildPath(system_folder, kept))) {
      return kept;
    }
  }
  return std::wstring();
}

bool MergeInto(const std::wstring& from, const std::wstring& to, int attempts) {
  DWORD code = 0;
  if (RenameEntry(from, to, attempts, &code)) return true;
  if (!IsNameTaken(code)) {
    RecordFailedMove(from, to, code);
    return false;
  }
  if (IsRealFolder(GetFileAttributesW(from.c_str())) &&
      IsRealFolder(GetFileAttributesW(to.c_str()))) {
    std::vector<Utils::ListedEntry> entries;
    bool merged = Utils::ListFolder(from, &entries);
    for (const Utils::ListedEntry& entry : entries) {
      merged = MergeInto(long_paths::ChildPath(from, entry.name),
                         long_paths::ChildPath(to, entry.name), attempts) &&
               merged;
    }
    if (merged) RemoveDirectoryW(from.c_str());
    return merged;
  }
  // The same bytes: one file, the one in place.
  if (SameBytes(from, to)) return true;
  const std::wstring folder = FolderOf(to);
  const std::wstring kept_name = KeptName(folder, NameOf(to));
  if (kept_name.empty()) {
    RecordFailedMove(from, to, code);
    return false;
  }
  const std::wstring kept = long_paths::ChildPath(folder, kept_name);
  // The newer takes the name.
  const bool from_newer = LastWrite(from) > LastWrite(to);
  const bool moved = from_newer
                         ? RenameOrRecord(to, kept, attempts) && RenameOrRecord(from, to, attempts)
                         : RenameOrRecord(from, kept, attempts);
  if (moved) {
    LOG(WARNING) << "entry kept beside a newer one:" << Plain(kept) << ",newer:" << Plain(to);
  }
  return moved;
}

bool CarryInto(const std::wstring& from, const std::wstring& to, int attempts) {
  return CarryIn(from, to, L"", attempts);
}
