// The command line: the platform's split and the switch lookups.
#include "utility/base/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/win32.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::wstring> Split(const std::wstring& line) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> result(args, args + count);
  LocalFree(args);
  return result;
}

struct SplitCase {
  const wchar_t* line;
  std::vector<std::wstring> args;
};

// On Windows these run against the system's own split; on POSIX against the
// platform layer's, which must agree.
TEST(CommandLineToArgvTest, FollowsTheWindowsRules) {
  const SplitCase cases[] = {
      {L"prog a b", {L"prog", L"a", L"b"}},
      {L"\"C:\\Program Files\\x.exe\" a", {L"C:\\Program Files\\x.exe", L"a"}},
      {L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
      {L"prog a\\\\b", {L"prog", L"a\\\\b"}},
      {L"prog a\\\"b", {L"prog", L"a\"b"}},
      {L"prog a\\\\\\\"b", {L"prog", L"a\\\"b"}},
      {L"prog \"a\\\\\" b", {L"prog", L"a\\", L"b"}},
      {L"prog \"a\\\" b", {L"prog", L"a\" b"}},
      {L"prog \"\" \"\"", {L"prog", L"", L""}},
      {L"prog \"a\"\"b c\"", {L"prog", L"a\"b", L"c"}},
      {L"prog a\"b\"c", {L"prog", L"abc"}},
      {L"prog \"\"\"", {L"prog", L"\""}},
      {L"prog \"\"\"\"", {L"prog", L"\""}},
      {L"prog\ta\t\tb", {L"prog", L"a", L"b"}},
      {L"prog a   ", {L"prog", L"a"}},
      {L"\"prog name\"x y", {L"prog name", L"x", L"y"}},
      {L"pro\\\"g\\ a", {L"pro\\\"g\\", L"a"}},
      {L" a b", {L"", L"a", L"b"}},
      {L"prog a\nb", {L"prog", L"a\nb"}},
      {L"prog \\\\server\\share\\", {L"prog", L"\\\\server\\share\\"}},
      {L"prog \"trailing\\\\\\\\\"", {L"prog", L"trailing\\\\"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_THAT(Split(c.line), ElementsAreArray(c.args)) << testenv::Utf8(c.line);
  }
}

class CommandLineTest : public LoggedTest {
 protected:
  // A parser over "prog.exe" followed by `arguments` (raw command-line text).
  void Parse(const std::wstring& arguments) {
    ASSERT_TRUE(parser_.InitFromText((L"prog.exe " + arguments).c_str()));
  }

  CommandLine parser_;
};

TEST_F(CommandLineTest, InitRecordsTheWholeLineAndEmptyTextLeavesTheParserEmpty) {
  EXPECT_FALSE(parser_.InitFromText(L""));
  EXPECT_FALSE(parser_.InitFromText(nullptr));
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_FALSE(parser_.HasSwitch(L"pid"));

  Parse(L"--unzip=\"C:\\游戏 包\\a.7z\" --pid=7");
  EXPECT_THAT(log_.Lines(), ElementsAre("I prog.exe --unzip=\"C:\\游戏 包\\a.7z\" --pid=7"));
  std::string utf8;
  EXPECT_TRUE(parser_.GetSwitchValue(&utf8, L"unzip"));
  EXPECT_EQ(utf8, "C:\\游戏 包\\a.7z");
}

TEST_F(CommandLineTest, InitOfTheProcessReadsItsOwnCommandLine) {
  CommandLine own;
  ASSERT_TRUE(own.Init());
  std::vector<std::string> lines = log_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("command_line_test"), std::string::npos) << lines[0];
}

struct PresenceCase {
  const wchar_t* arguments;
  const wchar_t* name;
  bool present;
  bool has_value;
  const wchar_t* value;
};

TEST_F(CommandLineTest, PresenceAndTextValues) {
  const PresenceCase cases[] = {
      {L"--unzip=a --unzip=b", L"unzip", true, true, L"a"},
      {L"--unzip --unzip=b", L"unzip", true, true, L"b"},
      {L"--unzip=", L"unzip", true, true, L""},
      {L"--pidx=5", L"pid", true, false, L""},
      {L"--pidfile=x", L"pid", true, false, L""},
      {L"--unzipped", L"unzip", true, false, L""},
      {L"--pid 5", L"pid", true, false, L""},
      {L"--PID=5", L"pid", false, false, L""},
      {L"-pid=5", L"pid", false, false, L""},
      {L"/pid=5", L"pid", false, false, L""},
      {L"pid=5", L"pid", false, false, L""},
      {L"\"--root_dir=C:\\Games\\Client Root\"", L"root_dir", true, true,
       L"C:\\Games\\Client Root"},
      {L"--root_dir=\"C:\\Games\\Client Root\"", L"root_dir", true, true,
       L"C:\\Games\\Client Root"},
      // A backslash before the closing quote makes it literal: the value runs on.
      {L"--root_dir=\"C:\\a b\\\" --pid=1", L"root_dir", true, true, L"C:\\a b\" --pid=1"},
      {L"--root_dir=\"\\\"C:\\a b\\\"\"", L"root_dir", true, true, L"\"C:\\a b\""},
  };
  for (const PresenceCase& c : cases) {
    CommandLine parser;
    ASSERT_TRUE(parser.InitFromText((std::wstring(L"prog.exe ") + c.arguments).c_str()));
    SCOPED_TRACE(testenv::Utf8(c.arguments));
    EXPECT_EQ(parser.HasSwitch(c.name), c.present);
    std::wstring value = L"untouched";
    EXPECT_EQ(parser.GetSwitchValue(&value, c.name), c.has_value);
    EXPECT_EQ(value, c.has_value ? c.value : L"untouched");
  }
}

TEST_F(CommandLineTest, TheProgramPathIsLookedAtToo) {
  ASSERT_TRUE(parser_.InitFromText(L"--pid=4 --pid=5"));
  int64_t pid = 0;
  EXPECT_TRUE(parser_.GetSwitchValue(&pid, L"pid"));
  EXPECT_EQ(pid, 4);
}

struct IntegerCase {
  const wchar_t* arguments;
  int64_t value;
};

TEST_F(CommandLineTest, IntegerValuesConvertLikeStoll) {
  const IntegerCase cases[] = {
      {L"--pid=12abc", 12},
      {L"--pid=+5", 5},
      {L"--pid=-3", -3},
      {L"\"--pid= 7\"", 7},
      // White space beyond ASCII that the Windows runtime skips before a number.
      {L"\"--pid=\u3000"
       L"7\"",
       7},
      {L"\"--pid=\u00a0"
       L"7\"",
       7},
      {L"\"--pid=\u2007\u202f-"
       L"7\"",
       -7},
      {L"--pid=4294967296", 4294967296LL},
      {L"--pid=9223372036854775807", INT64_MAX},
      {L"--pid=-9223372036854775808", INT64_MIN},
  };
  for (const IntegerCase& c : cases) {
    CommandLine parser;
    ASSERT_TRUE(parser.InitFromText((std::wstring(L"prog.exe ") + c.arguments).c_str()));
    int64_t value = 0;
    EXPECT_TRUE(parser.GetSwitchValue(&value, L"pid")) << testenv::Utf8(c.arguments);
    EXPECT_EQ(value, c.value) << testenv::Utf8(c.arguments);
  }
}

TEST_F(CommandLineTest, IntegerErrorsCarryTheirMessagesAndLeaveTheDestination) {
  // A zero-width space is no white space; digits beyond ASCII are no digits.
  for (const wchar_t* bad : {L"--pid=", L"--pid=x", L"--pid=+", L"--pid=-",
                             L"--pid=\u200b"
                             L"7",
                             L"--pid=\u0661"}) {
    CommandLine parser;
    ASSERT_TRUE(parser.InitFromText((std::wstring(L"prog.exe ") + bad).c_str()));
    int64_t value = 99;
    try {
      parser.GetSwitchValue(&value, L"pid");
      ADD_FAILURE() << "no error for " << testenv::Utf8(bad);
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "invalid stoll argument");
    }
    EXPECT_EQ(value, 99);
  }
  for (const wchar_t* big : {L"--pid=9223372036854775808", L"--pid=-9223372036854775809"}) {
    CommandLine parser;
    ASSERT_TRUE(parser.InitFromText((std::wstring(L"prog.exe ") + big).c_str()));
    int64_t value = 99;
    try {
      parser.GetSwitchValue(&value, L"pid");
      ADD_FAILURE() << "no error for " << testenv::Utf8(big);
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "stoll argument out of range");
    }
    EXPECT_EQ(value, 99);
  }
  // No record is written by the conversion errors.
  for (const std::string& line : log_.Lines()) EXPECT_EQ(line.rfind("I prog", 0), 0u);
}

}  // namespace
