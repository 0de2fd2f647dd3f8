#include "tests/support/test_env.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "utility/base/file_path.h"
#include "platform/long_paths.h"
#include "platform/text_rules.h"
#include "update/utils.h"
#include "utility/base/logging.h"

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

void MakeWritable(const fs::path& path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(path, error);
  if (error || fs::is_symlink(status)) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
  if (fs::is_directory(status)) {
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
      MakeWritable(it->path());
    }
  }
}

}  // namespace
#endif

#ifdef _WIN32
namespace {

// The host path of a Windows path, under Wine; the last component need not
// exist.
std::wstring HostPath(const std::wstring& path) {
  using UnixName = char*(__cdecl*)(const wchar_t*);
  auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  fs::path windows_path = ToFsPath(path);
  char* parent = unix_name != nullptr ? unix_name(windows_path.parent_path().c_str()) : nullptr;
  if (parent == nullptr) return std::wstring();
  std::wstring host = FromFsPath(fs::path(parent)) + L"/" + windows_path.filename().wstring();
  HeapFree(GetProcessHeap(), 0, parent);
  return host;
}

// Starts a host program from Wine. Wine gives no handle to wait on: callers
// poll for the effect.
bool StartHostProgram(const std::vector<std::wstring>& arguments) {
  try {
    Start(JoinArguments(arguments));
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

template <typename Done>
bool PollFor(Done done) {
  for (int i = 0; i < 500 && !done(); ++i) Sleep(20);
  return done();
}

}  // namespace
#endif

TempDir::TempDir(const std::wstring& hint) {
  std::random_device seed;
  std::mt19937_64 random(seed() ^ static_cast<uint64_t>(
                                      std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ToFsPath(hint + L"-" + std::to_wstring(random() % 1000000000));
    if (fs::create_directory(candidate)) {
      path_ = FromFsPath(candidate);
      return;
    }
  }
}

TempDir::~TempDir() {
#ifdef _WIN32
  // The runtime's remove_all follows links (and spins on a link that Wine
  // cannot remove): the host removes the folder under Wine, the program's own
  // removal on Windows.
  if (RunningUnderWine()) {
    if (StartHostProgram({L"/bin/rm", L"-rf", HostPath(path_)})) {
      PollFor([&] { return !Exists(path_); });
    }
  } else {
    Utils::RemoveAll(path_);
  }
#else
  std::error_code error;
  MakeWritable(ToFsPath(path_));
  fs::remove_all(ToFsPath(path_), error);
#endif
}

std::wstring TempDir::operator/(const std::wstring& relative) const {
  return FromFsPath((ToFsPath(path_) / ToFsPath(relative)).make_preferred());
}

std::wstring ExeName(const std::wstring& name) {
#ifdef _WIN32
  return name + L".exe";
#else
  return name;
#endif
}

std::wstring BinDir() {
  wchar_t path[4096] = {};
  GetModuleFileNameW(nullptr, path, 4096);
  return FromFsPath(ToFsPath(path).parent_path());
}

std::wstring BinFile(const std::wstring& name) { return JoinPath(BinDir(), name); }

void WriteFile(const std::wstring& path, const std::string& content) {
  fs::path file = ToFsPath(path);
  if (file.has_parent_path()) fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + Utf8(path));
}

std::string ReadFile(const std::wstring& path) {
  std::ifstream in(ToFsPath(path), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(ToFsPath(path), error));
}

void MakeDirs(const std::wstring& path) { fs::create_directories(ToFsPath(path)); }

void CopyFile(const std::wstring& from, const std::wstring& to) {
  fs::path target = ToFsPath(to);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  fs::copy_file(ToFsPath(from), target, fs::copy_options::overwrite_existing);
}

std::vector<std::string> ListTree(const std::wstring& folder) {
  std::vector<std::string> names;
  fs::path root = ToFsPath(folder);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string name = Utf8(FromFsPath(it->path().lexically_relative(root)));
    std::replace(name.begin(), name.end(), '\\', '/');
    if (it->is_directory() && !it->is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ZipWithoutData(const std::string& name, uint64_t declared_size) {
  auto put = [](std::string* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  // Version 4.5, stored, no data; the size in a zip64 extra field (id 1).
  auto common = [&](std::string* out) {
    put(out, 45, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0, 2), put(out, 0x21, 2);
    put(out, 0, 4), put(out, 0, 4), put(out, 0xFFFFFFFF, 4);
    put(out, name.size(), 2), put(out, 12, 2);
  };
  auto extra = [&](std::string* out) { put(out, 1, 2), put(out, 8, 2), put(out, declared_size, 8); };
  std::string zip;
  put(&zip, 0x04034b50, 4), common(&zip), zip += name, extra(&zip);
  std::string directory;
  put(&directory, 0x02014b50, 4), put(&directory, 45, 2), common(&directory);
  put(&directory, 0, 2), put(&directory, 0, 2), put(&directory, 0, 2), put(&directory, 0, 4);
  put(&directory, 0, 4), directory += name, extra(&directory);
  const size_t directory_offset = zip.size();
  zip += directory;
  put(&zip, 0x06054b50, 4), put(&zip, 0, 2), put(&zip, 0, 2), put(&zip, 1, 2), put(&zip, 1, 2);
  put(&zip, directory.size(), 4), put(&zip, directory_offset, 4), put(&zip, 0, 2);
  return zip;
}

bool RunningUnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}


bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
#ifdef _WIN32
  auto is_link = [&] {
    DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  };
  if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && is_link()) {
    return true;
  }
  // Wine's call does nothing, but it shows a host link as a reparse point.
  return RunningUnderWine() &&
         StartHostProgram({L"/bin/ln", L"-s", HostPath(target), HostPath(link)}) &&
         PollFor(is_link);
#else
  std::error_code error;
  fs::create_directory_symlink(ToFsPath(target), ToFsPath(link), error);
  return !error;
#endif
}

void SetReadOnly(const std::wstring& path, bool read_only) {
  const std::wstring system_path = long_paths::ExtendedLengthPath(path);
  DWORD attributes = GetFileAttributesW(system_path.c_str());
  attributes = read_only ? (attributes | FILE_ATTRIBUTE_READONLY)
                         : (attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!SetFileAttributesW(system_path.c_str(), attributes)) {
    throw std::runtime_error("cannot set the attributes of " + Utf8(path));
  }
}

bool IsReadOnly(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(long_paths::ExtendedLengthPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

namespace {

std::optional<std::wstring> GetEnv(const std::string& name) {
#ifdef _WIN32
  const wchar_t* value = _wgetenv(FromFsPath(fs::path(name)).c_str());
  if (value == nullptr) return std::nullopt;
  return std::wstring(value);
#else
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return FromFsPath(fs::path(value));
#endif
}

void SetEnv(const std::string& name, const std::optional<std::wstring>& value) {
#ifdef _WIN32
  std::wstring wide_name = FromFsPath(fs::path(name));
  // An empty value removes the variable, in the runtime and in the process.
  _wputenv_s(wide_name.c_str(), value ? value->c_str() : L"");
#else
  if (value) {
    setenv(name.c_str(), ToFsPath(*value).c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

}  // namespace

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::wstring>& value)
    : name_(name), old_(GetEnv(name)) {
  SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, old_); }

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

void InstallStandIn(const std::wstring& path) {
  // A copy of it may still be running from there: replace the file, do not
  // write into it.
  std::error_code error;
  fs::remove(ToFsPath(path), error);
  CopyFile(BinFile(ExeName(L"stand_in_client")), path);
  fs::permissions(ToFsPath(path), fs::perms::owner_all, fs::perm_options::add);
}

std::wstring InstallUpdater(const std::wstring& folder, bool with_archiver) {
  const std::wstring updater = JoinPath(folder, ExeName(L"zizaro_do"));
  CopyFile(BinFile(ExeName(L"zizaro_do")), updater);
  fs::permissions(ToFsPath(updater), fs::perms::owner_all, fs::perm_options::add);
  if (with_archiver) {
    const fs::path archiver = ToFsPath(BinFile(L"7z.exe"));
    const fs::path copy = ToFsPath(JoinPath(folder, L"7z.exe"));
    fs::remove(copy);
    if (fs::is_symlink(archiver)) {
      fs::create_symlink(fs::read_symlink(archiver), copy);
    } else {
      fs::copy_file(archiver, copy);
    }
  }
  return updater;
}

std::vector<std::string> TreeDigest(const std::wstring& folder) {
  std::vector<std::string> digest;
  const fs::path root = ToFsPath(folder);
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    std::string entry = Utf8(FromFsPath(it->path().lexically_relative(root)));
    std::replace(entry.begin(), entry.end(), '\\', '/');
    if (it->is_symlink()) {
      entry += " -> " + Utf8(FromFsPath(fs::read_symlink(it->path())));
      it.disable_recursion_pending();
    } else if (it->is_regular_file()) {
      const std::string content = ReadFile(FromFsPath(it->path()));
      uint64_t hash = 1469598103934665603ULL;  // FNV-1a
      for (unsigned char c : content) hash = (hash ^ c) * 1099511628211ULL;
      entry += " " + std::to_string(content.size()) + " " + std::to_string(hash);
    } else {
      entry += "/";
    }
    digest.push_back(entry);
  }
  std::sort(digest.begin(), digest.end());
  return digest;
}

PROCESS_INFORMATION StartProgram(const std::wstring& path,
                                 const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> all = {path};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return Start(CommandLineOf(all));
}

DWORD ExitStatusOf(int32_t code) {
#ifdef _WIN32
  return static_cast<DWORD>(code);
#else
  return static_cast<DWORD>(code) & 0xFF;
#endif
}

RunResult Run(const std::vector<std::wstring>& arguments, const std::wstring& working_directory) {
  RunResult result;
#ifdef _WIN32
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
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  const std::string directory = ToFsPath(working_directory).native();
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  std::vector<std::string> narrow;
  for (const std::wstring& argument : arguments) narrow.push_back(ToFsPath(argument).native());
  std::vector<char*> argv;
  for (std::string& argument : narrow) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + narrow[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 0xDEAD;
  result.error_output = ReadFile(capture / L"stderr.txt");
#endif
  return result;
}

BrowserRecorder::BrowserRecorder() {
#ifdef _WIN32
  // Wine's browser launcher does not pass this program's environment on, so
  // the recorder writes to a fixed file of the prefix.
  file_ = L"C:\\browser-visits.txt";
  DeleteFileW(file_.c_str());
  DeleteFileW((file_ + L".times").c_str());
#else
  folder_.emplace(L"browser");
  file_ = *folder_ / L"visits.txt";
  env_.emplace("ZIZARO_BROWSER_LOG", file_);
#endif
}

std::string BrowserRecorder::Visits(DWORD wait_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (ReadFile(file_).empty() && std::chrono::steady_clock::now() < deadline) {
    Sleep(20);
  }
  return ReadFile(file_);
}

long long BrowserRecorder::FirstVisitTime() const {
  std::string times = ReadFile(file_ + L".times");
  return times.empty() ? 0 : std::stoll(times);
}

std::wstring TodayFolderName() {
  wchar_t date[64] = {};
  std::time_t now = std::time(nullptr);
  wcsftime(date, 64, L"%Y_%m_%d", std::localtime(&now));
  return date;
}

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

}  // namespace testenv
