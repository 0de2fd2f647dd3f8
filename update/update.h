// The update procedure: from the old client to the new one.
#ifndef UPDATE_UPDATE_H_
#define UPDATE_UPDATE_H_

#include <cstdint>
#include <string>

#include "platform/win32.h"

// Every path that the update derives from the install root R.
struct InstallLayout {
  explicit InstallLayout(const std::wstring& root);

  std::wstring client_dir;         // R joined with Client
  std::wstring staging_dir;        // R joined with qxcg_update_tmp
  std::wstring staged_client_dir;  // the staging folder joined with Client
  std::wstring client_exe;         // R + \Client\QXDazavAzir.exe
  std::wstring driver_dir;         // R + \Client\resources\app\private_cloud\driver\ .
  std::wstring uninstall_script;   // driver folder + uninstall.bat
  std::wstring firewall_script;    // driver folder + install_include_firewall.bat
  std::wstring relaunch_command;   // "R\Client\QXDazavAzir.exe", quotes included
};

extern const wchar_t kClientProcessName[];  // QXDazavAzir.exe

// Paths as given.
bool StartsWith(const std::wstring& text, const std::wstring& prefix);
bool EndsWith(const std::wstring& text, const std::wstring& suffix);
// Removes one pair of enclosing double quotes from each path, with a record
// for each one changed.
void StripPathQuotes(std::wstring& root_dir, std::wstring& zip_file);

// The whole update. True when every mandatory step succeeded and the new
// client was started.
bool RunUpdate(int32_t pid, const std::wstring& root_dir, const std::wstring& zip_file);
bool ReplaceClientDir(const std::wstring& root_dir);
bool RemoveClientDir(const std::wstring& root_dir);

// Steps.
bool WaitProcess(HANDLE process, DWORD* exit_code, DWORD timeout_ms);
bool WaitProcessById(int32_t pid, DWORD* exit_code, DWORD timeout_ms);
bool StopAndRemoveClient(const std::wstring& root_dir);
bool KillClientProcess();
bool RemoveClientExe(const std::wstring& root_dir);
bool RunBatFile(const std::wstring& path);
bool RunUninstallBat(const std::wstring& root_dir);
bool RunInstallFirewallBat(const std::wstring& root_dir);
bool ExtractArchive(const std::wstring& out_dir, const std::wstring& zip_file);
bool PromoteStagingDir(const std::wstring& root_dir, bool into_client_folder);
bool LaunchClient(const std::wstring& root_dir);

#endif  // UPDATE_UPDATE_H_
