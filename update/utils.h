// Stateless process and file operations that the update procedure uses.
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
  bool hide_window = false;
  bool breakaway_from_job = false;
  std::wstring working_directory;  // empty: the updater's current folder
  bool wait_for_exit = false;
  bool allow_set_foreground = false;
};

// Processes.
DWORD GetProcessSessionId(DWORD process_id);
std::wstring GetProcessFullpathByPId(DWORD process_id);
bool ForEachProcess(ProcessVisitor visitor, void* context);
int32_t KillProcessesByName(const std::wstring& name);
bool TerminateProcessById(DWORD process_id);
PROCESS_INFORMATION LaunchProcess(std::wstring command_line, LaunchOptions options);

// Files.
bool IsDirectory(std::wstring path);
bool ClearReadOnlyRecursive(std::wstring folder);
bool RemoveAll(std::wstring path);
BOOL MoveDir(std::wstring source, std::wstring destination);

// The folder of the running program joined with `name`.
std::wstring GetExeDirFilePath(const wchar_t* name);

}  // namespace Utils

#endif  // UPDATE_UTILS_H_
