#include "update/switch_over.h"

#include <set>
#include <utility>
#include <vector>

#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

constexpr wchar_t kRunFolderPrefix[] = L"zizaro_do-";
// A rename of one entry of the merge: the system refuses it for a moment
// while another program (a scanner, an indexer) holds the file.
constexpr int kRenameAttempts = 8;
// Setting a whole folder aside: its programs were just ended, and Windows
// lets go of their files only as they finish ending.
constexpr int kRenameAsideAttempts = 50;
constexpr DWORD kRenamePauseMs = 20;

// A rename to a path that does not exist: never replaces, never copies.
bool Rename(const std::wstring& from, const std::wstring& to, int attempts, DWORD* code) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (MoveFileExW(long_paths::ExtendedLengthPath(from).c_str(),
                    long_paths::ExtendedLengthPath(to).c_str(), 0)) {
      return true;
    }
    *code = GetLastError();
    Sleep(kRenamePauseMs);
  }
  return false;
}

void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code) {
  LOG(ERROR) << "move file failed,src path:" << WideToUtf8(from) << " dst path:" << WideToUtf8(to)
             << " getlasterror:" << code;
}

bool IsFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool StartsWithRunFolderPrefix(const std::wstring& name) {
  return name.compare(0, std::char_traits<wchar_t>::length(kRunFolderPrefix), kRunFolderPrefix) ==
         0;
}

// A path below a base: `relative` (its parts joined by the system's
// separator) appended to it.
std::wstring Below(const std::wstring& base, const std::wstring& relative) {
  return relative.empty() ? base : long_paths::ChildPath(base, relative);
}

// One walk over the unpacked tree against the install root, which either
// only looks for conflicts or moves the entries (and then can put them back).
// Paths are kept relative to the tree; the file calls reach them through the
// trees' extended forms, and records name them below the plain ones.
class Merge {
 public:
  Merge(const std::wstring& unpacked, const std::wstring& root_dir, const std::wstring& aside)
      : unpacked_(unpacked),
        root_(root_dir),
        aside_(aside),
        system_unpacked_(long_paths::ExtendedForm(unpacked)),
        system_root_(long_paths::ExtendedForm(root_dir)),
        system_aside_(long_paths::ExtendedForm(aside)) {
    has_staging_ = Utils::GetFileFacts(InstallLayout(root_dir).staging_dir, &staging_);
  }

  // Whether the tree fits the root; `conflict` names what does not.
  bool Fits(std::wstring* conflict) {
    moving_ = false;
    if (Walk(L"")) return true;
    *conflict = failed_.empty() ? unpacked_ : JoinPath(root_, failed_);
    return false;
  }

  bool MoveAll(bool* restored) {
    moving_ = true;
    const bool moved = Walk(L"");
    LOG(INFO) << "switch over result:" << moved << ",moved:" << moved_ << ",replaced:" << replaced_
              << ",to:" << WideToUtf8(root_);
    *restored = moved || PutBack();
    return moved;
  }

 private:
  struct Done {
    std::wstring relative;
    bool replaced;  // an old file of that path waits in the aside folder
  };

  bool Walk(const std::wstring& folder) {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    if (!Utils::ListFolder(Below(system_unpacked_, folder), &entries)) {
      return Fail(folder, L"", GetLastError());
    }
    for (const auto& [name, attributes] : entries) {
      const std::wstring relative = folder.empty() ? name : folder + long_paths::kSeparator + name;
      // The run's own folders live in the staging folder: nothing lands there.
      if (folder.empty() && IsStagingFolder(name)) return Conflict(relative);
      const std::wstring system_target = Below(system_root_, relative);
      const DWORD target = GetFileAttributesW(system_target.c_str());
      const bool source_folder =
          IsFolder(attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (target == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
          return Fail(relative, L"", code);
        }
        if (moving_ && !Add(relative)) return false;
      } else if (source_folder != IsFolder(target)) {
        return Conflict(relative);
      } else if (source_folder) {
        if (!Walk(relative)) return false;
      } else if (moving_ && !Replace(relative)) {
        return false;
      }
    }
    return true;
  }

  // An entry the root lacks: renamed there whole.
  bool Add(const std::wstring& relative) {
    DWORD code = 0;
    if (!Rename(Below(system_unpacked_, relative), Below(system_root_, relative), kRenameAttempts,
                &code)) {
      return Fail(relative, JoinPath(root_, relative), code);
    }
    done_.push_back({relative, false});
    ++moved_;
    return true;
  }

  // A file the root has: the old one aside, then the new one in its place.
  bool Replace(const std::wstring& relative) {
    const std::wstring system_target = Below(system_root_, relative);
    const std::wstring system_kept = Below(system_aside_, relative);
    DWORD code = 0;
    if (!MakeAsideFolders(relative, &code) ||
        !Rename(system_target, system_kept, kRenameAttempts, &code)) {
      return Fail(relative, JoinPath(aside_, relative), code);
    }
    if (!Rename(Below(system_unpacked_, relative), system_target, kRenameAttempts, &code)) {
      DWORD ignored = 0;
      Rename(system_kept, system_target, kRenameAttempts, &ignored);
      return Fail(relative, JoinPath(root_, relative), code);
    }
    done_.push_back({relative, true});
    ++replaced_;
    return true;
  }

  // The aside folder and each folder below it on the way to `relative`.
  bool MakeAsideFolders(const std::wstring& relative, DWORD* code) {
    std::vector<std::wstring> folders = {L""};
    for (size_t at = relative.find(long_paths::kSeparator); at != std::wstring::npos;
         at = relative.find(long_paths::kSeparator, at + 1)) {
      folders.push_back(relative.substr(0, at));
    }
    for (const std::wstring& folder : folders) {
      if (made_.count(folder) != 0) continue;
      if (!CreateDirectoryW(Below(system_aside_, folder).c_str(), nullptr) &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        *code = GetLastError();
        return false;
      }
      made_.insert(folder);
    }
    return true;
  }

  bool IsStagingFolder(const std::wstring& name) const {
    Utils::FileFacts facts;
    return has_staging_ && Utils::GetFileFacts(JoinPath(root_, name), &facts) &&
           facts.volume == staging_.volume && facts.index == staging_.index;
  }

  bool Conflict(const std::wstring& relative) {
    failed_ = relative;
    if (moving_) {
      LOG(ERROR) << "archive entry conflicts with the install root:"
                 << WideToUtf8(JoinPath(root_, relative));
    }
    return false;
  }

  bool Fail(const std::wstring& relative, const std::wstring& to, DWORD code) {
    failed_ = relative;
    if (moving_) RecordFailedMove(JoinPath(unpacked_, relative), to, code);
    return false;
  }

  // Every move undone, the last first; true when all are.
  bool PutBack() {
    int put_back = 0;
    for (auto done = done_.rbegin(); done != done_.rend(); ++done) {
      const std::wstring system_target = Below(system_root_, done->relative);
      DWORD code = 0;
      bool back =
          Rename(system_target, Below(system_unpacked_, done->relative), kRenameAttempts, &code);
      if (back && done->replaced) {
        back = Rename(Below(system_aside_, done->relative), system_target, kRenameAttempts, &code);
      }
      if (back) {
        ++put_back;
      } else {
        RecordFailedMove(JoinPath(root_, done->relative), JoinPath(unpacked_, done->relative),
                         code);
      }
    }
    const bool all = put_back == static_cast<int>(done_.size());
    LOG(INFO) << "put back result:" << all << ",entries:" << put_back;
    return all;
  }

  const std::wstring unpacked_;
  const std::wstring root_;
  const std::wstring aside_;
  const std::wstring system_unpacked_;
  const std::wstring system_root_;
  const std::wstring system_aside_;
  bool moving_ = false;
  std::wstring failed_;
  std::vector<Done> done_;
  std::set<std::wstring> made_;
  int moved_ = 0;
  int replaced_ = 0;
  Utils::FileFacts staging_;
  bool has_staging_ = false;
};

}  // namespace

void RemoveLeftovers(const InstallLayout& layout) {
  std::vector<std::pair<std::wstring, DWORD>> entries;
  if (!Utils::ListFolder(long_paths::ExtendedForm(layout.staging_dir), &entries)) return;
  for (const auto& [name, attributes] : entries) {
    if (!StartsWithRunFolderPrefix(name)) continue;
    const std::wstring run = JoinPath(layout.staging_dir, name);
    // A run ended between setting the client folder aside and promoting the
    // new one: the old client comes back first.
    const std::wstring aside = JoinPath(run, L"old");
    if (GetFileAttributesW(long_paths::ExtendedLengthPath(layout.client_dir).c_str()) ==
            INVALID_FILE_ATTRIBUTES &&
        Utils::IsDirectory(aside)) {
      RenameAside(aside, layout.client_dir, "put back result:");
    }
    Utils::RemoveAll(run);
  }
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
      run->aside = JoinPath(path, L"old");
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS || suffix == 100) return false;
  }
}

void RemoveRunFolder(const InstallLayout& layout, const RunFolder& run) {
  if (run.path.empty()) return;
  // An empty folder goes without a record; one with files in it with one.
  if (!RemoveDirectoryW(long_paths::ExtendedLengthPath(run.path).c_str())) {
    Utils::RemoveAll(run.path);
  }
  if (run.made_staging_folder) {
    RemoveDirectoryW(long_paths::ExtendedLengthPath(layout.staging_dir).c_str());
  }
}

bool RenameAside(const std::wstring& from, const std::wstring& to, const char* label) {
  DWORD code = 0;
  const bool renamed = Rename(from, to, kRenameAsideAttempts, &code);
  if (!renamed) RecordFailedMove(from, to, code);
  LOG(INFO) << label << renamed << ",from:" << WideToUtf8(from) << ",to:" << WideToUtf8(to);
  return renamed;
}

bool FitsTheRoot(const std::wstring& unpacked, const std::wstring& root_dir,
                 std::wstring* conflict) {
  return Merge(unpacked, root_dir, L"").Fits(conflict);
}

bool MergeOver(const std::wstring& unpacked, const std::wstring& root_dir,
               const std::wstring& aside, bool* restored) {
  return Merge(unpacked, root_dir, aside).MoveAll(restored);
}
