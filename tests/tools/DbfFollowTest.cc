// kestal dbf follow against appends made by other processes, and its clean
// exit on SIGINT and SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class DbfFollowTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateTable(path_); }
  void Append(const std::string& csv, const char* tag = "WTK") {
    const ToolResult r = RunKestal({"dbf", "append", path_, "--tag", tag}, csv);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  TempDir dir_;
  const std::string path_ = dir_.File("orders.dbf");
};

TEST_F(DbfFollowTest, PrintsExistingThenAppendedRecordsAndStopsOnSigterm) {
  Append(Orders(1, 3));
  RunningTool follow({"dbf", "follow", path_, "--from", "1", "--interval", "5"});
  EXPECT_EQ(follow.ReadLines(4, 5000), kOrderHeader + Orders(1, 3, true));
  Append(Orders(4, 2));
  EXPECT_EQ(follow.ReadLines(6, 5000), kOrderHeader + Orders(1, 5, true));
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
  EXPECT_EQ(follow.out(), kOrderHeader + Orders(1, 5, true));
}

TEST_F(DbfFollowTest, WithoutFromPrintsOnlyNewRecordsAndStopsOnSigint) {
  Append(Orders(1, 3));
  RunningTool follow({"dbf", "follow", path_, "--interval", "5"});
  EXPECT_EQ(follow.ReadLines(1, 5000), kOrderHeader);
  Append(Orders(4, 1));
  EXPECT_EQ(follow.ReadLines(2, 5000), kOrderHeader + Orders(4, 1, true));
  EXPECT_EQ(follow.Stop(SIGINT), 0);
}

TEST_F(DbfFollowTest, StartBeyondTheEndWaitsForTheFileToGrow) {
  Append(Orders(1, 2));
  RunningTool follow({"dbf", "follow", path_, "--from", "5", "--interval", "5"});
  follow.ReadLines(2, 300);
  EXPECT_EQ(follow.out(), kOrderHeader);
  Append(Orders(3, 4));
  EXPECT_EQ(follow.ReadLines(3, 5000), kOrderHeader + Orders(5, 2, true));
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
}

TEST_F(DbfFollowTest, SignalWhileWaitingForTheStartExitsCleanly) {
  RunningTool follow({"dbf", "follow", path_, "--from", "100"});
  follow.ReadLines(1, 5000);
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
  EXPECT_EQ(follow.out(), kOrderHeader);
}

TEST_F(DbfFollowTest, GbkTextArrivesInTheTerminalsEncoding) {
  RunningTool follow({"dbf", "follow", path_, "--from", "1", "--interval", "5"});
  follow.ReadLines(1, 5000);
  Append(",600000,B,100,\"卖出, 限价\"\n");
  EXPECT_EQ(follow.ReadLines(2, 5000),
            std::string(kOrderHeader) + "1,600000,B,100,\"卖出, 限价\"\n");
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
}

// Several appender processes write in small batches while one follower
// reads: the follower sees every record once, numbered without gaps.
TEST_F(DbfFollowTest, SeesEveryRecordOfConcurrentAppendersExactlyOnce) {
  RunningTool follow({"dbf", "follow", path_, "--from", "1", "--interval", "1"});
  follow.ReadLines(1, 5000);
  std::vector<pid_t> pids;
  for (int p = 0; p < 2; ++p) {
    pids.push_back(Spawn([&]() -> int {
      RunningTool app({"dbf", "append", path_, "--numbered"});
      for (int k = 0; k < 100; ++k) app.Write(Orders(1, 7));
      return app.Wait();
    }));
  }
  for (pid_t pid : pids) EXPECT_EQ(Wait(pid), 0);
  const std::string& out = follow.ReadLines(1401, 10000);
  ASSERT_EQ(Lines(out), 1401u);
  size_t at = out.find('\n') + 1;
  for (int i = 1; i <= 1400; ++i) {
    const std::string want = std::to_string(i) + ",";
    ASSERT_EQ(out.compare(at, want.size(), want), 0) << "record " << i;
    at = out.find('\n', at) + 1;
  }
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
}

TEST_F(DbfFollowTest, FileEmptiedUnderTheFollowerIsReportedAndStopsCleanly) {
  Append(Orders(1, 2));
  RunningTool follow({"dbf", "follow", path_, "--from", "1", "--interval", "5"});
  EXPECT_EQ(follow.ReadLines(3, 5000), kOrderHeader + Orders(1, 2, true));
  // Another process cuts the file below its header; the follower must not
  // crash or print garbage, and it stops cleanly.
  WriteFile(path_, "");
  follow.ReadLines(4, 1000);
  EXPECT_EQ(follow.out(), kOrderHeader + Orders(1, 2, true));
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kestal::test
