// The removal of a file, a link or a whole folder tree that never leaves the
// tree it removes, in one pass that costs about what the system's own
// recursive removal costs.
//
// A path walk (list a folder, then reach each entry by its path) can be led
// out of the tree: a folder swapped for a link between the listing and the
// descent is followed, and a mount point is entered. This walk holds each
// folder open while it removes what is in it and reaches every entry through
// the folder it holds, never by following a link:
// - Windows (platform/windows/tree_removal.cc): each entry is opened by its
//   listed name relative to the handle of the folder holding it, as itself
//   (FILE_OPEN_REPARSE_POINT); a link, junction or volume mount point is
//   removed itself and never walked, and a folder is entered only when it is
//   the one listed (file index) on the top's volume. Folders are held
//   without delete sharing, so that nobody renames or replaces them while
//   the walk is inside. A plain file goes with one open that deletes it on
//   close, as DeleteFileW does; a read-only file is made writable through
//   its handle first.
// - POSIX (platform/posix/tree_removal.cc): folders are opened relative to
//   the open parent, without following links, and read with getdents; files
//   are removed with unlinkat relative to the open parent: a link is removed
//   itself, also one swapped in during the walk. A folder on another mount
//   than its parent (a bind mount included) is not entered.
// Port rules of the POSIX walk, where Linux is more lenient than Windows:
// - The file of a running program is not removed: the images of every
//   process are read once per walk (their device and inode) and compared with
//   the inode the listing gives, so that no call per file is needed.
// - Read-only files go without a change of their attributes, as the caller's
//   clearing of the attribute would have made them go on Windows.
// - A folder that refuses its owner the listing, or the removal of its
//   entries, gets its owner's rights for that, as Windows ignores folder
//   attributes.
// The walk stops at the first entry it cannot remove; what it removed before
// stays removed and is counted.
#ifndef PLATFORM_TREE_REMOVAL_H_
#define PLATFORM_TREE_REMOVAL_H_

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace tree_removal {

struct Outcome {
  // Entries removed, the top included.
  uint64_t removed = 0;
  // ERROR_SUCCESS, or the system error that stopped the walk. The top missing
  // gives ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND with `at` empty.
  DWORD error = ERROR_SUCCESS;
  // Where the walk stopped: the names below the top, joined by the system's
  // separator; empty for the top itself.
  std::wstring at;
  // Why the walk left an entry alone when the system refused nothing: an
  // entry on another volume or mount ("on another volume, not entered"), an
  // entry that was not the one listed ("replaced during the removal");
  // null otherwise.
  const char* refusal = nullptr;
};

// Removes the entry at `system_path` (an extended-length form, see
// long_paths::ExtendedForm) and, when it is a folder and not a link, a
// junction or a mount point, everything below it. The path's own folders
// are followed as the system resolves them; nothing below it is.
Outcome RemoveTree(const std::wstring& system_path);

}  // namespace tree_removal

#endif  // PLATFORM_TREE_REMOVAL_H_
