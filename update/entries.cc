#include "update/entries.h"

#include <algorithm>
#include <vector>

#include "platform/listing.h"
#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/logging.h"

namespace {

constexpr DWORD kRenamePauseMs = 20;

}  // namespace

bool EntryExists(const std::wstring& system_path) {
  return GetFileAttributesW(system_path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool EntryNamed(const std::wstring& system_path) {
  WIN32_FIND_DATAW data = {};
  HANDLE found = FindFirstFileW(system_path.c_str(), &data);
  if (found == INVALID_HANDLE_VALUE) return false;
  FindClose(found);
  const size_t separator = system_path.find_last_of(L"\\/");
  return listing::CompareNames(data.cFileName, system_path.substr(separator + 1)) == 0;
}

EntryId IdentityOf(const std::wstring& system_path, bool stable) {
  Utils::FileFacts facts;
  EntryId id;
  if (stable && Utils::GetFileFacts(system_path, &facts, false)) {
    id.known = true;
    id.volume = facts.volume;
    id.index = facts.index;
    id.born = facts.born;
  }
  return id;
}

bool IsEntry(const std::wstring& system_path, const EntryId& id) {
  return id.known ? IdentityOf(system_path) == id : EntryExists(system_path);
}

bool RenameEntry(const std::wstring& from, const std::wstring& to, int attempts, DWORD* code,
                 void (*before_retry)(void*), void* context) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0 && before_retry != nullptr) before_retry(context);
    if (MoveFileExW(from.c_str(), to.c_str(), 0)) return true;
    *code = GetLastError();
    // A name that is taken stays taken: no pause will help.
    if (IsNameTaken(*code)) return false;
    Sleep(kRenamePauseMs);
  }
  return false;
}

bool IsNameTaken(DWORD code) { return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS; }

bool RenameOrRecord(const std::wstring& from, const std::wstring& to, int attempts) {
  DWORD code = 0;
  if (RenameEntry(from, to, attempts, &code)) return true;
  RecordFailedMove(from, to, code);
  return false;
}

bool IsFatFamily(const std::wstring& file_system) {
  return file_system.rfind(L"FAT", 0) == 0 || file_system == L"exFAT";
}

std::wstring KeptName(const std::wstring& system_folder, const std::wstring& name) {
  const size_t dot = name.rfind(L'.');
  const bool has_extension = dot != std::wstring::npos && dot > 0;
  const std::wstring stem = has_extension ? name.substr(0, dot) : name;
  const std::wstring extension = has_extension ? name.substr(dot) : std::wstring();
  for (int n = 1;; ++n) {
    const std::wstring kept =
        stem + L" (kept" + (n == 1 ? std::wstring() : L" " + std::to_wstring(n)) + L")" + extension;
    if (!EntryExists(long_paths::ChildPath(system_folder, kept)) || n == 1000) return kept;
  }
}

namespace {

bool IsRealFolder(const std::wstring& system_path) {
  const DWORD attributes = GetFileAttributesW(system_path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
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

}  // namespace

bool MergeInto(const std::wstring& from, const std::wstring& to, int attempts) {
  DWORD code = 0;
  if (RenameEntry(from, to, attempts, &code)) return true;
  if (!IsNameTaken(code)) {
    RecordFailedMove(from, to, code);
    return false;
  }
  if (IsRealFolder(from) && IsRealFolder(to)) {
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
  // The newer stays in place; an identical copy adds nothing.
  if (SameBytes(from, to)) return true;
  const std::wstring kept = long_paths::ChildPath(FolderOf(to), KeptName(FolderOf(to), NameOf(to)));
  if (!RenameOrRecord(from, kept, attempts)) return false;
  LOG(WARNING) << "entry kept beside a newer one:" << WideToUtf8(long_paths::PlainForm(kept))
               << ",newer:" << WideToUtf8(long_paths::PlainForm(to));
  return true;
}

namespace {

// CarryInto for the folder `relative` below both.
bool CarryIn(const std::wstring& from_root, const std::wstring& to_root,
             const std::wstring& relative, const AppearedSince& appeared, int attempts,
             const UnchangedSince& unchanged) {
  const std::wstring from =
      relative.empty() ? from_root : long_paths::ChildPath(from_root, relative);
  const std::wstring to = relative.empty() ? to_root : long_paths::ChildPath(to_root, relative);
  const auto child_of = [&](const std::wstring& name) {
    return relative.empty() ? name : relative + long_paths::kSeparator + name;
  };
  bool complete = true;
  std::vector<std::wstring> folders;
  if (unchanged != nullptr && unchanged(relative, &folders)) {
    for (const std::wstring& name : folders) {
      complete =
          CarryIn(from_root, to_root, child_of(name), appeared, attempts, unchanged) && complete;
    }
    return complete;
  }
  std::vector<Utils::ListedEntry> froms;
  std::vector<Utils::ListedEntry> tos;
  if (!Utils::ListFolder(from, &froms) || !Utils::ListFolder(to, &tos)) return true;
  SortByName(&tos);
  for (const Utils::ListedEntry& entry : froms) {
    const auto same = FindNamed(tos, entry.name);
    const std::wstring source = long_paths::ChildPath(from, entry.name);
    std::wstring target = long_paths::ChildPath(to, entry.name);
    bool beside = false;
    if (same != tos.end()) {
      constexpr DWORD kFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
      if ((entry.attributes & kFolder) == FILE_ATTRIBUTE_DIRECTORY &&
          (same->attributes & kFolder) == FILE_ATTRIBUTE_DIRECTORY) {
        complete =
            CarryIn(from_root, to_root, child_of(entry.name), appeared, attempts, unchanged) &&
            complete;
        continue;
      }
      if (!appeared(relative, entry.name)) continue;
      beside = true;
      target = long_paths::ChildPath(to, KeptName(to, entry.name));
    }
    DWORD code = 0;
    bool moved = RenameEntry(source, target, attempts, &code);
    if (!moved && !beside && IsNameTaken(code)) {
      // The volume reads the name as another entry's (its short name).
      beside = true;
      target = long_paths::ChildPath(to, KeptName(to, entry.name));
      moved = RenameEntry(source, target, attempts, &code);
    }
    if (!moved) {
      RecordFailedMove(source, target, code);
      complete = false;
    } else if (beside) {
      LOG(WARNING) << "entry kept beside:" << WideToUtf8(long_paths::PlainForm(target))
                   << ",next to:"
                   << WideToUtf8(long_paths::PlainForm(long_paths::ChildPath(to, entry.name)));
    }
  }
  return complete;
}

}  // namespace

bool CarryInto(const std::wstring& from, const std::wstring& to, const AppearedSince& appeared,
               int attempts, const UnchangedSince& unchanged) {
  return CarryIn(from, to, L"", appeared, attempts, unchanged);
}

void SortByName(std::vector<Utils::ListedEntry>* entries) {
  std::sort(entries->begin(), entries->end(),
            [](const Utils::ListedEntry& a, const Utils::ListedEntry& b) {
              return listing::CompareNames(a.name, b.name) < 0;
            });
}

std::vector<Utils::ListedEntry>::const_iterator FindNamed(
    const std::vector<Utils::ListedEntry>& entries, const std::wstring& name) {
  const auto found = std::lower_bound(entries.begin(), entries.end(), name,
                                      [](const Utils::ListedEntry& entry, const std::wstring& key) {
                                        return listing::CompareNames(entry.name, key) < 0;
                                      });
  return found != entries.end() && listing::CompareNames(found->name, name) == 0 ? found
                                                                                 : entries.end();
}

void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code) {
  LOG(ERROR) << "move file failed,src path:" << WideToUtf8(long_paths::PlainForm(from))
             << " dst path:" << WideToUtf8(long_paths::PlainForm(to)) << " getlasterror:" << code;
}
