// System version, environment, and the names of the machine and the user.
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/posix/internal.h"

ULONGLONG VerSetConditionMask(ULONGLONG condition_mask, DWORD type_mask, BYTE condition) {
  // Three bits per field, in the order Windows uses for the type-mask bits.
  static const DWORD kFields[] = {VER_MINORVERSION,     VER_MAJORVERSION,     0x4,  0x8,
                                  VER_SERVICEPACKMINOR, VER_SERVICEPACKMAJOR, 0x40, 0x80};
  for (int index = 0; index < 8; ++index) {
    if ((type_mask & kFields[index]) != 0) {
      condition_mask |= static_cast<ULONGLONG>(condition & 0x7) << (index * 3);
    }
  }
  return condition_mask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW version_info, DWORD type_mask,
                        DWORDLONG condition_mask) {
  // The POSIX build stands for a current Windows: every minimum is met.
  if (version_info == nullptr || type_mask == 0 || condition_mask == 0) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  if (name == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  std::string narrow_name = posix::ToNative(name);
  const char* found = getenv(narrow_name.c_str());
  std::string text = found != nullptr ? found : "";
  if (found == nullptr && narrow_name == "APPDATA") {
    // The per-user application-data folder of a POSIX system: the XDG state
    // folder, as Windows always provides APPDATA.
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    if (state != nullptr && *state != '\0') {
      text = state;
      found = state;
    } else if (home != nullptr && *home != '\0') {
      text = std::string(home) + "/.local/state";
      found = home;
    }
  }
  if (found == nullptr) return posix::Fail(ERROR_ENVVAR_NOT_FOUND);
  std::wstring wide = posix::FromNative(text);
  // Fits: the length without the terminating zero. Too long: the size needed.
  if (buffer == nullptr || wide.size() + 1 > size) return static_cast<DWORD>(wide.size() + 1);
  wmemcpy(buffer, wide.c_str(), wide.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(wide.size());
}

namespace {

// The one library handle the program asks for.
HMODULE const kKernel = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10000));

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR module_name) {
  if (module_name != nullptr && posix::ToNative(module_name) == "kernel32.dll") return kKernel;
  SetLastError(ERROR_FILE_NOT_FOUND);  // ERROR_MOD_NOT_FOUND on Windows
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module == kKernel && name != nullptr && strcmp(name, "SetDefaultDllDirectories") == 0) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SetDefaultDllDirectories));
  }
  SetLastError(ERROR_INVALID_PARAMETER);  // ERROR_PROC_NOT_FOUND on Windows
  return nullptr;
}

// A POSIX program loads no libraries on demand from its own folder: there is
// no search order to lock down, and both calls succeed.
BOOL SetDllDirectoryW(LPCWSTR /*path*/) { return TRUE; }

BOOL SetDefaultDllDirectories(DWORD flags) {
  return flags == 0 ? posix::Fail(ERROR_INVALID_PARAMETER) : TRUE;
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  if (size == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  utsname system;
  if (uname(&system) != 0) return posix::FailWithErrno();
  const std::wstring name = posix::FromNative(system.nodename);
  // Too small: the size needed, terminating zero included.
  if (buffer == nullptr || name.size() + 1 > *size) {
    *size = static_cast<DWORD>(name.size() + 1);
    return posix::Fail(ERROR_BUFFER_OVERFLOW);
  }
  wmemcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return TRUE;
}

BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) {
  if (size == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  // The user the process acts as (its effective user), from the user database.
  std::vector<char> scratch(16384);
  passwd entry = {};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
      found == nullptr) {
    return posix::Fail(ERROR_NONE_MAPPED);
  }
  const std::wstring name = posix::FromNative(found->pw_name);
  // Windows counts the terminating zero both ways.
  if (buffer == nullptr || name.size() + 1 > *size) {
    *size = static_cast<DWORD>(name.size() + 1);
    return posix::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  wmemcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size() + 1);
  return TRUE;
}
