// Text and paths: WideToUtf8, pointer records, the path join, quote
// stripping and the install-root layout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"
#include "utility/base/file_path.h"
#include "utility/base/logging.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A path written with backslashes, in this platform's separators.
std::wstring N(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = kPathSeparator;
  }
  return path;
}

TEST(WideToUtf8Test, EncodesEachCharacterAndJoinsSurrogatePairs) {
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(WideToUtf8(L"abc"), "abc");
  EXPECT_EQ(WideToUtf8(L"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(WideToUtf8(L"升级失败"), "升级失败");
  EXPECT_EQ(WideToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xED\xA0\x80");
  EXPECT_EQ(WideToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
  if (sizeof(wchar_t) == 4) {
    EXPECT_THROW(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), std::range_error);
  }
}

TEST(PointerTextTest, EightUpperCaseDigitsWithoutPrefix) {
  std::ostringstream out;
  out << PointerText{nullptr} << "|" << PointerText{reinterpret_cast<void*>(0xabcU)} << "|" << 255;
  EXPECT_EQ(out.str(), "00000000|00000ABC|255");
}

TEST(JoinPathTest, InsertsOneSeparatorWhereNeeded) {
  EXPECT_EQ(JoinPath(N(L"\\a"), L"Client"), N(L"\\a\\Client"));
  EXPECT_EQ(JoinPath(N(L"\\a\\"), L"Client"), N(L"\\a\\Client"));
  EXPECT_EQ(JoinPath(L"", L"Client"), L"Client");
  EXPECT_EQ(JoinPath(L"a/", L"Client"), L"a/Client");
#ifdef _WIN32
  EXPECT_EQ(JoinPath(L"C:", L"Client"), L"C:Client");
  EXPECT_EQ(JoinPath(L"C:\\", L"Client"), L"C:\\Client");
#endif
}

class StripPathQuotesTest : public LoggedTest {};

TEST_F(StripPathQuotesTest, RemovesOneEnclosingPairAndRecordsEachChange) {
  struct Case {
    std::wstring root, zip, root_after, zip_after;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {L"\"C:\\Games\\Client Root\"",
       L"",
       L"C:\\Games\\Client Root",
       L"",
       {"I root dir change to:C:\\Games\\Client Root"}},
      {L"\"", L"\"\"", L"", L"", {"I root dir change to:", "I zip file change to:"}},
      {L"\"a", L"b\"", L"\"a", L"b\"", {}},
      {L"\"\"a\"\"",
       L"\"\"",
       L"\"a\"",
       L"",
       {"I root dir change to:\"a\"", "I zip file change to:"}},
      {L" \"a\" ", L"", L" \"a\" ", L"", {}},
      {L"", L"\"D:\\u p\\新.7z\"", L"", L"D:\\u p\\新.7z", {"I zip file change to:D:\\u p\\新.7z"}},
  };
  for (const Case& c : cases) {
    log_.Clear();
    std::wstring root = c.root;
    std::wstring zip = c.zip;
    StripPathQuotes(root, zip);
    EXPECT_EQ(root, c.root_after);
    EXPECT_EQ(zip, c.zip_after);
    EXPECT_EQ(log_.Lines(), c.records) << testenv::Utf8(c.root) << " / " << testenv::Utf8(c.zip);
  }
}

TEST(StartsEndsWithTest, CompareCodeUnitsExactly) {
  EXPECT_TRUE(StartsWith(L"\"abc", L"\""));
  EXPECT_TRUE(EndsWith(L"abc\"", L"\""));
  EXPECT_TRUE(StartsWith(L"abc", L""));
  EXPECT_FALSE(StartsWith(L"", L"\""));
  EXPECT_FALSE(EndsWith(L"a", L"ba"));
  EXPECT_FALSE(StartsWith(L"Abc", L"a"));
}

TEST(InstallLayoutTest, JoinsAndAppendsAsTheUpdateUsesThem) {
  InstallLayout layout(N(L"\\Games\\Client Root"));
  EXPECT_EQ(layout.client_dir, N(L"\\Games\\Client Root\\Client"));
  EXPECT_EQ(layout.staging_dir, N(L"\\Games\\Client Root\\qxcg_update_tmp"));
  EXPECT_EQ(layout.staged_client_dir, N(L"\\Games\\Client Root\\qxcg_update_tmp\\Client"));
  EXPECT_EQ(layout.client_exe, N(L"\\Games\\Client Root\\Client\\QXDazavAzir.exe"));
  EXPECT_EQ(layout.driver_dir,
            N(L"\\Games\\Client Root\\Client\\resources\\app\\private_cloud\\driver\\"));
  EXPECT_EQ(
      layout.uninstall_script,
      N(L"\\Games\\Client Root\\Client\\resources\\app\\private_cloud\\driver\\uninstall.bat"));
  EXPECT_EQ(layout.firewall_script,
            N(L"\\Games\\Client Root\\Client\\resources\\app\\private_cloud\\driver\\"
              L"install_include_firewall.bat"));
  EXPECT_EQ(layout.relaunch_command, N(L"\"\\Games\\Client Root\\Client\\QXDazavAzir.exe\""));
}

TEST(InstallLayoutTest, TrailingSeparatorJoinsOnceButAppendsDoubled) {
  InstallLayout layout(N(L"\\Games\\"));
  EXPECT_EQ(layout.client_dir, N(L"\\Games\\Client"));
  EXPECT_EQ(layout.staged_client_dir, N(L"\\Games\\qxcg_update_tmp\\Client"));
  EXPECT_EQ(layout.client_exe, N(L"\\Games\\\\Client\\QXDazavAzir.exe"));
  EXPECT_EQ(layout.relaunch_command, N(L"\"\\Games\\\\Client\\QXDazavAzir.exe\""));
}

TEST(InstallLayoutTest, EmptyRootGivesRelativeJoinsAndRootedAppends) {
  InstallLayout layout(L"");
  EXPECT_EQ(layout.client_dir, L"Client");
  EXPECT_EQ(layout.staged_client_dir, N(L"qxcg_update_tmp\\Client"));
  EXPECT_EQ(layout.client_exe, N(L"\\Client\\QXDazavAzir.exe"));
  EXPECT_EQ(layout.uninstall_script,
            N(L"\\Client\\resources\\app\\private_cloud\\driver\\uninstall.bat"));
}

}  // namespace
