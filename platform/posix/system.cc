// System version and environment.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/posix/internal.h"

ULONGLONG VerSetConditionMask(ULONGLONG condition_mask, DWORD type_mask, BYTE condition) {
  // Three bits per field, in the order Windows uses for the type-mask bits.
  static const DWORD kFields[] = {VER_MINORVERSION, VER_MAJORVERSION, 0x4, 0x8,
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
  std::string narrow_name = posix::ToUtf8(name);
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
  std::wstring wide = posix::FromUtf8(text);
  // Fits: the length without the terminating zero. Too long: the size needed.
  if (buffer == nullptr || wide.size() + 1 > size) return static_cast<DWORD>(wide.size() + 1);
  wmemcpy(buffer, wide.c_str(), wide.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(wide.size());
}
