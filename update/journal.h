// The journal of a run: what the run is about to change in the install,
// written into its run folder and flushed to disk before each step, so that
// whatever ends the run (a crash, a logout, a kill) the next run knows what to
// finish and what to undo, and never has to guess (update/run_state.h).
//
// The journal is the file "journal" in the run folder, one record a line:
//   zizaro_do run <start>      first; a file without it is no journal
//                              (<start>: milliseconds since 1970)
//   copy                       the folder holds a copy of the updater, which
//                              runs the update; nothing of the install changed
//   unpacked                   the new client is whole in the run folder
//   kept                       the client's executable is kept in the run
//                              folder (runs of an earlier version, which
//                              deleted it before the switch), to go back
//                              whenever the old client folder is back
//                              without it
//   switching <id>             the switch begins; <id>: the identity of the
//                              client folder it switches from
//   move <from>\t<to>\t<id>    an entry is about to be renamed, undone when
//                              the run does not reach its commit
//   commit <from>\t<to>\t<id>  the one rename that makes the new client the
//                              client: once made, the run is finished, never
//                              undone (but for a new client that cannot start)
//   switched                   the commit is made
//   started                    the new client has started and runs
//   undoing                    the run is being undone
//   displace <from>\t<to>\t<id>  an entry that stood where the undo puts an
//                              entry back is about to be set aside in the run
//                              folder, where it is kept
//   undone                     the old client is back, complete
// Paths are below the install root (escaped: see EscapePath); <id> names the
// entry by its volume and its index there (device and inode on POSIX), so
// that a later run tells whether the rename happened: "-" where the volume
// keeps no identity across renames (FAT), older journals have none. A line
// cut short (the run ended while writing it) is no record: the step it would
// have announced had not begun. Several moves recorded together are flushed
// together, before the first of them is made.
#ifndef UPDATE_JOURNAL_H_
#define UPDATE_JOURNAL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

extern const char kJournalCopy[];
extern const char kJournalUnpacked[];
extern const char kJournalKept[];
extern const char kJournalSwitching[];  // followed by a blank and an identity
extern const char kJournalSwitched[];
extern const char kJournalStarted[];
extern const char kJournalUndoing[];
extern const char kJournalUndone[];

// A journal is read only up to this size: a run never writes more (its
// Record refuses to), so a larger file is no journal of ours.
constexpr uint64_t kMaxJournalBytes = uint64_t{64} << 20;

// An entry's identity on its volume; not known where the volume keeps none
// that lasts across renames.
struct EntryId {
  bool known = false;
  DWORD volume = 0;
  uint64_t index = 0;
  bool operator==(const EntryId& other) const {
    return known == other.known && volume == other.volume && index == other.index;
  }
};

// The kinds of move record: a rename that an undo reverses, the commit, and
// an entry set aside by an undo.
enum class MoveKind { kMove, kCommit, kDisplace };

// One rename as a record holds it: both paths below the install root.
struct Move {
  MoveKind kind = MoveKind::kMove;
  std::wstring from;
  std::wstring to;
  EntryId id;
};

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates the journal of a new run folder (its path as the system takes
  // it) with its first record. False, with the system's error as the last
  // error, when it cannot be written.
  bool Start(const std::wstring& system_run_folder);
  // Opens an earlier run's journal, read as `records`, to go on recording.
  bool Reopen(const std::wstring& system_run_folder, const std::vector<std::string>& records);
  // Appends a record and flushes it to disk. False, with an ERROR record,
  // when it cannot: the step it announces must then not be taken.
  bool Record(const std::string& record);
  // Appends the records of several moves in one write and flushes them once.
  bool RecordMoves(const std::vector<Move>& moves);
  void Close();

  const std::vector<std::string>& records() const { return records_; }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  uint64_t size_ = 0;
  std::vector<std::string> records_;
};

// The path of a run folder's journal.
std::wstring JournalPath(const std::wstring& run_folder);
// What reading a run folder's journal found.
enum class JournalRead {
  kRead,       // its records, the first line included, and its start
  kNone,       // no journal, or one without a whole first line
  kUntrusted,  // not a regular file (a link, a device), or too large
};
JournalRead ReadJournal(const std::wstring& system_run_folder, std::vector<std::string>* records,
                        uint64_t* started);

// The record of a move, and back: false for a record that is no move, or
// whose paths are not plain paths below a folder (empty, absolute, with a
// drive, "." or ".." steps, or empty steps).
std::string MoveRecord(const Move& move);
bool ParseMove(const std::string& record, Move* move);
std::string IdText(const EntryId& id);
bool ParseId(const std::string& text, EntryId* id);

// A path as a record holds it: printable ASCII but '%' as it is, every other
// unit as '%' and six hexadecimal digits, so that any name (a lone surrogate,
// a tab) comes back exactly; and back. UnescapePath is false for text that no
// path gives.
std::string EscapePath(const std::wstring& path);
bool UnescapePath(const std::string& text, std::wstring* path);

// Renames (paths as the system takes them), never replacing, retried with
// fixed pauses `attempts` times while the system refuses, but not when the
// name is taken. False, with the system's error in `code`.
// `before_retry`, when given, runs before each attempt but the first.
bool RenameEntry(const std::wstring& from, const std::wstring& to, int attempts, DWORD* code,
                 void (*before_retry)(void*) = nullptr, void* context = nullptr);
// The ERROR record of a rename that failed.
void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code);

#endif  // UPDATE_JOURNAL_H_
