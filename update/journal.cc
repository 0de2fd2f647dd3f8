#include "update/journal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/change_hook.h"
#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

const char kJournalCopy[] = "copy";
const char kJournalUnpacked[] = "unpacked";
const char kJournalKept[] = "kept";
const char kJournalSwitching[] = "switching";
const char kJournalSwitched[] = "switched";
const char kJournalStarted[] = "started";
const char kJournalUndoing[] = "undoing";
const char kJournalUndone[] = "undone";

namespace {

constexpr char kHeader[] = "zizaro_do run ";
constexpr const char* kMoveKinds[] = {"move ", "commit ", "displace "};
constexpr DWORD kRenamePauseMs = 20;

// Whether a path below a folder is a plain one: relative, without a drive or
// a stream, each of its steps a name (not empty, "." or "..").
bool IsPlainBelow(const std::wstring& path) {
  if (path.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(long_paths::kSeparator, start);
    const std::wstring step = path.substr(start, end - start);
    if (step.empty() || step == L"." || step == L".." || step.find(L'\0') != std::wstring::npos) {
      return false;
    }
#ifdef _WIN32
    if (step.find_first_of(L"/:") != std::wstring::npos) return false;
#endif
    if (end == std::wstring::npos) return true;
    start = end + 1;
  }
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

}  // namespace

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
  return Record(kHeader + std::to_string(now.count()));
}

bool Journal::Reopen(const std::wstring& system_run_folder,
                     const std::vector<std::string>& records) {
  Close();
  records_ = records;
  size_ = 0;
  for (const std::string& record : records_) size_ += record.size() + 1;
  file_ = CreateFileW(JournalPath(system_run_folder).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file_ != INVALID_HANDLE_VALUE;
}

bool Journal::Record(const std::string& record) {
  const std::string line = record + "\n";
  change_hook::AtChange();
  DWORD written = 0;
  if (file_ == INVALID_HANDLE_VALUE || size_ + line.size() > kMaxJournalBytes ||
      !WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size() || !FlushFileBuffers(file_)) {
    const DWORD code = file_ == INVALID_HANDLE_VALUE || size_ + line.size() <= kMaxJournalBytes
                           ? GetLastError()
                           : ERROR_DISK_FULL;
    LOG(ERROR) << "journal not written:" << record.substr(0, record.find('\n'))
               << ",getlasterror:" << code;
    SetLastError(code);
    return false;
  }
  size_ += line.size();
  for (size_t start = 0, end; start < line.size(); start = end + 1) {
    end = line.find('\n', start);
    records_.push_back(line.substr(start, end - start));
  }
  change_hook::AtChange(record.c_str());
  return true;
}

bool Journal::RecordMoves(const std::vector<Move>& moves) {
  if (moves.empty()) return true;
  std::string records;
  for (const Move& move : moves) records += (records.empty() ? "" : "\n") + MoveRecord(move);
  return Record(records);
}

void Journal::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

std::wstring JournalPath(const std::wstring& run_folder) {
  return long_paths::ChildPath(run_folder, L"journal");
}

JournalRead ReadJournal(const std::wstring& system_run_folder, std::vector<std::string>* records,
                        uint64_t* started) {
  std::string text;
  bool untrusted = false;
  records->clear();
  if (!ReadJournalFile(JournalPath(system_run_folder), &text, &untrusted)) {
    return untrusted ? JournalRead::kUntrusted : JournalRead::kNone;
  }
  // Whole lines only: a line cut short announced a step that had not begun.
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    records->push_back(text.substr(start, end - start));
  }
  if (records->empty()) return JournalRead::kNone;
  if (records->front().rfind(kHeader, 0) != 0) return JournalRead::kUntrusted;
  *started = std::strtoull(records->front().c_str() + sizeof(kHeader) - 1, nullptr, 10);
  return JournalRead::kRead;
}

std::string IdText(const EntryId& id) {
  if (!id.known) return "-";
  char text[32];
  snprintf(text, sizeof(text), "%08lx-%016llx", static_cast<unsigned long>(id.volume),
           static_cast<unsigned long long>(id.index));
  return text;
}

bool ParseId(const std::string& text, EntryId* id) {
  *id = EntryId();
  if (text == "-") return true;
  if (text.size() != 25 || text[8] != '-' ||
      text.find_first_not_of("0123456789abcdef-") != std::string::npos) {
    return false;
  }
  id->known = true;
  id->volume = static_cast<DWORD>(std::strtoul(text.substr(0, 8).c_str(), nullptr, 16));
  id->index = std::strtoull(text.substr(9).c_str(), nullptr, 16);
  return true;
}

std::string MoveRecord(const Move& move) {
  return kMoveKinds[static_cast<int>(move.kind)] + EscapePath(move.from) + "\t" +
         EscapePath(move.to) + "\t" + IdText(move.id);
}

bool ParseMove(const std::string& record, Move* move) {
  int kind = 0;
  while (kind < 3 && record.rfind(kMoveKinds[kind], 0) != 0) ++kind;
  if (kind == 3) return false;
  const size_t start = std::char_traits<char>::length(kMoveKinds[kind]);
  const size_t tab = record.find('\t', start);
  if (tab == std::string::npos) return false;
  // Journals of older runs name no identity.
  const size_t second_tab = record.find('\t', tab + 1);
  move->kind = static_cast<MoveKind>(kind);
  move->id = EntryId();
  return UnescapePath(record.substr(start, tab - start), &move->from) &&
         UnescapePath(record.substr(tab + 1, second_tab - tab - 1), &move->to) &&
         (second_tab == std::string::npos || ParseId(record.substr(second_tab + 1), &move->id)) &&
         IsPlainBelow(move->from) && IsPlainBelow(move->to);
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
    if (text[i] != '%') {
      path->push_back(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
      continue;
    }
    if (i + 7 > text.size()) return false;
    char* end = nullptr;
    const std::string digits = text.substr(i + 1, 6);
    const unsigned long unit = std::strtoul(digits.c_str(), &end, 16);
    if (end != digits.c_str() + 6 || unit > WCHAR_MAX) return false;
    path->push_back(static_cast<wchar_t>(unit));
    i += 6;
  }
  return true;
}

bool RenameEntry(const std::wstring& from, const std::wstring& to, int attempts, DWORD* code,
                 void (*before_retry)(void*), void* context) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0 && before_retry != nullptr) before_retry(context);
    if (MoveFileExW(from.c_str(), to.c_str(), 0)) return true;
    *code = GetLastError();
    // A name that is taken stays taken: no pause will help.
    if (*code == ERROR_ALREADY_EXISTS || *code == ERROR_FILE_EXISTS) return false;
    Sleep(kRenamePauseMs);
  }
  return false;
}

void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code) {
  LOG(ERROR) << "move file failed,src path:" << WideToUtf8(long_paths::PlainForm(from))
             << " dst path:" << WideToUtf8(long_paths::PlainForm(to)) << " getlasterror:" << code;
}
