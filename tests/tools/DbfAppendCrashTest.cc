// Appenders that die or cannot get the lock: the table stays consistent and
// the tool reports the failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

constexpr long long kHeaderLength = 32 + 5 * 32 + 1;
constexpr long long kRecordLength = 44;

TEST(DbfAppendKillTest, AnAppenderKilledMidStreamLeavesAConsistentTable) {
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  {
    RunningTool app({"dbf", "append", path, "--numbered"});
    const long long end = NowMs() + 20000;
    int sent = 0;
    while (HeaderCount(path) < 3000 && NowMs() < end) {
      app.Write(Orders(sent + 1, 200));
      sent += 200;
    }
    app.Write(Orders(sent + 1, 2000));  // still queued when the kill lands
    EXPECT_EQ(app.Stop(SIGKILL), 128 + SIGKILL);
  }
  const uint32_t count = HeaderCount(path);
  ASSERT_GE(count, 3000u);
  const std::string bytes = ReadFile(path);
  EXPECT_GE(static_cast<long long>(bytes.size()), kHeaderLength + count * kRecordLength);
  // Every counted record is complete and numbered in order.
  const ToolResult cat = RunKestal({"dbf", "cat", path});
  ASSERT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, kOrderHeader + Orders(1, static_cast<int>(count), true));
  // The next appender carries on after the last counted record.
  ASSERT_EQ(RunKestal({"dbf", "append", path, "--numbered"}, Orders(1, 1)).status, 0);
  EXPECT_EQ(RunKestal({"dbf", "cat", path, "--from", std::to_string(count + 1)}).out,
            std::string(kOrderHeader) + std::to_string(count + 1) + ",601001,B,100,order 1\n");
}

TEST(DbfAppendKillTest, ConcurrentAppendersNeverOverlap) {
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  std::vector<pid_t> pids;
  for (int p = 0; p < 3; ++p) {
    pids.push_back(Spawn([&]() -> int {
      for (int k = 0; k < 20; ++k) {
        if (RunKestal({"dbf", "append", path, "--numbered"}, Orders(1, 25)).status != 0) return 1;
      }
      return 0;
    }));
  }
  for (pid_t pid : pids) EXPECT_EQ(Wait(pid), 0);
  EXPECT_EQ(HeaderCount(path), 1500u);
  const ToolResult cat = RunKestal({"dbf", "cat", path});
  // REC_NUM runs 1 to 1500 without gaps or repeats.
  size_t at = cat.out.find('\n') + 1;
  for (int i = 1; i <= 1500; ++i) {
    const std::string want = std::to_string(i) + ",";
    ASSERT_EQ(cat.out.compare(at, want.size(), want), 0) << "record " << i;
    at = cat.out.find('\n', at) + 1;
  }
}

// Holds the lock on the record count of path, as an appender would, until killed.
pid_t HoldCountLock(const std::string& path) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = Spawn([&]() -> int {
    const int fd = open(path.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 4;
    fl.l_len = 4;
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &fl) != 0) return 1;
    if (write(ready[1], "x", 1) != 1) return 1;
    pause();
    return 0;
  });
  char c;
  close(ready[1]);
  const bool ok = read(ready[0], &c, 1) == 1;
  close(ready[0]);
  if (!ok) {
    Wait(pid);
    return -1;
  }
  return pid;
}

TEST(SlowDbfAppendLockTest, GivesUpWhenAnotherProcessHoldsTheLock) {
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  ASSERT_EQ(RunKestal({"dbf", "append", path}, Orders(1, 2, true)).status, 0);
  const std::string before = ReadFile(path);
  const pid_t holder = HoldCountLock(path);
  ASSERT_GT(holder, 0);
  const long long start = NowMs();
  const ToolResult r = RunKestal({"dbf", "append", path, "--numbered"}, Orders(3, 5));
  const long long took = NowMs() - start;
  Kill(holder);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("lock"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0 records appended"), std::string::npos) << r.err;
  EXPECT_GE(took, 9000);
  EXPECT_LE(took, 16000);
  EXPECT_EQ(ReadFile(path), before);
  // Once the lock is free the same append goes through.
  ASSERT_EQ(RunKestal({"dbf", "append", path, "--numbered"}, Orders(3, 5)).status, 0);
  EXPECT_EQ(RunKestal({"dbf", "cat", path}).out, kOrderHeader + Orders(1, 7, true));
}

}  // namespace
}  // namespace kestal::test
