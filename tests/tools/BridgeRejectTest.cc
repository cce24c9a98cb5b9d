// kestal bridge --reject: records the database refuses for good (a CHECK
// constraint it keeps raising, a value its column cannot hold) go to the
// reject file once each, the others arrive once each, also when the last
// record before a stop was refused and across kill -9; without --reject the
// first such record still stops the bridge.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ObserveTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

// Refuses qty 300 by constraint; a smallint cannot hold 40000.
constexpr const char* kCheckedTable =
    "create table orders (rec_num int, stock varchar(6), bs char(1), qty smallint check (qty <> "
    "300), note varchar(20))";

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return EngineLabel(info.param);
}

void AppendTo(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The whole lines of the reject file: position -> fields, counting repeats.
struct RejectLines {
  std::map<long, int> count;
  std::map<long, std::vector<std::string>> fields;
};

RejectLines ReadRejects(const std::string& path) {
  RejectLines out;
  std::istringstream in(ReadAll(path));
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // no line feed: cut short
    std::vector<std::string> f;
    std::stringstream ls(line);
    std::string field;
    while (std::getline(ls, field, '\t')) f.push_back(field);
    if (f.size() != 5) continue;
    const long position = std::stol(f[0]);
    ++out.count[position];
    out.fields[position] = f;
  }
  return out;
}

// Runs the bridge until the table holds n rows and waits settle_ms more,
// then stops it with SIGTERM; returns its stderr.
std::string BridgeUntil(OrderTables& t, long n, const std::vector<std::string>& extra,
                        int settle_ms = 300) {
  std::vector<std::string> args = {"bridge", t.dbf, t.conn, "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunningTool bridge(args, "C.UTF-8", t.dir.path(), true);
  EXPECT_TRUE(WaitForOrderRows(*t.db, n, 30000)) << OrderCount(*t.db);
  usleep(static_cast<useconds_t>(settle_ms) * 1000);
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  return bridge.err();
}

std::vector<std::string> RecNums(TestDatabase& db) {
  std::vector<std::string> out;
  for (const auto& row : OrderRows(db)) out.push_back(row[0]);
  return out;
}

class BridgeRejectTest : public ::testing::TestWithParam<Engine> {};

TEST_P(BridgeRejectTest, RefusedRecordsAreSetAsideOnceAndTheRestArrive) {
  OrderTables t(GetParam(), kCheckedTable);
  const std::string rejects = t.dir.File("rejects.tsv");
  // Record 3 breaks the constraint and is the last one at the first stop.
  AppendTo(t.dbf, Orders(1, 3));
  std::string err = BridgeUntil(t, 2, {"--reject", rejects, "--batch", "50"}, 1500);
  EXPECT_NE(err.find("record 3 is set aside in the reject file"), std::string::npos) << err;
  EXPECT_NE(err.find("1 records set aside"), std::string::npos) << err;
  RejectLines lines = ReadRejects(rejects);
  ASSERT_EQ(lines.count.size(), 1u) << ReadAll(rejects);
  EXPECT_EQ(lines.count[3], 1);
  const std::vector<std::string>& f = lines.fields[3];
  EXPECT_EQ(f[2], "orders");
  EXPECT_EQ(f[3].size(), 2u * 44) << "deletion flag and 43 bytes of fields, in hex";
  EXPECT_EQ(f[3].substr(0, 2), "20");
  EXPECT_NE(f[4].find("refused by the database"), std::string::npos) << f[4];

  // The table's highest rec_num is 2: a restart must not refuse record 3
  // again. A line cut short by a kill is cut off.
  { std::ofstream(rejects, std::ios::app) << "9\t2026-01-01T00:00:00Z\torders\t2020"; }
  // Record 6 holds a value a smallint cannot hold.
  AppendTo(t.dbf, Orders(4, 2) + ",600006,S,40000,order 6\n" + Orders(7, 2));
  err = BridgeUntil(t, 6, {"--reject", rejects}, 1000);
  EXPECT_EQ(err.find("record 3 is set aside"), std::string::npos) << err;
  EXPECT_NE(err.find("record 6, column qty"), std::string::npos) << err;
  lines = ReadRejects(rejects);
  EXPECT_EQ(lines.count, (std::map<long, int>{{3, 1}, {6, 1}})) << ReadAll(rejects);
  EXPECT_EQ(RecNums(*t.db), (std::vector<std::string>{"1", "2", "4", "5", "7", "8"}));
  EXPECT_EQ(ReadAll(rejects).find("2026-01-01T00:00:00Z"), std::string::npos) << ReadAll(rejects);
  EXPECT_EQ(ReadAll(rejects).back(), '\n');

  // A third run finds nothing to do and logs nothing.
  err = BridgeUntil(t, 6, {"--reject", rejects});
  EXPECT_NE(err.find("0 records copied in this run, 8 of 8"), std::string::npos) << err;
  EXPECT_EQ(ReadRejects(rejects).count, lines.count);
}

// The records set aside are counted where operators look: the metrics.
TEST_P(BridgeRejectTest, RefusedRecordsAreCountedInTheMetrics) {
  OrderTables t(GetParam(), kCheckedTable);
  const std::string rejects = t.dir.File("rejects.tsv");
  AppendTo(t.dbf, Orders(1, 2) + ",600003,S,300,order 3\n" + Orders(4, 2));
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--interval", "5", "--reject", rejects,
                      "--metrics", "127.0.0.1:0"},
                     "C.UTF-8", t.dir.path(), true);
  const std::string address = WaitForMetricsAddress(bridge, 30000);
  ASSERT_FALSE(address.empty()) << bridge.err();
  ASSERT_TRUE(WaitForOrderRows(*t.db, 4, 30000)) << OrderCount(*t.db);
  const std::string refused = "kestal_bridge_records_refused_total{bridge=\"orders\"}";
  double seen = -1;
  for (int i = 0; i < 250 && seen != 1; ++i) {  // set by the step that set the record aside
    const std::map<std::string, double> m = ParseMetrics(HttpGet(address, "/metrics").body);
    seen = m.count(refused) != 0 ? m.at(refused) : -1;
    if (seen != 1) usleep(20000);
  }
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  EXPECT_EQ(ReadRejects(rejects).count, (std::map<long, int>{{3, 1}})) << ReadAll(rejects);
}

TEST_P(BridgeRejectTest, WithoutRejectFileTheFirstRefusedRecordStops) {
  OrderTables t(GetParam(), kCheckedTable);
  AppendTo(t.dbf, Orders(1, 5));
  const ToolResult r = RunKestal({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "",
                                 "C.UTF-8", -1, t.dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("record 3 is refused by the database again and again"), std::string::npos)
      << r.err;
  EXPECT_EQ(RecNums(*t.db), (std::vector<std::string>{"1", "2"}));
}

TEST_P(BridgeRejectTest, ALineForAnotherFileIsNotSkipped) {
  OrderTables t(GetParam(), kCheckedTable);
  const std::string rejects = t.dir.File("rejects.tsv");
  // A line left from another day's file names position 2 with other bytes.
  {
    std::ofstream(rejects) << "2\t2026-01-01T00:00:00Z\torders\t" << std::string(88, 'a')
                           << "\tx\n";
  }
  AppendTo(t.dbf, Orders(1, 2));
  const std::string err = BridgeUntil(t, 2, {"--reject", rejects});
  EXPECT_NE(err.find("names record 2, but the file holds another record there"), std::string::npos)
      << err;
  ExpectOrdersExactlyOnce(*t.db, 2);
}

TEST_P(BridgeRejectTest, UnwritableRejectFileStopsAtStart) {
  OrderTables t(GetParam(), kCheckedTable);
  AppendTo(t.dbf, Orders(1, 2));
  const std::string path = t.dir.File("missing/rejects.tsv");
  const ToolResult r = RunKestal({"bridge", t.dbf, t.conn, "orders", "--reject", path}, "",
                                 "C.UTF-8", -1, t.dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot open the reject file '" + path + "': No such file or directory"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(OrderCount(*t.db), 0);
}

// The reject file cannot take a line (the file-size limit met midway, as on
// a full disk): the bridge stops naming the file and the reason, and the next
// run cuts the unfinished line, logs the record in full and goes on. On
// PostgreSQL only: the limit would stop an SQLite database file as well.
TEST(BridgeRejectFaultTest, UnwritableLineStopsAndTheNextRunLogsItOnce) {
  OrderTables t(Engine::kPostgres, kCheckedTable);
  const std::string rejects = t.dir.File("rejects.tsv");
  AppendTo(t.dbf, Orders(1, 5));
  const ToolResult r = RunKestal(
      {"bridge", t.dbf, t.conn, "orders", "--interval", "5", "--reject", rejects, "--batch", "1"},
      "", "C.UTF-8", 100, t.dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot write the reject file '" + rejects + "': File too large"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(RecNums(*t.db), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(ReadAll(rejects).size(), 100u);

  BridgeUntil(t, 4, {"--reject", rejects});
  EXPECT_EQ(RecNums(*t.db), (std::vector<std::string>{"1", "2", "4", "5"}));
  EXPECT_EQ(ReadRejects(rejects).count, (std::map<long, int>{{3, 1}})) << ReadAll(rejects);
  EXPECT_EQ(ReadAll(rejects).substr(0, 2), "3\t");
}

TEST(BridgeRejectFaultTest, DeviceOrPipeIsRefused) {
  OrderTables t(Engine::kSqlite, kCheckedTable);
  AppendTo(t.dbf, Orders(1, 2));
  const ToolResult r = RunKestal({"bridge", t.dbf, t.conn, "orders", "--reject", "/dev/full"}, "",
                                 "C.UTF-8", -1, t.dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("the reject file '/dev/full' is not a regular file"), std::string::npos)
      << r.err;
  EXPECT_EQ(OrderCount(*t.db), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, BridgeRejectTest, ::testing::ValuesIn(kAllEngines), EngineName);

// kill -9 at random moments while refused records come and go: every good
// record arrives once, every refused one is logged once, in whole lines.
struct KillCase {
  Engine engine;
  int mode;
};

std::string KillCaseName(const ::testing::TestParamInfo<KillCase>& info) {
  return std::string(info.param.engine == Engine::kSqlite ? "sqlite" : "postgres") + "_mode" +
         std::to_string(info.param.mode);
}

class BridgeRejectKillSlowTest : public ::testing::TestWithParam<KillCase> {};

TEST_P(BridgeRejectKillSlowTest, EachRecordOnceInTheTableOrTheRejectFile) {
  // Every 25th order (qty a multiple of 2500) breaks the constraint.
  // Mode 1 numbers records on the server: a batch after a hole must not.
  OrderTables t(GetParam().engine,
                "create table orders (rec_num int, stock varchar(6), bs char(1), qty int check "
                "(qty % 2500 <> 0), note varchar(20))");
  t.db->Exec("create index orders_rec_num on orders (rec_num)");
  const std::string rejects = t.dir.File("rejects.tsv");
  auto args = [&](int batch) {
    return std::vector<std::string>{
        "bridge",     t.dbf,   t.conn,    "orders",
        "--reject",   rejects, "--batch", std::to_string(batch),
        "--interval", "2",     "--mode",  std::to_string(GetParam().mode)};
  };
  std::mt19937 random(4321 + GetParam().mode);
  RunningTool writer({"dbf", "append", t.dbf, "--numbered"});
  constexpr int kBurst = 200;
  int written = 0;
  int landed = 0;  // kills that found records not yet handled
  for (int round = 0; round < 6 || (landed < 2 && round < 18); ++round) {
    RunningTool bridge(args(1 + static_cast<int>(random() % 40)), "C.UTF-8", t.dir.path());
    const long before = OrderCount(*t.db);
    writer.Write(Orders(written + 1, kBurst));
    written += kBurst;
    WaitForOrderRows(*t.db, before + 1, 5000);
    usleep(static_cast<useconds_t>(random() % 30000));
    EXPECT_EQ(bridge.Stop(SIGKILL), 128 + SIGKILL);
    if (OrderCount(*t.db) + static_cast<long>(ReadRejects(rejects).count.size()) < written) {
      ++landed;
    }
  }
  ASSERT_EQ(writer.Wait(), 0);
  EXPECT_GE(landed, 2) << "too few kills landed while the bridge was copying";

  const long good = written - written / 25;
  RunningTool last(args(500), "C.UTF-8", t.dir.path());
  EXPECT_TRUE(WaitForOrderRows(*t.db, good, 180000)) << OrderCount(*t.db);
  const long long end = NowMs() + 60000;
  while (static_cast<long>(ReadRejects(rejects).count.size()) < written / 25 && NowMs() < end) {
    usleep(50000);
  }
  usleep(200000);
  EXPECT_EQ(last.Stop(SIGTERM), 0);

  std::vector<std::string> want;
  std::map<long, int> want_rejects;
  for (long i = 1; i <= written; ++i) {
    if (i % 25 == 0) {
      want_rejects[i] = 1;
    } else {
      want.push_back(std::to_string(i));
    }
  }
  EXPECT_EQ(RecNums(*t.db), want);
  EXPECT_EQ(ReadRejects(rejects).count, want_rejects);
}

INSTANTIATE_TEST_SUITE_P(
    Engines, BridgeRejectKillSlowTest,
    ::testing::Values(KillCase{Engine::kSqlite, 0}, KillCase{Engine::kSqlite, 1},
                      KillCase{Engine::kSqlite, 2}, KillCase{Engine::kPostgres, 0},
                      KillCase{Engine::kPostgres, 1}, KillCase{Engine::kPostgres, 2}),
    KillCaseName);

}  // namespace
}  // namespace kestal::test
