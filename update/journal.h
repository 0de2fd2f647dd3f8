// The journal of a run: what the run is about to change in the install,
// written into its run folder and flushed to disk before each step, so that
// whatever ends the run (a crash, a logout, a kill) the next run knows what to
// finish and what to undo, and never has to guess.
//
// The journal is the file "journal" in the run folder, one record a line:
//   zizaro_do run <start>      first; a file without it is no journal
//                              (<start>: milliseconds since 1970)
//   copy                       the folder holds a copy of the updater, which
//                              runs the update; nothing of the install changed
//   unpacked                   the new client is whole in the run folder
//   kept                       the client's executable is kept in the run
//                              folder: from here on it may be deleted
//   move <from>\t<to>          an entry is about to be renamed (paths below
//                              the install root, escaped: see EscapePath)
//   switched                   the new client is complete in place
//   undoing                    the switch is being undone
//   started                    the new client has started
// A line cut short (the run ended while writing it) is no record: the step it
// would have announced had not begun.
#ifndef UPDATE_JOURNAL_H_
#define UPDATE_JOURNAL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

extern const char kJournalCopy[];
extern const char kJournalUnpacked[];
extern const char kJournalKept[];
extern const char kJournalSwitched[];
extern const char kJournalUndoing[];
extern const char kJournalStarted[];

// Called with each record once it is on disk; null in the shipped program.
// A build of the updater for tests sets it to end the run at a chosen step.
extern void (*g_after_journal_record)(const std::string& record);

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates the journal of a new run folder of the install root `root_dir`,
  // with its first record. False, with the system's error as the last
  // error, when it cannot be written.
  bool Start(const std::wstring& root_dir, const std::wstring& run_folder);
  // Appends a record and flushes it to disk. False, with an ERROR record,
  // when it cannot: the step it announces must then not be taken.
  bool Record(const std::string& record);
  // Records the rename of `from` to `to` (both below the install root), then
  // renames, never replacing, retried with fixed pauses `attempts` times
  // while the system refuses (a file in it open, a program running from it).
  // False, with an ERROR record naming that rename and the system's error,
  // when it did not happen.
  bool Rename(const std::wstring& from, const std::wstring& to, int attempts);
  // The same record for a move that the caller makes itself.
  bool RecordMove(const std::wstring& from, const std::wstring& to);
  void Close();

  const std::vector<std::string>& records() const { return records_; }

 private:
  std::wstring root_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::vector<std::string> records_;
};

// The path of a run folder's journal.
std::wstring JournalPath(const std::wstring& run_folder);
// The records of a run folder's journal, its first line included, and when
// its run started. False when there is none, or it does not begin with its
// first record.
bool ReadJournal(const std::wstring& run_folder, std::vector<std::string>* records,
                 uint64_t* started);
// A move record's two paths, each joined to the install root `root_dir`.
// False for a record that is no move.
bool ParseMove(const std::string& record, const std::wstring& root_dir, std::wstring* from,
               std::wstring* to);

// A path as a record holds it: printable ASCII but '%' as it is, every other
// unit as '%' and six hexadecimal digits, so that any name (a lone surrogate,
// a tab) comes back exactly; and back. UnescapePath is false for text that no
// path gives.
std::string EscapePath(const std::wstring& path);
bool UnescapePath(const std::string& text, std::wstring* path);

// Renames, never replacing, retried with fixed pauses `attempts` times while
// the system refuses. False, with the system's error in `code`.
bool RenameEntry(const std::wstring& from, const std::wstring& to, int attempts, DWORD* code);
// The ERROR record of a rename that failed.
void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code);

#endif  // UPDATE_JOURNAL_H_
