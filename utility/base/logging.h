// Log set-up and the conversions that records use.
#ifndef UTILITY_BASE_LOGGING_H_
#define UTILITY_BASE_LOGGING_H_

#include <glog/logging.h>

#include <ostream>
#include <string>

// Starts the logging library: files in `folder` (empty: the library's own
// default folders), named after `program_name`, each record written to its
// files as it is made. The files are FileLoggers (utility/base/file_logger.h):
// appended whole by every run of the day, opened by their wide paths. Always
// returns true.
bool InitLogging(const std::wstring& folder, const char* program_name);

// Text in a code page by the platform's conversion (CP_UTF8, CP_ACP,
// CP_THREAD_ACP or CP_OEMCP; a character the code page lacks becomes its
// default character), up to the first zero; empty when it fails.
std::string NarrowText(const std::wstring& text, unsigned int code_page);
// The reverse.
std::wstring WideText(const std::string& text, unsigned int code_page);

// UTF-8 of wide text for records. A surrogate pair becomes one four-byte
// sequence, a lone surrogate the three-byte form of its unit; a value beyond
// U+10FFFF raises std::range_error("bad conversion").
std::string WideToUtf8(const std::wstring& text);

// Streams a handle or other pointer as records show them: upper-case
// hexadecimal, at least eight digits, no prefix.
struct PointerText {
  const void* value;
};
std::ostream& operator<<(std::ostream& out, PointerText pointer);

#endif  // UTILITY_BASE_LOGGING_H_
