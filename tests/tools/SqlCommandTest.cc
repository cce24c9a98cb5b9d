// kestal sql info, exec and follow against real databases: output, and the
// error paths (missing database, bad connection string, unknown table,
// missing key column, refused statements, lost connections).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ToolRunner.h"

namespace kestal::test {
namespace {

void ExpectError(const ToolResult& r, const std::string& text) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

void InsertOrders(TestDatabase& db, const std::vector<int>& keys) {
  for (int k : keys) {
    db.Exec("insert into orders values (" + std::to_string(k) + ", '60000" +
            std::to_string(k % 10) + "', '" + (k % 2 ? "B" : "S") + "', " +
            std::to_string(100 * k) + ", '订单 " + std::to_string(k) + "')");
  }
}

TEST(SqlInfoTest, ShowsTheFieldTableAndRowCount) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 2, 3});
  const ToolResult r = RunKestal({"sql", "info", db->ConnectionString(), "orders"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Rows:           3\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Record length:  43\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  1  rec_num                 56  int          8       0  int\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  5  note                    39  text        20      23  varchar(20)\n"),
            std::string::npos)
      << r.out;
}

TEST(SqlInfoTest, ErrorPaths) {
  TempDir dir;
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  ExpectError(
      RunKestal({"sql", "info", "Provider=SQLite;Data Source=" + dir.File("none.db"), "orders"}),
      "(status 80004005); the database file");
  ExpectError(RunKestal({"sql", "info", "Provider=Oracle;Data Source=x", "orders"}),
              "cannot connect to the database");
  const ToolResult bad = RunKestal({"sql", "info", "Data Source='unterminated", "orders"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unterminated quoted value"), std::string::npos) << bad.err;
  ExpectError(RunKestal({"sql", "info", db->ConnectionString(), "nosuch"}),
              "the database has no table 'nosuch'");
  EXPECT_EQ(RunKestal({"sql", "info", db->ConnectionString()}).status, 2);
  EXPECT_EQ(RunKestal({"sql", "info", db->ConnectionString(), "orders", "x"}).status, 2);
}

// A table name typed in the terminal's encoding reaches the library as table
// text (GBK): 誠 is D5 5C there, with a backslash for its second byte.
TEST(SqlInfoTest, TableNameInTheTerminalEncoding) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec("create table t誠 (id int, name varchar(10))");
  db->Exec("insert into t誠 values (1, 'x')");
  const ToolResult r = RunKestal({"sql", "info", db->ConnectionString(), "t誠"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Rows:           1\n"), std::string::npos) << r.out;
  ExpectError(RunKestal({"sql", "info", db->ConnectionString(), "t誡"}),
              "the database has no table 't誡'");
}

TEST(SqlExecTest, AnswersAndFailures) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  const std::string conn = db->ConnectionString();
  ToolResult r = RunKestal({"sql", "exec", conn, kOrderTableSql});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "成功\n");
  r = RunKestal({"sql", "exec", conn, "insert into orders values (1, '600000', 'B', 5, '买入')"});
  EXPECT_EQ(r.out, "INSERT 1\n");
  EXPECT_EQ(db->Scalar("select note from orders"), "买入");
  EXPECT_EQ(RunKestal({"sql", "exec", conn, "select * from orders"}).out,
            "rec_num,stock,bs,qty,note\n1,600000,B,5,买入\n");

  r = RunKestal({"sql", "exec", conn, "insert into nosuch values (1)"});
  ExpectError(r, "kestal sql exec: -");
  EXPECT_NE(r.err.find("nosuch"), std::string::npos) << r.err;
  ExpectError(
      RunKestal({"sql", "exec", "Provider=SQLite;Data Source=/nonexistent/x.db", "select 1"}),
      "cannot connect to the database");
  // Text the table code page lacks is refused before anything is sent.
  ExpectError(
      RunKestal({"sql", "exec", conn, "insert into orders (note) values ('\xF0\x9F\x98\x80')"}),
      "code page");
  EXPECT_EQ(RunKestal({"sql", "exec", conn}).status, 2);
}

// A follower on orders, with stderr captured.
std::unique_ptr<RunningTool> Follow(TestDatabase& db, const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"sql",    "follow",     db.ConnectionString(),
                                   "orders", "--interval", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  return std::make_unique<RunningTool>(args, "C.UTF-8", "", true);
}

TEST(SqlFollowTest, PrintsRowsAsTheyArriveAndTheLastKeyAtTheEnd) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 2, 3});
  auto f = Follow(*db, {});
  f->ReadLines(4, 10000);
  InsertOrders(*db, {4, 5});
  const std::string& out = f->ReadLines(6, 10000);
  EXPECT_EQ(out,
            "rec_num,stock,bs,qty,note\n1,600001,B,100,订单 1\n2,600002,S,200,订单 2\n"
            "3,600003,B,300,订单 3\n4,600004,S,400,订单 4\n5,600005,B,500,订单 5\n");
  EXPECT_EQ(f->Stop(SIGTERM), 0);
  EXPECT_NE(f->err().find("last key delivered: 5; scanned up to key 5 (resume with --after 5)"),
            std::string::npos)
      << f->err();
}

TEST(SqlFollowTest, FromAndFilter) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 2, 3, 4, 5, 6});
  auto f = Follow(*db, {"--after", "2", "--filter", "bs=\"B\""});
  const std::string& out = f->ReadLines(3, 10000);
  EXPECT_EQ(out, "rec_num,stock,bs,qty,note\n3,600003,B,300,订单 3\n5,600005,B,500,订单 5\n");
  EXPECT_EQ(f->Stop(SIGTERM), 0);
}

TEST(SqlFollowTest, GapIsHeldBackAndReportedThenDelivered) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 2, 4});
  auto f = Follow(*db, {"--interval", "100"});
  f->ReadLines(1, 5000);
  usleep(250000);
  EXPECT_EQ(f->out(), "rec_num,stock,bs,qty,note\n") << "a window with a gap was delivered";
  InsertOrders(*db, {3});
  const std::string& out = f->ReadLines(5, 10000);
  EXPECT_EQ(out.substr(out.find('\n') + 1, 2), "1,");
  EXPECT_NE(out.find("\n3,600003"), std::string::npos) << out;
  EXPECT_EQ(f->Stop(SIGTERM), 0);
  EXPECT_NE(f->err().find("发现0-4之间rec_num不连续(1条),retryTime=1"), std::string::npos)
      << f->err();
}

TEST(SqlFollowTest, GapStillThereAtTheTenthLookIsDelivered) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 3});
  auto f = Follow(*db, {});
  const std::string& out = f->ReadLines(3, 10000);
  EXPECT_EQ(out, "rec_num,stock,bs,qty,note\n1,600001,B,100,订单 1\n3,600003,B,300,订单 3\n");
  EXPECT_EQ(f->Stop(SIGTERM), 0);
  EXPECT_NE(f->err().find("retryTime=9\n"), std::string::npos) << f->err();
  EXPECT_NE(f->err().find("发现0-3之间rec_num不连续(1条)\n"), std::string::npos) << f->err();
}

TEST(SqlFollowTest, ErrorPaths) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  const std::string conn = db->ConnectionString();
  ExpectError(RunKestal({"sql", "follow", conn, "nosuch"}), "the database has no table 'nosuch'");
  ExpectError(RunKestal({"sql", "follow", conn, "orders", "--key", "serialnum"}),
              "the table has no key column serialnum");
  // The old spelling still works, with a notice.
  const ToolResult old = RunKestal({"sql", "follow", conn, "orders", "--tag", "WTK"});
  ExpectError(old, "the table has no key column serialnum");
  EXPECT_NE(old.err.find("'--tag' is now '--key'"), std::string::npos) << old.err;
  ExpectError(RunKestal({"sql", "follow", "Provider=SQLite;Data Source=/nonexistent.db", "orders"}),
              "cannot connect to the database");
  for (const auto& extra : std::vector<std::vector<std::string>>{{"--from", "abc"},
                                                                 {"--from", "1; drop table orders"},
                                                                 {"--window", "0"},
                                                                 {"--interval", "x"},
                                                                 {"--bogus"}}) {
    std::vector<std::string> args = {"sql", "follow", conn, "orders"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(RunKestal(args).status, 2) << extra[0];
  }
  EXPECT_EQ(db->Scalar("select count(*) from orders"), "0");
}

TEST(SqlFollowTest, PostgresBackendEndedByTheServerIsReconnected) {
  auto db = TestDatabase::Create(Engine::kPostgres);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 2});
  auto f = Follow(*db, {});
  f->ReadLines(3, 10000);
  db->Query(
      "select pg_terminate_backend(pid) from pg_stat_activity where datname = current_database() "
      "and pid <> pg_backend_pid()");
  usleep(300000);
  InsertOrders(*db, {3});
  const std::string& out = f->ReadLines(4, 10000);
  EXPECT_NE(out.find("\n3,600003,B,300,订单 3\n"), std::string::npos) << out;
  EXPECT_EQ(f->Stop(SIGTERM), 0);
  EXPECT_NE(f->err().find("reconnected to the database"), std::string::npos) << f->err();
}

}  // namespace
}  // namespace kestal::test
