// kestal bridge --create-table, --map/--ignore and --check on SQLite and
// PostgreSQL: the created table's types as the engine's own catalog lists
// them, its rec_num index, a second run that finds it; renamed and left-out
// fields, and bad field maps as usage errors naming them; the plan of
// --check for good and bad setups, with nothing copied or created.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return EngineLabel(info.param);
}

bool OnSqlite(TestDatabase& db) {
  return Backend(db.engine()) == Engine::kSqlite;
}

void AppendTo(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

// A table that is not orders: OrderTables wants one.
constexpr const char* kOtherTable = "create table unrelated (x int)";

// Each column of orders with its type, as the engine's catalog spells it.
std::vector<std::vector<std::string>> ColumnsOf(TestDatabase& db) {
  if (OnSqlite(db)) {
    return db.Query("select name, lower(type) from pragma_table_info('orders') order by cid");
  }
  return db.Query(
      "select attname, format_type(atttypid, atttypmod) from pg_attribute where attrelid = "
      "'orders'::regclass and attnum > 0 and not attisdropped order by attnum");
}

long RecNumIndexes(TestDatabase& db) {
  return std::stol(OnSqlite(db)
                       ? db.Scalar("select count(*) from sqlite_master where type = 'index' and "
                                   "tbl_name = 'orders' and sql like '%(rec_num)%'")
                       : db.Scalar("select count(*) from pg_indexes where tablename = 'orders' "
                                   "and indexdef like '%(rec_num)%'"));
}

bool OrdersExists(TestDatabase& db) {
  return OnSqlite(db)
             ? db.Scalar("select count(*) from sqlite_master where name = 'orders'") == "1"
             : db.Scalar("select count(*) from pg_tables where tablename = 'orders'") == "1";
}

ToolResult Bridge(const OrderTables& t, const std::vector<std::string>& extra,
                  const std::string& dbf = "") {
  std::vector<std::string> args = {"bridge", dbf.empty() ? t.dbf : dbf, t.conn, "orders"};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunKestal(args, "", "C.UTF-8", -1, t.dir.path());
}

class BridgeSchemaTest : public ::testing::TestWithParam<Engine> {};

TEST_P(BridgeSchemaTest, CreateTableFromTheHeaderThenFindIt) {
  OrderTables t(GetParam(), kOtherTable);
  const std::string dbf = t.dir.File("typed.dbf");
  CreateTable(dbf, "STOCK:C:6,QTY:N:8,BIG:N:12,PX:N:10:3,F:F:12:2,D:D:8,L:L:1,SKIP:C:4");
  AppendTo(dbf,
           "600001,100,123456789012,1.5,2.25,20260101,T,x\n600002,200,3,-2.125,1,20260102,F,y\n");
  const std::vector<std::string> extra = {"--create-table", "--map", "STOCK=code", "--ignore",
                                          "SKIP"};
  {
    std::vector<std::string> args = {"bridge", dbf, t.conn, "orders", "--interval", "5"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunningTool bridge(args, "C.UTF-8", t.dir.path(), true);
    ASSERT_TRUE(WaitForOrderRows(*t.db, 2, 20000));
    EXPECT_EQ(bridge.Stop(SIGTERM), 0);
    EXPECT_NE(bridge.err().find("created the table: create table orders (rec_num int, code "
                                "varchar(6), qty int, big numeric(12,0), px numeric(10,3), f "
                                "float, d char(8), l char(1)); create index orders_rec_num on "
                                "orders (rec_num)"),
              std::string::npos)
        << bridge.err();
  }
  const bool sqlite = Backend(GetParam()) == Engine::kSqlite;
  const std::vector<std::vector<std::string>> want = {
      {"rec_num", sqlite ? "int" : "integer"},
      {"code", sqlite ? "varchar(6)" : "character varying(6)"},
      {"qty", sqlite ? "int" : "integer"},
      {"big", "numeric(12,0)"},
      {"px", "numeric(10,3)"},
      {"f", sqlite ? "float" : "double precision"},
      {"d", sqlite ? "char(8)" : "character(8)"},
      {"l", sqlite ? "char(1)" : "character(1)"}};
  EXPECT_EQ(ColumnsOf(*t.db), want);
  EXPECT_EQ(RecNumIndexes(*t.db), 1);
  EXPECT_EQ(t.db->Query("select rec_num, code, qty, big, l from orders order by rec_num"),
            (std::vector<std::vector<std::string>>{{"1", "600001", "100", "123456789012", "T"},
                                                   {"2", "600002", "200", "3", "F"}}));

  // A second run finds the table: nothing is created, the copy goes on.
  AppendTo(dbf, "600003,300,4,0,0,20260103,T,z\n");
  std::vector<std::string> args = {"bridge", dbf, t.conn, "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunningTool again(args, "C.UTF-8", t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 3, 20000));
  EXPECT_EQ(again.Stop(SIGTERM), 0);
  EXPECT_EQ(again.err().find("created"), std::string::npos) << again.err();
  EXPECT_EQ(RecNumIndexes(*t.db), 1);
  EXPECT_EQ(t.db->Scalar("select count(*) from orders"), "3");
}

TEST_P(BridgeSchemaTest, MapAndIgnoreSendFieldsToOtherColumns) {
  OrderTables t(GetParam(),
                "create table orders (rec_num int, 代码 varchar(6), side char(1), qty int)");
  // A column named in Chinese, given in the terminal's UTF-8.
  AppendTo(t.dbf, Orders(1, 3));
  RunningTool bridge({"bridge", t.dbf, t.conn, "orders", "--interval", "5", "--map", "stock=代码",
                      "--map", "BS=side", "--ignore", "NOTE"},
                     "C.UTF-8", t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 3, 20000));
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  EXPECT_EQ(
      t.db->Query("select rec_num, 代码, side, qty from orders order by rec_num"),
      (std::vector<std::vector<std::string>>{
          {"1", "601001", "B", "100"}, {"2", "601002", "S", "200"}, {"3", "601003", "B", "300"}}));
}

TEST_P(BridgeSchemaTest, BadFieldMapsAreUsageErrorsNamingThem) {
  OrderTables t(GetParam());
  AppendTo(t.dbf, Orders(1, 2));
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--map", "NOPE=stock"}, "--map NOPE=stock: the file has no field NOPE"},
      {{"--map", "NOTE=memo"}, "--map NOTE=memo: the table has no column memo"},
      {{"--map", "STOCK=qty"}, "column qty is the target of both field STOCK and field QTY"},
      {{"--map", "STOCK"}, "option '--map' wants FILE_FIELD=COLUMN, not 'STOCK'"},
      {{"--map", "=stock"}, "option '--map' wants FILE_FIELD=COLUMN, not '=stock'"},
      {{"--map", "STOCK=stock", "--ignore", "stock"}, "field stock is given twice"},
      {{"--ignore", "MISSING"}, "--ignore MISSING: the file has no field MISSING"},
  };
  for (const Case& c : cases) {
    const ToolResult r = Bridge(t, c.args);
    EXPECT_EQ(r.status, 2) << c.message << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    // The same under --check: the bridge would not run.
    std::vector<std::string> check = c.args;
    check.push_back("--check");
    const ToolResult k = Bridge(t, check);
    EXPECT_EQ(k.status, 1) << c.message << "\n" << k.err;
    EXPECT_NE(k.err.find(c.message), std::string::npos) << k.err;
    EXPECT_EQ(k.out, "the bridge would not run\n");
  }
  // An ignored field whose column exists leaves the column without a field.
  const ToolResult r = Bridge(t, {"--ignore", "NOTE"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("column note has no field in the table file"), std::string::npos) << r.err;
  EXPECT_EQ(OrderCount(*t.db), 0);
}

TEST_P(BridgeSchemaTest, CheckPrintsThePlanAndCopiesNothing) {
  OrderTables t(GetParam(),
                "create table orders (rec_num int, stock varchar(6), bs char(1), qty int)");
  AppendTo(t.dbf, Orders(1, 5));
  t.db->Exec("insert into orders values (1, '601001', 'B', 100)");
  t.db->Exec("insert into orders values (2, '601002', 'S', 200)");
  const ToolResult r = Bridge(t, {"--check", "--ignore", "NOTE", "--batch", "50"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "file: " + t.dbf +
                       ", 5 records\n"
                       "table: orders\n"
                       "fields:\n"
                       "  REC_NUM    N(8)     -> rec_num int\n"
                       "  STOCK      C(6)     -> stock varchar(6)\n"
                       "  BS         C(1)     -> bs char(1)\n"
                       "  QTY        N(8)     -> qty int\n"
                       "  NOTE       C(20)    (not copied)\n"
                       "unmapped fields: NOTE\n"
                       "resume point: 2\n"
                       "records waiting: 3\n"
                       "mode: 0 (INSERT statements), batch 50\n"
                       "refused records: stop the bridge\n"
                       "the bridge would run\n");
  EXPECT_EQ(OrderCount(*t.db), 2);

  // A missing table: without --create-table the bridge would not run; with
  // it the statement is shown and the table is still not created.
  t.db->Exec("drop table orders");
  ToolResult k = Bridge(t, {"--check"});
  EXPECT_EQ(k.status, 1) << k.err;
  EXPECT_NE(k.err.find("the database has no table 'orders'"), std::string::npos) << k.err;
  k = Bridge(t, {"--check", "--create-table", "--reject", t.dir.File("rejects.tsv")});
  EXPECT_EQ(k.status, 0) << k.err;
  EXPECT_NE(k.out.find("table: orders (missing; --create-table creates it)\n"), std::string::npos)
      << k.out;
  EXPECT_NE(k.out.find("  NOTE       C(20)    -> note varchar(20)\n"), std::string::npos) << k.out;
  EXPECT_NE(k.out.find("records waiting: 5\n"), std::string::npos) << k.out;
  EXPECT_NE(k.out.find("create: create table orders (rec_num int, stock varchar(6), bs "
                       "varchar(1), qty int, note varchar(20)); create index orders_rec_num on "
                       "orders (rec_num)\n"),
            std::string::npos)
      << k.out;
  EXPECT_FALSE(OrdersExists(*t.db));
  EXPECT_NE(access(t.dir.File("rejects.tsv").c_str(), F_OK), 0) << "the reject file was created";

  // A missing file, and a table another bridge copies into.
  k = Bridge(t, {"--check"}, t.dir.File("none.dbf"));
  EXPECT_EQ(k.status, 1) << k.err;
  t.db->Exec(kOrderTableSql);
  RunningTool running({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "C.UTF-8",
                      t.dir.path(), true);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 5, 20000));
  k = Bridge(t, {"--check"});
  if (IsOdbc(GetParam())) {  // no claim through ODBC: the check says so and passes
    EXPECT_EQ(k.status, 0) << k.err;
    EXPECT_NE(k.err.find("the table cannot be claimed on this engine"), std::string::npos) << k.err;
  } else {
    EXPECT_EQ(k.status, 1) << k.err;
    EXPECT_NE(k.err.find("another bridge is copying into orders"), std::string::npos) << k.err;
  }
  EXPECT_EQ(running.Stop(SIGTERM), 0);
  // Once it stopped, the check passes and leaves the claim free.
  k = Bridge(t, {"--check"});
  EXPECT_EQ(k.status, 0) << k.err;
  EXPECT_NE(k.out.find("records waiting: 0\n"), std::string::npos) << k.out;
  RunningTool after({"bridge", t.dbf, t.conn, "orders", "--interval", "5"}, "C.UTF-8", t.dir.path(),
                    true);
  usleep(300000);
  EXPECT_EQ(after.Stop(SIGTERM), 0) << after.err();
}

// The statement --create-table would run, by field list: the type choices at
// their edges, and names no engine takes unquoted.
TEST(BridgeCreateTableTest, StatementForEachFieldLayout) {
  OrderTables t(Engine::kSqlite, kOtherTable);
  struct Case {
    const char* fields;
    std::vector<std::string> extra;
    bool runs;
    const char* want;  // part of the create line, or the reason on stderr
  };
  const Case cases[] = {
      {"A:N:9", {}, true, "create table orders (rec_num int, a int)"},
      {"A:N:10", {}, true, "create table orders (rec_num int, a numeric(10,0))"},
      {"A:N:5:3,B:N:20:2", {}, true, "(rec_num int, a numeric(5,3), b numeric(20,2))"},
      {"REC_NUM:C:8,A:C:1", {}, true, "create table orders (rec_num int, a varchar(1))"},
      {"A:C:3,B:D:8", {"--map", "A=rec_num"}, true, "create table orders (rec_num int, b char(8))"},
      {"A:C:3", {"--map", "A=two words"}, false, "the column name 'two words' of field A"},
      {"A:C:3", {"--table", "or-ders"}, false, "wants a table name of letters, digits and '_'"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dbf = t.dir.File("t" + std::to_string(++n) + ".dbf");
    CreateTable(dbf, c.fields);
    std::vector<std::string> args = {"bridge", dbf, t.conn, "orders", "--check", "--create-table"};
    if (!c.extra.empty() && c.extra[0] == "--table") {
      args[3] = c.extra[1];
    } else {
      args.insert(args.end(), c.extra.begin(), c.extra.end());
    }
    const ToolResult r = RunKestal(args, "", "C.UTF-8", -1, t.dir.path());
    const std::string& where = c.runs ? r.out : r.err;
    EXPECT_EQ(r.status, c.runs ? 0 : 1) << c.fields << "\n" << r.err;
    EXPECT_NE(where.find(c.want), std::string::npos) << c.fields << "\n" << where;
  }
  EXPECT_FALSE(OrdersExists(*t.db));
}

// A table ahead of the file, and a reject file the bridge could not write:
// the check says the bridge would not run, as the bridge would stop at start.
TEST(BridgeCheckTest, WouldNotRunWhereTheBridgeWouldStop) {
  OrderTables t(Engine::kSqlite);
  AppendTo(t.dbf, Orders(1, 2));
  t.db->Exec("insert into orders values (10, '601010', 'S', 1000, 'order 10')");
  ToolResult r = Bridge(t, {"--check"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("the table already holds rec_num 10 but the file has only 2 records"),
            std::string::npos)
      << r.err;
  t.db->Exec("delete from orders");
  r = Bridge(t, {"--check", "--reject", "/dev/full"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("is not a regular file"), std::string::npos) << r.err;
  r = Bridge(t, {"--check", "--reject", t.dir.path()});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("cannot open the reject file '" + t.dir.path() + "': Is a directory"),
            std::string::npos)
      << r.err;
}

// The options of a configuration file's bridges: arrays for --map and
// --ignore, a reject file, --create-table; each bridge's plan in one piece.
TEST(BridgeCheckTest, ConfigFileBridgesAreCheckedEach) {
  OrderTables t(Engine::kSqlite);
  AppendTo(t.dbf, Orders(1, 3));
  const std::string config = t.dir.File("bridges.toml");
  {
    std::ofstream out(config);
    out << "connect = \"" << t.conn << "\"\nfile = \"" << t.dbf << "\"\n"
        << "[bridge.kept]\ntable = \"orders\"\nreject = \"" << t.dir.File("r.tsv") << "\"\n"
        << "[bridge.fresh]\ntable = \"fresh\"\ncreate-table = true\n"
        << "map = [\"STOCK=code\"]\nignore = [\"NOTE\"]\n";
  }
  chmod(config.c_str(), 0600);
  const ToolResult r =
      RunKestal({"bridge", "--config", config, "--check"}, "", "C.UTF-8", -1, t.dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  const size_t kept = r.out.find("bridge: kept\nfile: ");
  const size_t fresh = r.out.find("bridge: fresh\nfile: ");
  ASSERT_NE(kept, std::string::npos) << r.out;
  ASSERT_NE(fresh, std::string::npos) << r.out;
  const std::string plan = r.out.substr(fresh, kept > fresh ? kept - fresh : std::string::npos);
  EXPECT_NE(plan.find("  STOCK      C(6)     -> code varchar(6)\n"), std::string::npos) << plan;
  EXPECT_NE(plan.find("unmapped fields: NOTE\n"), std::string::npos) << plan;
  EXPECT_NE(plan.find("create: create table fresh (rec_num int, code varchar(6), bs varchar(1), "
                      "qty int); create index fresh_rec_num on fresh (rec_num)\n"),
            std::string::npos)
      << plan;
  EXPECT_NE(r.out.find("refused records: set aside in " + t.dir.File("r.tsv")), std::string::npos)
      << r.out;
  EXPECT_EQ(t.db->Scalar("select count(*) from sqlite_master where name = 'fresh'"), "0");
}

INSTANTIATE_TEST_SUITE_P(Engines, BridgeSchemaTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
