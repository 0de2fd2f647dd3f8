#include "update/journal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/long_paths.h"
#include "update/utils.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

const char kJournalCopy[] = "copy";
const char kJournalUnpacked[] = "unpacked";
const char kJournalKept[] = "kept";
const char kJournalSwitched[] = "switched";
const char kJournalUndoing[] = "undoing";
const char kJournalStarted[] = "started";

void (*g_after_journal_record)(const std::string& record) = nullptr;

namespace {

constexpr char kHeader[] = "zizaro_do run ";
constexpr char kMove[] = "move ";
constexpr DWORD kRenamePauseMs = 20;

// A path below the install root as the records hold it: relative to the root
// (absolute when it lies elsewhere, which a join with the root keeps).
std::wstring BelowRoot(const std::wstring& root_dir, const std::wstring& path) {
  if (root_dir.empty() || path.compare(0, root_dir.size(), root_dir) != 0) return path;
  if (path.size() == root_dir.size()) return L".";
  const bool separated = root_dir.back() == kPathSeparator;
  if (!separated && path[root_dir.size()] != kPathSeparator) return path;
  return path.substr(root_dir.size() + (separated ? 0 : 1));
}

}  // namespace

Journal::~Journal() { Close(); }

bool Journal::Start(const std::wstring& root_dir, const std::wstring& run_folder) {
  Close();
  root_ = root_dir;
  records_.clear();
  file_ =
      CreateFileW(long_paths::ExtendedLengthPath(JournalPath(run_folder)).c_str(), FILE_APPEND_DATA,
                  FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return false;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return Record(kHeader + std::to_string(now.count()));
}

bool Journal::Record(const std::string& record) {
  const std::string line = record + "\n";
  DWORD written = 0;
  if (file_ == INVALID_HANDLE_VALUE ||
      !WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size() || !FlushFileBuffers(file_)) {
    const DWORD code = GetLastError();
    LOG(ERROR) << "journal not written:" << record << ",getlasterror:" << code;
    SetLastError(code);
    return false;
  }
  records_.push_back(record);
  if (g_after_journal_record != nullptr) g_after_journal_record(record);
  return true;
}

bool Journal::RecordMove(const std::wstring& from, const std::wstring& to) {
  return Record(kMove + EscapePath(BelowRoot(root_, from)) + "\t" +
                EscapePath(BelowRoot(root_, to)));
}

bool Journal::Rename(const std::wstring& from, const std::wstring& to, int attempts) {
  if (!RecordMove(from, to)) return false;
  DWORD code = 0;
  if (RenameEntry(from, to, attempts, &code)) return true;
  RecordFailedMove(from, to, code);
  return false;
}

void Journal::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

std::wstring JournalPath(const std::wstring& run_folder) {
  return JoinPath(run_folder, L"journal");
}

bool ReadJournal(const std::wstring& run_folder, std::vector<std::string>* records,
                 uint64_t* started) {
  std::string text;
  if (!Utils::ReadWholeFile(JournalPath(run_folder), &text)) return false;
  records->clear();
  // Whole lines only: a line cut short announced a step that had not begun.
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    records->push_back(text.substr(start, end - start));
  }
  if (records->empty() || records->front().rfind(kHeader, 0) != 0) return false;
  *started = std::strtoull(records->front().c_str() + sizeof(kHeader) - 1, nullptr, 10);
  return true;
}

bool ParseMove(const std::string& record, const std::wstring& root_dir, std::wstring* from,
               std::wstring* to) {
  const size_t tab = record.find('\t');
  std::wstring below_from;
  std::wstring below_to;
  if (record.rfind(kMove, 0) != 0 || tab == std::string::npos ||
      !UnescapePath(record.substr(sizeof(kMove) - 1, tab - sizeof(kMove) + 1), &below_from) ||
      !UnescapePath(record.substr(tab + 1), &below_to)) {
    return false;
  }
  *from = JoinPath(root_dir, below_from);
  *to = JoinPath(root_dir, below_to);
  return true;
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

bool RenameEntry(const std::wstring& from, const std::wstring& to, int attempts, DWORD* code) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (MoveFileExW(long_paths::ExtendedLengthPath(from).c_str(),
                    long_paths::ExtendedLengthPath(to).c_str(), 0)) {
      return true;
    }
    *code = GetLastError();
    Sleep(kRenamePauseMs);
  }
  return false;
}

void RecordFailedMove(const std::wstring& from, const std::wstring& to, DWORD code) {
  LOG(ERROR) << "move file failed,src path:" << WideToUtf8(from) << " dst path:" << WideToUtf8(to)
             << " getlasterror:" << code;
}
