// kestal bridge on every engine: values judged by the column's declared type
// (text longer than its storage width, decimals, dates, ranges, character
// lengths), trimmed text, columns no insert fills, the claim that keeps a
// second bridge off a table (also after the first is killed with -9), and
// the lag it keeps counting while the database is lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

// A table file and a table with one column of each kind the bridge judges.
constexpr const char* kTypedFields =
    "REC_NUM:N:8,NOTE:C:60,PRICE:N:14:3,D:D:8,QTY:N:12,V:C:10,C:C:6,BIG:N:15";
constexpr const char* kTypedTable =
    "create table orders (rec_num int, note text, price decimal(10,3), d date, qty int, "
    "v varchar(5), c char(4), big bigint)";

struct Typed {
  explicit Typed(Engine engine, const std::string& table_sql = kTypedTable) : t(engine, table_sql) {
    CreateTable(file, kTypedFields);
  }
  OrderTables t;
  std::string file = t.dir.File("typed.dbf");
};

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kSqlite ? "sqlite" : "postgres";
}

void AppendTo(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

// Runs the bridge from file into orders until the table holds n rows.
std::string BridgeInto(OrderTables& t, const std::string& file, long n,
                       const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"bridge", file, t.conn, "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunningTool bridge(args, "C.UTF-8", t.dir.path(), true);
  EXPECT_TRUE(WaitForOrderRows(*t.db, n, 20000)) << OrderCount(*t.db);
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  return bridge.err();
}

class BridgeValueTest : public ::testing::TestWithParam<Engine> {};

// The values the storage widths used to cut or refuse go in unchanged.
TEST_P(BridgeValueTest, ValuesThatFitTheirDeclaredTypeGoInUnchanged) {
  Typed x(GetParam());
  AppendTo(x.file,
           ",这是一个比较长的备注文本超过十六字节,123456.789,20240105,2147483647,买入买入,ab,"
           "9000000000\n"
           ",备注1,-0.5,20240229,-7,ab,abcd,0\n");
  BridgeInto(x.t, x.file, 2);
  const auto rows =
      x.t.db->Query("select note, price, d, qty, v, big from orders order by rec_num");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], "这是一个比较长的备注文本超过十六字节");
  EXPECT_EQ(rows[0][1], "123456.789");
  EXPECT_EQ(rows[0][2], "2024-01-05");
  EXPECT_EQ(rows[0][3], "2147483647");
  EXPECT_EQ(rows[0][4], "买入买入");
  EXPECT_EQ(rows[0][5], "9000000000");
  // SQLite keeps a decimal as a number, PostgreSQL with its scale.
  EXPECT_EQ(rows[1][1], GetParam() == Engine::kSqlite ? "-0.5" : "-0.500");
  EXPECT_EQ(rows[1][2], "2024-02-29");
  // Trailing blanks are gone: an equality test finds the text as typed.
  EXPECT_EQ(x.t.db->Scalar("select count(*) from orders where note = '备注1' and v = 'ab'"), "1");
}

// Each value that does not fit stops the bridge naming record, column and
// reason; nothing is cut, and the records before it are copied.
TEST_P(BridgeValueTest, ValuesThatDoNotFitAreRefusedWithTheReason) {
  struct Case {
    const char* record;
    const char* reason;
  };
  const Case cases[] = {
      {",x,1,20240105,1,abcdef,a,1\n", "column v: 'abcdef' has 6 characters; varchar(5) holds 5"},
      {",x,1,20240105,1,a,abcde,1\n", "column c: 'abcde' has 5 characters; char(4) holds 4"},
      {",x,12345678.5,20240105,1,a,a,1\n", "column price: '12345678.500' has 8 digits before"},
      {",x,1,20240230,1,a,a,1\n", "column d: '20240230' is not a date"},
      {",x,1,20240105,3000000000,a,a,1\n", "column qty: '3000000000' is out of the range of int"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    Typed x(GetParam());
    AppendTo(x.file, ",ok,1,20240105,1,a,a,1\n" + std::string(c.record));
    const ToolResult r = RunKestal({"bridge", x.file, x.t.conn, "orders", "--interval", "5"}, "",
                                   "C.UTF-8", -1, x.t.dir.path());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("record 2, " + std::string(c.reason)), std::string::npos) << r.err;
    EXPECT_EQ(OrderCount(*x.t.db), 1);
  }
}

// A logical field goes into a bit column (boolean on PostgreSQL) as 1 or 0.
TEST_P(BridgeValueTest, LogicalFieldsGoIntoBitColumns) {
  const bool sqlite = GetParam() == Engine::kSqlite;
  OrderTables t(GetParam(), std::string("create table orders (rec_num int, ok ") +
                                (sqlite ? "bit" : "boolean") + ")");
  const std::string file = t.dir.File("flags.dbf");
  CreateTable(file, "REC_NUM:N:8,OK:L:1");
  AppendTo(file, ",T\n,F\n,Y\n,\n");
  BridgeInto(t, file, 4);
  const auto rows = t.db->Query("select ok from orders order by rec_num");
  ASSERT_EQ(rows.size(), 4u);
  const std::string yes = sqlite ? "1" : "t";
  const std::string no = sqlite ? "0" : "f";
  EXPECT_EQ(rows[0][0], yes);
  EXPECT_EQ(rows[1][0], no);
  EXPECT_EQ(rows[2][0], yes);
  EXPECT_EQ(rows[3][0], no);  // blank is 0
}

TEST_P(BridgeValueTest, KeepPaddingKeepsTheBlanksTheColumnHolds) {
  Typed x(GetParam());
  AppendTo(x.file, ",note,1,20240105,1,ab,a,1\n");
  BridgeInto(x.t, x.file, 1, {"--keep-padding"});
  // V is C:10, the column varchar(5): the blanks beyond five characters go.
  EXPECT_EQ(x.t.db->Scalar("select v from orders"), "ab   ");
}

TEST_P(BridgeValueTest, ColumnsNoInsertFillsAreListedAtStart) {
  OrderTables probe(GetParam());
  const std::string stamp = VarbinaryDdl(probe.db->traits(), 8);
  OrderTables t(GetParam(), "create table orders (rec_num int, stock varchar(6), stamp " + stamp +
                                ", bs char(1), qty int, note varchar(20))");
  AppendTo(t.dbf, Orders(1, 2));
  const std::string err = BridgeInto(t, t.dbf, 2);
  EXPECT_NE(err.find("column stamp ("), std::string::npos) << err;
  EXPECT_NE(err.find("is left out of every insert"), std::string::npos) << err;
  ExpectOrdersExactlyOnce(*t.db, 2);
}

// Two bridges on one table: the second refuses at once with its own exit
// status; once the first is killed with -9, its claim is gone and a new
// bridge copies on without a duplicate.
TEST_P(BridgeValueTest, SecondBridgeIsRefusedAlsoUntilTheFirstIsKilled) {
  OrderTables t(GetParam());
  AppendTo(t.dbf, Orders(1, 40));
  RunningTool first({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "C.UTF-8", t.dir.path(),
                    true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 40, 20000));
  const long long start = NowMs();
  const ToolResult second =
      RunKestal({"bridge", t.dbf, t.conn, "orders"}, "", "C.UTF-8", -1, t.dir.path());
  EXPECT_EQ(second.status, 3) << second.err;
  EXPECT_NE(second.err.find("another bridge is copying into orders"), std::string::npos)
      << second.err;
  EXPECT_LT(NowMs() - start, 10000);
  // Another table of the same database is not claimed.
  t.db->Exec(
      "create table orders2 (rec_num int, stock varchar(6), bs char(1), qty int, note "
      "varchar(20))");
  RunningTool other({"bridge", t.dbf, t.conn, "orders2", "--interval", "5"}, "C.UTF-8",
                    t.dir.path(), true);
  usleep(500000);
  EXPECT_EQ(other.Stop(SIGTERM), 0) << other.err();

  first.Stop(SIGKILL);
  AppendTo(t.dbf, Orders(41, 10));
  // The server notices the closed connection at once; give it a moment.
  int status = -1;
  for (int i = 0; i < 50 && status != 0; ++i) {
    RunningTool again({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "C.UTF-8",
                      t.dir.path(), true);
    if (!WaitForOrderRows(*t.db, 50, 3000)) {
      usleep(100000);
      continue;
    }
    status = again.Stop(SIGTERM);
  }
  EXPECT_EQ(status, 0);
  ExpectOrdersExactlyOnce(*t.db, 50);
}

INSTANTIATE_TEST_SUITE_P(Engines, BridgeValueTest, ::testing::ValuesIn(kNativeEngines), EngineName);

// While the database is lost the bridge still reads the file's count: the
// lag it reports keeps growing with the file.
TEST(BridgeOutageTest, FileCountIsReadWhileTheDatabaseIsLost) {
  OrderTables t(Engine::kPostgres);
  AppendTo(t.dbf, Orders(1, 10));
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--interval", "20"}, "C.UTF-8",
                     t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 10, 20000));
  t.db->TakeOffline();
  AppendTo(t.dbf, Orders(11, 50));
  usleep(1500000);
  const int status = bridge.Stop(SIGTERM);
  t.db->BringOnline();
  EXPECT_EQ(status, 0) << bridge.err();
  EXPECT_NE(bridge.err().find("the database cannot be reached"), std::string::npos) << bridge.err();
  EXPECT_NE(bridge.err().find("10 of 60 in the table"), std::string::npos) << bridge.err();
}

}  // namespace
}  // namespace kestal::test
