#include "utility/base/file_logger.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "platform/log_files.h"
#include "platform/long_paths.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

std::wstring HostName() {
  wchar_t name[256] = {};
  DWORD size = 256;
  return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

std::wstring UserName() {
  wchar_t name[256] = {};
  const DWORD length = GetEnvironmentVariableW(log_files::kUserVariable, name, 256);
  if (length > 0 && length < 256) return std::wstring(name, length);
  DWORD size = 256;
  if (GetUserNameW(name, &size) && size > 1) return std::wstring(name, size - 1);
  return L"invalid-user";
}

// The library's size limit in bytes: FLAGS_max_log_size megabytes, 1 when
// the flag is out of its range.
uint64_t SizeLimit() {
  const uint32_t megabytes =
      FLAGS_max_log_size > 0 && FLAGS_max_log_size < 4096 ? FLAGS_max_log_size : 1;
  return uint64_t{megabytes} << 20;
}

bool IsDiskFull(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// How long a writer waits for its turn before it writes without one: a
// writer holds it for one append, and logging must never hold up a run. A
// turn that did not come in time is not waited for again: its holder is
// stuck, stopped, or not a writer at all.
constexpr auto kTurnWait = std::chrono::seconds(1);

// Takes the file's turn; false when it cannot within `wait`.
bool TakeTurn(HANDLE file, std::chrono::steady_clock::duration wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    OVERLAPPED range = FileLogger::TurnByte();
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
      return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    Sleep(1);
  }
}

void GiveTurn(HANDLE file) {
  OVERLAPPED range = FileLogger::TurnByte();
  UnlockFileEx(file, 0, 1, 0, &range);
}

}  // namespace

OVERLAPPED FileLogger::TurnByte() {
  // The writers of a file take turns by an exclusive lock on one byte far
  // beyond any end the file will have, so that it stands in no write's way.
  OVERLAPPED range = {};
  range.Offset = 0xFFFFFFF0;
  range.OffsetHigh = 0x7FFFFFFF;
  return range;
}

FileLogger::FileLogger(google::LogSeverity severity, const std::wstring& folder,
                       const std::string& program, const std::string& extension)
    : start_(std::chrono::steady_clock::now()) {
  const std::wstring host = HostName();
  host_ = WideToUtf8(host);
  const std::string base = program.substr(program.find_last_of("/\\") + 1);
  const std::wstring stem = WideText(base, CP_ACP) + L"." + host + L"." + UserName() + L".log." +
                            WideText(google::GetLogSeverityName(severity), CP_ACP) + L".";
  // The usual file, and the second one of this process for when the usual
  // one cannot be opened.
  const std::wstring names[] = {
      stem + WideText(extension, CP_ACP),
      stem + std::to_wstring(GetCurrentProcessId()) + L"." + WideText(extension, CP_ACP)};
  std::vector<std::wstring> folders;
  if (!folder.empty()) {
    folders.push_back(folder);
  } else {
    for (const std::string& candidate : google::GetLoggingDirectories()) {
      folders.push_back(WideText(candidate, CP_ACP));
    }
  }
  for (const std::wstring& candidate : folders) {
    for (const std::wstring& name : names) {
      const std::wstring path = JoinPath(candidate, name);
      const std::wstring full = long_paths::FullPathName(path);
      paths_.push_back(full.empty() ? path : full);
    }
  }
}

FileLogger::~FileLogger() { Close(); }

bool FileLogger::Open() {
  for (size_t i = 0; i < paths_.size(); ++i) {
    // Appending only (no FILE_WRITE_DATA): every write goes to the end of the
    // file as it is then. Reading, which nothing does, lets the handle lock.
    HANDLE file = log_files::OpenForAppending(long_paths::ExtendedLengthPath(paths_[i]));
    if (file != INVALID_HANDLE_VALUE) {
      file_ = file;
      // Another file than before starts with its header.
      if (i != opened_) header_written_ = false;
      opened_ = i;
      return true;
    }
  }
  return false;
}

void FileLogger::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

std::string FileLogger::Header(time_t timestamp) const {
  // The library's own header, line for line.
  const std::tm time = FLAGS_log_utc_time ? *std::gmtime(&timestamp) : *std::localtime(&timestamp);
  const auto seconds = static_cast<long long>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_)
          .count());
  std::ostringstream header;
  header.fill('0');
  header << "Log file created at: " << 1900 + time.tm_year << '/' << std::setw(2) << 1 + time.tm_mon
         << '/' << std::setw(2) << time.tm_mday << ' ' << std::setw(2) << time.tm_hour << ':'
         << std::setw(2) << time.tm_min << ':' << std::setw(2) << time.tm_sec
         << (FLAGS_log_utc_time ? " UTC\n" : "\n") << "Running on machine: " << host_ << '\n'
         << "Running duration (h:mm:ss): " << seconds / 3600 << ':' << std::setw(2)
         << seconds / 60 % 60 << ':' << std::setw(2) << seconds % 60 << '\n'
         << "Log line format: [IWEF]"
         << (FLAGS_log_year_in_prefix ? "yyyymmdd hh:mm:ss.uuuuuu" : "mmdd hh:mm:ss.uuuuuu")
         << " threadid file:line] msg\n";
  return header.str();
}

void FileLogger::Write(bool /*force_flush*/, time_t timestamp, const char* message, size_t length) {
  if (length == 0) return;  // the library's nudge to flush after a fatal record
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (now < paused_until_) return;
  if (file_ == INVALID_HANDLE_VALUE && !Open()) return;
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(file_, &size) && static_cast<uint64_t>(size.QuadPart) >= SizeLimit()) return;
  // One append for the header and the first record, one for each later record.
  std::string record = header_written_ ? std::string() : Header(timestamp);
  record.append(message, length);
  const std::string data = log_files::TextModeBytes(record);
  // Windows and POSIX place each append whole at the end by themselves; Wine,
  // where the Windows build is tested, writes it at the end it saw a moment
  // before, where another process may be writing too. Taking turns costs
  // little and holds everywhere.
  const bool turn = TakeTurn(file_, turns_late_ ? std::chrono::seconds(0) : kTurnWait);
  turns_late_ = turns_late_ || !turn;
  DWORD written = 0;
  const bool whole =
      WriteFile(file_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
      written == data.size();
  const DWORD error = GetLastError();
  if (turn) GiveTurn(file_);
  if (whole) {
    header_written_ = true;
    return;
  }
  Close();
  if (FLAGS_stop_logging_if_full_disk && IsDiskFull(error)) {
    paused_until_ = now + std::chrono::seconds(FLAGS_logbufsecs);
  }
}

google::uint32 FileLogger::LogSize() {
  std::lock_guard<std::mutex> lock(mutex_);
  LARGE_INTEGER size = {};
  if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &size)) return 0;
  return static_cast<google::uint32>(std::min<int64_t>(size.QuadPart, UINT32_MAX));
}
