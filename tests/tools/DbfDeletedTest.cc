// Records marked deleted: dbf info counts them, dbf cat and the bridge copy
// them by default and leave them out under --deleted skip, where the bridge
// keeps each one's position as a hole in rec_num, so that resuming (also
// after kill -9, also with a skipped record last) copies every other record
// exactly once.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/DbfFileTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

void Append(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

// The rec_num values of orders, in order.
std::vector<long> RecNums(TestDatabase& db) {
  std::vector<long> out;
  for (const auto& row : db.Query("select rec_num from orders order by rec_num")) {
    out.push_back(std::stol(row[0]));
  }
  return out;
}

// 1..n without the numbers in holes.
std::vector<long> Without(long n, const std::set<long>& holes) {
  std::vector<long> out;
  for (long i = 1; i <= n; ++i) {
    if (holes.count(i) == 0) out.push_back(i);
  }
  return out;
}

// Runs a bridge until the table holds rows rows, stops it as signal says,
// and returns its stderr.
std::string BridgeUntil(OrderTables& t, long rows, const std::vector<std::string>& extra,
                        int signal = SIGTERM) {
  std::vector<std::string> args = {"bridge", t.dbf, t.conn, "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunningTool bridge(args, "C.UTF-8", t.dir.path(), true);
  EXPECT_TRUE(WaitForOrderRows(*t.db, rows, 20000)) << OrderCount(*t.db);
  const int status = bridge.Stop(signal);
  if (signal == SIGTERM) {
    EXPECT_EQ(status, 0) << bridge.err();
  }
  return bridge.err();
}

TEST(DbfDeletedTest, InfoCountsAndCatCopiesOrSkips) {
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  Append(path, Orders(1, 6));
  MarkDeleted(path, 2);
  MarkDeleted(path, 6);
  const ToolResult info = RunKestal({"dbf", "info", path});
  EXPECT_NE(info.out.find("Deleted:        2 (marked '*')\n"), std::string::npos) << info.out;

  const std::string all = kOrderHeader + Orders(1, 6, true);
  EXPECT_EQ(RunKestal({"dbf", "cat", path}).out, all);
  EXPECT_EQ(RunKestal({"dbf", "cat", path, "--deleted", "copy"}).out, all);
  const std::string kept = kOrderHeader + Orders(1, 1, true) + Orders(3, 3, true);
  EXPECT_EQ(RunKestal({"dbf", "cat", path, "--deleted", "skip"}).out, kept);
  // --from and --limit count records by position, deleted ones included.
  EXPECT_EQ(RunKestal({"dbf", "cat", path, "--deleted", "skip", "--from", "2", "--limit", "2"}).out,
            kOrderHeader + Orders(3, 1, true));
  const ToolResult bad = RunKestal({"dbf", "cat", path, "--deleted", "drop"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("option '--deleted' wants copy or skip, not 'drop'"), std::string::npos)
      << bad.err;
}

TEST(DbfDeletedTest, InfoCountsNoneInAFreshFile) {
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  CreateTable(path);
  EXPECT_NE(RunKestal({"dbf", "info", path}).out.find("Deleted:        0 (marked '*')\n"),
            std::string::npos);
}

TEST(BridgeDeletedTest, CopyIsTheDefault) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 5));
  MarkDeleted(t.dbf, 3);
  BridgeUntil(t, 5, {});
  ExpectOrdersExactlyOnce(*t.db, 5);
}

struct SkipCase {
  const char* label;
  Engine engine;
  int mode;
  int batch;
};

class BridgeSkipTest : public ::testing::TestWithParam<SkipCase> {};

// Deleted records inside a batch, a batch of deleted records only, and a
// deleted record last before a restart: the holes stay, nothing repeats.
TEST_P(BridgeSkipTest, HolesStayAndResumingCopiesTheRestOnce) {
  const SkipCase& c = GetParam();
  OrderTables t(c.engine);
  Append(t.dbf, Orders(1, 10));
  for (long n : {2L, 5L, 6L, 7L, 10L}) MarkDeleted(t.dbf, n);
  const std::vector<std::string> args = {
      "--deleted", "skip", "--mode", std::to_string(c.mode), "--batch", std::to_string(c.batch)};
  std::string err = BridgeUntil(t, 5, args);
  EXPECT_EQ(RecNums(*t.db), Without(10, {2, 5, 6, 7, 10}));
  EXPECT_NE(err.find("5 records marked deleted were left out"), std::string::npos) << err;

  // Record 10, deleted, was the last: the next run starts after 9, looks at
  // 10 again, skips it again, and copies what came since.
  Append(t.dbf, Orders(11, 4));
  MarkDeleted(t.dbf, 12);
  err = BridgeUntil(t, 8, args);
  EXPECT_EQ(RecNums(*t.db), Without(14, {2, 5, 6, 7, 10, 12}));
  const auto rows = OrderRows(*t.db);
  EXPECT_EQ(rows.back()[4], "order 14");
}

std::string SkipName(const ::testing::TestParamInfo<SkipCase>& i) {
  return std::string(EngineLabel(i.param.engine)) + i.param.label;
}

INSTANTIATE_TEST_SUITE_P(Sqlite, BridgeSkipTest,
                         ::testing::Values(SkipCase{"Mode0", Engine::kSqlite, 0, 500},
                                           SkipCase{"Mode0Batch3", Engine::kSqlite, 0, 3},
                                           SkipCase{"Mode2", Engine::kSqlite, 2, 500},
                                           SkipCase{"Mode2Batch3", Engine::kSqlite, 2, 3}),
                         SkipName);
#ifndef KESTAL_TESTS_SQLITE_ONLY
INSTANTIATE_TEST_SUITE_P(Postgres, BridgeSkipTest,
                         ::testing::Values(SkipCase{"Mode0Batch3", Engine::kPostgres, 0, 3},
                                           SkipCase{"Mode2Batch3", Engine::kPostgres, 2, 3}),
                         SkipName);
#endif

// Killed with -9 repeatedly while it copies a file with deleted records: each
// restart resumes after the highest rec_num, and every record not deleted
// arrives once.
TEST(BridgeDeletedTest, SkipSurvivesKillNine) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 3000));
  std::set<long> holes;
  for (long n = 7; n <= 3000; n += 7) holes.insert(n);
  holes.insert(3000);
  for (long n : holes) MarkDeleted(t.dbf, n);
  const long want = 3000 - static_cast<long>(holes.size());
  for (int round = 0; round < 4 && OrderCount(*t.db) < want; ++round) {
    RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--deleted", "skip", "--batch", "50",
                        "--interval", "5"},
                       "C.UTF-8", t.dir.path(), true);
    WaitForOrderRows(*t.db, OrderCount(*t.db) + 200, 20000);
    bridge.Stop(SIGKILL);
  }
  // Records added now leave the last run work to do whatever the killed runs
  // copied, so that it is stopped only once it runs (and handles SIGTERM).
  Append(t.dbf, Orders(3001, 100));
  BridgeUntil(t, want + 100, {"--deleted", "skip"});
  EXPECT_EQ(RecNums(*t.db), Without(3100, holes));
}

TEST(BridgeDeletedTest, SkipIsRefusedWithServerNumbering) {
  OrderTables t(Engine::kSqlite);
  const ToolResult r =
      RunKestal({"bridge", t.dbf, t.conn, "orders", "--deleted", "skip", "--mode", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("'--deleted skip' wants --mode 0 or 2"), std::string::npos) << r.err;
  const ToolResult bad = RunKestal({"bridge", t.dbf, t.conn, "orders", "--deleted", "no"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("option '--deleted' wants copy or skip, not 'no'"), std::string::npos);
}

}  // namespace
}  // namespace kestal::test
