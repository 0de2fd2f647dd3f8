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

// The update with cleaned paths. An exception that escapes it ends the run
// as a failed update, with a record, instead of ending the process.
bool UpdateGuarded(int32_t pid, std::wstring root_dir, std::wstring zip_file) {
  try {
    StripPathQuotes(root_dir, zip_file);
    return RunUpdate(pid, root_dir, zip_file);
  } catch (const std::exception& e) {
    LOG(ERROR) << "update aborted by exception:" << e.what();
  } catch (...) {
    LOG(ERROR) << "update aborted by unknown exception";
  }
  return false;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR command_line,
                    int /*show*/) {
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
    const std::string text = std::string("invalid_argument: ") + e.what() + " update abort!";
    MessageBoxA(nullptr, text.c_str(), "error", MB_ICONERROR);
    return -1;
  } catch (...) {
    MessageBoxW(nullptr, L"unknow error happened!update abort!", L"error", MB_ICONERROR);
    return -1;
  }

  const auto client_pid = static_cast<int32_t>(static_cast<uint32_t>(pid));
  LOG(INFO) << "update with pid:" << client_pid << ",unzip:" << WideToUtf8(zip_file) << " ,"
            << WideToUtf8(root_dir);

  const bool updated = UpdateGuarded(client_pid, root_dir, zip_file);
  if (!updated) {
    MessageBoxW(nullptr, kFailureText, kFailureCaption, MB_OK);
    ShellExecuteW(nullptr, L"open", kDownloadAddress, nullptr, nullptr, SW_SHOW);
  }
  LOG(INFO) << "update finished " << updated << "\n\n";
  google::ShutdownGoogleLogging();
  return 0;
}
