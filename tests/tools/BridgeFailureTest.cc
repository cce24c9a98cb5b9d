// kestal bridge when the database cannot take writes for reasons no record
// causes, each as it happens in the field: a file-size limit, a read-only
// database file, a bulk-load file that cannot be written, and a database
// that another process keeps locked past the busy time-out. The bridge must
// say why, never blame a record, and wait out a lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Relay.h"
#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

void Append(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

ToolResult RunBridge(OrderTables& t, const std::vector<std::string>& extra = {},
                     long long file_size_limit = -1) {
  std::vector<std::string> args = {"bridge", t.dbf, t.conn, "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunKestal(args, "", "C.UTF-8", file_size_limit, t.dir.path());
}

void ExpectError(const ToolResult& r, const std::string& text) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
}

// Copies the first n orders and stops, so that the database is in the
// library's own journal mode.
void CopyFirst(OrderTables& t, long n) {
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "C.UTF-8",
                     t.dir.path());
  ASSERT_TRUE(WaitForOrderRows(*t.db, n, 20000));
  ASSERT_EQ(bridge.Stop(SIGTERM), 0);
}

// The failure is not put on a record.
void ExpectNotBlamedOnARecord(const ToolResult& r) {
  EXPECT_EQ(r.err.find("check its values"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("one by one"), std::string::npos) << r.err;
}

// Makes path unwritable for this process, also for root (the immutable
// flag); undone by the destructor.
class Unwritable {
 public:
  explicit Unwritable(const std::string& path) : path_(path) { Set(true); }
  ~Unwritable() { Set(false); }
  bool ok() const { return ok_; }

 private:
  void Set(bool on) {
    if (geteuid() != 0) {
      ok_ = chmod(path_.c_str(), on ? 0444 : 0644) == 0;
      return;
    }
    const int fd = open(path_.c_str(), O_RDONLY);
    int flags = 0;
    ok_ = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok_ = ok_ && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
  }
  std::string path_;
  bool ok_ = false;
};

TEST(BridgeFailureTest, FileSizeLimitStopsWithTheReason) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 20));
  CopyFirst(t, 20);
  Append(t.dbf, Orders(21, 3000));
  struct stat st {};
  ASSERT_EQ(0, stat(t.db->FilePath().c_str(), &st));
  // Room for a batch or two in the journal, not for 3,000 records.
  const ToolResult r = RunBridge(t, {"--batch", "100"}, st.st_size + 64 * 1024);
  ExpectError(r, "the database refuses every write, whatever the record");
  // SQLite's reason, naming the failed step; the system's text when SQLite
  // kept it.
  EXPECT_NE(r.err.find("disk I/O error, writing the file failed"), std::string::npos) << r.err;
  ExpectNotBlamedOnARecord(r);
  // Whole batches only, each once.
  const long copied = OrderCount(*t.db);
  EXPECT_LT(copied, 3020);
  ExpectOrdersExactlyOnce(*t.db, copied);
}

TEST(BridgeFailureTest, ReadOnlyDatabaseIsRefusedAtStart) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 10));
  CopyFirst(t, 10);
  Append(t.dbf, Orders(11, 10));
  Unwritable locked(t.db->FilePath());
  ASSERT_TRUE(locked.ok()) << "cannot make " << t.db->FilePath() << " unwritable";
  const ToolResult r = RunBridge(t);
  ExpectError(r, "can only be read");
  ExpectNotBlamedOnARecord(r);
  EXPECT_EQ(OrderCount(*t.db), 10);
}

TEST(BridgeFailureTest, UnwritableBulkLoadFileStopsWithTheReason) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 10));
  ASSERT_EQ(0, mkdir(t.dir.File("log").c_str(), 0755));
  ASSERT_EQ(0, mkdir(t.dir.File("log/OrderTemp_WTK.txt").c_str(), 0755));
  const ToolResult r = RunBridge(t, {"--mode", "2"});
  ExpectError(r, "cannot open the bulk-load file");
  EXPECT_NE(r.err.find("Is a directory"), std::string::npos) << r.err;
  ExpectNotBlamedOnARecord(r);
  EXPECT_EQ(OrderCount(*t.db), 0);
}

// Longer than the library's busy time-out (at least 8 s), so takes a while.
TEST(BridgeBusySlowTest, LockedDatabaseIsWaitedForThenCopiedOnce) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 10));
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--interval", "5", "--batch", "4"},
                     "C.UTF-8", t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 10, 20000));
  const pid_t holder = HoldWriteLock(t.db->FilePath(), 20000);
  ASSERT_GT(holder, 0);
  Append(t.dbf, Orders(11, 10));
  // Past the busy time-out, the bridge says it waits, and only that.
  const long long until = NowMs() + 19000;
  while (NowMs() < until && bridge.err().find("is busy") == std::string::npos) {
    bridge.DrainErr();
    usleep(100000);
  }
  EXPECT_NE(bridge.err().find("the database is busy: "), std::string::npos) << bridge.err();
  EXPECT_NE(bridge.err().find("locked"), std::string::npos) << bridge.err();
  EXPECT_EQ(OrderCount(*t.db), 10);
  EXPECT_EQ(0, Wait(holder));
  ASSERT_TRUE(WaitForOrderRows(*t.db, 20, 30000));
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  EXPECT_NE(bridge.err().find("the database takes writes again"), std::string::npos)
      << bridge.err();
  EXPECT_EQ(bridge.err().find("refused"), std::string::npos) << bridge.err();
  EXPECT_EQ(bridge.err().find("one by one"), std::string::npos) << bridge.err();
  ExpectOrdersExactlyOnce(*t.db, 20);
}

// The link to PostgreSQL goes silent under a running bridge: it must say the
// database cannot be reached (0x80004005) within the silent-link bound (a
// command time-out of 2 s plus 5 s, then an 8 s connect time-out), go on
// when the link returns, and copy every record once.
TEST(BridgeSilentLinkSlowTest, StalledLinkIsNoticedAndEveryRecordCopiedOnce) {
  OrderTables t(Engine::kPostgres);
  ASSERT_GT(PostgresPort(), 0) << "KESTAL_PG_PORT is not set";
  Relay relay("127.0.0.1", PostgresPort());
  const std::string conn = ThroughRelay(t.conn, relay.port(), 2);
  Append(t.dbf, Orders(1, 50));
  RunningTool bridge({"bridge", t.dbf, conn, "orders", "--interval", "5", "--batch", "10"},
                     "C.UTF-8", t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 50, 20000));
  relay.Stall();
  Append(t.dbf, Orders(51, 50));
  const long long start = NowMs();
  while (NowMs() - start < 30000 && bridge.err().find("cannot be reached") == std::string::npos) {
    bridge.DrainErr();
    usleep(100000);
  }
  EXPECT_LT(NowMs() - start, 25000);
  EXPECT_NE(bridge.err().find("the database cannot be reached: "), std::string::npos)
      << bridge.err();
  EXPECT_NE(bridge.err().find("(status 80004005)"), std::string::npos) << bridge.err();
  relay.Pass();
  ASSERT_TRUE(WaitForOrderRows(*t.db, 100, 40000)) << bridge.err();
  usleep(300000);  // a late copy of a batch would show now
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  EXPECT_NE(bridge.err().find("reconnected to the database"), std::string::npos) << bridge.err();
  ExpectOrdersExactlyOnce(*t.db, 100);
}

}  // namespace
}  // namespace kestal::test
