// Statement batches and bulk loads sent in pieces on a real PostgreSQL
// server: plain writes go in runs of one query each, bulk-load lines stream
// to COPY as they are built. Whatever the pieces, a failure must look as it
// does when every statement is sent alone: the statements before it stay,
// it reports its own error, nothing after it runs, and a host transaction
// goes on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/db/Ado.h"
#include "sql/db/FaultInjection.h"
#include "support/TestDatabase.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

using kestal::db::FaultPoint;
using kestal::db::kConnectionError;
using kestal::db::kNotSupported;
using kestal::db::kStatementError;
using kestal::db::ScopedFaultHook;

// Enough statements for several runs: each carries a 100-byte memo.
constexpr int kStatements = 3000;

class PgBatchRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Engine::kPostgres);
    db_->Exec("create table t (n int primary key, memo varchar(200) not null)");
    conn_.CreateInstance();
    conn_->Open(CString(db_->ConnectionString()));
  }

  static std::string Insert(int n) {
    return "insert into t (n, memo) values (" + std::to_string(n) + ", '" + std::string(100, 'm') +
           "')";
  }
  // Inserts 1..count, with bad (when not empty) in place of statement k.
  static std::string Batch(int count, int k = 0, const std::string& bad = "") {
    std::string text;
    for (int n = 1; n <= count; ++n) text += (n == k ? bad : Insert(n)) + ";";
    return text;
  }
  // The status of the _com_error sql raises (0 when it runs).
  HRESULT StatusOf(const std::string& sql, std::string* description = nullptr) {
    try {
      conn_->Execute(CString(sql));
    } catch (const _com_error& e) {
      if (description) *description = e.Description().str();
      return e.Error();
    }
    return 0;
  }
  std::string Count() { return db_->Scalar("select count(*) from t"); }
  std::string Highest() { return db_->Scalar("select coalesce(max(n), 0) from t"); }

  std::unique_ptr<TestDatabase> db_;
  _ConnectionPtr conn_;
};

TEST_F(PgBatchRunTest, LongBatchOfPlainWritesRunsWhole) {
  EXPECT_EQ(0, StatusOf(Batch(kStatements)));
  EXPECT_EQ(std::to_string(kStatements), Count());
  EXPECT_EQ(std::to_string(kStatements), Highest());
}

TEST_F(PgBatchRunTest, FailureInALaterRunKeepsTheStatementsBeforeItWithItsOwnError) {
  const std::string bad = "insert into t (n, memo) values (2100, null)";
  std::string alone;
  {
    // The error the statement gives when it is sent alone.
    EXPECT_EQ(kStatementError, StatusOf(bad, &alone));
  }
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf(Batch(kStatements, 2100, bad), &why));
  EXPECT_EQ(alone, why);
  EXPECT_EQ("2099", Count());
  EXPECT_EQ("2099", Highest());
  // The connection goes on.
  EXPECT_EQ(0, StatusOf(Insert(5000)));
  EXPECT_EQ("2100", Count());
}

TEST_F(PgBatchRunTest, FailureOfTheFirstStatementLeavesNothing) {
  db_->Exec("insert into t values (1, 'x')");
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf(Batch(kStatements), &why));
  EXPECT_NE(std::string::npos, why.find("duplicate key")) << why;
  EXPECT_EQ("1", Count());
}

TEST_F(PgBatchRunTest, FailureInAHostTransactionFailsAloneAndTheTransactionGoesOn) {
  conn_->BeginTrans();
  conn_->Execute("insert into t values (9000, 'before')");
  // Statement 1500 repeats number 7.
  std::string why;
  EXPECT_EQ(kStatementError,
            StatusOf(Batch(kStatements, 1500, "insert into t values (7, 'again')"), &why));
  EXPECT_NE(std::string::npos, why.find("duplicate key")) << why;
  conn_->Execute("insert into t values (9001, 'after')");
  EXPECT_EQ("0", Count());  // nothing committed yet
  conn_->CommitTrans();
  EXPECT_EQ("1501", Count());  // 9000, 1..1499, 9001
  EXPECT_EQ("1499", db_->Scalar("select max(n) from t where n < 9000"));
  EXPECT_EQ("0", db_->Scalar("select count(*) from t where memo = 'again'"));
}

TEST_F(PgBatchRunTest, InjectedFaultInALaterRunKeepsEveryStatementBeforeIt) {
  int seen = 0;
  {
    ScopedFaultHook hook([&](FaultPoint point, const CString& text) {
      if (point != FaultPoint::kBatchStatement) return;
      ++seen;
      if (text.Find("(2500,") >= 0) throw _com_error(kConnectionError, "link lost");
    });
    std::string why;
    EXPECT_EQ(kConnectionError, StatusOf(Batch(kStatements), &why));
    EXPECT_EQ("link lost", why);
  }
  EXPECT_EQ(2500, seen);
  EXPECT_EQ("2499", Count());
  EXPECT_EQ("2499", Highest());
}

TEST_F(PgBatchRunTest, InjectedFaultInATransactionKeepsItOpenWithTheRunsBeforeIt) {
  conn_->BeginTrans();
  {
    ScopedFaultHook hook([&](FaultPoint point, const CString& text) {
      if (point == FaultPoint::kBatchStatement && text.Find("(1800,") >= 0) {
        throw _com_error(kConnectionError, "link lost");
      }
    });
    EXPECT_EQ(kConnectionError, StatusOf(Batch(kStatements)));
  }
  conn_->Execute(CString(Insert(9000)));
  conn_->CommitTrans();
  EXPECT_EQ("1800", Count());  // 1..1799 and 9000
}

TEST_F(PgBatchRunTest, UntranslatableStatementAfterPlainWritesKeepsThem) {
  std::string text = Batch(kStatements / 2);
  text += "select top 5 percent * from t;" + Insert(9000);
  EXPECT_EQ(kNotSupported, StatusOf(text));
  EXPECT_EQ(std::to_string(kStatements / 2), Count());
  EXPECT_EQ("0", db_->Scalar("select count(*) from t where n = 9000"));
}

TEST_F(PgBatchRunTest, OtherStatementsSeeThePlainWritesBeforeThemInOrder) {
  // A query, a session setting and a locked insert between runs of writes.
  _RecordsetPtr rs = conn_->Execute(CString(
      Insert(1) + ";" + Insert(2) + ";select count(*) as c from t;set rowcount 1;" + Insert(3) +
      ";insert into t (n, memo) select isnull(max(n), 0) + 1, 'locked' from t with (holdlock);" +
      Insert(10) + ";select n from t order by n"));
  ASSERT_FALSE(rs->IsEOF());
  EXPECT_EQ("1", rs->GetCollect("n").ToString());  // capped at one row
  rs->MoveNext();
  EXPECT_TRUE(rs->IsEOF());
  conn_->Execute("set rowcount 0");
  EXPECT_EQ("4", db_->Scalar("select n from t where memo = 'locked'"));
  EXPECT_EQ("5", Count());
}

TEST_F(PgBatchRunTest, LinkLostInARunIsReportedAndNothingIsRunTwice) {
  // The second statement ends its own server process: the run's outcome is
  // unknown to the client, so it must not be sent again.
  std::string text = Batch(1000);
  text +=
      "insert into t (n, memo) select 5000, 'x' from (select "
      "pg_terminate_backend(pg_backend_pid())) k;" +
      Insert(5001);
  EXPECT_EQ(kConnectionError, StatusOf(Insert(4000) + ";" + text));
  // The server rolled back the run it was in; every number at most once.
  EXPECT_EQ("0", db_->Scalar("select count(*) from (select n from t group by n having "
                             "count(*) > 1) d"));
  EXPECT_EQ("0", db_->Scalar("select count(*) from t where n >= 5000"));
}

// Bulk loads large enough to stream in several pieces.
class PgBulkStreamTest : public PgBatchRunTest {
 protected:
  // A file of rows first..last ("n,memo,"), with the row at bad_line (1-based
  // file line) replaced by bad_row.
  std::string File(int first, int last, int bad_line = 0, const std::string& bad_row = "") {
    std::string bytes;
    for (int n = first, line = 1; n <= last; ++n, ++line) {
      bytes += line == bad_line ? bad_row : std::to_string(n) + "," + std::string(150, 'b') + ",";
      bytes += "\r\n";
    }
    const std::string path = dir_.File("OrderTemp_B.txt");
    WriteFile(path, bytes);
    return path;
  }
  static std::string Load(const std::string& path, int first_row = 1) {
    return "BULK INSERT [t] FROM '" + path +
           "' WITH ( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', FIRSTROW = " +
           std::to_string(first_row) + ", TABLOCK)";
  }
  TempDir dir_;
};

TEST_F(PgBulkStreamTest, LoadsEveryRowOfALargeFile) {
  EXPECT_EQ(0, StatusOf(Load(File(1, 20000))));
  EXPECT_EQ("20000", Count());
  EXPECT_EQ(std::string(150, 'b'), db_->Scalar("select memo from t where n = 20000"));
}

TEST_F(PgBulkStreamTest, RowThatDoesNotFitAfterSeveralPiecesLeavesNothing) {
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf(Load(File(1, 20000, 15000, "1,2,3,4,5")), &why));
  EXPECT_NE(std::string::npos, why.find("(line 15000)")) << why;
  EXPECT_EQ("0", Count());
  // The connection is ready for the next command.
  EXPECT_EQ(0, StatusOf(Insert(1)));
  EXPECT_EQ("1", Count());
}

TEST_F(PgBulkStreamTest, RefusedValueNamesItsFileLineAfterSkippedRows) {
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf(Load(File(1, 20000, 12000, "x12000,memo,"), 3), &why));
  EXPECT_NE(std::string::npos, why.find("(line 12000): invalid input syntax for type integer"))
      << why;
  EXPECT_EQ("0", Count());
  // Rows before FIRSTROW are not loaded.
  EXPECT_EQ(0, StatusOf(Load(File(1, 10), 3)));
  EXPECT_EQ("8", Count());
  EXPECT_EQ("3", db_->Scalar("select min(n) from t"));
}

TEST_F(PgBulkStreamTest, DirectoryInPlaceOfTheFileIsRefused) {
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf(Load(dir_.path()), &why));
  EXPECT_NE(std::string::npos, why.find(dir_.path())) << why;
  EXPECT_EQ("0", Count());
}

TEST_F(PgBulkStreamTest, FailedLoadInAHostTransactionFailsAlone) {
  conn_->BeginTrans();
  conn_->Execute(CString(Insert(90000)));
  EXPECT_EQ(kStatementError, StatusOf(Load(File(1, 20000, 19999, "1"))));
  EXPECT_EQ(kStatementError, StatusOf(Load(File(1, 20000, 20000, "20000,"))));  // null memo
  EXPECT_EQ(0, StatusOf(Load(File(1, 100))));
  conn_->CommitTrans();
  EXPECT_EQ("101", Count());
}

// A load into the table of the last load starts from the columns read then,
// checked against the catalog in the same query; another program changing
// the table in between must not shift a value into another column.
TEST_F(PgBulkStreamTest, TableChangedBetweenLoadsIsLoadedAsItIsNow) {
  db_->Exec("create table u (a varchar(10), b varchar(10))");
  const std::string path = dir_.File("OrderTemp_U.txt");
  const std::string load = "BULK INSERT [u] FROM '" + path +
                           "' WITH ( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', TABLOCK)";
  WriteFile(path, "a1,b1,\r\n");
  ASSERT_EQ(0, StatusOf(load));
  struct Step {
    const char* name;
    const char* ddl;  // run by another connection before the load
    const char* file;
    HRESULT status;
    const char* rows;  // a/b of every row, in a order
  };
  const Step steps[] = {
      {"unchanged", "", "a2,b2,\r\n", 0, "a1/b1 a2/b2"},
      {"made again with the columns swapped",
       "drop table u; create table u (b varchar(10), a varchar(10))", "b3,a3,\r\n", 0, "a3/b3"},
      {"a column more", "alter table u add c int", "b4,a4,4,\r\n", 0, "a3/b3 a4/b4"},
      {"that column dropped again", "alter table u drop column c", "b5,a5,\r\n", 0,
       "a3/b3 a4/b4 a5/b5"},
      {"a row that fits neither", "", "b6\r\n", kStatementError, "a3/b3 a4/b4 a5/b5"},
      {"dropped", "drop table u", "b7,a7,\r\n", kStatementError, nullptr},
      {"made again", "create table u (a varchar(10), b varchar(10))", "a8,b8,\r\n", 0, "a8/b8"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (*step.ddl) db_->Exec(step.ddl);
    WriteFile(path, step.file);
    std::string why;
    EXPECT_EQ(step.status, StatusOf(load, &why)) << why;
    if (step.rows == nullptr) {
      EXPECT_EQ("Invalid object name 'u'.", why);
      continue;
    }
    EXPECT_EQ(step.rows, db_->Scalar("select string_agg(a || '/' || b, ' ' order by a) from u"));
  }
  // The connection is ready for the next command.
  EXPECT_EQ(0, StatusOf(Insert(1)));
}

}  // namespace
}  // namespace kestal::test
