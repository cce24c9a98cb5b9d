// Lock time-outs of the table file: each case waits out at least one 5-second
// retry period, so the quick run leaves them out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "DbfTestUtil.h"
#include "dbf/DBFOperate.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

class SlowDbfLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TableSpec layout{OrderFields()};
    for (int i = 0; i < 3; ++i) layout.records.push_back(Record(layout.fields, {"", "old", "1"}));
    WriteTable(path, layout);
    ASSERT_EQ(1, table.Open(path.c_str()));
  }
  void TearDown() override {
    CFile::SetFaultHook({});
    if (holder > 0) Kill(holder);
  }
  // Starts a process that locks bytes 4 to 7, runs then (with the lock
  // held) and returns once then has started; the process exits after
  // holdMs or when killed.
  void HoldLockElsewhere(int holdMs, const std::function<void(CFile&)>& then = {}) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    holder = Spawn([&] {
      CFile file;
      file.Open(path.c_str(), CDBFOperate::kOpenFlags);
      file.LockRange(4, 4);
      char ready = 'r';
      if (write(fds[1], &ready, 1) != 1) return 1;
      usleep(static_cast<useconds_t>(holdMs) * 1000);
      if (then) then(file);
      return 0;
    });
    char ready = 0;
    ASSERT_EQ(1, read(fds[0], &ready, 1));
    close(fds[0]);
    close(fds[1]);
  }
  std::string NewRecords(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += Record(OrderFields(), {"", "new", "2"});
    return out;
  }

  TempDir dir;
  std::string path = dir.File("orders.dbf");
  CDBFOperate table;
  pid_t holder = 0;
};

// A lock conflict on the count read (as a platform with mandatory locks
// reports it) is retried with pauses for one retry period, at little CPU.
TEST_F(SlowDbfLockTest, CountReadLockConflictGivesTheLastKnownCountAfterOneRetryPeriod) {
  CFile::SetFaultHook(
      [](const char* op, const CString&) { return strcmp(op, "read") == 0 ? EAGAIN : 0; });
  long long start = NowMs();
  long long cpuStart = CpuMs();
  EXPECT_EQ(CString("3"), table.GetTotalRecord());
  long long elapsed = NowMs() - start;
  EXPECT_GE(elapsed, 5000);
  EXPECT_LE(elapsed, 6600);
  EXPECT_LT(CpuMs() - cpuStart, 1000);  // it pauses, it does not spin
  EXPECT_EQ(-1, table.m_nLastError);
  CString error = table.GetLastErrorMsg();
  EXPECT_NE(-1, error.Find("read of ")) << error.c_str();
  EXPECT_NE(-1, error.Find(path.c_str())) << error.c_str();
  EXPECT_NE(-1, error.Find(strerror(EAGAIN))) << error.c_str();
}

TEST_F(SlowDbfLockTest, AppendGivesUpAfterTwoRetryPeriodsHavingWrittenNothing) {
  HoldLockElsewhere(20000);
  std::string before = ReadFile(path);
  std::string recs = NewRecords(2), original = recs;
  long long start = NowMs();
  long long cpuStart = CpuMs();
  EXPECT_EQ(0, table.AddNewRecord(&recs[0], 2, "WTK"));
  long long elapsed = NowMs() - start;
  EXPECT_GE(elapsed, 10000);
  EXPECT_LE(elapsed, 12800);
  EXPECT_LT(CpuMs() - cpuStart, 2000);  // it pauses between tries
  EXPECT_NE(-1, table.GetLastErrorMsg().Find(strerror(EAGAIN))) << table.GetLastErrorMsg().c_str();
  EXPECT_EQ(before, ReadFile(path));
  EXPECT_EQ(original, recs);
  EXPECT_TRUE(CDBFOperateTestAccess::FileIsOpen(table));  // the reopened handle
  Kill(holder);
  holder = 0;
  EXPECT_EQ(1, table.AddNewRecord(&recs[0], 2, "WTK"));
  EXPECT_EQ(5, HeaderCount(path));
}

TEST_F(SlowDbfLockTest, AppendTakesAFreshHandleAfterOneFailedRetryPeriod) {
  std::atomic<bool> reopened{false};
  CFile::SetFaultHook([&](const char* op, const CString&) {
    if (strcmp(op, "open") == 0) reopened = true;
    return strcmp(op, "lock") == 0 && !reopened ? EAGAIN : 0;
  });
  std::string recs = NewRecords(1);
  long long start = NowMs();
  EXPECT_EQ(1, table.AddNewRecord(&recs[0], 1, "WTK"));
  long long elapsed = NowMs() - start;
  EXPECT_GE(elapsed, 5000);
  EXPECT_LE(elapsed, 6600);
  EXPECT_EQ(4, HeaderCount(path));
}

TEST_F(SlowDbfLockTest, FailedReopenLeavesNoOpenFile) {
  CFile::SetFaultHook([](const char* op, const CString&) {
    if (strcmp(op, "lock") == 0) return EAGAIN;
    return strcmp(op, "open") == 0 ? EACCES : 0;
  });
  std::string before = ReadFile(path);
  std::string recs = NewRecords(1);
  long long start = NowMs();
  EXPECT_EQ(0, table.AddNewRecord(&recs[0], 1, "WTK"));
  EXPECT_LE(NowMs() - start, 6600);
  EXPECT_EQ(0, table.m_nLastError);
  EXPECT_FALSE(CDBFOperateTestAccess::FileIsOpen(table));
  CFile::SetFaultHook({});
  EXPECT_EQ(before, ReadFile(path));
  ASSERT_EQ(1, table.Open(path.c_str()));
  EXPECT_EQ(1, table.AddNewRecord(&recs[0], 1, "WTK"));
}

}  // namespace
}  // namespace kestal::test
