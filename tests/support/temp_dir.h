// Temporary folders, removed without the code under test.
#ifndef TESTS_SUPPORT_TEMP_DIR_H_
#define TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace testenv {

// A new folder under the system's temporary folder (or `base`), removed with
// all its contents when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::wstring& hint = L"zizaro", const std::wstring& base = L"");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  // The folder joined with a relative path written with '/', in the
  // platform's separators.
  std::wstring operator/(const std::wstring& relative) const;

 private:
  std::wstring path_;
};

// Removes a file or folder tree of any depth, read-only entries included,
// links themselves and never what they lead to: under Wine by the host,
// elsewhere by the test's own means.
void RemoveTree(const std::wstring& path);

}  // namespace testenv

#endif  // TESTS_SUPPORT_TEMP_DIR_H_
