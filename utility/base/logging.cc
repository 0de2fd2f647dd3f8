#include "utility/base/logging.h"

#include <iomanip>
#include <stdexcept>
#include <vector>

#include "platform/text_rules.h"
#include "platform/win32.h"
#include "utility/base/file_logger.h"

namespace {

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string NarrowText(const std::wstring& text, unsigned int code_page) {
  const std::wstring whole(text.c_str());  // up to the first zero
  if (whole.empty()) return std::string();
  const int length = static_cast<int>(whole.size());
  const int size =
      WideCharToMultiByte(code_page, 0, whole.c_str(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, whole.c_str(), length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

std::wstring WideText(const std::string& text, unsigned int code_page) {
  const std::string whole(text.c_str());
  if (whole.empty()) return std::wstring();
  const int length = static_cast<int>(whole.size());
  const int size = MultiByteToWideChar(code_page, 0, whole.c_str(), length, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(code_page, 0, whole.c_str(), length, wide.data(), size);
  return wide;
}

bool InitLogging(const std::wstring& folder, const char* program_name) {
  constexpr char kExtension[] = "log";
  FLAGS_log_dir = NarrowText(folder, CP_THREAD_ACP);
  FLAGS_max_log_size = 20;
  FLAGS_logbuflevel = -1;
  FLAGS_stop_logging_if_full_disk = true;
  google::SetLogFilenameExtension(kExtension);
  FLAGS_timestamp_in_logfile_name = false;
  google::InitGoogleLogging(program_name);
  // The library's own files are not written by appending (a second process
  // overwrites records, or cannot write at all): each severity's file goes
  // through a FileLogger, under the same name and with the same header.
  for (google::LogSeverity severity = google::GLOG_INFO; severity < google::NUM_SEVERITIES;
       ++severity) {
    google::base::SetLogger(severity, new FileLogger(severity, folder, program_name, kExtension));
  }
  return true;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto unit = static_cast<uint32_t>(text[i]);
    if (IsHighSurrogate(unit) && i + 1 < text.size() &&
        IsLowSurrogate(static_cast<uint32_t>(text[i + 1]))) {
      auto low = static_cast<uint32_t>(text[++i]);
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    } else if (unit > 0x10FFFF) {
      throw std::range_error("bad conversion");
    }
    text_rules::AppendUtf8(unit, &out);
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, PointerText pointer) {
  std::ios_base::fmtflags flags = out.flags();
  char fill = out.fill();
  out << std::uppercase << std::hex << std::setfill('0') << std::setw(8)
      << reinterpret_cast<uintptr_t>(pointer.value);
  out.flags(flags);
  out.fill(fill);
  return out;
}
