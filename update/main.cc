// The updater's entry: log, switches, update, and what the user is shown.
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/win32.h"
#include "update/path_setting.h"
#include "update/update.h"
#include "utility/base/command_line.h"
#include "utility/base/logging.h"

namespace {

const wchar_t kDownloadAddress[] = L"https://download.quexa.example/quexapc/install/DADEVovava.exe";
const wchar_t kFailureCaption[] = L"升级失败";
const wchar_t kFailureText[] = L"请手动下载安装最新的安装包";

// Reads a required switch: a record and an invalid-argument error when it is
// missing or has no value.
template <typename T>
void ReadSwitch(const CommandLine& parser, const wchar_t* name, T* value, const char* kind) {
  if (!parser.HasSwitch(name)) {
    LOG(ERROR) << "miss " << WideToUtf8(name);
    throw std::invalid_argument(std::string("invalid argument int find target switch ") + kind);
  }
  if (!parser.GetSwitchValue(value, name)) {
    LOG(ERROR) << "parse switch error" << WideToUtf8(name);
    throw std::invalid_argument(std::string("invalid argument int get target ") + kind);
  }
}

// Libraries that system calls load on demand (the shell loads many when it
// opens a script or an address) come from the system folder only, never
// from the program's own folder or the current one, where anybody who can
// write there could plant one. SetDefaultDllDirectories is looked up, since
// older systems lack it; the current folder leaves the search in any case.
void LockDownLibrarySearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
      kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
  if (set_default != nullptr) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
}

// The dated log folder; a folder that cannot be prepared leaves the choice to
// the logging library, since logging must never stop an update.
std::wstring PrepareLogFolder() {
  try {
    return GetTodayLogPath();
  } catch (const std::exception& e) {
    LOG(ERROR) << "log folder not prepared:" << e.what();
    return std::wstring();
  }
}

enum class Outcome { kUpdated, kFailed, kNoInstallRoot, kAnotherUpdateRunning, kHandedOff };

// How long a copy of the updater that an updater in the client folder started
// waits for that updater to let go of the install root's lock: it ends as
// soon as the copy has started.
constexpr DWORD kHandOffWaitMs = 30000;

// The update with cleaned paths, under the install root's lock. An exception
// that escapes it ends the run as a failed update, with a record, instead of
// ending the process.
Outcome UpdateGuarded(int32_t pid, std::wstring root_dir, std::wstring zip_file) {
  try {
    StripPathQuotes(root_dir, zip_file);
    // An empty root would make every path relative to the current folder or
    // the drive's root: unusable, like a switch without a value.
    if (root_dir.empty()) {
      LOG(ERROR) << "root_dir is empty";
      return Outcome::kNoInstallRoot;
    }
    AnchorInstallRoot(root_dir, zip_file);
    const InstallLayout layout(root_dir);
    switch (LockInstallRoot(layout, RunsFrom(layout.staging_dir) ? kHandOffWaitMs : 0)) {
      case RootLock::kHeldByAnother:
        return Outcome::kAnotherUpdateRunning;
      case RootLock::kRefused:
        return Outcome::kFailed;
      case RootLock::kTaken:
        break;
    }
    // Running from the client folder, the updater would hold what it replaces.
    if (RunsFrom(layout.client_dir)) {
      return HandOffToCopy(pid, layout, zip_file) ? Outcome::kHandedOff : Outcome::kFailed;
    }
    return RunUpdate(pid, layout, zip_file) ? Outcome::kUpdated : Outcome::kFailed;
  } catch (const std::exception& e) {
    LOG(ERROR) << "update aborted by exception:" << e.what();
  } catch (...) {
    LOG(ERROR) << "update aborted by unknown exception";
  }
  return Outcome::kFailed;
}

void ShowSwitchError(const std::string& message) {
  const std::string text = "invalid_argument: " + message + " update abort!";
  MessageBoxA(nullptr, text.c_str(), "error", MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR command_line,
                    int /*show*/) {
  LockDownLibrarySearch();
  InitLogging(PrepareLogFolder(), "zizaro_do");
  LOG(INFO) << "origin cmdline:" << WideToUtf8(command_line != nullptr ? command_line : L"");

  std::wstring zip_file;
  std::wstring root_dir;
  int64_t pid = 0;
  try {
    auto parser = std::make_unique<CommandLine>();
    parser->Init();
    ReadSwitch(*parser, L"unzip", &zip_file, "string");
    ReadSwitch(*parser, L"root_dir", &root_dir, "string");
    ReadSwitch(*parser, L"pid", &pid, "int");
  } catch (const std::invalid_argument& e) {
    ShowSwitchError(e.what());
    return -1;
  } catch (...) {
    MessageBoxW(nullptr, L"unknow error happened!update abort!", L"error", MB_ICONERROR);
    return -1;
  }

  const auto client_pid = static_cast<int32_t>(static_cast<uint32_t>(pid));
  LOG(INFO) << "update with pid:" << client_pid << ",unzip:" << WideToUtf8(zip_file) << " ,"
            << WideToUtf8(root_dir);

  const Outcome outcome = UpdateGuarded(client_pid, root_dir, zip_file);
  if (outcome == Outcome::kNoInstallRoot) {
    ShowSwitchError("invalid argument int get target string");
    return -1;
  }
  if (outcome == Outcome::kAnotherUpdateRunning || outcome == Outcome::kHandedOff) {
    // The other run shows whatever there is to show.
    google::ShutdownGoogleLogging();
    return 0;
  }
  const bool updated = outcome == Outcome::kUpdated;
  if (!updated) {
    MessageBoxW(nullptr, kFailureText, kFailureCaption, MB_OK);
    ShellExecuteW(nullptr, L"open", kDownloadAddress, nullptr, nullptr, SW_SHOW);
  }
  LOG(INFO) << "update finished " << updated << "\n\n";
  google::ShutdownGoogleLogging();
  return 0;
}
