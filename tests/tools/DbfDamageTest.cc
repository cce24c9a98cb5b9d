// The reading tools on damaged table files and in hostile surroundings: a
// header that counts records the file does not hold (dbf follow, bridge), a
// file cut under a running bridge, a file cut inside its header under a
// follower (no busy spin, prompt stop), a file the tool may only read, and a
// one-field table whose value is empty passed through cat and append.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/TestDatabase.h"
#include "support/TestSupport.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

constexpr long kHeaderLength = 32 + 5 * 32 + 1;  // kOrderFields
constexpr long kRecordLength = 44;

void Append(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

// Rewrites the record count in the header, as a damaged file would have it.
void SetHeaderCount(const std::string& path, uint32_t count) {
  std::string bytes = ReadFile(path);
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>((count >> (8 * i)) & 0xFF);
  WriteFile(path, bytes);
}

// User and system CPU time of process pid in milliseconds, -1 when unknown.
long long CpuMsOf(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return -1;
  char text[1024] = {};
  const size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';
  // Fields after the command name (which may hold blanks) start past ')'.
  const char* p = strrchr(text, ')');
  if (p == nullptr) return -1;
  unsigned long long utime = 0, stime = 0;
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) {
    return -1;
  }
  return static_cast<long long>((utime + stime) * 1000 / sysconf(_SC_CLK_TCK));
}

struct LyingCount {
  const char* what;
  uint32_t count;                 // the header's, over 10 records held
  std::vector<std::string> from;  // follow's start option
  int printed;                    // records printed before the stop
};

class DbfFollowLyingCountTest : public ::testing::TestWithParam<LyingCount> {};

// No blank line is printed for a record that is not there: the follower
// prints what the file holds and stops, naming both numbers.
TEST_P(DbfFollowLyingCountTest, PrintsTheRecordsHeldAndStops) {
  const LyingCount& c = GetParam();
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  Append(path, Orders(1, 10));
  SetHeaderCount(path, c.count);
  std::vector<std::string> args = {"dbf", "follow", path, "--interval", "5"};
  args.insert(args.end(), c.from.begin(), c.from.end());
  const long long start = NowMs();
  const ToolResult r = RunKestal(args);
  EXPECT_LT(NowMs() - start, 10000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kOrderHeader + Orders(1, c.printed, true));
  const std::string want =
      "header counts " + std::to_string(c.count) + " records but the file holds only 10";
  EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Counts, DbfFollowLyingCountTest,
                         ::testing::Values(LyingCount{"Twenty", 20, {"--from", "1"}, 10},
                                           LyingCount{"TwentyFromTheEnd", 20, {}, 0},
                                           LyingCount{"Largest", 2147483647, {"--from", "1"}, 10},
                                           LyingCount{"LargestFromTheEnd", 2147483647, {}, 0}),
                         [](const ::testing::TestParamInfo<LyingCount>& info) {
                           return std::string(info.param.what);
                         });

// The bridge copies the records the file holds and stops, naming both
// numbers; it copies no record that the file does not hold. Once the file is
// mended and the real records 11 to 20 are appended, a new run copies them
// all: nothing was skipped on the strength of the lying count.
TEST(DbfBridgeDamageTest, HeaderCountBeyondTheRecordsStopsTheBridgeBeforeABlankRow) {
  for (uint32_t count : {20u, 2147483647u}) {
    SCOPED_TRACE(count);
    OrderTables t(Engine::kSqlite);
    Append(t.dbf, Orders(1, 10));
    SetHeaderCount(t.dbf, count);
    const long long start = NowMs();
    const ToolResult r = RunKestal({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "",
                                   "C.UTF-8", -1, t.dir.path());
    EXPECT_LT(NowMs() - start, 20000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("header counts " + std::to_string(count) +
                         " records but the file holds only 10"),
              std::string::npos)
        << r.err;
    ExpectOrdersExactlyOnce(*t.db, 10);  // what the file holds, and no blank row

    SetHeaderCount(t.dbf, 10);
    Append(t.dbf, Orders(11, 10));
    RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "C.UTF-8",
                       t.dir.path(), true);
    EXPECT_TRUE(WaitForOrderRows(*t.db, 20, 20000)) << OrderCount(*t.db);
    EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
    ExpectOrdersExactlyOnce(*t.db, 20);
  }
}

// The file loses its tail, in the middle of a record, while the bridge is
// still copying: it copies the whole records left and stops with both
// numbers.
TEST(DbfBridgeDamageTest, FileCutMidRecordUnderARunningBridge) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 3000));
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--batch", "1", "--interval", "5"},
                     "C.UTF-8", t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 5, 20000));
  // Cut a hundred records ahead of the bridge, inside a record.
  const long held = OrderCount(*t.db) + 100;
  ASSERT_EQ(0, truncate(t.dbf.c_str(), kHeaderLength + held * kRecordLength + 17));
  const long long start = NowMs();
  while (NowMs() - start < 60000) {
    bridge.DrainErr();
    if (bridge.err().find("damaged or cut") != std::string::npos) break;
    usleep(20000);
  }
  const int status = bridge.Stop(SIGTERM);
  EXPECT_EQ(status, 1) << bridge.err();
  EXPECT_NE(bridge.err().find("header counts 3000 records but the file holds only " +
                              std::to_string(held)),
            std::string::npos)
      << bridge.err();
  // Every whole record the file still holds, each once; none blank or partial.
  ExpectOrdersExactlyOnce(*t.db, held);
}

// A file cut inside its header cannot give its count: the follower says so
// once, polls at its interval without spinning, and obeys SIGTERM at once.
TEST(DbfFollowDamageTest, FileCutInsideItsCountCostsLittleCpuAndStopsPromptly) {
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  Append(path, Orders(1, 3));
  RunningTool follow({"dbf", "follow", path, "--from", "1", "--interval", "50"}, "C.UTF-8", "",
                     true);
  ASSERT_EQ(follow.ReadLines(4, 5000), kOrderHeader + Orders(1, 3, true));
  ASSERT_EQ(0, truncate(path.c_str(), 6));
  const long long cpuBefore = CpuMsOf(follow.pid());
  usleep(2000 * 1000);
  const long long cpuAfter = CpuMsOf(follow.pid());
  ASSERT_GE(cpuBefore, 0);
  EXPECT_LT(cpuAfter - cpuBefore, 300);  // a spinning reader uses about 2000
  const long long start = NowMs();
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
  EXPECT_LT(NowMs() - start, 1000);
  follow.DrainErr();
  EXPECT_NE(follow.err().find("reading records failed, retrying"), std::string::npos)
      << follow.err();
  EXPECT_NE(follow.err().find(path), std::string::npos) << follow.err();
  // Reported once, not at every poll.
  EXPECT_EQ(follow.err().find("retrying"), follow.err().rfind("retrying")) << follow.err();
}

// The same for the bridge: it reports the failed count read, polls at its
// interval without spinning, and stops at once on SIGTERM.
TEST(DbfBridgeDamageTest, FileCutInsideItsCountCostsLittleCpuAndStopsPromptly) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 3));
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--interval", "50"}, "C.UTF-8",
                     t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 3, 20000));
  ASSERT_EQ(0, truncate(t.dbf.c_str(), 6));
  usleep(200 * 1000);
  const long long cpuBefore = CpuMsOf(bridge.pid());
  usleep(2000 * 1000);
  const long long cpuAfter = CpuMsOf(bridge.pid());
  ASSERT_GE(cpuBefore, 0);
  EXPECT_LT(cpuAfter - cpuBefore, 300);
  const long long start = NowMs();
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  EXPECT_LT(NowMs() - start, 1000);
  EXPECT_NE(bridge.err().find("cannot read the record count of the file"), std::string::npos)
      << bridge.err();
  ExpectOrdersExactlyOnce(*t.db, 3);
}

// Runs kestal with args as a user who may read but not write path (the
// nobody user when the tests run as root, who could write anyway); stdout
// and stderr go to files in dir. With stop_after_ms >= 0 the process gets
// SIGTERM after that long.
ToolResult RunWithoutWriteAccess(const TempDir& dir, const std::vector<std::string>& args,
                                 int stop_after_ms = -1) {
  const std::string out = dir.File("run.out"), err = dir.File("run.err");
  const pid_t pid = Spawn([&] {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int in = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || in < 0) return 120;
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 121;
    setenv("LC_ALL", "C.UTF-8", 1);
    std::vector<char*> argv = {const_cast<char*>(KestalPath().c_str())};
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    return 127;
  });
  if (stop_after_ms >= 0) {
    usleep(static_cast<useconds_t>(stop_after_ms) * 1000);
    kill(pid, SIGTERM);
  }
  ToolResult r;
  r.status = Wait(pid);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
}

TEST(DbfReadOnlyTest, ReadingCommandsWorkAndAnAppendSaysTheFileIsReadOnly) {
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  Append(path, Orders(1, 3));
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0777));
  ASSERT_EQ(0, chmod(path.c_str(), 0444));
  const std::string before = ReadFile(path);

  const ToolResult info = RunWithoutWriteAccess(dir, {"dbf", "info", path});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Records:        3"), std::string::npos) << info.out;

  const ToolResult cat = RunWithoutWriteAccess(dir, {"dbf", "cat", path});
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, kOrderHeader + Orders(1, 3, true));

  const ToolResult follow =
      RunWithoutWriteAccess(dir, {"dbf", "follow", path, "--from", "2", "--interval", "5"}, 500);
  EXPECT_EQ(follow.status, 0) << follow.err;
  EXPECT_EQ(follow.out, kOrderHeader + Orders(2, 2, true));

  const ToolResult append = RunWithoutWriteAccess(dir, {"dbf", "append", path});
  EXPECT_EQ(append.status, 1);
  EXPECT_NE(append.err.find("is read-only"), std::string::npos) << append.err;
  EXPECT_NE(append.err.find("appending needs write access"), std::string::npos) << append.err;
  EXPECT_EQ(before, ReadFile(path));

  // A folder is not taken for a read-only file.
  const ToolResult folder = RunKestal({"dbf", "append", dir.path()});
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find(strerror(EISDIR)), std::string::npos) << folder.err;
  EXPECT_EQ(folder.err.find("read-only"), std::string::npos) << folder.err;
}

// The bridge reads the table file without asking for write access to it.
TEST(DbfReadOnlyTest, BridgeCopiesFromAFileItMayNotWrite) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 3));
  // The database stays writable for the unprivileged user; the file does not.
  const std::string db = t.db->FilePath();
  const std::string dbDir = db.substr(0, db.rfind('/'));
  ASSERT_EQ(0, chmod(dbDir.c_str(), 0777));
  for (const std::string& f : {db, db + "-wal", db + "-shm"}) chmod(f.c_str(), 0666);
  ASSERT_EQ(0, chmod(t.dir.path().c_str(), 0777));
  ASSERT_EQ(0, chmod(t.dbf.c_str(), 0444));
  const ToolResult r =
      RunWithoutWriteAccess(t.dir, {"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, 1500);
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectOrdersExactlyOnce(*t.db, 3);
}

// A one-field table whose value is empty: cat writes "" for it, append
// takes it back, and no record goes missing on the way.
TEST(DbfOneFieldTest, EmptyValuesSurviveCatIntoAppend) {
  TempDir dir;
  const std::string from = dir.File("from.dbf"), to = dir.File("to.dbf");
  CreateTable(from, "NOTE:C:5");
  CreateTable(to, "NOTE:C:5");
  const ToolResult fill = RunKestal({"dbf", "append", from}, "a\n\"\"\n\"\"\nb\n\"\"\n");
  ASSERT_EQ(fill.status, 0) << fill.err;
  ASSERT_EQ(HeaderCount(from), 5u);
  const ToolResult cat = RunKestal({"dbf", "cat", from});
  ASSERT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, "NOTE\na\n\"\"\n\"\"\nb\n\"\"\n");
  const ToolResult copy = RunKestal({"dbf", "append", to}, cat.out);
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_EQ(HeaderCount(to), 5u);
  EXPECT_EQ(RunKestal({"dbf", "cat", to}).out, cat.out);
}

}  // namespace
}  // namespace kestal::test
