// kestal bridge on SQLite: copying and resuming in each mode, and every way
// it refuses to start or stops: missing file, bad connection string, unknown
// table, bad field lists, a table ahead of the file, values a column cannot
// carry, and a record the database keeps refusing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Runs the bridge until the table holds n rows, then stops it with SIGTERM;
// returns its stderr.
std::string BridgeUntil(OrderTables& t, long n, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"bridge", t.dbf, t.conn, "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunningTool bridge(args, "C.UTF-8", t.dir.path(), true);
  EXPECT_TRUE(WaitForOrderRows(*t.db, n, 20000)) << OrderCount(*t.db);
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  return bridge.err();
}

class BridgeModeTest : public ::testing::TestWithParam<int> {};

TEST_P(BridgeModeTest, CopiesWhatIsThereThenWhatIsAppended) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 30));
  const std::string mode = std::to_string(GetParam());
  RunningTool bridge(
      {"bridge", t.dbf, t.conn, "orders", "--mode", mode, "--batch", "7", "--interval", "5"},
      "C.UTF-8", t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 30, 20000));
  Append(t.dbf, Orders(31, 20));
  ASSERT_TRUE(WaitForOrderRows(*t.db, 50, 20000));
  EXPECT_EQ(bridge.Stop(SIGTERM), 0);
  // Not a terminal: no status line, only the closing line.
  EXPECT_EQ(bridge.err(),
            "kestal bridge: stopped; 50 records copied in this run, 50 of 50 in the table\n");
  ExpectOrdersExactlyOnce(*t.db, 50);
  struct stat st {};
  EXPECT_EQ(stat(t.dir.File("log/OrderTemp_WTK.txt").c_str(), &st) == 0, GetParam() == 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, BridgeModeTest, ::testing::Values(0, 1, 2));

TEST(BridgeTest, RestartGoesOnAfterTheHighestRecNum) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 10));
  BridgeUntil(t, 10);
  Append(t.dbf, Orders(11, 5));
  const std::string err = BridgeUntil(t, 15);
  EXPECT_NE(err.find("stopped; 5 records copied in this run, 15 of 15"), std::string::npos) << err;
  ExpectOrdersExactlyOnce(*t.db, 15);
}

TEST(BridgeTest, BulkLoadSendsValuesWithCommasAsStatements) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, ",600000,B,100,\"one, two\"\n,600001,S,200,plain\n");
  const std::string err = BridgeUntil(t, 2, {"--mode", "2", "--load-name", "T1"});
  EXPECT_NE(err.find("record 1 holds a comma"), std::string::npos) << err;
  const auto rows = OrderRows(*t.db);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][4], "one, two");
  EXPECT_EQ(rows[1][4], "plain");
}

TEST(BridgeTest, ColumnsLeftOutOfInsertsNeedNoField) {
  OrderTables t(Engine::kSqlite,
                "create table orders (rec_num int, stock varchar(6), stamp varbinary(8), bs "
                "char(1), qty int, note varchar(20))");
  Append(t.dbf, Orders(1, 3));
  BridgeUntil(t, 3);
  ExpectOrdersExactlyOnce(*t.db, 3);
}

TEST(BridgeTest, StatusLineOnATerminal) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 40));
  // script(1) gives the bridge a terminal, and ends it after a second and a half.
  const std::string command = "timeout -s INT 1.5 script -qfec \"'" + KestalPath() + "' bridge '" +
                              t.dbf + "' '" + t.conn + "' orders --interval 20\" /dev/null";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  EXPECT_NE(out.find("\r\033[K40 copied, "), std::string::npos) << out;
  EXPECT_NE(out.find(" records/s, lag 0"), std::string::npos) << out;
  ExpectOrdersExactlyOnce(*t.db, 40);
}

// --- refusals -----------------------------------------------------------

ToolResult RunBridge(OrderTables& t, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"bridge", t.dbf, t.conn, "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunKestal(args, "", "C.UTF-8", -1, t.dir.path());
}

void ExpectError(const ToolResult& r, const std::string& text) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
}

TEST(BridgeErrorTest, MissingFile) {
  OrderTables t(Engine::kSqlite);
  t.dbf = t.dir.File("nosuch.dbf");
  ExpectError(RunBridge(t), "cannot open table file");
}

TEST(BridgeErrorTest, BadConnectionStrings) {
  OrderTables t(Engine::kSqlite);
  for (const std::string& conn :
       {std::string("Provider=Nothing;Data Source=x"),
        "Provider=SQLite;Data Source=" + t.dir.File("none.db"), std::string("Provider=SQLite")}) {
    t.conn = conn;
    ExpectError(RunBridge(t), "cannot connect to the database");
  }
  t.conn = "no equals sign";
  EXPECT_EQ(RunBridge(t).status, 2);
}

TEST(BridgeErrorTest, UnknownTable) {
  OrderTables t(Engine::kSqlite);
  const ToolResult r = RunKestal({"bridge", t.dbf, t.conn, "nosuch"});
  ExpectError(r, "the database has no table 'nosuch'");
}

TEST(BridgeErrorTest, FileFieldWithoutColumn) {
  OrderTables t(Engine::kSqlite,
                "create table orders (rec_num int, stock varchar(6), bs char(1), qty int)");
  ExpectError(RunBridge(t), "bad field list: field NOTE has no column in the table");
}

TEST(BridgeErrorTest, ColumnWithoutFileField) {
  OrderTables t(Engine::kSqlite,
                "create table orders (rec_num int, stock varchar(6), bs char(1), qty int, note "
                "varchar(20), price decimal(10,2), cjsj char(8))");
  const ToolResult r = RunBridge(t);
  ExpectError(
      r, "bad field list: column price has no field in the table file; column cjsj has no field");
}

TEST(BridgeErrorTest, NoIntRecNumColumn) {
  OrderTables a(Engine::kSqlite,
                "create table orders (stock varchar(6), bs char(1), qty int, note varchar(20))");
  ExpectError(RunBridge(a),
              "field REC_NUM has no column in the table; the table has no int column rec_num");
  OrderTables b(Engine::kSqlite,
                "create table orders (rec_num varchar(8), stock varchar(6), bs char(1), qty int, "
                "note varchar(20))");
  ExpectError(RunBridge(b), "column rec_num is not an int column");
}

TEST(BridgeErrorTest, TableAheadOfTheFile) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 3));
  t.db->Exec("insert into orders values (9, '600000', 'B', 1, 'x')");
  ExpectError(RunBridge(t), "already holds rec_num 9 but the file has only 3 records");
  EXPECT_EQ(OrderCount(*t.db), 1);
}

TEST(BridgeErrorTest, RecNumThatIsNotThePosition) {
  OrderTables t(Engine::kSqlite);
  const ToolResult a = RunKestal({"dbf", "append", t.dbf}, Orders(1, 2, true) + Orders(7, 1, true));
  ASSERT_EQ(a.status, 0) << a.err;
  const ToolResult r = RunBridge(t);
  ExpectError(r, "record 3, column rec_num: REC_NUM is '7' in the table file");
  // The records before it are copied.
  ExpectOrdersExactlyOnce(*t.db, 2);
}

TEST(BridgeErrorTest, FractionInAnIntColumn) {
  OrderTables t(Engine::kSqlite);
  // A file whose QTY field keeps a decimal.
  t.dbf = t.dir.File("decimal.dbf");
  CreateTable(t.dbf, "REC_NUM:N:8,STOCK:C:6,BS:C:1,QTY:N:8:1,NOTE:C:20");
  Append(t.dbf, ",600000,B,12.5,x\n");
  ExpectError(RunBridge(t), "record 1, column qty: '12.5' is not a whole number");
  EXPECT_EQ(OrderCount(*t.db), 0);
}

TEST(BridgeErrorTest, RecordTheDatabaseKeepsRefusing) {
  OrderTables t(Engine::kSqlite,
                "create table orders (rec_num int, stock varchar(6), bs char(1), qty int check "
                "(qty <> 700), note varchar(20))");
  Append(t.dbf, Orders(1, 12));
  const ToolResult r = RunBridge(t, {"--batch", "5"});
  ExpectError(r, "record 7 is refused by the database");
  EXPECT_NE(r.err.find("sending its records one by one"), std::string::npos) << r.err;
  // The engine's own reason comes with it.
  EXPECT_NE(r.err.find("CHECK constraint failed"), std::string::npos) << r.err;
  ExpectOrdersExactlyOnce(*t.db, 6);
}

// A batch goes to the database as one statement or one load; one refused
// record in its middle must still be found and reported alone, on each
// engine and in both batch forms, with every record before it copied once.
class BridgeRefusedRecordTest : public ::testing::TestWithParam<std::tuple<Engine, int>> {};

TEST_P(BridgeRefusedRecordTest, RecordInTheMiddleOfABatchIsFoundAndReported) {
  const auto [engine, mode] = GetParam();
  OrderTables t(engine,
                "create table orders (rec_num int, stock varchar(6), bs char(1), qty int check "
                "(qty <> 1300), note varchar(20))");
  Append(t.dbf, Orders(1, 30));
  const ToolResult r = RunBridge(t, {"--batch", "10", "--mode", std::to_string(mode)});
  ExpectError(r, "record 13 is refused by the database");
  EXPECT_NE(r.err.find("sending its records one by one"), std::string::npos) << r.err;
  ExpectOrdersExactlyOnce(*t.db, 12);
}

INSTANTIATE_TEST_SUITE_P(EnginesAndModes, BridgeRefusedRecordTest,
                         ::testing::Combine(::testing::Values(Engine::kSqlite, Engine::kPostgres),
                                            ::testing::Values(0, 2)));

TEST(BridgeErrorTest, TwoBridgesIntoOneTable) {
  OrderTables t(Engine::kSqlite);
  RunningTool first({"bridge", t.dbf, t.conn, "orders", "--mode", "2"}, "C.UTF-8", t.dir.path());
  usleep(300000);
  // Another load name does not make it another table.
  const ToolResult r = RunBridge(t, {"--mode", "2", "--load-name", "B2"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("another bridge is copying into orders"), std::string::npos) << r.err;
  EXPECT_EQ(RunBridge(t, {"--mode", "2", "--load-name", "B2", "--bogus"}).status, 2);
  EXPECT_EQ(first.Stop(SIGTERM), 0);
}

TEST(BridgeTest, TwoBulkLoadersWithOneTagInOneFolderTakeTurns) {
  OrderTables t(Engine::kSqlite);
  t.db->Exec(
      "create table orders2 (rec_num int, stock varchar(6), bs char(1), qty int, "
      "note varchar(20))");
  Append(t.dbf, Orders(1, 300));
  std::vector<std::string> common = {"--mode", "2", "--batch", "3", "--interval", "5"};
  std::vector<std::string> a = {"bridge", t.dbf, t.conn, "orders"};
  std::vector<std::string> b = {"bridge", t.dbf, t.conn, "orders2"};
  a.insert(a.end(), common.begin(), common.end());
  b.insert(b.end(), common.begin(), common.end());
  RunningTool first(a, "C.UTF-8", t.dir.path());
  RunningTool second(b, "C.UTF-8", t.dir.path());
  ASSERT_TRUE(WaitForOrderRows(*t.db, 300, 60000));
  for (int i = 0; i < 600 && t.db->Scalar("select count(*) from orders2") != "300"; ++i) {
    usleep(100000);
  }
  EXPECT_EQ(first.Stop(SIGTERM), 0);
  EXPECT_EQ(second.Stop(SIGTERM), 0);
  ExpectOrdersExactlyOnce(*t.db, 300);
  EXPECT_EQ("300", t.db->Scalar("select count(distinct rec_num) from orders2"));
  EXPECT_EQ("300", t.db->Scalar("select count(*) from orders2"));
}

TEST(BridgeErrorTest, WrongUsage) {
  OrderTables t(Engine::kSqlite);
  for (const auto& extra : std::vector<std::vector<std::string>>{{"--mode", "3"},
                                                                 {"--batch", "0"},
                                                                 {"--batch", "501"},
                                                                 {"--load-name", "../x"},
                                                                 {"--load-name", ""},
                                                                 {"--interval", "-1"},
                                                                 {"extra"}}) {
    const ToolResult r = RunBridge(t, extra);
    EXPECT_EQ(r.status, 2) << extra[0] << r.err;
  }
  EXPECT_EQ(RunKestal({"bridge", t.dbf, t.conn}).status, 2);
}

}  // namespace
}  // namespace kestal::test
