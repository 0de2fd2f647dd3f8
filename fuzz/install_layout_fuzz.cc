// The install-root paths formed from any root: joined parts get exactly one
// separator, appended tails stand right behind the root as given.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "update/update.h"
#include "utility/base/file_path.h"

namespace {

// What the join gives: the parts with one '/' between them, unless the left
// part is empty or already ends with one.
std::wstring Join(const std::wstring& left, const std::wstring& right) {
  if (left.empty() || left.back() == L'/') return left + right;
  return left + L"/" + right;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring root = fuzz::WideText(data, size);
  if (root.find(L'\0') != std::wstring::npos) return 0;  // not a path
  const InstallLayout layout(root);
  if (layout.client_dir != Join(root, L"Client")) abort();
  if (layout.staging_dir != Join(root, L"qxcg_update_tmp")) abort();
  if (layout.staged_client_dir != Join(layout.staging_dir, L"Client")) abort();
  if (layout.client_exe != root + L"/Client/QXDazavAzir.exe") abort();
  if (layout.driver_dir != root + L"/Client/resources/app/private_cloud/driver/") abort();
  if (layout.uninstall_script != layout.driver_dir + L"uninstall.bat") abort();
  if (layout.firewall_script != layout.driver_dir + L"install_include_firewall.bat") abort();
  if (layout.relaunch_command != L"\"" + layout.client_exe + L"\"") abort();
  if (!EndsWith(layout.staged_client_dir, L"qxcg_update_tmp/Client")) abort();
  return 0;
}
