// The log files, written so that runs of the program at the same moment
// cannot lose, overwrite or cut into each other's records.
#ifndef UTILITY_BASE_FILE_LOGGER_H_
#define UTILITY_BASE_FILE_LOGGER_H_

#include <glog/logging.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32.h"

// The file of one severity, as the logging library names it and heads it;
// installed with google::base::SetLogger for each severity, which makes it the
// library's to delete. The library hands it every record of that severity and
// of the higher ones, formatted and ending with a line feed.
//
// Contract:
// - Name: <program>.<host>.<user>.log.<SEVERITY>.<extension> in the folder
//   (the library's own rule without a time stamp): host from
//   GetComputerNameW, user from the environment (USERNAME on Windows, USER
//   elsewhere), else GetUserNameW, else "invalid-user". When that file cannot
//   be opened (another program holds it without write sharing, another user
//   owns it), the records go to a second file of the same folder, this
//   process's own: <program>.<host>.<user>.log.<SEVERITY>.<pid>.<extension>.
// - Folder: opened by its wide path (any name, any length), made full when
//   the logger is made, so that a later change of the current folder moves
//   nothing. Empty: the library's default folders (GetLoggingDirectories),
//   the first where the file opens.
// - The file opens at the first record and stays open; it is created when
//   missing and never truncated, renamed or removed. Each record reaches it
//   by one append (Windows: a handle with FILE_APPEND_DATA and no
//   FILE_WRITE_DATA; POSIX: O_APPEND), which the system places whole at the
//   end of the file whatever other processes append at the same moment: no
//   record is lost to another, overwritten or cut into, and each process's
//   records keep their order. Writers also take turns by a lock on a byte
//   far beyond the file's end (Wine places an append at the end it saw a
//   moment before); a writer that cannot have its turn within a second
//   writes without it, and waits for no more turns of that file.
// - POSIX: a file made is the user's alone (mode 0600), so that no other
//   user can read it or take its turns.
// - Text: as the library wrote it through the runtime's text mode (lines
//   end with CR LF on Windows, LF elsewhere).
// - Header: the first record that lands carries, in the same append, the
//   library's header lines ("Log file created at: ", "Running on machine: ",
//   "Running duration (h:mm:ss): ", "Log line format: "), so that no other
//   record can come between a header and its run's first record.
// - Size limit (FLAGS_max_log_size megabytes, read as the library reads it):
//   a file that has reached it takes no more records; they are dropped until
//   the next day's folder starts new files. Moving a full file aside would
//   take it from under the other runs writing it (their records would follow
//   it), and starting it over would destroy theirs: stopping is the one
//   choice that is safe with concurrent writers. Each writer checks before
//   its append, so a file passes the limit by at most one record per writer.
// - Full disk (FLAGS_stop_logging_if_full_disk): an append that fails for
//   want of room stops writing for FLAGS_logbufsecs seconds (the library's
//   own interval); the records of that time are dropped, and the file is
//   opened afresh after it.
// - A record that neither file takes (neither opens, or the write fails)
//   is lost; the next record tries again, the usual file first. Nothing is buffered: Flush has
//   nothing to do.
// - Thread-safe.
class FileLogger : public google::base::Logger {
 public:
  // `program` as the library takes it (the part after the last separator),
  // `extension` without its dot, as given to SetLogFilenameExtension.
  FileLogger(google::LogSeverity severity, const std::wstring& folder, const std::string& program,
             const std::string& extension);
  ~FileLogger() override;
  FileLogger(const FileLogger&) = delete;
  FileLogger& operator=(const FileLogger&) = delete;

  void Write(bool force_flush, time_t timestamp, const char* message, size_t length) override;
  void Flush() override {}
  // The file's size in bytes (at most 4 GiB - 1); 0 while it is not open.
  google::uint32 LogSize() override;

  // The byte of a file that its writers lock to take turns.
  static OVERLAPPED TurnByte();

  // The paths the file is looked for at, in order: the usual file and the
  // second one, in the folder, or in each of the library's default folders
  // for none.
  const std::vector<std::wstring>& paths() const { return paths_; }

 private:
  bool Open();
  void Close();
  std::string Header(time_t timestamp) const;

  std::mutex mutex_;
  std::vector<std::wstring> paths_;
  std::string host_;  // UTF-8, for the header
  const std::chrono::steady_clock::time_point start_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  size_t opened_ = SIZE_MAX;  // of paths_, the file open or last open
  bool header_written_ = false;
  bool turns_late_ = false;  // a turn did not come in time
  std::chrono::steady_clock::time_point paused_until_;
};

#endif  // UTILITY_BASE_FILE_LOGGER_H_
