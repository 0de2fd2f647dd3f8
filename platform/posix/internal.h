// Shared pieces of the POSIX layer: the handle table, the Win32 error
// numbering, text conversion and process spawning.
#ifndef PLATFORM_POSIX_INTERNAL_H_
#define PLATFORM_POSIX_INTERNAL_H_

#include <sys/types.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace posix {

// Anything a HANDLE can stand for. CloseHandle destroys it.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  // The descriptor that a new process may take as its standard output: the
  // object's own when its handle is inheritable, else -1.
  virtual int InheritableFd() const { return -1; }
};

// Registers an object and returns its handle: small multiples of 4, as
// Windows hands them out.
HANDLE RegisterHandle(std::unique_ptr<HandleObject> object);

// The object behind a handle when it is of type T, else null (error 6 set).
HandleObject* LookupHandleObject(HANDLE handle);
template <typename T>
T* LookupHandle(HANDLE handle) {
  T* object = dynamic_cast<T*>(LookupHandleObject(handle));
  if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// Win32 error number for an errno value.
DWORD ErrorFromErrno(int error);
// Sets the last error from errno and returns FALSE, for one-line failure paths.
BOOL FailWithErrno();
BOOL Fail(DWORD code);

// The system's bytes (file names, arguments, environment) <-> wide text, one
// code point per wchar_t. Any bytes round-trip: a byte that is not part of
// valid UTF-8 becomes the lone surrogate U+DC80 to U+DCFF and goes back to
// the same byte; U+FFFD is never written into a name.
std::string ToNative(const std::wstring& wide);
std::string ToNative(const wchar_t* wide);
std::wstring FromNative(const std::string& narrow);

// The bytes of a path handed to a file function, as Windows without its
// long-path setting takes it: a path in extended-length form ("\\?\"
// followed by a full path) is taken as it stands after the prefix; any other
// path of `limit` characters or more is refused with ERROR_PATH_NOT_FOUND,
// as Windows refuses it (MAX_PATH, or MAX_PATH - 12 for a new folder, which
// must leave room for an 8.3 name). False, with the last error set, when
// refused.
bool NativePath(LPCWSTR path, std::string* native, size_t limit = MAX_PATH);

// Splits a command line by the Windows rules: the first token is the program
// name (quoted or up to the first blank, no escapes), later tokens follow the
// rules of backslashes and quotes.
std::vector<std::wstring> SplitCommandLine(const std::wstring& command_line);
// The reverse, joining arguments with quotes, is text_rules::JoinCommandLine.

// Starts a program without a shell. The new process gets /dev/null as its
// standard streams and, with `new_session`, a session of its own, so that it
// outlives the caller like a Windows process started with its own console.
// Returns the pid, or -1 with errno set.
struct SpawnRequest {
  std::string program;  // path of the file to run
  std::vector<std::string> argv;
  std::string working_directory;  // empty: inherit
  bool new_session = true;
  int output_fd = -1;  // standard output and error of the new process; -1: /dev/null
};
pid_t Spawn(const SpawnRequest& request);

// Finds a program's file as Windows finds the first token of a command line:
// a token with a separator names a path (relative to the current folder);
// a bare name is looked up in the current folder and then along PATH.
// Returns an empty string with the last error set when nothing is found.
std::string FindProgram(const std::string& token);

// A process handle for `pid`, with the given access. `child` marks a process
// that this process started, whose exit code can be read once it has ended.
HANDLE MakeProcessHandle(pid_t pid, DWORD access, bool child);

// The descriptor behind an inheritable handle of a pipe (CreatePipe) or of a
// file open for appending, or -1 with the last error set.
int InheritableDescriptor(HANDLE handle);
// The descriptor behind a file handle that CreateFileW opened for reading, or
// -1 with the last error set.
int ReadableDescriptor(HANDLE handle);

// CreateFileW of a file for appending (FILE_APPEND_DATA, with FILE_READ_DATA
// and SYNCHRONIZE at most), OPEN_ALWAYS, OPEN_EXISTING or CREATE_NEW; the
// handle is inheritable when `attributes` say so. With `private_to_user` a
// file it makes is the user's alone (0600), and one of the user's own that
// others may use loses their rights.
// A file it makes otherwise gets the write rights its folder gives (as a file
// on Windows inherits its folder's access list), whatever the process's
// umask. With `no_follow`, a link at `path` is not followed.
HANDLE OpenForAppend(LPCWSTR path, DWORD access, DWORD disposition,
                     LPSECURITY_ATTRIBUTES attributes = nullptr, bool private_to_user = false,
                     bool no_follow = false);
// CreateFileW of an existing file for writing (FILE_WRITE_DATA, GENERIC_WRITE),
// nothing truncated: refused for a folder and a read-only file (error 5), as
// Windows refuses them, and for a running program's file (error 32).
HANDLE OpenToWrite(LPCWSTR path);

// Whether a running process executes the file at `path`, whose identity is
// `device` and `inode`: exact, and in constant time where the kernel refuses
// to open a running program's file for writing (ETXTBSY); by a walk of every
// process's image otherwise.
bool IsRunningImage(const std::string& path, dev_t device, ino_t inode);

// The identities (device and inode) of the files that running processes
// execute, read once from every process's image: exact for the processes this
// one may inspect.
std::set<std::pair<dev_t, ino_t>> RunningImages();

}  // namespace posix

#endif  // PLATFORM_POSIX_INTERNAL_H_
