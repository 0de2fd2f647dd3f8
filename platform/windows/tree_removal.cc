// The removal walk on Windows (platform/tree_removal.h): by handles. Each
// entry below the top is opened by its listed name relative to the handle of
// the folder that holds it (NtCreateFile with a root directory), as itself
// (FILE_OPEN_REPARSE_POINT), so that no path is resolved again on the way
// down; each folder is listed through its handle, which the walk holds
// without delete sharing while it empties the folder, so that nobody renames
// or replaces it meanwhile. A plain file goes with the one open that deletes
// it on close, as DeleteFileW does; a folder is entered only when it is the
// one listed (file index), is no reparse point and lies on the top's volume.
#include "platform/tree_removal.h"

#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Listed {
  std::wstring name;
  DWORD attributes;
  uint64_t index;  // 0 when the file system keeps none
};

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsReadOnly(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_READONLY) != 0; }

// ntdll's calls, looked up as the system's own DLL rather than imported.
template <typename Call>
Call NtCall(const char* name) {
  return reinterpret_cast<Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// Opens the entry `name` of the folder held by `folder` as itself: a link,
// junction or mount point is opened, never what it leads to. INVALID_HANDLE_
// VALUE with the last error set when it cannot be opened.
HANDLE OpenIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
              ULONG options) {
  using Create = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                  PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
  using ToError = ULONG(NTAPI*)(NTSTATUS);
  static const auto create = NtCall<Create>("NtCreateFile");
  static const auto to_error = NtCall<ToError>("RtlNtStatusToDosError");
  if (create == nullptr || to_error == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<PWSTR>(name.c_str());
  object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = INVALID_HANDLE_VALUE;
  const NTSTATUS status =
      create(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, FILE_OPEN,
             options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    SetLastError(to_error(status));
    return INVALID_HANDLE_VALUE;
  }
  return handle;
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

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Folders are held without delete sharing: nobody renames or deletes them
// while the walk is inside.
constexpr ULONG kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;

class Walk {
 public:
  tree_removal::Outcome Run(std::wstring top) {
    while (top.size() > 1 && top.back() == L'\\' && top[top.size() - 2] != L':') top.pop_back();
    const DWORD attributes = GetFileAttributesW(top.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Stop(GetLastError(), L"");
    // The volume the tree lies on: that of the folder holding the top, as the
    // system resolves the caller's path.
    const std::wstring parent = top.substr(0, top.find_last_of(L'\\') + 1);
    HANDLE holder = CreateFileW(parent.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information = {};
    if (holder != INVALID_HANDLE_VALUE) {
      has_volume_ = GetFileInformationByHandle(holder, &information) != FALSE;
      volume_ = information.dwVolumeSerialNumber;
      CloseHandle(holder);
    }
    top_ = top;
    Remove(nullptr, {L"", attributes, 0}, L"");
    return outcome_;
  }

 private:
  tree_removal::Outcome Stop(DWORD error, const std::wstring& at, const char* refusal = nullptr) {
    outcome_.error = error;
    outcome_.at = at;
    outcome_.refusal = refusal;
    return outcome_;
  }

  // Opens `entry` of the folder `parent` (null: the top, by its path).
  HANDLE Open(HANDLE parent, const Listed& entry, ACCESS_MASK access, ULONG share, ULONG options) {
    if (parent != nullptr) return OpenIn(parent, entry.name, access, share, options);
    return CreateFileW(top_.c_str(), access | SYNCHRONIZE, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                           ((options & FILE_DELETE_ON_CLOSE) != 0 ? FILE_FLAG_DELETE_ON_CLOSE : 0),
                       nullptr);
  }

  // Removes the entry `entry` of the folder `parent` (null: the top), whose
  // names below the top are `at`. False once the walk has stopped.
  bool Remove(HANDLE parent, const Listed& entry, const std::wstring& at) {
    const DWORD attributes = entry.attributes;
    if (!IsFolder(attributes) && !IsLink(attributes) && !IsReadOnly(attributes)) {
      // A plain file: one open that deletes it when closed.
      HANDLE file =
          Open(parent, entry, DELETE, kShareAll, FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE);
      if (file == INVALID_HANDLE_VALUE) return Failed(at);
      CloseHandle(file);
      ++outcome_.removed;
      return true;
    }
    if (!IsFolder(attributes) || IsLink(attributes)) {
      // A read-only file, or a link, junction or mount point: removed itself.
      const ACCESS_MASK access = DELETE | (IsReadOnly(attributes) ? FILE_WRITE_ATTRIBUTES : 0);
      HANDLE handle = Open(parent, entry, access, kShareAll, 0);
      if (handle == INVALID_HANDLE_VALUE) return Failed(at);
      const bool removed =
          (!IsReadOnly(attributes) || ClearReadOnly(handle, attributes) || Failed(at)) &&
          (Delete(handle) || Failed(at));
      CloseHandle(handle);
      if (removed) ++outcome_.removed;
      return removed;
    }
    const ACCESS_MASK access = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
    HANDLE folder = Open(parent, entry, access, kShareHeld, FILE_DIRECTORY_FILE);
    bool deletable = folder != INVALID_HANDLE_VALUE;
    if (!deletable && GetLastError() == ERROR_SHARING_VIOLATION) {
      // Somebody's current folder: emptied all the same; its own removal
      // then fails.
      folder = Open(parent, entry, access & ~DELETE, kShareHeld, FILE_DIRECTORY_FILE);
    }
    if (folder == INVALID_HANDLE_VALUE) return Failed(at);
    bool removed = Enter(folder, entry, at) && Empty(folder, at);
    if (removed && !deletable) {
      Stop(ERROR_SHARING_VIOLATION, at);
      removed = false;
    }
    if (removed && !Delete(folder)) removed = Failed(at);
    CloseHandle(folder);
    if (removed) ++outcome_.removed;
    return removed;
  }

  // Whether the opened folder is the one listed, no reparse point, on the
  // tree's volume: only then is it walked.
  bool Enter(HANDLE folder, const Listed& entry, const std::wstring& at) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(folder, &information)) return Failed(at);
    const uint64_t index = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    if ((entry.index != 0 && index != entry.index) || IsLink(information.dwFileAttributes)) {
      Stop(ERROR_FILE_INVALID, at, "replaced during the removal");
      return false;
    }
    if (has_volume_ && information.dwVolumeSerialNumber != volume_) {
      Stop(ERROR_NOT_SAME_DEVICE, at, "on another volume, not entered");
      return false;
    }
    return true;
  }

  bool Empty(HANDLE folder, const std::wstring& at) {
    std::vector<Listed> entries;
    if (!ReadFolder(folder, &entries)) return Failed(at);
    for (const Listed& inner : entries) {
      if (!Remove(folder, inner, at.empty() ? inner.name : at + L"\\" + inner.name)) return false;
    }
    return true;
  }

  // Records the last error as what stopped the walk, unless the entry is
  // gone meanwhile: then there is nothing more to remove there.
  bool Failed(const std::wstring& at) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return !at.empty();
    Stop(code, at);
    return false;
  }

  tree_removal::Outcome outcome_;
  std::wstring top_;
  DWORD volume_ = 0;
  bool has_volume_ = false;
};

}  // namespace

namespace tree_removal {

Outcome RemoveTree(const std::wstring& system_path) { return Walk().Run(system_path); }

}  // namespace tree_removal
