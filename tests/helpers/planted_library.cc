// A library planted beside a program under the name of a system library: when
// it is loaded, it appends the loading program's path to the file named by
// ZIZARO_PLANTED_LOG, and then refuses to stay, so that the program goes on
// with the system's own library. Windows only.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t log[1024] = {};
  wchar_t program[1024] = {};
  if (GetEnvironmentVariableW(L"ZIZARO_PLANTED_LOG", log, 1024) == 0) return FALSE;
  const DWORD length = GetModuleFileNameW(nullptr, program, 1023);
  program[length] = L'\n';
  char line[4096] = {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, program, static_cast<int>(length + 1), line,
                                       sizeof(line), nullptr, nullptr);
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
  }
  return FALSE;
}
