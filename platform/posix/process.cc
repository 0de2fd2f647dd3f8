// Processes through pidfds and /proc, and pipes.
//
// A process handle is a pidfd. The session of a process is its real user id.
// A process that this process started is its child: its exit code is read
// with waitid once it has ended; the exit code of any other process is not
// available on Linux.
//
// Port rules:
// - A program that the dynamic loader cannot load (a library it needs is
//   missing) ends with the loader's status 127, which reads as Windows'
//   STATUS_DLL_NOT_FOUND, as a Windows program whose library is missing ends.
// - A program that dies of a fault (SIGSEGV, SIGILL, SIGFPE, SIGBUS, SIGABRT,
//   SIGSYS) ends with the exception status Windows gives a program for the
//   same fault (C0000005 for an access violation, ...), so that a caller
//   tells a crash from an exit; another signal (a kill) gives 128 + its number.
// - An exit code asked for by TerminateProcess belongs to that process, not
//   to its id: the codes kept by id are forgotten as soon as a new process of
//   ours gets that id (the kernel reuses ids), so that it never reads the
//   code of an earlier process.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/posix/internal.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace posix {
namespace {

// The exit status of the dynamic loader when it cannot load a program.
constexpr int kLoaderFailed = 127;

// The status Windows gives a program that ends of the fault a signal reports;
// 128 + the signal's number for a signal that reports no fault.
DWORD StatusOfSignal(int signal) {
  switch (signal) {
    case SIGSEGV:
      return 0xC0000005u;  // STATUS_ACCESS_VIOLATION
    case SIGBUS:
      return 0xC0000006u;  // STATUS_IN_PAGE_ERROR: a mapped file cut short
    case SIGILL:
      return 0xC000001Du;  // STATUS_ILLEGAL_INSTRUCTION
    case SIGFPE:
      return 0xC0000094u;  // STATUS_INTEGER_DIVIDE_BY_ZERO
    case SIGSYS:
      return 0xC000001Cu;  // STATUS_INVALID_SYSTEM_SERVICE
    case SIGABRT:
      return 0xC0000409u;  // STATUS_STACK_BUFFER_OVERRUN, as abort() fails fast
    default:
      return static_cast<DWORD>(128 + signal);
  }
}

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Exit codes of children already reaped, and the codes that TerminateProcess
// asked for: a killed child reports the code it was terminated with.
struct ChildCodes {
  std::mutex mutex;
  std::map<pid_t, DWORD> reaped;
  std::map<pid_t, DWORD> terminated;
};

ChildCodes& Codes() {
  static ChildCodes* codes = new ChildCodes();
  return *codes;
}

class ProcessObject : public HandleObject {
 public:
  ProcessObject(pid_t pid, int pidfd, DWORD access, bool child)
      : pid(pid), pidfd(pidfd), access(access), child(child) {}
  ~ProcessObject() override { close(pidfd); }

  bool Allows(DWORD wanted) const { return (access & wanted) != 0 || access == PROCESS_ALL_ACCESS; }

  // Whether the process has ended, without waiting.
  bool Ended() const {
    pollfd entry = {pidfd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
  }

  const pid_t pid;
  const int pidfd;
  const DWORD access;
  const bool child;
};

class ThreadObject : public HandleObject {
 public:
  explicit ThreadObject(pid_t tid) : tid(tid) {}
  const pid_t tid;
};

class SnapshotObject : public HandleObject {
 public:
  std::vector<PROCESSENTRY32W> entries;
  size_t next = 0;
};

// The first field of a "Name:\t..." line of /proc/PID/status.
bool ReadStatusField(pid_t pid, const char* name, long* value) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  if (!in) return false;
  std::string line;
  const std::string key = std::string(name) + ":";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) {
      std::istringstream fields(line.substr(key.size()));
      return static_cast<bool>(fields >> *value);
    }
  }
  return false;
}

bool IsOwnChild(pid_t pid) {
  long parent = 0;
  return ReadStatusField(pid, "PPid", &parent) && parent == getpid();
}

// Whether this process may act on `pid`: root may act on any process, others
// on the processes of their own user.
bool MayAccess(pid_t pid) {
  if (geteuid() == 0) return true;
  long uid = -1;
  if (!ReadStatusField(pid, "Uid", &uid)) return true;  // vanished: the caller finds out
  return static_cast<uid_t>(uid) == getuid() || static_cast<uid_t>(uid) == geteuid();
}

bool FillEntry(pid_t pid, PROCESSENTRY32W* entry) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  // pid (comm) state ppid ... ; comm may hold blanks and parentheses.
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return false;
  std::wstring name = FromNative(stat.substr(open + 1, close - open - 1));
  std::istringstream rest(stat.substr(close + 1));
  std::string state;
  long parent = 0;
  rest >> state >> parent;
  long threads = 1;
  ReadStatusField(pid, "Threads", &threads);
  *entry = PROCESSENTRY32W{};
  entry->dwSize = sizeof(PROCESSENTRY32W);
  entry->th32ProcessID = static_cast<DWORD>(pid);
  entry->th32ParentProcessID = static_cast<DWORD>(parent);
  entry->cntThreads = static_cast<DWORD>(threads);
  wcsncpy(entry->szExeFile, name.c_str(), MAX_PATH - 1);
  return true;
}

BOOL CopyEntry(SnapshotObject* snapshot, LPPROCESSENTRY32W entry) {
  if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32W)) {
    return Fail(ERROR_BAD_LENGTH);
  }
  if (snapshot->next >= snapshot->entries.size()) return Fail(ERROR_NO_MORE_FILES);
  *entry = snapshot->entries[snapshot->next++];
  return TRUE;
}

bool HasSeparator(const std::string& path) { return path.find('/') != std::string::npos; }

bool IsRunnableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

HANDLE MakeProcessHandle(pid_t pid, DWORD access, bool child) {
  int pidfd = PidfdOpen(pid);
  if (pidfd < 0) {
    SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
    return nullptr;
  }
  return RegisterHandle(std::make_unique<ProcessObject>(pid, pidfd, access, child));
}

std::string FindProgram(const std::string& token) {
  if (token.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return "";
  }
  std::vector<std::string> candidates;
  if (HasSeparator(token)) {
    candidates.push_back(token);
  } else {
    candidates.push_back("./" + token);
    const char* path = getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
      if (!folder.empty()) candidates.push_back(folder + "/" + token);
    }
  }
  for (const std::string& candidate : candidates) {
    if (IsRunnableFile(candidate)) {
      if (access(candidate.c_str(), X_OK) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return "";
      }
      return candidate;
    }
  }
  // A missing folder on the way is "path not found", a missing file "file not found".
  std::string folder = HasSeparator(token) ? token.substr(0, token.rfind('/')) : "";
  struct stat info;
  bool folder_exists = folder.empty() || stat(folder.c_str(), &info) == 0;
  SetLastError(folder_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  return "";
}

pid_t Spawn(const SpawnRequest& request) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fd > 0 && request.output_fd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, request.output_fd, fd);
    } else {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  if (!request.working_directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, request.working_directory.c_str());
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.new_session) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attributes, flags);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);

  std::vector<char*> argv;
  for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int error =
      posix_spawn(&pid, request.program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    errno = error;
    return -1;
  }
  // Whatever codes earlier processes with this id left are not this one's.
  ChildCodes& codes = Codes();
  std::lock_guard<std::mutex> lock(codes.mutex);
  codes.reaped.erase(pid);
  codes.terminated.erase(pid);
  return pid;
}

}  // namespace posix

using posix::ProcessObject;

HANDLE OpenProcess(DWORD access, BOOL /*inherit*/, DWORD process_id) {
  pid_t pid = static_cast<pid_t>(process_id);
  if (process_id == 0 || pid < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (kill(pid, 0) != 0 && errno == ESRCH) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!posix::MayAccess(pid)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return posix::MakeProcessHandle(pid, access, posix::IsOwnChild(pid));
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exit_code) {
  auto* process = posix::LookupHandle<ProcessObject>(handle);
  if (process == nullptr) return FALSE;
  if (exit_code == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  if (!process->Allows(PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) {
    return posix::Fail(ERROR_ACCESS_DENIED);
  }
  if (!process->Ended()) {
    *exit_code = STILL_ACTIVE;
    return TRUE;
  }
  if (!process->child) return posix::Fail(ERROR_ACCESS_DENIED);
  posix::ChildCodes& codes = posix::Codes();
  std::lock_guard<std::mutex> lock(codes.mutex);
  siginfo_t info = {};
  if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process->pidfd), &info,
             WEXITED | WNOHANG) == 0 &&
      info.si_pid != 0) {
    DWORD code = 0;
    auto asked = codes.terminated.find(process->pid);
    if (info.si_code == CLD_EXITED) {
      // The dynamic loader's status for a program it cannot load (a library
      // missing) reads as Windows' loader gives it.
      code = info.si_status == posix::kLoaderFailed ? STATUS_DLL_NOT_FOUND
                                                    : static_cast<DWORD>(info.si_status);
    } else {
      code =
          asked != codes.terminated.end() ? asked->second : posix::StatusOfSignal(info.si_status);
    }
    if (asked != codes.terminated.end()) codes.terminated.erase(asked);
    codes.reaped[process->pid] = code;
  }
  auto reaped = codes.reaped.find(process->pid);
  if (reaped == codes.reaped.end()) return posix::Fail(ERROR_ACCESS_DENIED);
  *exit_code = reaped->second;
  return TRUE;
}

BOOL TerminateProcess(HANDLE handle, UINT exit_code) {
  auto* process = posix::LookupHandle<ProcessObject>(handle);
  if (process == nullptr) return FALSE;
  if (!process->Allows(PROCESS_TERMINATE)) return posix::Fail(ERROR_ACCESS_DENIED);
  if (process->Ended()) return posix::Fail(ERROR_ACCESS_DENIED);
  {
    posix::ChildCodes& codes = posix::Codes();
    std::lock_guard<std::mutex> lock(codes.mutex);
    codes.terminated[process->pid] = exit_code;
  }
  if (posix::PidfdSendSignal(process->pidfd, SIGKILL) != 0) return posix::FailWithErrno();
  return TRUE;
}

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD /*process_id*/) {
  if ((flags & TH32CS_SNAPPROCESS) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    posix::FailWithErrno();
    return INVALID_HANDLE_VALUE;
  }
  std::vector<pid_t> pids;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());
  auto snapshot = std::make_unique<posix::SnapshotObject>();
  for (pid_t pid : pids) {
    PROCESSENTRY32W entry;
    if (posix::FillEntry(pid, &entry)) snapshot->entries.push_back(entry);
  }
  return posix::RegisterHandle(std::move(snapshot));
}

BOOL Process32FirstW(HANDLE handle, LPPROCESSENTRY32W entry) {
  auto* snapshot = posix::LookupHandle<posix::SnapshotObject>(handle);
  if (snapshot == nullptr) return FALSE;
  snapshot->next = 0;
  return posix::CopyEntry(snapshot, entry);
}

BOOL Process32NextW(HANDLE handle, LPPROCESSENTRY32W entry) {
  auto* snapshot = posix::LookupHandle<posix::SnapshotObject>(handle);
  if (snapshot == nullptr) return FALSE;
  return posix::CopyEntry(snapshot, entry);
}

BOOL QueryFullProcessImageNameW(HANDLE handle, DWORD /*flags*/, LPWSTR name, PDWORD size) {
  auto* process = posix::LookupHandle<ProcessObject>(handle);
  if (process == nullptr) return FALSE;
  if (name == nullptr || size == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  if (!process->Allows(PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) {
    return posix::Fail(ERROR_ACCESS_DENIED);
  }
  std::string link = "/proc/" + std::to_string(process->pid) + "/exe";
  std::vector<char> target(PATH_MAX + 1);
  ssize_t length = readlink(link.c_str(), target.data(), target.size() - 1);
  if (length < 0) {
    // An ended process (zombie) or a kernel thread has no image: Windows
    // answers an ended process with ERROR_GEN_FAILURE.
    return posix::Fail(errno == ENOENT ? ERROR_GEN_FAILURE : posix::ErrorFromErrno(errno));
  }
  std::string path(target.data(), static_cast<size_t>(length));
  // A running program whose file was removed keeps its path with this mark;
  // on Windows a running image cannot be removed, so report the path itself.
  static const std::string kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() &&
      path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0 &&
      access(path.c_str(), F_OK) != 0) {
    path.erase(path.size() - kDeleted.size());
  }
  std::wstring wide = posix::FromNative(path);
  if (wide.size() + 1 > *size) return posix::Fail(ERROR_INSUFFICIENT_BUFFER);
  wmemcpy(name, wide.c_str(), wide.size() + 1);
  *size = static_cast<DWORD>(wide.size());
  return TRUE;
}

BOOL ProcessIdToSessionId(DWORD process_id, DWORD* session_id) {
  if (session_id == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  long uid = -1;
  if (!posix::ReadStatusField(static_cast<pid_t>(process_id), "Uid", &uid)) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  *session_id = static_cast<DWORD>(uid);
  return TRUE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BOOL AllowSetForegroundWindow(DWORD /*process_id*/) { return TRUE; }

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                    LPSECURITY_ATTRIBUTES /*process_attributes*/,
                    LPSECURITY_ATTRIBUTES /*thread_attributes*/, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment, LPCWSTR current_directory,
                    LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information) {
  if (command_line == nullptr || startup_info == nullptr || process_information == nullptr ||
      application_name != nullptr || environment != nullptr) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  std::vector<std::wstring> args = posix::SplitCommandLine(command_line);
  posix::SpawnRequest request;
  request.program = posix::FindProgram(posix::ToNative(args[0]));
  if (request.program.empty()) return FALSE;
  for (const std::wstring& arg : args) request.argv.push_back(posix::ToNative(arg));
  if (current_directory != nullptr) {
    request.working_directory = posix::ToNative(current_directory);
    struct stat info;
    if (stat(request.working_directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return posix::Fail(ERROR_DIRECTORY);
    }
  }
  request.new_session =
      (creation_flags & (CREATE_NEW_CONSOLE | DETACHED_PROCESS | CREATE_BREAKAWAY_FROM_JOB)) != 0;
  if ((startup_info->dwFlags & STARTF_USESTDHANDLES) != 0 && inherit_handles) {
    // Only the output handles are carried (the program reads no input); as
    // on Windows, a handle reaches the child only when it is inheritable.
    if (startup_info->hStdOutput != startup_info->hStdError && startup_info->hStdError != nullptr) {
      return posix::Fail(ERROR_INVALID_PARAMETER);
    }
    if (startup_info->hStdOutput != nullptr) {
      request.output_fd = posix::InheritableDescriptor(startup_info->hStdOutput);
      if (request.output_fd < 0) return FALSE;
    }
  }
  pid_t pid = posix::Spawn(request);
  if (pid < 0) return posix::FailWithErrno();
  HANDLE process = posix::MakeProcessHandle(pid, PROCESS_ALL_ACCESS, true);
  if (process == nullptr) return FALSE;
  process_information->hProcess = process;
  process_information->hThread = posix::RegisterHandle(std::make_unique<posix::ThreadObject>(pid));
  process_information->dwProcessId = static_cast<DWORD>(pid);
  process_information->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

namespace posix {
namespace {

// One end of a pipe.
class PipeObject : public HandleObject {
 public:
  PipeObject(int fd, bool inheritable) : fd(fd), inheritable(inheritable) {}
  ~PipeObject() override { close(fd); }
  int InheritableFd() const override { return inheritable ? fd : -1; }
  const int fd;
  bool inheritable;
};

}  // namespace

int InheritableDescriptor(HANDLE handle) {
  const HandleObject* object = LookupHandleObject(handle);
  if (object == nullptr) return -1;
  const int fd = object->InheritableFd();
  if (fd < 0) SetLastError(ERROR_INVALID_HANDLE);
  return fd;
}

namespace {

// Opens a file for writing, never blocking (a lease or a FIFO fails instead).
int OpenForWriting(const char* path, bool follow_links) {
  return open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW));
}

// Whether the kernel refuses to open the file of a running program for
// writing (ETXTBSY), as it has done for decades except in a few 6.11
// releases: asked with this program's own file until one answer tells (an
// answer that does not, such as no permission to write the file, is asked
// again next time).
bool WritingRunningImagesIsRefused() {
  static std::atomic<int> known{-1};
  if (known >= 0) return known == 1;
  const int fd = OpenForWriting("/proc/self/exe", true);
  if (fd >= 0) {
    close(fd);
    known = 0;
  } else if (errno == ETXTBSY) {
    known = 1;
  }
  return known == 1;
}

}  // namespace

std::set<std::pair<dev_t, ino_t>> RunningImages() {
  std::set<std::pair<dev_t, ino_t>> images;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return images;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    struct stat image;
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    if (stat(link.c_str(), &image) == 0) images.insert({image.st_dev, image.st_ino});
  }
  closedir(proc);
  return images;
}

bool IsRunningImage(const std::string& path, dev_t device, ino_t inode) {
  // One open instead of a walk of every process per file: a file that opens
  // for writing runs nowhere, one refused with ETXTBSY runs. Any other answer
  // (no write permission, a lease, a read-only mount) says nothing, and the
  // walk decides.
  if (WritingRunningImagesIsRefused()) {
    const int fd = OpenForWriting(path.c_str(), false);
    if (fd >= 0) {
      struct stat info;
      const bool same = fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
      close(fd);
      if (same) return false;
    } else if (errno == ETXTBSY) {
      return true;
    }
  }
  return RunningImages().count({device, inode}) != 0;
}

}  // namespace posix

BOOL CreatePipe(HANDLE* read_pipe, HANDLE* write_pipe, LPSECURITY_ATTRIBUTES attributes,
                DWORD /*size*/) {
  if (read_pipe == nullptr || write_pipe == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return posix::FailWithErrno();
  const bool inheritable = attributes != nullptr && attributes->bInheritHandle;
  *read_pipe = posix::RegisterHandle(std::make_unique<posix::PipeObject>(fds[0], inheritable));
  *write_pipe = posix::RegisterHandle(std::make_unique<posix::PipeObject>(fds[1], inheritable));
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read_count,
              LPVOID /*overlapped*/) {
  auto* pipe = dynamic_cast<posix::PipeObject*>(posix::LookupHandleObject(file));
  const int fd = pipe != nullptr ? pipe->fd : posix::ReadableDescriptor(file);
  if (fd < 0) return FALSE;
  if (read_count != nullptr) *read_count = 0;
  for (;;) {
    const ssize_t got = read(fd, buffer, to_read);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return posix::FailWithErrno();
    // The end of a pipe whose writers have all gone, as Windows reports it;
    // the end of a file reads nothing.
    if (got == 0 && to_read > 0 && pipe != nullptr) return posix::Fail(ERROR_BROKEN_PIPE);
    if (read_count != nullptr) *read_count = static_cast<DWORD>(got);
    return TRUE;
  }
}

BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
  auto* pipe = posix::LookupHandle<posix::PipeObject>(handle);
  if (pipe == nullptr) return FALSE;
  if ((mask & HANDLE_FLAG_INHERIT) != 0) pipe->inheritable = (flags & HANDLE_FLAG_INHERIT) != 0;
  return TRUE;
}

namespace posix {
namespace {

DWORD WaitForProcess(ProcessObject* process, DWORD milliseconds) {
  if (!process->Allows(SYNCHRONIZE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int timeout = -1;
    if (milliseconds != INFINITE) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    pollfd entry = {process->pidfd, POLLIN, 0};
    int ready = poll(&entry, 1, timeout);
    if (ready > 0) return WAIT_OBJECT_0;
    if (ready == 0) {
      if (milliseconds != INFINITE && Clock::now() >= deadline) return WAIT_TIMEOUT;
      continue;
    }
    if (errno != EINTR) {
      FailWithErrno();
      return WAIT_FAILED;
    }
  }
}

}  // namespace
}  // namespace posix

DWORD WaitForInputIdle(HANDLE handle, DWORD milliseconds) {
  auto* process = posix::LookupHandle<ProcessObject>(handle);
  if (process == nullptr) return WAIT_FAILED;
  // A process waits for input once it sleeps: a program that the dynamic
  // loader is still loading runs or waits on the disk, never sleeps.
  const std::string stat_path = "/proc/" + std::to_string(process->pid) + "/stat";
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (process->Ended()) return posix::Fail(ERROR_INVALID_HANDLE), WAIT_FAILED;
    std::ifstream stat(stat_path);
    std::string line;
    std::getline(stat, line);
    // The state follows the command's closing parenthesis.
    const size_t paren = line.rfind(')');
    if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S') return 0;
    if (milliseconds != INFINITE && Clock::now() >= deadline) return WAIT_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  posix::HandleObject* object = posix::LookupHandleObject(handle);
  if (auto* process = dynamic_cast<ProcessObject*>(object)) {
    return posix::WaitForProcess(process, milliseconds);
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}
