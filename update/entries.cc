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
