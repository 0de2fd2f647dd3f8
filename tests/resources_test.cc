// What Windows and support engineers read from zizaro_do.exe: its version
// information and its application manifest, read back with the system's own
// calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/test_env.h"

namespace {

using ::testing::HasSubstr;

#ifdef _WIN32
// The program under test: the one named by ZIZARO_PROGRAM when set (so that
// scripts/package checks the signed program it ships), else the one built
// beside this test. Each test records which one it read.
std::wstring Program() {
  const wchar_t* const name = L"ZIZARO_PROGRAM";
  std::wstring path(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  if (!path.empty()) {
    path.resize(GetEnvironmentVariableW(name, path.data(), static_cast<DWORD>(path.size())));
  }
  if (path.empty()) path = testenv::BinFile(L"zizaro_do.exe");
  ::testing::Test::RecordProperty("program", testenv::Utf8(path));
  return path;
}

std::wstring VersionString(const std::vector<BYTE>& data, const std::wstring& name) {
  void* value = nullptr;
  UINT length = 0;
  std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
  if (!VerQueryValueW(data.data(), key.c_str(), &value, &length) || length == 0) return L"";
  return static_cast<const wchar_t*>(value);
}
#endif

TEST(ResourcesTest, VersionInformationNamesTheProgramAndItsVersion) {
#ifndef _WIN32
  GTEST_SKIP() << "version information is a Windows program's resource";
#else
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(Program().c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> data(size);
  ASSERT_TRUE(GetFileVersionInfoW(Program().c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), ZIZARO_VERSION_MAJOR);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), ZIZARO_VERSION_MINOR);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), ZIZARO_VERSION_PATCH);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  const std::wstring version = ZIZARO_WIDE_VERSION;
  EXPECT_EQ(VersionString(data, L"FileVersion"), version + L".0");
  EXPECT_EQ(VersionString(data, L"ProductVersion"), version);
  EXPECT_EQ(VersionString(data, L"OriginalFilename"), L"zizaro_do.exe");
  EXPECT_EQ(VersionString(data, L"FileDescription"), L"Quexa client updater");
  EXPECT_EQ(VersionString(data, L"ProductName"), L"Quexa Client");
#endif
}

TEST(ResourcesTest, ManifestRunsAsInvokerOnEverySupportedSystem) {
#ifndef _WIN32
  GTEST_SKIP() << "an application manifest is a Windows program's resource";
#else
  HMODULE module = LoadLibraryExW(Program().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(resource, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(module, resource)));
  const std::string manifest(text, SizeofResource(module, resource));
  FreeLibrary(module);
  EXPECT_THAT(manifest, HasSubstr("<requestedExecutionLevel level=\"asInvoker\""));
  for (const char* system : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a",     // 7
                             "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",     // 8
                             "1f676c76-80e1-4239-95bb-83d0f6d0da78",     // 8.1
                             "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) {  // 10 and 11
    EXPECT_THAT(manifest, HasSubstr(std::string("<supportedOS Id=\"{") + system + "}\"/>"));
  }
  EXPECT_THAT(manifest,
              HasSubstr("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
  EXPECT_THAT(manifest, HasSubstr(">true</longPathAware>"));
#endif
}

}  // namespace
