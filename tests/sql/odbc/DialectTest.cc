// The dialect follows the server reached; on SQL Server the library's T-SQL
// goes exactly as written. No SQL Server runs here, so what would be sent is
// checked at the statement level.
#include <gtest/gtest.h>

#include "sql/db/ComError.h"
#include "sql/db/odbc/Dialect.h"
#include "sql/db/odbc/Errors.h"

namespace kestal::test {
namespace {

using db::odbc::PlanSqlServerBatch;
using db::odbc::RewriteFor;
using db::odbc::Server;
using db::tsql::StatementKind;

TEST(OdbcDialectTest, ServerFollowsTheDbmsName) {
  EXPECT_EQ(db::odbc::ServerFromDbmsName("Microsoft SQL Server"), Server::kSqlServer);
  EXPECT_EQ(db::odbc::ServerFromDbmsName("PostgreSQL"), Server::kPostgres);
  EXPECT_EQ(db::odbc::ServerFromDbmsName("SQLite"), Server::kSqlite);
  try {
    db::odbc::ServerFromDbmsName("Oracle");
    ADD_FAILURE() << "an unknown server was accepted";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), db::kConnectionError);
    EXPECT_NE(e.Description().Find("Oracle"), -1);
  }
}

TEST(OdbcDialectTest, SqlServerGetsTheLibrarysStatementsAsWritten) {
  const char* statements[] = {
      "select name from sysobjects where xtype = 'U' and name = 'CJK'",
      "select c.name, c.type, c.length from syscolumns c, sysobjects o where c.id = o.id",
      "set rowcount 100",
      "select top 1 rec_num from CJK with (holdlock) order by rec_num desc",
      "select IDENT_CURRENT('WTK')",
      "DBCC CHECKIDENT ('WTK', RESEED, 0)",
      "insert into CJK (rec_num) (select isnull(max(rec_num),0)+1 from CJK with (holdlock))",
      "select convert(varchar(8), getdate(), 108), len(name) from [dbo].[CJK] (nolock)",
  };
  for (const char* sql : statements) {
    const db::tsql::Statement st = RewriteFor(Server::kSqlServer, sql);
    EXPECT_EQ(st.kind, StatementKind::kSql) << sql;
    EXPECT_EQ(st.sql, sql);
    // The other servers get their own dialect's rewrite.
    EXPECT_NE(RewriteFor(Server::kPostgres, sql).sql, sql) << sql;
  }
}

TEST(OdbcDialectTest, SqlServerBatchGoesWholeUnlessABulkInsertCutsIt) {
  const std::string batch =
      "set nocount on; insert into CJK values (1, 'a');\n-- note\ninsert into CJK values (2, "
      "'b;c')";
  auto plan = PlanSqlServerBatch(batch);
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].sql, batch);

  plan = PlanSqlServerBatch(
      "delete from CJK; BULK INSERT [CJK] FROM '/tmp/x.txt' WITH (FIELDTERMINATOR = ','); "
      "select count(*) from CJK");
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].kind, StatementKind::kSql);
  EXPECT_EQ(plan[0].sql, "delete from CJK");
  EXPECT_EQ(plan[1].kind, StatementKind::kBulkInsert);
  EXPECT_EQ(plan[1].bulk.table, "CJK");
  EXPECT_EQ(plan[1].bulk.path, "/tmp/x.txt");
  EXPECT_EQ(plan[2].sql, " select count(*) from CJK");
}

TEST(OdbcErrorsTest, DiagnosticsMapToStatuses) {
  using db::odbc::Diagnostic;
  struct Case {
    Diagnostic record;
    HRESULT status;
  };
  const Case cases[] = {
      {{"08S01", 0, "[FreeTDS][SQL Server]Unable to connect: Adaptive Server is unavailable"},
       db::kConnectionError},
      {{"08001", 0, "Client unable to establish connection"}, db::kConnectionError},
      {{"57P01", 7, "terminating connection due to administrator command"}, db::kConnectionError},
      {{"HY000", 35, "Could not send Query(connection dead)"}, db::kConnectionError},
      {{"HYT00", 0, "Timeout expired"}, db::kTimeout},
      {{"HYT01", 0, "Connection timeout expired"}, db::kTimeout},
      {{"42S02", 208, "Invalid object name 'nowhere'."}, db::kStatementError},
      {{"23000", 2627, "Violation of PRIMARY KEY constraint"}, db::kStatementError},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(db::odbc::StatusFor({c.record}), c.status) << c.record.message;
  }
  // A dead link wins over any record; a link record anywhere wins.
  EXPECT_EQ(db::odbc::StatusFor({{"42000", 1, "x"}}, true), db::kConnectionError);
  EXPECT_EQ(db::odbc::StatusFor({{"01000", 0, "info"}, {"08S01", 0, "link"}}),
            db::kConnectionError);
}

TEST(OdbcErrorsTest, DescriptionCarriesMessageAndNativeNumberButNeverThePassword) {
  const std::string text =
      db::odbc::Describe({{"28000", 18456, "Login failed for user 'sa' with password 'S3cret!'"},
                          {"01000", 0, "changed database context"}},
                         "SQLDriverConnect", "S3cret!");
  EXPECT_NE(text.find("Login failed for user 'sa'"), std::string::npos) << text;
  EXPECT_NE(text.find("native error 18456"), std::string::npos) << text;
  EXPECT_NE(text.find("SQLSTATE 28000"), std::string::npos) << text;
  EXPECT_NE(text.find("changed database context"), std::string::npos) << text;
  EXPECT_EQ(text.find("S3cret!"), std::string::npos) << text;
  EXPECT_NE(db::odbc::Describe({}, "SQLExecDirect").find("SQLExecDirect"), std::string::npos);
}

}  // namespace
}  // namespace kestal::test
