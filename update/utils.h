// Stateless process and file operations that the update procedure uses.
//
// Every operation reports failure through its result and its own log records;
// none raises an exception of its own unless it says so. Paths may be of any
// length: they reach the system in extended-length form when they are long.
#ifndef UPDATE_UTILS_H_
#define UPDATE_UTILS_H_

#include <cstdint>
#include <string>

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
// Terminates one process with exit code 0, without waiting for it; a record
// either way.
bool TerminateProcessById(DWORD process_id);
// Starts a command line on the interactive desktop. All-zero on failure, with
// an ERROR record naming the command line. On success both handles belong to
// the caller.
PROCESS_INFORMATION LaunchProcess(std::wstring command_line, LaunchOptions options);
// Runs a command line hidden, with its standard output and error captured
// into `output`, and waits for its end. True with its exit code when it was
// started and its code was read; nothing is recorded beyond the launch's own
// record.
bool RunForOutput(const std::wstring& command_line, std::string* output, DWORD* exit_code);

// Files.

// What the system tells of an existing path, links followed: its attributes,
// its volume and its identity on that volume. False when the path cannot be
// opened (missing, refused, invalid); never raises.
struct FileFacts {
  DWORD attributes = 0;
  DWORD volume = 0;
  uint64_t index = 0;
};
bool GetFileFacts(const std::wstring& path, FileFacts* facts);
// True when the path, links followed, names an existing folder; false for a
// file, a missing path and any error. Never raises.
bool IsDirectory(std::wstring path);
// Clears the read-only attribute of every file in the tree, depth first,
// leaving folders' own attributes and every other attribute alone; does not
// enter links. False only when the folder cannot be listed; a file that
// refuses gets two ERROR records and the walk goes on.
bool ClearReadOnlyRecursive(std::wstring folder);
// Removes a file, a link (never what it leads to) or a whole folder tree,
// read-only files included. True when at least one entry was removed; one
// INFO record with the count, and an ERROR record first when an entry
// refused (the entries removed before it stay removed, the count is 0).
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
// The bytes of the files in a tree (links not followed); 0 for a missing one.
uint64_t TreeSize(const std::wstring& folder);
// The bytes the caller may still write on the volume of `path` (its nearest
// existing folder). False when the system cannot tell.
bool FreeBytesAt(const std::wstring& path, uint64_t* free_bytes);

// The folder of the running program joined with `name`.
std::wstring GetExeDirFilePath(const wchar_t* name);

}  // namespace Utils

#endif  // UPDATE_UTILS_H_
