// StripPathQuotes on any two paths: one enclosing pair goes, nothing else
// changes.
#include <glog/logging.h>

#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "update/update.h"

namespace {

std::wstring Expected(const std::wstring& path) {
  if (path.empty() || path.front() != L'"' || path.back() != L'"') return path;
  return path.size() < 2 ? std::wstring() : path.substr(1, path.size() - 2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FLAGS_minloglevel = google::GLOG_FATAL;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::wstring> pieces = fuzz::WidePieces(data, size);
  std::wstring root = pieces[0];
  std::wstring zip = pieces.size() > 1 ? pieces[1] : std::wstring();
  const std::wstring root_expected = Expected(root);
  const std::wstring zip_expected = Expected(zip);
  StripPathQuotes(root, zip);
  if (root != root_expected || zip != zip_expected) abort();
  return 0;
}
