#include "utility/base/logging.h"

#include <iomanip>
#include <stdexcept>
#include <vector>

#include "platform/text_rules.h"
#include "platform/win32.h"

namespace {

// The folder as narrow text in the thread's ANSI code page, the form the
// logging library takes for file names (UTF-8 on POSIX).
std::string NarrowFolder(const std::wstring& folder) {
  if (folder.empty()) return std::string();
  int size = WideCharToMultiByte(CP_THREAD_ACP, 0, folder.c_str(), static_cast<int>(folder.size()),
                                 nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, folder.c_str(), static_cast<int>(folder.size()),
                      narrow.data(), size, nullptr, nullptr);
  return narrow;
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool InitLogging(const std::wstring& folder, const char* program_name) {
  FLAGS_log_dir = NarrowFolder(folder);
  FLAGS_max_log_size = 20;
  FLAGS_logbuflevel = -1;
  FLAGS_stop_logging_if_full_disk = true;
  google::SetLogFilenameExtension("log");
  FLAGS_timestamp_in_logfile_name = false;
  google::InitGoogleLogging(program_name);
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
