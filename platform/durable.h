// Making what the update wrote durable: on the disk, not only in the
// system's cache, before a later step relies on it. A power cut keeps only
// what reached the disk, and a rename can reach it long before the data of
// the file it names (ext4 and xfs give a new file its blocks only when they
// write it back, tens of seconds later): so the new client's files are made
// durable before a rename puts them in place, and the folders whose entries
// renames changed before anything those renames replaced is removed. The
// order is a package installer's: write everything, sync once, rename, and
// remove the old only once the renames are on disk.
// - POSIX (platform/posix/durable.cc): new files by one syncfs of their
//   volume, which writes back every file of it at once; folders by an fsync
//   of each.
// - Windows (platform/windows/durable.cc): each file flushed (FlushFileBuffers
//   on a handle opened for writing, a read-only file's attribute cleared for
//   the open and set again through the handle), several at a time; each
//   folder flushed through a handle of its own where the system allows it.
//   NTFS keeps its folders' entries in a log that each flush writes out.
#ifndef PLATFORM_DURABLE_H_
#define PLATFORM_DURABLE_H_

#include <string>
#include <vector>

#include "platform/win32.h"

namespace durable {

// Makes the data of the new files and the entries of the new folders (all on
// the volume of `system_volume`) durable. Paths in extended-length form.
// False, with the system's error as the last error, when one could not be.
bool FlushNewFiles(const std::wstring& system_volume, const std::vector<std::wstring>& system_files,
                   const std::vector<std::wstring>& system_folders);

// Makes the entries of folders durable, after renames into and out of them.
// A folder that is gone needs nothing. False, with the system's error as the
// last error, when one could not be.
bool FlushFolders(const std::vector<std::wstring>& system_folders);

}  // namespace durable

#endif  // PLATFORM_DURABLE_H_
