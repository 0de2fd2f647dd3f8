// Turning a fuzzer's bytes into the program's inputs.
#ifndef FUZZ_FUZZ_INPUT_H_
#define FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace fuzz {

// The bytes as UTF-8 text, decoded as the program decodes what it is given
// (invalid sequences become U+FFFD).
inline std::wstring WideText(const uint8_t* data, size_t size) {
  if (size == 0) return std::wstring();
  const auto* text = reinterpret_cast<const char*>(data);
  int length = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), wide.data(), length);
  return wide;
}

// The bytes split at zero bytes, each piece as wide text.
inline std::vector<std::wstring> WidePieces(const uint8_t* data, size_t size) {
  std::vector<std::wstring> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      pieces.push_back(WideText(data + start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

}  // namespace fuzz

#endif  // FUZZ_FUZZ_INPUT_H_
