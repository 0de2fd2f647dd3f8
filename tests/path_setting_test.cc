// The per-user folders: application data, log base and today's log folder.
#include "update/path_setting.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <list>
#include <thread>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "utility/base/file_path.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PathSettingTest : public LoggedTest {
 protected:
  // Runs with the current folder inside the temporary folder, where a bare
  // date folder would land.
  void SetUp() override {
    LoggedTest::SetUp();
    old_current_ = std::filesystem::current_path();
    std::filesystem::current_path(ToFsPath(temp_.path()));
  }
  void TearDown() override {
    std::filesystem::current_path(old_current_);
    LoggedTest::TearDown();
  }

  // Removes every source of an application-data folder.
  void UnsetAppData() {
    unset_.emplace_back("APPDATA", std::nullopt);
#ifndef _WIN32
    // The POSIX layer falls back on these when APPDATA is not set.
    unset_.emplace_back("XDG_STATE_HOME", std::nullopt);
    unset_.emplace_back("HOME", std::nullopt);
#endif
  }

  testenv::TempDir temp_{L"appdata 数据"};
  std::filesystem::path old_current_;
  std::list<testenv::ScopedEnv> unset_;
};

TEST_F(PathSettingTest, FirstCallCreatesTheChainAndTheSecondReusesIt) {
  testenv::ScopedEnv app_data("APPDATA", temp_.path());
  const std::wstring expected = JoinPath(
      JoinPath(JoinPath(temp_.path(), L"QuexaZevuvEdov2"), L"log"), testenv::TodayFolderName());
  EXPECT_EQ(GetTodayLogPath(), expected);
  EXPECT_TRUE(std::filesystem::is_directory(ToFsPath(expected)));
  EXPECT_EQ(GetTodayLogPath(), expected);
  EXPECT_EQ(GetAppDataPath(), JoinPath(temp_.path(), L"QuexaZevuvEdov2"));
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_F(PathSettingTest, ValueEndingInASeparatorGetsNoSecondOne) {
  testenv::ScopedEnv app_data("APPDATA", temp_.path() + kPathSeparator);
  EXPECT_EQ(GetAppDataPath(), temp_.path() + kPathSeparator + L"QuexaZevuvEdov2");
}

TEST_F(PathSettingTest, WithoutApplicationDataTheDateFolderLandsInTheCurrentFolder) {
  UnsetAppData();
  EXPECT_EQ(GetTodayLogPath(), testenv::TodayFolderName());
  EXPECT_THAT(log_.Lines(), ElementsAre("E app_data_path error", "E get log path error"));
  EXPECT_TRUE(std::filesystem::is_directory(ToFsPath(temp_ / testenv::TodayFolderName())));
}

TEST_F(PathSettingTest, ValuesUpTo519CharactersAreAccepted) {
  // The same folder, padded to a given length with "/." steps and, for odd
  // lengths, a closing separator.
  auto padded = [&](size_t length) {
    std::wstring value = temp_.path();
    while (value.size() + 2 <= length) value += std::wstring(1, kPathSeparator) + L".";
    if (value.size() < length) value.push_back(kPathSeparator);
    return value;
  };
  const std::wstring accepted = padded(519);
  ASSERT_EQ(accepted.size(), 519u);
  {
    testenv::ScopedEnv app_data("APPDATA", accepted);
    EXPECT_EQ(GetAppDataPath(), JoinPath(accepted, L"QuexaZevuvEdov2"));
    EXPECT_THAT(log_.Lines(), IsEmpty());
  }
  const std::wstring refused = padded(520);
  ASSERT_EQ(refused.size(), 520u);
  testenv::ScopedEnv app_data("APPDATA", refused);
  EXPECT_EQ(GetAppDataPath(), L"");
  EXPECT_THAT(log_.Lines(), ElementsAre("E app_data_path error"));
}

TEST_F(PathSettingTest, AFileWhereAFolderOfTheChainShouldBeIsAFailureOfThatLink) {
  testenv::ScopedEnv app_data("APPDATA", temp_.path());
  const std::wstring app_folder = temp_ / L"QuexaZevuvEdov2";
  const std::wstring log_folder = temp_ / L"QuexaZevuvEdov2/log";
  const std::wstring dated_folder = JoinPath(log_folder, testenv::TodayFolderName());
  const std::string missing_log = "E get log path error";
  struct Row {
    std::wstring in_the_way;
    std::wstring result;  // of GetTodayLogPath
    std::vector<std::string> records;
  };
  const Row rows[] = {
      {app_folder,
       testenv::TodayFolderName(),
       {"E create path failed: " + testenv::Utf8(app_folder), missing_log}},
      {log_folder,
       testenv::TodayFolderName(),
       {"E create path failed: " + testenv::Utf8(log_folder)}},
      {dated_folder, L"", {"E create path failed: " + testenv::Utf8(dated_folder)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testenv::Utf8(row.in_the_way));
    log_.Clear();
    std::filesystem::remove_all(ToFsPath(app_folder));
    testenv::WriteFile(row.in_the_way, "not a folder");
    EXPECT_EQ(GetTodayLogPath(), row.result);
    EXPECT_EQ(log_.Lines(), row.records);
    EXPECT_EQ(testenv::ReadFile(row.in_the_way), "not a folder");
  }
}

// Runs started together on a day's first run create the chain at the same
// moment: a folder that another made first is the one wanted, not a failure.
TEST_F(PathSettingTest, CallsRacingToCreateTheChainAllGetTheDatedFolder) {
  testenv::ScopedEnv app_data("APPDATA", temp_.path());
  const std::wstring expected = JoinPath(
      JoinPath(JoinPath(temp_.path(), L"QuexaZevuvEdov2"), L"log"), testenv::TodayFolderName());
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    log_.Clear();
    std::filesystem::remove_all(ToFsPath(temp_ / L"QuexaZevuvEdov2"));
    std::atomic<bool> go{false};
    std::vector<std::wstring> results(8);
    std::vector<std::thread> callers;
    for (std::wstring& result : results) {
      callers.emplace_back([&go, &result] {
        while (!go) std::this_thread::yield();
        result = GetTodayLogPath();
      });
    }
    go = true;
    for (std::thread& caller : callers) caller.join();
    EXPECT_THAT(results, testing::Each(expected));
    EXPECT_THAT(log_.Lines(), IsEmpty());
  }
}

}  // namespace
