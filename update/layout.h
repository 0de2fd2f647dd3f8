// The install root's layout: the fixed folders and files below it, the parts
// of a run's folder, and the joins of paths below the root. The bottom layer
// of the update: names and paths only, no call to the file system.
#ifndef UPDATE_LAYOUT_H_
#define UPDATE_LAYOUT_H_

#include <string>

// Every path that the update derives from the install root R. A run makes it
// once, after the root is canonical, and every step takes it.
struct InstallLayout {
  explicit InstallLayout(const std::wstring& root);

  std::wstring root;               // R
  std::wstring client_dir;         // R joined with Client
  std::wstring staging_dir;        // R joined with qxcg_update_tmp
  std::wstring staged_client_dir;  // the staging folder joined with Client
  std::wstring client_exe;         // R + \Client\QXDazavAzir.exe
  std::wstring driver_dir;         // R + \Client\resources\app\private_cloud\driver\ .
  std::wstring uninstall_script;   // driver folder + uninstall.bat
  std::wstring firewall_script;    // driver folder + install_include_firewall.bat
  std::wstring relaunch_command;   // "R\Client\QXDazavAzir.exe", quotes included
  std::wstring system_root;        // R in extended-length form, as file calls take it
};

extern const wchar_t kClientProcessName[];  // QXDazavAzir.exe

// Compare UTF-16 code units exactly; a text shorter than the prefix or
// suffix gives false.
bool StartsWith(const std::wstring& text, const std::wstring& prefix);
bool EndsWith(const std::wstring& text, const std::wstring& suffix);

// Paths below the install root, as a run's journal names them: steps joined
// by the platform's separator, no leading one.
extern const wchar_t kClientBelow[];   // Client
extern const wchar_t kStagingBelow[];  // qxcg_update_tmp
std::wstring StagedClientBelow();      // qxcg_update_tmp\Client
// The lock file of the install root, in the staging folder.
std::wstring InstallRootLockPath(const InstallLayout& layout);

// A run's folder in the staging folder: "zizaro_do-<process id>" (with "-2",
// "-3"... where a folder of an earlier process of that id is left), renamed
// "<folder>.done" once it may go. Its parts:
//   journal      the run's records (update/journal.h)
//   manifest     the new client's files and sizes (update/journal.h)
//   listing      the archive's listing, while it is read
//   new          the archive, unpacked
//   old          the old client folder, once set aside
//   aside\<n>    old entries that new ones replace
//   appeared     what stood at the client folder once it was set aside
//   displaced\<n>  entries an undo of an earlier version found where it
//                put one back, kept
extern const wchar_t kRunFolderPrefix[];
extern const wchar_t kRemovedSuffix[];
namespace run_part {
extern const wchar_t kJournal[];
extern const wchar_t kManifest[];
extern const wchar_t kListing[];
extern const wchar_t kUnpacked[];
extern const wchar_t kOldClient[];
extern const wchar_t kAside[];
extern const wchar_t kAppeared[];
extern const wchar_t kDisplaced[];
}  // namespace run_part

// `name` below `folder` (either may be empty).
std::wstring BelowJoin(const std::wstring& folder, const std::wstring& name);
// The folder that holds `below`; empty for an entry of the root itself.
std::wstring ParentBelow(const std::wstring& below);
// Whether the path `below` is `folder` or lies below it (paths of one form:
// below the root, or full).
bool IsSameOrBelowFolder(const std::wstring& below, const std::wstring& folder);
// A path below the install root as the file calls take it: appended to the
// root's extended-length form, so that every name reaches the system as it
// is ("aux.js", "trail.").
std::wstring SystemPath(const InstallLayout& layout, const std::wstring& below);
// The same in the plain form records show.
std::wstring PlainPath(const InstallLayout& layout, const std::wstring& below);

#endif  // UPDATE_LAYOUT_H_
