// The kestal commands as a user meets them: errors that stop and say why
// (a filter the database refuses, connection strings with a slip in them),
// sql follow catching up under a narrow filter and telling both keys on
// stop, sql exec printing rows, dbf append writing numbers with the field's
// decimals, dbf follow telling where to resume, and old option spellings
// that still work with a notice.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kSqlite ? "sqlite" : "postgres";
}

// n orders numbered 1 to n, inserted in one statement of the engine's own.
void FillOrders(TestDatabase& db, int n) {
  const std::string rows = db.engine() == Engine::kSqlite
                               ? "with recursive s(n) as (select 1 union all select n + 1 from s "
                                 "where n < " +
                                     std::to_string(n) + ") select n, '600000', 'B', n, 'x' from s"
                               : "select n, '600000', 'B', n, 'x' from generate_series(1, " +
                                     std::to_string(n) + ") as n";
  db.Exec("insert into orders (rec_num, stock, bs, qty, note) " + rows);
}

class FollowEngineTest : public ::testing::TestWithParam<Engine> {};

// A filter the database refuses used to read as a lost connection, for
// ever; it stops at once with the database's reason.
TEST_P(FollowEngineTest, BadFilterStopsWithTheDatabaseReason) {
  auto db = TestDatabase::Create(GetParam());
  db->Exec(kOrderTableSql);
  FillOrders(*db, 3);
  for (const char* filter : {"nosuchcol=1", "qty >"}) {
    SCOPED_TRACE(filter);
    RunningTool follow({"sql", "follow", db->ConnectionString(), "orders", "--filter", filter},
                       "C.UTF-8", "", true);
    const long long start = NowMs();
    const int status = follow.Wait();
    follow.DrainErr();
    EXPECT_EQ(status, 1) << follow.err();
    EXPECT_LT(NowMs() - start, 15000);
    EXPECT_NE(follow.err().find("the database refuses the statement: "), std::string::npos)
        << follow.err();
    EXPECT_EQ(follow.err().find("reconnected"), std::string::npos) << follow.err();
    if (std::string(filter) == "nosuchcol=1") {
      EXPECT_NE(follow.err().find("nosuchcol"), std::string::npos) << follow.err();
    }
  }
}

// Windows in which nothing meets the filter are passed over without the
// pause, which is kept for the table's end; on stop both keys are told.
TEST_P(FollowEngineTest, CatchesUpUnderANarrowFilterAndTellsBothKeys) {
  auto db = TestDatabase::Create(GetParam());
  db->Exec(kOrderTableSql);
  FillOrders(*db, 5000);
  // 50 windows of 100; at a 3 s pause per window this would take minutes.
  RunningTool follow({"sql", "follow", db->ConnectionString(), "orders", "--filter",
                      "rec_num = 2 or rec_num = 4990", "--interval", "3000"},
                     "C.UTF-8", "", true);
  const std::string& out = follow.ReadLines(3, 20000);
  EXPECT_EQ(out, "rec_num,stock,bs,qty,note\n2,600000,B,2,x\n4990,600000,B,4990,x\n");
  usleep(300000);
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
  EXPECT_NE(follow.err().find("last key delivered: 4990; scanned up to key 5000 (resume with "
                              "--after 5000)"),
            std::string::npos)
      << follow.err();
}

// A change answers with the rows it changed, also none, as psql does; the
// library's own answer stays for other statements.
TEST_P(FollowEngineTest, SqlExecTellsTheRowsAChangeChanged) {
  auto db = TestDatabase::Create(GetParam());
  db->Exec(kOrderTableSql);
  FillOrders(*db, 3);
  const std::string conn = db->ConnectionString();
  struct Case {
    const char* statement;
    const char* out;
  };
  const Case cases[] = {
      {"update orders set qty = 0 where rec_num > 100", "UPDATE 0\n"},
      {"update orders set qty = qty + 1 where rec_num >= 2", "UPDATE 2\n"},
      {"insert into orders (rec_num, stock) values (9, '600009')", "INSERT 1\n"},
      {"delete from orders", "DELETE 4\n"},
      {"create table other (a int)", "成功\n"},
  };
  for (const Case& c : cases) {
    const ToolResult r = RunKestal({"sql", "exec", conn, c.statement});
    EXPECT_EQ(r.status, 0) << c.statement << r.err;
    EXPECT_EQ(r.out, c.out) << c.statement;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, FollowEngineTest, ::testing::ValuesIn(kNativeEngines), EngineName);

TEST(SqlExecVoiceTest, QueriesPrintRowsAndEmptyStatementsAreWrongUsage) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  FillOrders(*db, 2);
  const std::string conn = db->ConnectionString();
  ToolResult r = RunKestal({"sql", "exec", conn, "select rec_num, note, null as n from orders"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "rec_num,note,n\n1,x,\n2,x,\n");
  r = RunKestal({"sql", "exec", conn, "select nosuch from orders"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nosuch"), std::string::npos) << r.err;
  for (const char* empty : {"", "  ", " ; "}) {
    r = RunKestal({"sql", "exec", conn, empty});
    EXPECT_EQ(r.status, 2) << empty;
    EXPECT_NE(r.err.find("the statement is empty"), std::string::npos) << r.err;
  }
}

TEST(ConnectStringVoiceTest, SlipsAreAnsweredBeforeConnecting) {
  TempDir dir;
  const std::string db = dir.File("orders.db");
  struct Case {
    std::string conn;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"Provider=SQLite;Data Source=" + db + ";Pasword=x", 2,
       "unknown key 'Pasword'; SQLite knows Provider, Data Source, Database, Create, Mode"},
      {"Provider=PostgreSQL;Server=h;Foo=1;Database=d", 2, "unknown key 'Foo'"},
      {"host=127.0.0.1 port=5432 dbname=orders", 2,
       "is a libpq connection string; write it as 'Provider=PostgreSQL;Server=HOST"},
      {"postgresql://u@h/d", 2, "is a libpq connection string"},
      {"Provider=SQLite;Data Source=" + db, 1, "does not exist; add ;Create=yes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conn);
    const ToolResult r = RunKestal({"sql", "exec", c.conn, "select 1"});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  // libpq's own keywords pass through on purpose: the key check lets them by
  // (the server named is not there, so the connection fails).
  const ToolResult pass = RunKestal(
      {"sql", "exec", "Provider=PostgreSQL;Server=127.0.0.1;Port=1;sslmode=disable", "select 1"});
  EXPECT_EQ(pass.status, 1) << pass.err;
  EXPECT_NE(pass.err.find("cannot connect"), std::string::npos) << pass.err;
  // The reason comes first, the status after it.
  EXPECT_EQ(pass.err.find("status 8"), pass.err.rfind("(status 8") + 1) << pass.err;
  // A read command leaves no empty database behind.
  const ToolResult info =
      RunKestal({"sql", "info", "Provider=SQLite;Data Source=" + db + ";Create=yes", "orders"});
  EXPECT_EQ(info.status, 1) << info.err;
  struct stat st {};
  EXPECT_NE(stat(db.c_str(), &st), 0);
}

TEST(DbfVoiceTest, InfoOfAMissingFileSaysWhy) {
  const ToolResult r = RunKestal({"dbf", "info", "/nonexistent/nope.dbf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open table file '/nonexistent/nope.dbf': No such file or directory"),
            std::string::npos)
      << r.err;
}

// The bytes of record index (0-based) of the table file at path.
std::string RecordBytes(const std::string& path, int index) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t head = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9])
                                                                 << 8;
  const size_t length =
      static_cast<unsigned char>(bytes[10]) | static_cast<unsigned char>(bytes[11]) << 8;
  return bytes.substr(head + length * static_cast<size_t>(index), length);
}

TEST(DbfVoiceTest, AppendWritesTheFieldsDecimalsAndRefusesMore) {
  TempDir dir;
  const std::string path = dir.File("p.dbf");
  CreateTable(path, "REC_NUM:N:8,PRICE:N:10:3");
  ToolResult r = RunKestal({"dbf", "append", path, "--numbered"}, ",12.5\n,-.25\n,1.2300\n,7\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "4 records appended\n");
  EXPECT_EQ(RecordBytes(path, 0), "        1    12.500");
  EXPECT_EQ(RecordBytes(path, 1), "        2    -0.250");
  EXPECT_EQ(RecordBytes(path, 2), "        3     1.230");
  EXPECT_EQ(RecordBytes(path, 3), "        4     7.000");
  r = RunKestal({"dbf", "append", path, "--numbered"}, ",1.23456\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'1.23456' has 5 decimals, the field keeps 3"), std::string::npos) << r.err;
  // Under numbering a REC_NUM of the input's own is refused, not replaced.
  r = RunKestal({"dbf", "append", path, "--numbered"}, "5,1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'5' given, but --numbered numbers the records itself"), std::string::npos)
      << r.err;
  EXPECT_EQ(HeaderCount(path), 4u);
}

TEST(DbfVoiceTest, FollowTellsWhereToResumeOnStop) {
  TempDir dir;
  const std::string path = dir.File("o.dbf");
  CreateTable(path);
  ASSERT_EQ(RunKestal({"dbf", "append", path, "--numbered"}, Orders(1, 3)).status, 0);
  RunningTool follow({"dbf", "follow", path, "--from", "2"}, "C.UTF-8", "", true);
  follow.ReadLines(3, 5000);
  EXPECT_EQ(follow.Stop(SIGINT), 0);
  EXPECT_NE(follow.err().find("stopped; last record printed: 3 (resume with --from 4)"),
            std::string::npos)
      << follow.err();
}

TEST(OldSpellingTest, RenamedOptionsWorkWithANotice) {
  TempDir dir;
  const std::string path = dir.File("o.dbf");
  CreateTable(path);
  const ToolResult a = RunKestal({"dbf", "append", path, "--tag", "WTK"}, Orders(1, 2));
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_NE(a.err.find("'--tag' is now '--numbered'"), std::string::npos) << a.err;
  EXPECT_EQ(HeaderCount(path), 2u);
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  FillOrders(*db, 3);
  RunningTool follow(
      {"sql", "follow", db->ConnectionString(), "orders", "--from", "1", "--tag", "CJK"}, "C.UTF-8",
      "", true);
  EXPECT_EQ(follow.ReadLines(3, 10000),
            "rec_num,stock,bs,qty,note\n2,600000,B,2,x\n3,600000,B,3,x\n");
  EXPECT_EQ(follow.Stop(SIGTERM), 0);
  EXPECT_NE(follow.err().find("'--from' is now '--after'"), std::string::npos) << follow.err();
  EXPECT_NE(follow.err().find("'--tag' is now '--key'"), std::string::npos) << follow.err();
  // One wording for every bad option value.
  const ToolResult bad =
      RunKestal({"sql", "follow", db->ConnectionString(), "orders", "--after", "x"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("option '--after' wants a whole number, not 'x'"), std::string::npos)
      << bad.err;
}

}  // namespace
}  // namespace kestal::test
