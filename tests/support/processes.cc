#include "tests/support/processes.h"

#include <filesystem>
#include <stdexcept>

#include "platform/text_rules.h"
#include "tests/support/environment.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "utility/base/file_path.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace testenv {
namespace fs = std::filesystem;

#ifndef _WIN32
namespace {

// Starts a program by its argument vector (the first names the program) with
// the given file actions, which it then destroys.
pid_t Spawn(const std::vector<std::wstring>& arguments, posix_spawn_file_actions_t* actions) {
  std::vector<std::string> narrow;
  for (const std::wstring& argument : arguments) narrow.push_back(ToFsPath(argument).native());
  std::vector<char*> argv;
  for (std::string& argument : narrow) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(actions);
  if (error != 0) throw std::runtime_error("cannot start " + narrow[0]);
  return pid;
}

}  // namespace
#endif

std::wstring Quote(const std::wstring& argument) { return text_rules::QuoteArgument(argument); }

std::wstring JoinArguments(const std::vector<std::wstring>& arguments) {
  return text_rules::JoinCommandLine(arguments, false);
}

std::wstring CommandLineOf(const std::vector<std::wstring>& program_and_arguments) {
  // The program token has no escapes: it is quoted whole.
  std::wstring line = L"\"" + program_and_arguments.at(0) + L"\"";
  std::vector<std::wstring> rest(program_and_arguments.begin() + 1, program_and_arguments.end());
  if (!rest.empty()) line += L" " + JoinArguments(rest);
  return line;
}

PROCESS_INFORMATION Start(const std::wstring& command_line, const std::wstring& working_directory) {
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                      nullptr, working_directory.empty() ? nullptr : working_directory.c_str(),
                      &startup, &info)) {
    throw std::runtime_error("cannot start " + Utf8(command_line) + ", error " +
                             std::to_string(GetLastError()));
  }
  return info;
}

std::vector<std::wstring> ProgramArguments() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> arguments(argv, argv + count);
  LocalFree(argv);
  return arguments;
}

DWORD WaitExit(HANDLE process, DWORD timeout_ms) {
  WaitForSingleObject(process, timeout_ms);
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

void Stop(PROCESS_INFORMATION* process) {
  if (process->hProcess != nullptr) {
    TerminateProcess(process->hProcess, 1);
    WaitForSingleObject(process->hProcess, 10000);
    CloseHandle(process->hProcess);
  }
  if (process->hThread != nullptr) CloseHandle(process->hThread);
  *process = PROCESS_INFORMATION{};
}

bool IsRunning(DWORD process_id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (process == nullptr) return false;
  bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

int DeletedImagesRunning(const std::wstring& folder) {
  int count = 0;
#ifndef _WIN32
  const std::string prefix = ToFsPath(folder).native() + "/";
  const std::string deleted = " (deleted)";
  std::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    std::error_code link_error;
    const std::string image = fs::read_symlink(it->path() / "exe", link_error).native();
    if (!link_error && image.rfind(prefix, 0) == 0 && image.size() > deleted.size() &&
        image.compare(image.size() - deleted.size(), deleted.size(), deleted) == 0) {
      ++count;
    }
  }
#else
  (void)folder;
#endif
  return count;
}

PROCESS_INFORMATION StartProgram(const std::wstring& path,
                                 const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> all = {path};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return Start(CommandLineOf(all));
}

PROCESS_INFORMATION StartWithOutputTo(const std::vector<std::wstring>& arguments,
                                      const std::wstring& output) {
  PROCESS_INFORMATION info = {};
#ifdef _WIN32
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof(inheritable);
  inheritable.bInheritHandle = TRUE;
  HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + Utf8(output));
  const std::wstring command_line = CommandLineOf(arguments);
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = file;
  startup.hStdError = file;
  const BOOL started = CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &info);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!started) {
    throw std::runtime_error("cannot start " + Utf8(command_line) + ", error " +
                             std::to_string(error));
  }
#else
  const std::string file = ToFsPath(output).native();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const pid_t pid = Spawn(arguments, &actions);
  // Our child: its handle reads its exit code once it has ended.
  info.hProcess = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(pid));
  info.dwProcessId = static_cast<DWORD>(pid);
#endif
  return info;
}

DWORD ExitStatusOf(int32_t code) {
#ifdef _WIN32
  return static_cast<DWORD>(code);
#else
  return static_cast<DWORD>(code) & 0xFF;
#endif
}

RunResult Run(const std::vector<std::wstring>& arguments, const std::wstring& working_directory,
              bool streams_closed) {
  RunResult result;
#ifdef _WIN32
  (void)streams_closed;
  PROCESS_INFORMATION info = Start(CommandLineOf(arguments), working_directory);
  result.exit_status = WaitExit(info.hProcess, 120000);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
#else
  // Standard error goes to a file: programs the run starts may outlive it.
  TempDir capture(L"stderr");
  std::string error_file = ToFsPath(capture / L"stderr.txt").native();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams_closed) {
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addclose(&actions, fd);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  const std::string directory = ToFsPath(working_directory).native();
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  const pid_t pid = Spawn(arguments, &actions);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 0xDEAD;
  result.error_output = ReadFile(capture / L"stderr.txt");
#endif
  return result;
}

}  // namespace testenv
