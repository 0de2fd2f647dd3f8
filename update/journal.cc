#include "update/journal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/change_hook.h"
#include "platform/long_paths.h"
#include "update/layout.h"
#include "utility/base/logging.h"

namespace {

constexpr char kHeaderWord[] = "zizaro_do run";
// The words of the records, by kind.
constexpr const char* kWords[] = {kHeaderWord, "copy",    "unpacked", "kept",
                                  "switching", "move",    "commit",   "switched",
                                  "started",   "undoing", "displace", "undone"};
constexpr size_t kCheckLength = 9;  // a tab and eight hexadecimal digits

const char* WordOf(RecordKind kind) { return kWords[static_cast<int>(kind)]; }

uint32_t Crc32(const std::string& text) {
  uint32_t crc = 0xFFFFFFFFu;
  for (const unsigned char byte : text) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string Checked(const std::string& text) {
  char check[kCheckLength + 1];
  snprintf(check, sizeof(check), "\t%08x", static_cast<unsigned>(Crc32(text)));
  return text + check;
}

// The text of a checked line, or false when the line is no whole record.
bool Unchecked(const std::string& line, std::string* text) {
  if (line.size() < kCheckLength || line[line.size() - kCheckLength] != '\t') return false;
  const std::string digits = line.substr(line.size() - kCheckLength + 1);
  if (digits.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
  *text = line.substr(0, line.size() - kCheckLength);
  return std::strtoul(digits.c_str(), nullptr, 16) == Crc32(*text);
}

// Whether `text` is a decimal number as the writer writes it (no sign, no
// leading zero but for 0 itself, short of overflowing), read into `number`.
bool ParseNumber(const std::string& text, uint64_t* number) {
  if (text.empty() || text.size() > 19 ||
      text.find_first_not_of("0123456789") != std::string::npos ||
      (text.size() > 1 && text[0] == '0')) {
    return false;
  }
  *number = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

// Whether a path below a folder is a plain one: relative, each of its steps a
// name (not empty, "." or "..") that the platform takes as one name.
bool IsPlainBelow(const std::wstring& path) {
  if (path.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(long_paths::kSeparator, start);
    if (!long_paths::IsPlainName(path.substr(start, end - start))) return false;
    if (end == std::wstring::npos) return true;
    start = end + 1;
  }
}

bool ParseMoveFields(const std::string& fields, Move* move) {
  const size_t tab = fields.find('\t');
  if (tab == std::string::npos) return false;
  // An earlier version's moves name no identity.
  const size_t second_tab = fields.find('\t', tab + 1);
  move->id = EntryId();
  return UnescapePath(fields.substr(0, tab), &move->from) &&
         UnescapePath(fields.substr(tab + 1, second_tab - tab - 1), &move->to) &&
         (second_tab == std::string::npos || ParseId(fields.substr(second_tab + 1), &move->id)) &&
         IsPlainBelow(move->from) && IsPlainBelow(move->to);
}

// The file handed to a reader: a regular file (no link, device or pipe) of at
// most the largest journal, opened without following a link.
bool ReadJournalFile(const std::wstring& path, std::string* text, bool* untrusted) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // Anything but a missing file is something there that is no journal.
    *untrusted = code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  const bool regular =
      GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) &&
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
          0;
  const uint64_t size = (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  *untrusted = !regular || size > kMaxJournalBytes;
  bool read = !*untrusted;
  char buffer[65536];
  DWORD got = 0;
  while (read && ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text->append(buffer, got);
    // Grown since it was looked at: no journal of ours either.
    if (text->size() > kMaxJournalBytes) *untrusted = true, read = false;
  }
  CloseHandle(file);
  return read;
}

std::wstring JournalPath(const std::wstring& system_run_folder) {
  return long_paths::ChildPath(system_run_folder, run_part::kJournal);
}

// Cuts the file at `path` back to `size` bytes.
bool CutBack(const std::wstring& path, uint64_t size) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end = {};
  end.QuadPart = static_cast<int64_t>(size);
  const bool cut = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  const DWORD code = GetLastError();
  CloseHandle(file);
  SetLastError(code);
  return cut;
}

}  // namespace

std::string RecordText(const Record& record) {
  switch (record.kind) {
    case RecordKind::kHeader:
      return HeaderRecord(record.start);
    case RecordKind::kSwitching:
      return SwitchingRecord(record.id);
    case RecordKind::kMove:
    case RecordKind::kCommit:
    case RecordKind::kDisplace:
      return MoveRecord(record.move);
    default:
      return WordRecord(record.kind);
  }
}

std::string HeaderRecord(uint64_t start) {
  return std::string(kHeaderWord) + " " + std::to_string(start);
}

std::string SwitchingRecord(const EntryId& id) {
  return std::string(WordOf(RecordKind::kSwitching)) + " " + IdText(id);
}

std::string MoveRecord(const Move& move) {
  return std::string(WordOf(move.kind)) + " " + EscapePath(move.from) + "\t" + EscapePath(move.to) +
         "\t" + IdText(move.id);
}

std::string WordRecord(RecordKind kind) { return WordOf(kind); }

bool ParseRecord(const std::string& text, Record* record) {
  *record = Record();
  // The header's word holds a blank of its own.
  const bool header = text.rfind(std::string(kHeaderWord) + " ", 0) == 0;
  const size_t blank = header ? sizeof(kHeaderWord) - 1 : text.find(' ');
  const std::string word = text.substr(0, blank);
  const std::string rest = blank == std::string::npos ? std::string() : text.substr(blank + 1);
  int kind = 0;
  while (kind <= static_cast<int>(RecordKind::kUndone) && word != kWords[kind]) ++kind;
  if (kind > static_cast<int>(RecordKind::kUndone)) return false;
  record->kind = static_cast<RecordKind>(kind);
  const bool has_rest = blank != std::string::npos;
  switch (record->kind) {
    case RecordKind::kHeader:
      return has_rest && ParseNumber(rest, &record->start);
    case RecordKind::kSwitching:
      return has_rest && ParseId(rest, &record->id);
    case RecordKind::kMove:
    case RecordKind::kCommit:
    case RecordKind::kDisplace:
      record->move.kind = record->kind;
      return has_rest && ParseMoveFields(rest, &record->move);
    default:
      return !has_rest;
  }
}

std::string IdText(const EntryId& id) {
  if (!id.known) return "-";
  char text[48];
  if (id.born == 0) {
    snprintf(text, sizeof(text), "%08lx-%016llx", static_cast<unsigned long>(id.volume),
             static_cast<unsigned long long>(id.index));
  } else {
    snprintf(text, sizeof(text), "%08lx-%016llx-%016llx", static_cast<unsigned long>(id.volume),
             static_cast<unsigned long long>(id.index), static_cast<unsigned long long>(id.born));
  }
  return text;
}

bool ParseId(const std::string& text, EntryId* id) {
  *id = EntryId();
  if (text == "-") return true;
  const bool born = text.size() == 42;
  if ((text.size() != 25 && !born) || text[8] != '-' || (born && text[25] != '-')) return false;
  // Lowercase hexadecimal digits, as the writer writes them.
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 25;
    if (dash ? text[i] != '-'
             : text[i] == '\0' || std::strchr("0123456789abcdef", text[i]) == nullptr) {
      return false;
    }
  }
  id->known = true;
  id->volume = static_cast<DWORD>(std::strtoul(text.substr(0, 8).c_str(), nullptr, 16));
  id->index = std::strtoull(text.substr(9, 16).c_str(), nullptr, 16);
  if (born) id->born = std::strtoull(text.substr(26).c_str(), nullptr, 16);
  // A time of 0 is written without its field.
  return !born || id->born != 0;
}

std::string EscapePath(const std::wstring& path) {
  std::string text;
  for (const wchar_t unit : path) {
    if (unit > 0x20 && unit < 0x7F && unit != L'%') {
      text.push_back(static_cast<char>(unit));
    } else {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "%%%06X", static_cast<unsigned>(unit));
      text += escaped;
    }
  }
  return text;
}

bool UnescapePath(const std::string& text, std::wstring* path) {
  path->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte != '%') {
      // Only what the writer leaves as it is.
      if (byte <= 0x20 || byte >= 0x7F) return false;
      path->push_back(static_cast<wchar_t>(byte));
      continue;
    }
    if (i + 7 > text.size()) return false;
    const std::string digits = text.substr(i + 1, 6);
    if (digits.find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
    const unsigned long unit = std::strtoul(digits.c_str(), nullptr, 16);
    // Only what the writer escapes.
    if (unit > WCHAR_MAX || (unit > 0x20 && unit < 0x7F && unit != '%')) return false;
    path->push_back(static_cast<wchar_t>(unit));
    i += 6;
  }
  return true;
}

JournalRead ParseJournal(const std::string& text, JournalContents* contents) {
  *contents = JournalContents();
  // Whole lines only, each a checked record; an earlier version's journal
  // (its first line unchecked) reads its lines as they are until a checked
  // one, which a run of this version appended.
  bool checked_lines = false;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = text.substr(start, end - start);
    std::string record;
    if (Unchecked(line, &record)) {
      checked_lines = true;
    } else if (checked_lines || (contents->records.empty() && line.rfind(kHeaderWord, 0) != 0)) {
      break;  // torn: nothing after it is read
    } else {
      record = line;
    }
    if (contents->records.empty()) contents->checked = checked_lines;
    contents->records.push_back(record);
    contents->whole_bytes = end + 1;
  }
  if (contents->records.empty()) {
    // A first line that is whole but no record of ours is no journal of ours.
    return text.find('\n') == std::string::npos ? JournalRead::kNone : JournalRead::kUntrusted;
  }
  Record header;
  if (!ParseRecord(contents->records.front(), &header) || header.kind != RecordKind::kHeader) {
    return JournalRead::kUntrusted;
  }
  contents->started = header.start;
  return JournalRead::kRead;
}

JournalRead ReadJournal(const std::wstring& system_run_folder, JournalContents* contents) {
  std::string text;
  bool untrusted = false;
  *contents = JournalContents();
  if (!ReadJournalFile(JournalPath(system_run_folder), &text, &untrusted)) {
    return untrusted ? JournalRead::kUntrusted : JournalRead::kNone;
  }
  return ParseJournal(text, contents);
}

bool WriteManifest(const std::wstring& system_run_folder, const std::vector<ManifestFile>& files) {
  std::string text;
  for (const ManifestFile& file : files) {
    text += Checked("file " + std::to_string(file.size) + " " + EscapePath(file.path)) + "\n";
  }
  text += Checked("end " + std::to_string(files.size())) + "\n";
  change_hook::AtChange();
  HANDLE manifest = CreateFileW(
      long_paths::ChildPath(system_run_folder, run_part::kManifest).c_str(), FILE_APPEND_DATA,
      FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (manifest == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole =
      text.size() <= kMaxJournalBytes &&
      WriteFile(manifest, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size();
  const DWORD code = whole                            ? ERROR_SUCCESS
                     : text.size() > kMaxJournalBytes ? ERROR_DISK_FULL
                                                      : GetLastError();
  CloseHandle(manifest);
  SetLastError(code);
  return whole;
}

bool ReadManifest(const std::wstring& system_run_folder, std::vector<ManifestFile>* files) {
  files->clear();
  std::string text;
  bool untrusted = false;
  if (!ReadJournalFile(long_paths::ChildPath(system_run_folder, run_part::kManifest), &text,
                       &untrusted)) {
    return false;
  }
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    std::string line;
    if (!Unchecked(text.substr(start, end - start), &line)) return false;
    uint64_t number = 0;
    if (line.rfind("end ", 0) == 0) {
      return ParseNumber(line.substr(4), &number) && number == files->size() &&
             end + 1 == text.size();
    }
    const size_t blank = line.find(' ', 5);
    ManifestFile file;
    if (line.rfind("file ", 0) != 0 || blank == std::string::npos ||
        !ParseNumber(line.substr(5, blank - 5), &file.size) ||
        !UnescapePath(line.substr(blank + 1), &file.path) || !IsPlainBelow(file.path)) {
      return false;
    }
    files->push_back(std::move(file));
  }
  return false;
}

Journal::~Journal() { Close(); }

bool Journal::Start(const std::wstring& system_run_folder) {
  Close();
  records_.clear();
  size_ = 0;
  file_ = CreateFileW(JournalPath(system_run_folder).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return false;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return Append({HeaderRecord(static_cast<uint64_t>(now.count()))});
}

bool Journal::Reopen(const std::wstring& system_run_folder, const JournalContents& contents) {
  Close();
  records_ = contents.records;
  size_ = contents.whole_bytes;
  const std::wstring path = JournalPath(system_run_folder);
  BY_HANDLE_FILE_INFORMATION information = {};
  HANDLE probe =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const bool known =
      probe != INVALID_HANDLE_VALUE && GetFileInformationByHandle(probe, &information);
  if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
  const uint64_t size = (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  // A record torn by a crash goes before anything is appended after it.
  if (!known || (size > size_ && !CutBack(path, size_))) return false;
  file_ = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file_ != INVALID_HANDLE_VALUE;
}

bool Journal::Append(const std::vector<std::string>& records) {
  if (records.empty()) return true;
  std::string lines;
  for (const std::string& record : records) lines += Checked(record) + "\n";
  change_hook::AtChange();
  DWORD written = 0;
  if (file_ == INVALID_HANDLE_VALUE || size_ + lines.size() > kMaxJournalBytes ||
      !WriteFile(file_, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) ||
      written != lines.size() || !FlushFileBuffers(file_)) {
    const DWORD code = file_ == INVALID_HANDLE_VALUE || size_ + lines.size() <= kMaxJournalBytes
                           ? GetLastError()
                           : ERROR_DISK_FULL;
    LOG(ERROR) << "journal not written:" << records.front() << ",getlasterror:" << code;
    SetLastError(code);
    return false;
  }
  size_ += lines.size();
  records_.insert(records_.end(), records.begin(), records.end());
  change_hook::AtChange(records.front().c_str());
  return true;
}

void Journal::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}
