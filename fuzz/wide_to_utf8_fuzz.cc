// WideToUtf8 against an independent encoder (the standard library's UTF-8
// conversion of each code point), on any sequence of code units, surrogates
// included.
#include <codecvt>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <stdexcept>

#include "utility/base/logging.h"

namespace {

// The expected bytes: adjacent high and low surrogates as their one code
// point, every other unit by itself.
std::string Reference(const std::wstring& text) {
  std::wstring_convert<std::codecvt_utf8<wchar_t>> convert;
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t unit = static_cast<uint32_t>(text[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
        static_cast<uint32_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<uint32_t>(text[i + 1]) <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      // A lone surrogate: its three-byte form, which the standard converter refuses.
      out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
      continue;
    }
    out += convert.to_bytes(static_cast<wchar_t>(unit));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Three bytes a unit: mostly valid code points, with surrogates and values
  // beyond U+10FFFF reachable.
  std::wstring text;
  for (size_t i = 0; i + 3 <= size; i += 3) {
    uint32_t unit = (uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2]) & 0x1FFFFF;
    text.push_back(static_cast<wchar_t>(unit));
  }
  bool beyond = false;
  for (wchar_t c : text) beyond = beyond || static_cast<uint32_t>(c) > 0x10FFFF;
  try {
    const std::string utf8 = WideToUtf8(text);
    if (beyond || utf8 != Reference(text)) abort();
  } catch (const std::range_error& e) {
    if (!beyond || std::strcmp(e.what(), "bad conversion") != 0) abort();
  }
  return 0;
}
