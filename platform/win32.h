// The one header that the program includes for system calls.
//
// On Windows it brings in the SDK headers. Elsewhere it declares the subset of
// Win32 that the program uses, under the same names and signatures; the POSIX
// layer in platform/posix/ implements them with the behaviour the program
// relies on.
#ifndef PLATFORM_WIN32_H_
#define PLATFORM_WIN32_H_

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
// windows.h first: the others build on it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>
// clang-format on

#include <cwchar>

// The runtime's wcstoll, which std::stoll uses (the POSIX layer provides the
// same conversion under this name).
inline long long RuntimeWcstoll(const wchar_t* text, wchar_t** end, int base) {
  return wcstoll(text, end, base);
}

#else  // !_WIN32

#include <cstddef>
#include <cstdint>

typedef int BOOL;
typedef int32_t LONG;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t DWORDLONG;
typedef uint64_t ULONGLONG;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HLOCAL;
typedef HANDLE HKEY;
typedef LONG HRESULT;
typedef int (*FARPROC)();

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))

// Waiting and process access.
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define STATUS_DLL_NOT_FOUND 0xC0000135u
#define SYNCHRONIZE 0x00100000u
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define PROCESS_ALL_ACCESS 0x001FFFFFu
#define TH32CS_SNAPPROCESS 0x00000002u

// Process creation.
#define STARTF_USESHOWWINDOW 0x00000001u
#define STARTF_USESTDHANDLES 0x00000100u
#define HANDLE_FLAG_INHERIT 0x00000001u
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_SHOWDEFAULT 10
#define DETACHED_PROCESS 0x00000008u
#define CREATE_NEW_CONSOLE 0x00000010u
#define CREATE_BREAKAWAY_FROM_JOB 0x01000000u

// Files.
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define DELETE 0x00010000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_BEGIN 0u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define OPEN_EXISTING 3u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_NAME_NORMALIZED 0x0u
#define VOLUME_NAME_DOS 0x0u
#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

// Files opened for appending, and their locks.
#define FILE_READ_DATA 0x00000001u
#define FILE_WRITE_DATA 0x00000002u
#define FILE_APPEND_DATA 0x00000004u
#define OPEN_ALWAYS 4u
#define CREATE_NEW 1u
#define LOCKFILE_FAIL_IMMEDIATELY 0x00000001u
#define LOCKFILE_EXCLUSIVE_LOCK 0x00000002u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_BUFFER_OVERFLOW 111u
#define ERROR_NONE_MAPPED 1332u

// Libraries.
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u

// Shell and boxes.
#define SEE_MASK_NOCLOSEPROCESS 0x00000040u
#define SEE_MASK_NOASYNC 0x00000100u
#define SEE_MASK_FLAG_NO_UI 0x00000400u
#define SE_ERR_FNF 2
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define IDOK 1

// Text.
#define CP_ACP 0u
#define CP_OEMCP 1u
#define CP_THREAD_ACP 3u
#define CP_UTF8 65001u

// Version test.
#define VER_MINORVERSION 0x0000001u
#define VER_MAJORVERSION 0x0000002u
#define VER_SERVICEPACKMINOR 0x0000010u
#define VER_SERVICEPACKMAJOR 0x0000020u
#define VER_GREATER_EQUAL 3

// System error codes, as Windows numbers them.
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOT_SAME_DEVICE 17u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_BAD_LENGTH 24u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_INVALID_NAME 123u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_DIRECTORY 267u
#define ERROR_NOT_OWNER 288u
#define ERROR_ENVVAR_NOT_FOUND 203u

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
typedef STARTUPINFOW* LPSTARTUPINFOW;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

struct PROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
};
typedef PROCESSENTRY32W* LPPROCESSENTRY32W;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAW* LPWIN32_FIND_DATAW;

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};
typedef ULARGE_INTEGER* PULARGE_INTEGER;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  int64_t QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

struct SHELLEXECUTEINFOW {
  DWORD cbSize;
  DWORD fMask;
  HWND hwnd;
  LPCWSTR lpVerb;
  LPCWSTR lpFile;
  LPCWSTR lpParameters;
  LPCWSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  void* lpIDList;
  LPCWSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  HANDLE hIcon;
  HANDLE hProcess;
};
typedef SHELLEXECUTEINFOW* LPSHELLEXECUTEINFOW;

struct OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
typedef OSVERSIONINFOEXW* LPOSVERSIONINFOEXW;

// Errors.
DWORD GetLastError();
void SetLastError(DWORD code);

// Handles and processes.
BOOL CloseHandle(HANDLE handle);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// A process counts as waiting for input once it sleeps (its state in
// /proc/PID/stat): 0 then, WAIT_TIMEOUT, or WAIT_FAILED once it has ended.
DWORD WaitForInputIdle(HANDLE process, DWORD milliseconds);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                    LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment, LPCWSTR current_directory,
                    LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information);
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR name, PDWORD size);
BOOL ProcessIdToSessionId(DWORD process_id, DWORD* session_id);
DWORD GetCurrentProcessId();
BOOL AllowSetForegroundWindow(DWORD process_id);
void Sleep(DWORD milliseconds);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);

// Pipes and named mutexes.
BOOL CreatePipe(HANDLE* read_pipe, HANDLE* write_pipe, LPSECURITY_ATTRIBUTES attributes,
                DWORD size);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPVOID overlapped);
// A file opened for writing: its position set (FILE_BEGIN only), and its end
// set there.
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD method);
BOOL SetEndOfFile(HANDLE file);
BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags);

// Appending to a file (CreateFileW with FILE_APPEND_DATA, and FILE_READ_DATA
// at most, OPEN_ALWAYS or CREATE_NEW, inheritable when asked), its byte-range
// locks, and the names of the machine and of the user.
BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, LPDWORD written, LPVOID overlapped);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);
BOOL GetUserNameW(LPWSTR buffer, LPDWORD size);

// Libraries: the DLL search order (nothing to lock down on POSIX).
HMODULE GetModuleHandleW(LPCWSTR module_name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL SetDllDirectoryW(LPCWSTR path);
BOOL SetDefaultDllDirectories(DWORD flags);

// System version.
ULONGLONG VerSetConditionMask(ULONGLONG condition_mask, DWORD type_mask, BYTE condition);
BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW version_info, DWORD type_mask, DWORDLONG condition_mask);

// Command line and text.
LPWSTR GetCommandLineW();
int lstrlenW(LPCWSTR text);
LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* argc);
HLOCAL LocalFree(HLOCAL memory);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR narrow,
                        int narrow_size, LPCSTR default_char, BOOL* used_default_char);
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR narrow, int narrow_length, LPWSTR wide,
                        int wide_size);
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
DWORD CharLowerBuffW(LPWSTR text, DWORD length);
// The Windows runtime's wcstoll, which std::stoll uses there: leading white
// space as Windows classes it (beyond ASCII), a sign, ASCII digits.
long long RuntimeWcstoll(const wchar_t* text, wchar_t** end, int base);

// Files.
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags);
BOOL DeleteFileW(LPCWSTR path);
BOOL PathFileExistsW(LPCWSTR path);
BOOL RemoveDirectoryW(LPCWSTR path);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL CreateDirectoryExW(LPCWSTR template_folder, LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL CreateHardLinkW(LPCWSTR new_name, LPCWSTR existing, LPSECURITY_ATTRIBUTES attributes);
BOOL CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists);
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
DWORD GetFileType(HANDLE file);
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
BOOL GetVolumeInformationByHandleW(HANDLE file, LPWSTR volume_name, DWORD volume_name_size,
                                   LPDWORD serial_number, LPDWORD longest_component, LPDWORD flags,
                                   LPWSTR file_system_name, DWORD file_system_name_size);
BOOL GetDiskFreeSpaceExW(LPCWSTR folder, PULARGE_INTEGER available_to_caller, PULARGE_INTEGER total,
                         PULARGE_INTEGER total_free);
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part);
DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size);
DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer);
BOOL SetCurrentDirectoryW(LPCWSTR path);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
BOOL AreFileApisANSI();

// Shell and user interface.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, int show);
BOOL ShellExecuteExW(LPSHELLEXECUTEINFOW info);

// The program's entry, called by the POSIX main with the arguments after the
// program path joined as Windows would hand them to a GUI program.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show);

// Records the process's arguments for GetCommandLineW. Called by main before
// anything else; without it GetCommandLineW reads /proc/self/cmdline.
void PosixSetCommandLineArgs(int argc, char** argv);

#endif  // _WIN32

#endif  // PLATFORM_WIN32_H_
