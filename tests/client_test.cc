// Ending the old client and removing its executable, with a real client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testenv::Utf8;

// The error number that removing a non-empty folder reports: on Windows the
// runtime's remove tries the folder, then the name as a file, and reports the
// second refusal.
#ifdef _WIN32
constexpr int kDirectoryNotEmpty = 5;  // ERROR_ACCESS_DENIED
#else
constexpr int kDirectoryNotEmpty = ENOTEMPTY;
#endif

class StopAndRemoveClientTest : public LoggedTest {
 protected:
  testenv::TempDir temp_{L"client root"};
  const std::wstring root_ = temp_.path();
  const std::wstring exe_ = InstallLayout(root_).client_exe;
};

TEST_F(StopAndRemoveClientTest, RunningClientIsEndedAndItsExecutableRemoved) {
  testenv::InstallStandIn(exe_);
  PROCESS_INFORMATION client = testenv::StartProgram(exe_);
  EXPECT_TRUE(StopAndRemoveClient(root_));
  EXPECT_THAT(log_.OwnLines(),
              ElementsAre("I utils.cc: will kill:" + Utf8(exe_),
                          "I utils.cc: Terminate Process pid = " + std::to_string(client.dwProcessId),
                          "I update.cc: 1 process killed,QXDazavAzir.exe",
                          "I update.cc: remove " + Utf8(exe_) + " result:1,ec:0"));
  EXPECT_FALSE(testenv::Exists(exe_));
  EXPECT_EQ(testenv::WaitExit(client.hProcess, 10000), 0u);
  testenv::Stop(&client);
}

TEST_F(StopAndRemoveClientTest, NothingRunningAndNoExecutableSucceedsAtOnce) {
  EXPECT_TRUE(StopAndRemoveClient(root_));
  EXPECT_THAT(log_.OwnLines(),
              ElementsAre("I update.cc: 0 process killed,QXDazavAzir.exe",
                          "W update.cc: kill QXDazavAzir.exe failed or no such Process"));
}

TEST_F(StopAndRemoveClientTest, AnExecutableThatCannotBeRemovedFailsAfterFiftyAttempts) {
  // A non-empty folder under the executable's name resists removal, even for root.
  testenv::WriteFile(exe_ + L"/keep.txt", "keep");
  EXPECT_FALSE(StopAndRemoveClient(root_));
  std::vector<std::string> expected;
  for (int attempt = 0; attempt < 50; ++attempt) {
    expected.push_back("I update.cc: 0 process killed,QXDazavAzir.exe");
    expected.push_back("W update.cc: kill QXDazavAzir.exe failed or no such Process");
    expected.push_back("I update.cc: remove " + Utf8(exe_) +
                       " result:0,ec:" + std::to_string(kDirectoryNotEmpty));
    expected.push_back("W update.cc: delete file  QXDazavAzir.exe failed ");
  }
  expected.push_back("E update.cc: enforce kill process and delete QXDazavAzir.exe failed");
  EXPECT_THAT(log_.OwnLines(), ElementsAreArray(expected));
  EXPECT_EQ(testenv::ReadFile(exe_ + L"/keep.txt"), "keep");
}

TEST_F(StopAndRemoveClientTest, RemoveClientExeReportsWhatItDid) {
  EXPECT_TRUE(RemoveClientExe(root_));  // nothing there: no record
  testenv::WriteFile(exe_, "old client");
  EXPECT_TRUE(RemoveClientExe(root_));
  EXPECT_FALSE(testenv::Exists(exe_));
  EXPECT_THAT(log_.OwnLines(), ElementsAre("I update.cc: remove " + Utf8(exe_) + " result:1,ec:0"));
}

}  // namespace
