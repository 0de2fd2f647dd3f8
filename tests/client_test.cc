// Ending the old client and removing its executable, with a real client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"
#include "update/update.h"

namespace {

using testenv::Utf8;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

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
              ElementsAre("I will kill:" + Utf8(exe_),
                          "I Terminate Process pid = " + std::to_string(client.dwProcessId),
                          "I 1 process killed,QXDazavAzir.exe",
                          "I remove " + Utf8(exe_) + " result:1,ec:0"));
  EXPECT_FALSE(testenv::Exists(exe_));
  EXPECT_EQ(testenv::WaitExit(client.hProcess, 10000), 0u);
  testenv::Stop(&client);
}

TEST_F(StopAndRemoveClientTest, NothingRunningAndNoExecutableSucceedsAtOnce) {
  EXPECT_TRUE(StopAndRemoveClient(root_));
  EXPECT_THAT(log_.OwnLines(), ElementsAre("I 0 process killed,QXDazavAzir.exe",
                                           "W kill QXDazavAzir.exe failed or no such Process"));
}

TEST_F(StopAndRemoveClientTest, AnExecutableThatCannotBeRemovedFailsAfterFiftyAttempts) {
  // A non-empty folder under the executable's name resists removal, even for root.
  testenv::WriteFile(exe_ + L"/keep.txt", "keep");
  EXPECT_FALSE(StopAndRemoveClient(root_));
  std::vector<std::string> expected;
  for (int attempt = 0; attempt < 50; ++attempt) {
    expected.push_back("I 0 process killed,QXDazavAzir.exe");
    expected.push_back("W kill QXDazavAzir.exe failed or no such Process");
    expected.push_back("I remove " + Utf8(exe_) +
                       " result:0,ec:" + std::to_string(ERROR_DIR_NOT_EMPTY));
    expected.push_back("W delete file  QXDazavAzir.exe failed ");
  }
  expected.push_back("E enforce kill process and delete QXDazavAzir.exe failed");
  EXPECT_THAT(log_.OwnLines(), ElementsAreArray(expected));
  EXPECT_EQ(testenv::ReadFile(exe_ + L"/keep.txt"), "keep");
}

TEST_F(StopAndRemoveClientTest, RemoveClientExeReportsWhatItDid) {
  EXPECT_TRUE(RemoveClientExe(root_));  // nothing there: no record
  testenv::WriteFile(exe_, "old client");
  EXPECT_TRUE(RemoveClientExe(root_));
  EXPECT_FALSE(testenv::Exists(exe_));
  // Read-only, as an installer may leave it: the attribute is cleared first.
  testenv::WriteFile(exe_, "read-only client");
  testenv::SetReadOnly(exe_, true);
  EXPECT_TRUE(RemoveClientExe(root_));
  EXPECT_FALSE(testenv::Exists(exe_));
  EXPECT_THAT(log_.OwnLines(), ElementsAre("I remove " + Utf8(exe_) + " result:1,ec:0",
                                           "I remove " + Utf8(exe_) + " result:1,ec:0"));
}

}  // namespace
