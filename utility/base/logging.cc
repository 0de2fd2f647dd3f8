#include "utility/base/logging.h"

#include <iomanip>
#include <stdexcept>
#include <vector>

#include "platform/text_rules.h"
#include "platform/win32.h"

namespace {

// Whether narrow text in a code page names the same folder as the wide text:
// a character that the code page lacks (or only approximates) is lost.
bool Keeps(const std::wstring& wide, const std::string& narrow, UINT code_page) {
  return WideText(narrow, code_page) == wide;
}

// The short (8.3) form of an existing path; empty when there is none.
std::wstring ShortPathName(const std::wstring& path) {
  const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring short_form(size, L'\0');
  const DWORD length = GetShortPathNameW(path.c_str(), short_form.data(), size);
  if (length == 0 || length >= size) return std::wstring();
  short_form.resize(length);
  return short_form;
}

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
  std::string narrow = NarrowText(folder, CP_THREAD_ACP);
  const bool plain_form_works = Keeps(folder, narrow, CP_THREAD_ACP);
  std::wstring short_form;
  if (!plain_form_works) {
    short_form = ShortPathName(folder);
    const std::string narrow_short = NarrowText(short_form, CP_THREAD_ACP);
    if (!short_form.empty() && Keeps(short_form, narrow_short, CP_THREAD_ACP)) {
      narrow = narrow_short;
    } else {
      short_form.clear();  // no usable form: the library gets the lossy one, as ever
    }
  }
  FLAGS_log_dir = narrow;
  FLAGS_max_log_size = 20;
  FLAGS_logbuflevel = -1;
  FLAGS_stop_logging_if_full_disk = true;
  google::SetLogFilenameExtension("log");
  FLAGS_timestamp_in_logfile_name = false;
  google::InitGoogleLogging(program_name);
  if (!plain_form_works && !short_form.empty()) {
    LOG(INFO) << "log folder in its short form:" << WideToUtf8(short_form);
  } else if (!plain_form_works) {
    LOG(WARNING) << "log folder has no form in the ANSI code page:" << WideToUtf8(folder);
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
