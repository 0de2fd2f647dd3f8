// The removal walk on Windows (platform/tree_removal.h): by handles. Each
// entry is opened as itself through its folder's extended-length path and
// the name the listing gave, checked against the listing (file index) and
// the top's volume, and deleted through that handle; each folder is listed
// through its handle, which the walk holds, without delete sharing, while it
// empties the folder.
#include "platform/tree_removal.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/long_paths.h"

namespace {

struct Listed {
  std::wstring name;
  DWORD attributes;
  uint64_t index;  // 0 when the file system keeps none
};

struct Opened {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD attributes = 0;
  DWORD volume = 0;
  uint64_t index = 0;
};

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Opens an entry as itself, never what a link, junction or mount point leads
// to. A folder is held without delete sharing: nobody else renames or
// deletes it while the walk is inside.
bool Open(const std::wstring& path, DWORD access, bool folder, Opened* opened) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (folder ? 0 : FILE_SHARE_DELETE);
  opened->handle = CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share,
                               nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened->handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(opened->handle, &information)) {
    const DWORD code = GetLastError();
    CloseHandle(opened->handle);
    SetLastError(code);
    return false;
  }
  opened->attributes = information.dwFileAttributes;
  opened->volume = information.dwVolumeSerialNumber;
  opened->index = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  return true;
}

// Every entry of a folder open for listing, "." and ".." left out, sorted by
// name.
bool ReadFolder(HANDLE folder, std::vector<Listed>* entries) {
  std::vector<uint64_t> buffer(8192);  // 64 KiB, aligned for the records
  FILE_INFO_BY_HANDLE_CLASS query = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(folder, query, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(uint64_t)))) {
      if (GetLastError() == ERROR_NO_MORE_FILES) break;
      return false;
    }
    query = FileIdBothDirectoryInfo;
    const char* record = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(record);
      const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        entries->push_back(
            {name, entry->FileAttributes, static_cast<uint64_t>(entry->FileId.QuadPart)});
      }
      if (entry->NextEntryOffset == 0) break;
      record += entry->NextEntryOffset;
    }
  }
  std::sort(entries->begin(), entries->end(),
            [](const Listed& a, const Listed& b) { return a.name < b.name; });
  return true;
}

bool Delete(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

bool ClearReadOnly(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic = {};  // times of 0: left as they are
  basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

class Walk {
 public:
  tree_removal::Outcome Run(std::wstring top) {
    while (top.size() > 1 && top.back() == L'\\' && top[top.size() - 2] != L':') top.pop_back();
    // The volume the tree lies on: that of the folder holding the top, as the
    // system resolves the caller's path.
    std::wstring parent = top;
    parent.erase(parent.find_last_of(L'\\') == std::wstring::npos ? 0 : parent.find_last_of(L'\\'));
    const DWORD probe = GetFileAttributesW(top.c_str());
    if (probe == INVALID_FILE_ATTRIBUTES) return Stop(GetLastError(), L"");
    HANDLE holder = CreateFileW((parent + L"\\").c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information = {};
    if (holder != INVALID_HANDLE_VALUE) {
      has_volume_ = GetFileInformationByHandle(holder, &information) != FALSE;
      volume_ = information.dwVolumeSerialNumber;
      CloseHandle(holder);
    }
    Remove(top, {L"", probe, 0}, L"");
    return outcome_;
  }

 private:
  tree_removal::Outcome Stop(DWORD error, const std::wstring& at, const char* refusal = nullptr) {
    outcome_.error = error;
    outcome_.at = at;
    outcome_.refusal = refusal;
    return outcome_;
  }

  // Removes the entry at `path` that the listing showed as `entry` (the top:
  // no listing). False once the walk has stopped.
  bool Remove(const std::wstring& path, const Listed& entry, const std::wstring& at) {
    const bool link = IsLink(entry.attributes);
    const bool folder = IsFolder(entry.attributes) && !link;
    DWORD access = DELETE;
    if (folder) access |= FILE_LIST_DIRECTORY;
    if ((entry.attributes & FILE_ATTRIBUTE_READONLY) != 0 && !folder) {
      access |= FILE_WRITE_ATTRIBUTES;
    }
    Opened opened;
    bool deletable = Open(path, access, folder, &opened);
    if (!deletable && folder && GetLastError() == ERROR_SHARING_VIOLATION) {
      // A folder that is somebody's current folder: emptied all the same,
      // and its own removal then fails.
      if (!Open(path, access & ~DELETE, folder, &opened)) return Failed(at);
    } else if (!deletable) {
      return Failed(at);
    }
    bool removed = Check(entry, opened, at);
    if (removed && folder && IsFolder(opened.attributes) && !IsLink(opened.attributes)) {
      removed = Empty(path, opened.handle, at);
    }
    if (removed && (opened.attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !IsFolder(opened.attributes) && !ClearReadOnly(opened.handle, opened.attributes)) {
      removed = Failed(at);
    }
    if (removed && !deletable) {
      Stop(ERROR_SHARING_VIOLATION, at);
      removed = false;
    }
    if (removed && !Delete(opened.handle)) removed = Failed(at);
    CloseHandle(opened.handle);
    if (removed) ++outcome_.removed;
    return removed;
  }

  // Whether the opened entry is the one listed, on the tree's volume. A link
  // or junction (in the listing or as opened) is then removed itself, never
  // walked.
  bool Check(const Listed& entry, const Opened& opened, const std::wstring& at) {
    if (entry.index != 0 && opened.index != entry.index) {
      Stop(ERROR_FILE_INVALID, at, "replaced during the removal");
      return false;
    }
    if (has_volume_ && opened.volume != volume_) {
      Stop(ERROR_NOT_SAME_DEVICE, at, "on another volume, not entered");
      return false;
    }
    return true;
  }

  bool Empty(const std::wstring& path, HANDLE handle, const std::wstring& at) {
    std::vector<Listed> entries;
    if (!ReadFolder(handle, &entries)) return Failed(at);
    for (const Listed& inner : entries) {
      const std::wstring inner_at = at.empty() ? inner.name : at + L"\\" + inner.name;
      if (!Remove(long_paths::ChildPath(path, inner.name), inner, inner_at)) return false;
    }
    return true;
  }

  bool Failed(const std::wstring& at) {
    const DWORD code = GetLastError();
    // Gone meanwhile: nothing more to remove there.
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return !at.empty();
    Stop(code, at);
    return false;
  }

  tree_removal::Outcome outcome_;
  DWORD volume_ = 0;
  bool has_volume_ = false;
};

}  // namespace

namespace tree_removal {

Outcome RemoveTree(const std::wstring& system_path) { return Walk().Run(system_path); }

}  // namespace tree_removal
