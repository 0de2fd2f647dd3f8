// Stateless process and file operations that the update procedure uses.
//
// Every operation reports failure through its result and its own log records;
// none raises an exception of its own unless it says so. Paths may be of any
// length: they reach the system in extended-length form when they are long.
#ifndef UPDATE_UTILS_H_
#define UPDATE_UTILS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace Utils {

// Called by ForEachProcess for each process of the caller's session, with its
// id and full image path (empty when it could not be read). Returns false to
// stop the walk.
using ProcessVisitor = bool (*)(DWORD process_id, const std::wstring& full_path, void* context);

// What KillProcessesByName hands through the walk.
struct KillByNameContext {
  int32_t count;        // processes terminated so far
  const wchar_t* name;  // executable file name to match
};

struct LaunchOptions {
  bool hide_window = false;         // first window shown hidden, else normally
  bool breakaway_from_job = false;  // ask to leave the updater's job
  std::wstring working_directory;   // empty: the updater's current folder
  bool wait_for_exit = false;       // return only once the process has ended
  bool allow_set_foreground = false;
  HANDLE output = nullptr;  // inheritable handle for standard output and error; null: none
};

// A handle that names an object: neither null nor INVALID_HANDLE_VALUE.
bool IsUsable(HANDLE handle);

// Processes.

// The session of a process; 0 for process id 0 and when it cannot be read
// (with a WARNING record unless access was denied).
DWORD GetProcessSessionId(DWORD process_id);
// The full image path of a process, however long; empty when it cannot be
// read (with a WARNING record unless access was denied or the process ended).
std::wstring GetProcessFullpathByPId(DWORD process_id);
// Visits every process of the caller's session, the caller included, in
// snapshot order. False when no snapshot could be taken or a standard
// exception was caught (each with a WARNING record); true otherwise, also
// when the visitor stopped the walk.
bool ForEachProcess(ProcessVisitor visitor, void* context);
// Terminates (exit code 0) every process of the caller's session whose image
// file name equals `name`, ignoring the case of A to Z; an empty name matches
// nothing. Returns how many terminations succeeded; does not wait for them.
int32_t KillProcessesByName(const std::wstring& name);
// Terminates (exit code 0) every process of the caller's session whose
// program lies in `folder` or below it, judged by file identity so that no
// link or other spelling of a path hides it, except those whose image file
// name is `except` (ignoring the case of A to Z). Each gets the records of a
// kill by name. Returns how many terminations succeeded.
int32_t KillProcessesInFolder(const std::wstring& folder, const std::wstring& except);
// Terminates one process with exit code 0, without waiting for it; a record
// either way.
bool TerminateProcessById(DWORD process_id);
// Starts a command line on the interactive desktop. All-zero on failure, with
// an ERROR record naming the command line. On success both handles belong to
// the caller.
PROCESS_INFORMATION LaunchProcess(std::wstring command_line, LaunchOptions options);
// Runs a command line hidden, with its standard output and error going to the
// new file `output_file`, waits for its end and reads the file into `output`,
// then deletes it. A file, not a pipe: under Wine each write into a pipe is a
// round trip to the Wine server, and 7-Zip writes a line at a time. True with
// its exit code when it was started and its code was read; nothing is
// recorded beyond the launch's own record. False leaves the system's error
// of the step that failed as the last error.
bool RunForOutput(const std::wstring& command_line, const std::wstring& output_file,
                  std::string* output, DWORD* exit_code);
// The whole content of a file, opened with every sharing allowed; false when
// it cannot be opened or holds more than `limit` bytes.
bool ReadWholeFile(const std::wstring& path, std::string* text, uint64_t limit = UINT64_MAX);

// Files.

// What the system tells of an existing path, links followed: its attributes,
// its volume and its identity on that volume, and its type (FILE_TYPE_DISK
// for a file or folder, otherwise a pipe, a device...). False when the path
// cannot be opened (missing, refused, invalid); never raises.
struct FileFacts {
  DWORD attributes = 0;
  DWORD volume = 0;
  uint64_t index = 0;
  uint64_t born = 0;  // when it was made (StepsOf), where the volume tells; else 0
  DWORD type = FILE_TYPE_UNKNOWN;
};
// Without `follow`, a link at `path` is described itself.
bool GetFileFacts(const std::wstring& path, FileFacts* facts, bool follow = true);
// The path an existing entry really has, every link on the way resolved, in
// plain form; empty when the system cannot tell.
std::wstring FinalPathOf(const std::wstring& path);
// Whether `inner` is the entry `outer` describes or lies below it, by file
// identity: `outer` compared with `inner` and with each of its ancestors as
// written, so that neither a link on the way nor another spelling of a path
// hides it. `when_undecidable` where an identity on the way exists but
// cannot be read.
bool LiesWithin(const std::wstring& inner, const FileFacts& outer, bool when_undecidable);
// The volume on which a rename of the entry at `path` happens: with
// `follow`, that of the folder `path` leads to (where entries renamed into it
// land); without, that of the entry itself, a link being what a rename of it
// moves. Entries move into each other's places by renames only within one
// volume (on POSIX, one mount). False when the system cannot tell.
bool GetRenameVolume(const std::wstring& path, bool follow, uint64_t* volume);
// The name of the file system that holds the entry at `path` ("NTFS",
// "FAT32"...; the POSIX layer tells none: an empty name). False when the
// system cannot tell.
bool GetFileSystemName(const std::wstring& path, std::wstring* name);
// True when the path, links followed, names an existing folder; false for a
// file, a missing path and any error. Never raises.
bool IsDirectory(std::wstring path);
// Clears the read-only attribute of every file in the tree, depth first,
// leaving folders' own attributes and every other attribute alone; does not
// enter links. False only when the folder cannot be listed; a file that
// refuses gets two ERROR records and the walk goes on. Like every walk here,
// it reaches each entry through its folder's extended-length form, so that
// names Windows reads otherwise in plain paths ("aux.js", "trail.") are
// reached too.
bool ClearReadOnlyRecursive(std::wstring folder);
// A file time as one number: 100-nanosecond steps since 1601.
inline uint64_t StepsOf(const FILETIME& time) {
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}
// An entry of a folder as its listing gives it: its name, its attributes (a
// link as a reparse point), when it last changed (StepsOf), 0 where the
// listing does not give an entry's own time (a folder's on Windows,
// platform/listing.h), and its
// size (a file's; 0 for a folder).
struct ListedEntry {
  std::wstring name;
  DWORD attributes = 0;
  uint64_t last_write = 0;
  uint64_t size = 0;
  bool operator<(const ListedEntry& other) const { return name < other.name; }
};
// The entries of a folder given in extended-length form (long_paths::
// ExtendedForm), "." and ".." left out, sorted by name. False, with the
// system's error as the last error, when the folder cannot be listed.
bool ListFolder(const std::wstring& system_folder, std::vector<ListedEntry>* entries);
// Removes a file, a link (never what it leads to) or a whole folder tree,
// read-only files included, without ever leaving the tree: a link, junction
// or mount point below the path is removed itself or left, never entered,
// also one swapped in during the removal. True when at least one entry was
// removed and none refused; one INFO record with the count of entries
// removed, and an ERROR record first when an entry refused (the walk stops
// there; the entries removed before it stay removed and are counted, and the
// result is false).
bool RemoveAll(std::wstring path);
// Moves a folder to `destination` on the same volume: creates the missing
// parents of the destination, removes a folder standing there, then moves.
// Non-zero only when the source now stands at the destination. Refuses,
// with a WARNING record and nothing changed, a destination that is the
// source, holds it or lies inside it, judged by the paths as written and by
// file identity; when that cannot be decided, it refuses too. Raises
// std::filesystem::filesystem_error ("create_directories") when a missing
// parent cannot be created.
BOOL MoveDir(std::wstring source, std::wstring destination);
// The bytes the caller may still write on the volume of `path` (its nearest
// existing folder). False when the system cannot tell.
bool FreeBytesAt(const std::wstring& path, uint64_t* free_bytes);

// The full path of the running program, however long; empty when it cannot
// be read.
std::wstring GetProgramPath();
// The folder of the running program joined with `name`.
std::wstring GetExeDirFilePath(const wchar_t* name);

}  // namespace Utils

#endif  // UPDATE_UTILS_H_
