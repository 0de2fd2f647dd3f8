// The switch lookups on any command line, and the integer conversion against
// the standard library's own std::stoll.
#include <glog/logging.h>

#include <cstdlib>
#include <stdexcept>

#include "fuzz/fuzz_input.h"
#include "utility/base/command_line.h"

namespace {

// What std::stoll makes of the value: the number, or which error.
enum class Outcome { kNumber, kInvalid, kOutOfRange };
Outcome StandardConversion(const std::wstring& text, long long* number) {
  try {
    *number = std::stoll(text);
    return Outcome::kNumber;
  } catch (const std::invalid_argument&) {
    return Outcome::kInvalid;
  } catch (const std::out_of_range&) {
    return Outcome::kOutOfRange;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FLAGS_minloglevel = google::GLOG_FATAL;  // the parser's record is not under test
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring line = fuzz::WideText(data, size);
  CommandLine parser;
  if (!parser.InitFromText(line.c_str())) {
    if (!line.empty() && line[0] != L'\0') abort();  // only an empty line fails
    return 0;
  }
  for (const wchar_t* name : {L"unzip", L"root_dir", L"pid", L""}) {
    std::wstring text = L"untouched";
    const bool found = parser.GetSwitchValue(&text, name);
    if (found && !parser.HasSwitch(name)) abort();
    if (!found && text != L"untouched") abort();
    std::string utf8;
    if (parser.GetSwitchValue(&utf8, name) != found) abort();

    int64_t value = 99;
    long long expected = 0;
    Outcome outcome = found ? StandardConversion(text, &expected) : Outcome::kNumber;
    try {
      const bool converted = parser.GetSwitchValue(&value, name);
      if (converted != found) abort();
      if (found && (outcome != Outcome::kNumber || value != expected)) abort();
      if (!found && value != 99) abort();
    } catch (const std::invalid_argument& e) {
      if (outcome != Outcome::kInvalid || std::string(e.what()) != "invalid stoll argument")
        abort();
      if (value != 99) abort();
    } catch (const std::out_of_range& e) {
      if (outcome != Outcome::kOutOfRange ||
          std::string(e.what()) != "stoll argument out of range") {
        abort();
      }
      if (value != 99) abort();
    }
  }
  return 0;
}
