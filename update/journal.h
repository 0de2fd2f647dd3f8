// The journal of a run: its records, their grammar, and the file that holds
// them ("journal" in the run's folder), appended to and flushed to disk one
// write at a time. What the records mean, and which may follow which, is the
// run's state machine (update/run_state.h).
//
// A record is a line: its text, a tab and the CRC-32 of the text in eight
// lowercase hexadecimal digits. A journal is read up to its first line that
// is not a whole, checked record (a write that a crash cut short, or the
// zeros a power cut leaves at a file's end): what follows it is not read,
// and a run that goes on with the journal cuts it away before it appends.
// Journals of an earlier version carry no checks: their whole lines are
// their records.
//
// The texts, where <id> is an entry's identity (IdText) and paths lie below
// the install root (EscapePath):
//   zizaro_do run <start>      first (<start>: milliseconds since 1970)
//   copy
//   switching <id>
//   move <from>\t<to>\t<id>
//   commit <from>\t<to>\t<id>
//   switched
//   started
//   undoing
//   undone
// and, read only in journals of an earlier version: "unpacked", "kept",
// "displace <from>\t<to>\t<id>" (an entry an undo set aside in the run
// folder), and moves without an identity.
#ifndef UPDATE_JOURNAL_H_
#define UPDATE_JOURNAL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "update/entries.h"

// A journal is read only up to this size: a run never writes more (its
// appends refuse to), so a larger file is no journal of ours.
constexpr uint64_t kMaxJournalBytes = uint64_t{64} << 20;

enum class RecordKind {
  kHeader,
  kCopy,
  kUnpacked,  // an earlier version's: the new client was unpacked
  kKept,      // an earlier version's: the executable kept in the run folder
  kSwitching,
  kMove,
  kCommit,
  kSwitched,
  kStarted,
  kUndoing,
  kDisplace,  // an earlier version's: an entry in the way of an undo, set aside
  kUndone,
};

// One rename as a record holds it: both paths below the install root, and
// the identity of the entry it moves ("-" where the volume keeps none, or the
// record is an earlier version's).
struct Move {
  RecordKind kind = RecordKind::kMove;  // kMove, kCommit or kDisplace
  std::wstring from;
  std::wstring to;
  EntryId id;
};

// A record, parsed.
struct Record {
  RecordKind kind = RecordKind::kHeader;
  uint64_t start = 0;  // kHeader
  EntryId id;          // kSwitching
  Move move;           // kMove, kCommit, kDisplace
};

// The text of a record, and back. ParseRecord is strict: it takes only what
// RecordText writes (and the earlier version's records), and false for
// anything else: an unknown word, a path that is not a plain path below a
// folder (empty, absolute, with a drive, "." or ".." or empty steps), an
// escape or an identity that the writer does not write.
std::string RecordText(const Record& record);
bool ParseRecord(const std::string& text, Record* record);
// Shorthands of RecordText.
std::string HeaderRecord(uint64_t start);
std::string SwitchingRecord(const EntryId& id);
std::string MoveRecord(const Move& move);
std::string WordRecord(RecordKind kind);  // copy, switched, started, undoing, undone

// An identity as records write it: "-" when not known, else the volume, the
// index and (where known) the time it was made, in hexadecimal.
std::string IdText(const EntryId& id);
bool ParseId(const std::string& text, EntryId* id);

// A path as a record holds it: printable ASCII but '%' as it is, every other
// unit as '%' and six uppercase hexadecimal digits, so that any name (a lone
// surrogate, a tab) comes back exactly; and back.
std::string EscapePath(const std::wstring& path);
bool UnescapePath(const std::string& text, std::wstring* path);

// What a journal holds: its whole records (their checks taken off), its
// start, and the length of the part that holds them.
struct JournalContents {
  std::vector<std::string> records;
  uint64_t started = 0;
  uint64_t whole_bytes = 0;
  bool checked = false;  // written with checks; false: an earlier version's
};
enum class JournalRead {
  kRead,       // its records, the first one a header
  kNone,       // no journal, or none with a whole first record
  kUntrusted,  // not a regular file (a link, a device), too large, or a
               // first record that is no header
};
// Reads a journal's text (ReadJournal's, or any text: it is not trusted).
JournalRead ParseJournal(const std::string& text, JournalContents* contents);
// Reads the journal of a run folder (its path as the system takes it),
// opened without following a link.
JournalRead ReadJournal(const std::wstring& system_run_folder, JournalContents* contents);

// The new client's files as the run made them durable, kept in the run
// folder's "manifest" until the run folder goes: a line "file <size> <path>"
// for each (its path below the new client folder, escaped as EscapePath
// escapes it), then "end <count>", each line checked as a record is, so that
// a manifest cut short is told from a whole one. Before a later run takes a
// switch for complete, it compares the client folder with it.
struct ManifestFile {
  std::wstring path;
  uint64_t size = 0;
};
// Writes the manifest (a new file; it is made durable with the new files).
// False, with the system's error as the last error, when it cannot.
bool WriteManifest(const std::wstring& system_run_folder, const std::vector<ManifestFile>& files);
// Reads it back; false when it is missing, cut short or not one of ours.
bool ReadManifest(const std::wstring& system_run_folder, std::vector<ManifestFile>* files);

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates the journal of a new run folder (its path as the system takes
  // it) with its header. False, with the system's error as the last error,
  // when it cannot be written.
  bool Start(const std::wstring& system_run_folder);
  // Opens an earlier run's journal, read as `contents`, to go on recording:
  // what follows its whole records is cut away first.
  bool Reopen(const std::wstring& system_run_folder, const JournalContents& contents);
  // Appends records in one write and flushes them to disk once. False, with
  // an ERROR record and the system's error as the last error, when it
  // cannot: the steps they announce must then not be taken.
  bool Append(const std::vector<std::string>& records);
  void Close();

  const std::vector<std::string>& records() const { return records_; }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  uint64_t size_ = 0;
  std::vector<std::string> records_;
};

#endif  // UPDATE_JOURNAL_H_
