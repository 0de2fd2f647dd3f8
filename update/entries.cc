#include "update/entries.h"

#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/logging.h"

namespace {

constexpr DWORD kRenamePauseMs = 20;

}  // namespace

bool EntryExists(const std::wstring& system_path) {
  return GetFileAttributesW(system_path.c_str()) != INVALID_FILE_ATTRIBUTES;
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
    if (*code == ERROR_ALREADY_EXISTS || *code == ERROR_FILE_EXISTS) return false;
    Sleep(kRenamePauseMs);
  }
  return false;
}

void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code) {
  LOG(ERROR) << "move file failed,src path:" << WideToUtf8(long_paths::PlainForm(from))
             << " dst path:" << WideToUtf8(long_paths::PlainForm(to)) << " getlasterror:" << code;
}
