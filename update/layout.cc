#include "update/layout.h"

#include <initializer_list>

#include "platform/long_paths.h"
#include "utility/base/file_path.h"

const wchar_t kClientProcessName[] = L"QXDazavAzir.exe";
const wchar_t kClientBelow[] = L"Client";
const wchar_t kStagingBelow[] = L"qxcg_update_tmp";
const wchar_t kRunFolderPrefix[] = L"zizaro_do-";
const wchar_t kRemovedSuffix[] = L".done";

namespace run_part {
const wchar_t kJournal[] = L"journal";
const wchar_t kManifest[] = L"manifest";
const wchar_t kListing[] = L"listing";
const wchar_t kUnpacked[] = L"new";
const wchar_t kOldClient[] = L"old";
const wchar_t kAside[] = L"aside";
const wchar_t kAppeared[] = L"appeared";
const wchar_t kDisplaced[] = L"displaced";
}  // namespace run_part

namespace {

// A fixed tail appended to the install root: each part preceded by the
// platform's separator, and one more separator at the end when asked for.
std::wstring Tail(std::initializer_list<const wchar_t*> parts, bool closing_separator = false) {
  std::wstring tail;
  for (const wchar_t* part : parts) {
    tail.push_back(kPathSeparator);
    tail.append(part);
  }
  if (closing_separator) tail.push_back(kPathSeparator);
  return tail;
}

}  // namespace

InstallLayout::InstallLayout(const std::wstring& root)
    : root(root),
      client_dir(JoinPath(root, kClientBelow)),
      staging_dir(JoinPath(root, kStagingBelow)),
      staged_client_dir(JoinPath(staging_dir, kClientBelow)),
      client_exe(root + Tail({kClientBelow, kClientProcessName})),
      driver_dir(root +
                 Tail({kClientBelow, L"resources", L"app", L"private_cloud", L"driver"}, true)),
      uninstall_script(driver_dir + L"uninstall.bat"),
      firewall_script(driver_dir + L"install_include_firewall.bat"),
      relaunch_command(L"\"" + root + Tail({kClientBelow, kClientProcessName}) + L"\""),
      system_root(long_paths::ExtendedForm(root)) {}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::wstring StagedClientBelow() { return BelowJoin(kStagingBelow, kClientBelow); }

std::wstring InstallRootLockPath(const InstallLayout& layout) {
  return JoinPath(layout.staging_dir, L"zizaro_do.lock");
}

std::wstring BelowJoin(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || name.empty()) return folder + name;
  return folder + long_paths::kSeparator + name;
}

std::wstring ParentBelow(const std::wstring& below) {
  const size_t separator = below.rfind(long_paths::kSeparator);
  return separator == std::wstring::npos ? std::wstring() : below.substr(0, separator);
}

bool IsSameOrBelowFolder(const std::wstring& below, const std::wstring& folder) {
  // A folder that ends in a separator (a file system's root) holds whatever
  // starts with it.
  const bool ends_in_separator = !folder.empty() && folder.back() == long_paths::kSeparator;
  return folder.empty() || below == folder ||
         (StartsWith(below, folder) && below.size() > folder.size() &&
          (ends_in_separator || below[folder.size()] == long_paths::kSeparator));
}

std::wstring SystemPath(const InstallLayout& layout, const std::wstring& below) {
  return below.empty() ? layout.system_root : long_paths::ChildPath(layout.system_root, below);
}

std::wstring PlainPath(const InstallLayout& layout, const std::wstring& below) {
  return JoinPath(layout.root, below);
}
