// The program's per-user folders, each created on demand:
//   <APPDATA>\QuexaZevuvEdov2\log\<YYYY_MM_DD>
// Every function returns its folder, or an empty string on failure: when the
// folder cannot be created, or its name is taken by something that is not a
// folder.
#ifndef UPDATE_PATH_SETTING_H_
#define UPDATE_PATH_SETTING_H_

#include <string>

std::wstring GetAppDataPath();
std::wstring GetLogPath();
std::wstring GetTodayLogPath();

#endif  // UPDATE_PATH_SETTING_H_
