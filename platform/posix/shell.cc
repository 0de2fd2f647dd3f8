// The shell and the user interface.
//
// A message box is its caption and text on standard error, answered with OK.
// "open" sends an address to xdg-open, runs a .bat or .cmd script with
// /bin/sh, and starts a program directly; every start is hidden and detached.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>

#include "platform/posix/internal.h"

namespace posix {
namespace {

constexpr uintptr_t kShellStarted = 42;  // any value above 32 means success

bool IsAddress(const std::wstring& file) {
  size_t colon = file.find(L':');
  if (colon == std::wstring::npos || colon < 2) return false;
  return std::all_of(file.begin(), file.begin() + static_cast<long>(colon),
                     [](wchar_t c) { return iswalnum(c) || c == L'+' || c == L'-' || c == L'.'; });
}

bool HasScriptExtension(const std::wstring& file) {
  size_t dot = file.rfind(L'.');
  if (dot == std::wstring::npos) return false;
  std::wstring extension = file.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(), towlower);
  return extension == L".bat" || extension == L".cmd";
}

void ShowBox(const std::string& caption, const std::string& text) {
  fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  fflush(stderr);
}

}  // namespace
}  // namespace posix

int MessageBoxW(HWND /*owner*/, LPCWSTR text, LPCWSTR caption, UINT /*type*/) {
  posix::ShowBox(posix::ToNative(caption), posix::ToNative(text));
  return IDOK;
}

int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT /*type*/) {
  posix::ShowBox(caption != nullptr ? caption : "", text != nullptr ? text : "");
  return IDOK;
}

BOOL ShellExecuteExW(LPSHELLEXECUTEINFOW info) {
  if (info == nullptr || info->cbSize != sizeof(SHELLEXECUTEINFOW) || info->lpFile == nullptr) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  info->hProcess = nullptr;
  std::wstring verb = info->lpVerb != nullptr ? info->lpVerb : L"open";
  if (verb != L"open") {
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(SE_ERR_FNF));
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  std::wstring file = info->lpFile;
  posix::SpawnRequest request;
  if (info->lpDirectory != nullptr) request.working_directory = posix::ToNative(info->lpDirectory);
  std::string narrow = posix::ToNative(file);
  if (posix::IsAddress(file)) {
    request.program = posix::FindProgram("xdg-open");
    request.argv = {"xdg-open", narrow};
  } else {
    struct stat status;
    if (stat(narrow.c_str(), &status) != 0) {
      DWORD code = errno == ENOENT ? ERROR_FILE_NOT_FOUND : posix::ErrorFromErrno(errno);
      info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(SE_ERR_FNF));
      return posix::Fail(code);
    }
    if (posix::HasScriptExtension(file)) {
      request.program = "/bin/sh";
      request.argv = {"sh", narrow};
    } else if (S_ISREG(status.st_mode) && access(narrow.c_str(), X_OK) == 0) {
      request.program = narrow;
      request.argv = {narrow};
    } else {
      request.program = posix::FindProgram("xdg-open");
      request.argv = {"xdg-open", narrow};
    }
  }
  if (info->lpParameters != nullptr) {
    // Parameters are split as the later tokens of a command line.
    std::vector<std::wstring> parameters =
        posix::SplitCommandLine(std::wstring(L"x ") + info->lpParameters);
    for (size_t i = 1; i < parameters.size(); ++i) {
      request.argv.push_back(posix::ToNative(parameters[i]));
    }
  }
  if (request.program.empty()) {
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(SE_ERR_FNF));
    return FALSE;
  }
  pid_t pid = posix::Spawn(request);
  if (pid < 0) {
    DWORD code = posix::ErrorFromErrno(errno);
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(SE_ERR_FNF));
    return posix::Fail(code);
  }
  info->hInstApp = reinterpret_cast<HINSTANCE>(posix::kShellStarted);
  if ((info->fMask & SEE_MASK_NOCLOSEPROCESS) != 0) {
    info->hProcess = posix::MakeProcessHandle(pid, PROCESS_ALL_ACCESS, true);
  }
  return TRUE;
}

HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, int show) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.hwnd = owner;
  info.lpVerb = verb;
  info.lpFile = file;
  info.lpParameters = parameters;
  info.lpDirectory = directory;
  info.nShow = show;
  ShellExecuteExW(&info);
  return info.hInstApp;
}
