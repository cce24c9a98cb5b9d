// PostgreSQL only: the session functions behind T-SQL's +, LEFT, RIGHT,
// CHARINDEX and DATEADD are made in pg_temp on first use. A login that may
// not make temporary objects gets a statement error for those statements
// alone, and the functions are made once the right is granted, on the same
// connection.
#include <gtest/gtest.h>
#include <unistd.h>

#include "EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::kNotSupported;
using kestal::db::kStatementError;

class PostgresSessionFunctionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Engine::kPostgres);
    role_ = "kt_notemp_" + std::to_string(getpid());
    db_->Exec("drop role if exists " + role_);
    db_->Exec("create role " + role_ + " login");
    db_->Exec("create table t (s varchar(6))");
    db_->Exec("insert into t values ('600000')");
    db_->Exec("grant select on t to " + role_);
    const std::string name = db_->Scalar("select current_database()");
    db_->Exec("revoke temporary on database " + name + " from public");
    grant_ = "grant temporary on database " + name + " to " + role_;
  }
  void TearDown() override {
    conn_ = nullptr;
    db_->Exec("drop owned by " + role_);
    db_->Exec("drop role if exists " + role_);
  }
  // The fixture's connection string with this test's login instead.
  std::string RoleConnection() const {
    std::string s = db_->ConnectionString();
    const size_t at = s.find(";User ID=");
    if (at != std::string::npos) s.erase(at);
    return s + ";User ID=" + role_;
  }
  HRESULT StatusOf(const char* sql) {
    try {
      conn_->Execute(sql);
      return 0;
    } catch (const _com_error& e) {
      return e.Error();
    }
  }

  std::unique_ptr<TestDatabase> db_;
  std::string role_;
  std::string grant_;
  _ConnectionPtr conn_;
};

TEST_F(PostgresSessionFunctionTest, WithoutTheTemporaryRightOnlyThoseStatementsFail) {
  conn_.CreateInstance();
  conn_->Open(CString(RoleConnection()));
  EXPECT_EQ(StatusOf("select s + 'B' as v from t"), kStatementError);
  EXPECT_EQ(StatusOf("select left(s, 2) as v from t"), kStatementError);
  EXPECT_EQ(StatusOf("select dateadd(day, 1, '2026-12-07') as v"), kStatementError);
  // Statements that need none of them run as before.
  EXPECT_EQ(conn_->Execute("select substring(s, 1, 3) as v from t")->GetCollect("v").ToString(),
            "600");
  db_->Exec(grant_);
  EXPECT_EQ(conn_->Execute("select s + 'B' as v from t")->GetCollect("v").ToString(), "600000B");
  EXPECT_EQ(conn_->Execute("select charindex('0', s) as v from t")->GetCollect("v").ToString(),
            "2");
}

// A definition that used the functions would lose that part when the session
// ends (a view would go whole), so it is refused and nothing is made.
TEST_F(PostgresSessionFunctionTest, DefinitionsUsingTheFunctionsAreRefused) {
  db_->Exec(grant_);
  conn_.CreateInstance();
  conn_->Open(CString(db_->ConnectionString()));
  for (const char* ddl : {"create view v1 as select s + 'B' as v from t",
                          "create table t4 (a varchar(9) default left('abcdef', 2))"}) {
    EXPECT_EQ(StatusOf(ddl), kNotSupported) << ddl;
  }
  EXPECT_EQ(db_->Scalar("select count(*) from pg_class where relname in ('v1', 't4')"), "0");
  // Arithmetic in other definitions keeps the engine's own + and -, which
  // outlive the session, so those definitions are made, with the right values.
  conn_->Execute("create table t2 (a int, b int default 1 + 1)");
  conn_->Execute("create table t3 (a int check (a - 1 > 0))");
  conn_->Execute("alter table t add c int default 2 - 1");
  conn_->Execute("insert into t2 (a) values (0)");
  EXPECT_EQ(db_->Scalar("select b from t2"), "2");
  EXPECT_NE(StatusOf("insert into t3 (a) values (1)"), 0);
  conn_->Execute("insert into t3 (a) values (2)");
  EXPECT_EQ(db_->Scalar("select min(c) from t"), "1");
  // Definitions without them, and queries with them, run.
  conn_->Execute("create table t5 (a int default 5, b int check (b > 0))");
  conn_->Execute("insert into t5 (b) select 1 + 1");
  EXPECT_EQ(db_->Scalar("select a + b from t5"), "7");
  EXPECT_EQ(conn_->Execute("(select s + 'B' as v from t)")->GetCollect("v").ToString(), "600000B");
}

}  // namespace
}  // namespace kestal::test
