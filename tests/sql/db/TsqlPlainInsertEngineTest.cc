// Plain inserts on a real database: the text that skips the rewrite stores
// exactly the values written, and a malformed one fails without storing.
// Consecutive plain inserts of one head reach the engine as one statement:
// whatever fails, the outcome must be the one of the statements sent alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineFixture.h"
#include "sql/db/FaultInjection.h"

namespace kestal::test {
namespace {

using kestal::db::FaultPoint;
using kestal::db::kConnectionError;
using kestal::db::kStatementError;
using kestal::db::ScopedFaultHook;

// The statements with every "{T}" replaced by table.
std::vector<std::string> For(const std::vector<std::string>& statements, const std::string& table) {
  std::vector<std::string> out;
  for (std::string s : statements) {
    for (size_t at; (at = s.find("{T}")) != std::string::npos;) s.replace(at, 3, table);
    out.push_back(s);
  }
  return out;
}

class TsqlPlainInsertEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    db_->Exec("create table P (id int, n decimal(8,2), s varchar(20))");
  }
  std::string Column(const std::string& sql) {
    std::string out;
    for (const auto& row : db_->Query(sql)) out += (out.empty() ? "" : "|") + row.at(0);
    return out;
  }
  // Every row of table, in id order, one text each.
  std::string Table(const std::string& table) {
    std::string out;
    for (const auto& row : db_->Query("select id, n, s from " + table + " order by id")) {
      out += row.at(0) + "," + row.at(1) + "," + row.at(2) + ";";
    }
    return out;
  }
  // Runs text as one batch; the status it raises (0 when it runs), with its
  // description in *why.
  HRESULT Batch(const std::string& text, std::string* why) {
    try {
      conn_->Execute(CString(text));
      return 0;
    } catch (const _com_error& e) {
      *why = e.Description().str();
      return e.Error();
    }
  }
  // Runs the statements one Execute each, up to the first that fails, as a
  // batch runs them one by one; its status and description as Batch.
  HRESULT OneByOne(const std::vector<std::string>& statements, std::string* why) {
    for (const std::string& s : statements) {
      if (const HRESULT status = Batch(s, why)) return status;
    }
    return 0;
  }
};

TEST_P(TsqlPlainInsertEngineTest, BatchStoresTheLiteralsAsWritten) {
  conn_->Execute(
      "insert into P (id,n,s)  values (1,-1.25,'it''s');"
      "INSERT INTO P VALUES (2, + 3, 'a;b--c/*d');"
      "insert into P (id,s) values (3,'B  '), (4, NULL);"
      "insert into P (id,n,s) values (5,.5,'')");
  EXPECT_EQ(Column("select s from P where id in (1, 2, 3) order by id"), "it's|a;b--c/*d|B  ");
  EXPECT_EQ(Column("select count(*) from P where s is null"), "1");
  EXPECT_EQ(Column("select count(*) from P where n < 0"), "1");
  EXPECT_EQ(Column("select s from P where id = 5"), "");
  // A stored literal compares as it did when it went in collated.
  EXPECT_EQ(Scalar("select id from P where s = 'B  '"), "3");
}

TEST_P(TsqlPlainInsertEngineTest, MalformedInsertsFailAndStoreNothing) {
  EXPECT_EQ(StatusOf("insert into P values (1, 2, 'x)"), kStatementError);
  EXPECT_EQ(StatusOf("insert into P values (1, 2, 'x'))"), kStatementError);
  EXPECT_EQ(StatusOf("insert into P values (1, 2, 'x',)"), kStatementError);
  EXPECT_EQ(StatusOf("insert into Nowhere values (1)"), kStatementError);
  EXPECT_EQ(StatusOf("insert into P (id, nosuch) values (1, 2)"), kStatementError);
  EXPECT_EQ(Column("select count(*) from P"), "0");
}

TEST_P(TsqlPlainInsertEngineTest, BatchOfInsertsEndsAsItsStatementsSentAlone) {
  db_->Exec("create table ja (id int not null primary key, n decimal(8,2), s varchar(20))");
  db_->Exec("create table jb (id int not null primary key, n decimal(8,2), s varchar(20))");
  const std::string row = "insert into {T} (id,n,s)  values ";
  struct Case {
    const char* name;
    bool in_transaction;
    std::vector<std::string> statements;
  };
  const std::vector<Case> cases = {
      {"values of every plain form, two heads and a statement between",
       false,
       {row + "(1,-1.25,'it''s')", row + "(2,+3,NULL)", "insert into {T} values (3, .5, 'x')",
        row + "(4,2.,'a;b')", "update {T} set s = 'u' where id = 1", row + "(5,0,'')",
        row + "(6,7,'y'), (7,8,'z')"}},
      {"a NULL where none may go, in the middle",
       false,
       {row + "(10,1,'a')", row + "(11,1,'b')", row + "(NULL,1,'c')", row + "(13,1,'d')"}},
      {"a key the batch itself used already",
       false,
       {row + "(20,1,'a')", row + "(21,1,'b')", row + "(20,1,'again')", row + "(23,1,'d')"}},
      {"the first statement fails", false, {row + "(10,1,'dup')", row + "(30,1,'never')"}},
      {"a failure inside a host transaction, which goes on",
       true,
       {row + "(40,1,'a')", row + "(41,1,'b')", row + "(41,1,'again')", row + "(43,1,'d')"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string joined_why, alone_why;
    std::string text;
    for (const std::string& s : For(c.statements, "ja")) text += s + ";";
    if (c.in_transaction) conn_->BeginTrans();
    const HRESULT joined = Batch(text, &joined_why);
    if (c.in_transaction) {
      conn_->Execute("insert into ja (id,n,s) values (49,1,'after')");
      conn_->CommitTrans();
      conn_->BeginTrans();
    }
    const HRESULT alone = OneByOne(For(c.statements, "jb"), &alone_why);
    if (c.in_transaction) {
      conn_->Execute("insert into jb (id,n,s) values (49,1,'after')");
      conn_->CommitTrans();
    }
    EXPECT_EQ(joined, alone);
    // The engine names the table in some messages: compare with it swapped.
    for (size_t at; (at = alone_why.find("jb")) != std::string::npos;) alone_why[at + 1] = 'a';
    EXPECT_EQ(joined_why, alone_why);
    EXPECT_EQ(Table("ja"), Table("jb"));
  }
  EXPECT_EQ(Column("select count(*) from ja where id = 49"), "1");
}

TEST_P(TsqlPlainInsertEngineTest, AFailureInALaterRunOfALongBatchKeepsEveryRowBeforeIt) {
  // Over 64 KiB of inserts: the engines send such a batch in several runs.
  db_->Exec("create table L (id int not null primary key, s varchar(250))");
  const std::string pad(200, 'p');
  std::string text;
  for (int id = 1; id <= 400; ++id) {
    text += "insert into L values (" + std::to_string(id == 390 ? 7 : id) + ", '" + pad + "');";
  }
  std::string why, alone;
  EXPECT_EQ(Batch(text, &why), kStatementError);
  // The count of the last statement that ran, where the engine tells it.
  EXPECT_TRUE(conn_->RowsChanged() == 1 || conn_->RowsChanged() == -1) << conn_->RowsChanged();
  EXPECT_EQ(Batch("insert into L values (7, 'again')", &alone), kStatementError);
  EXPECT_EQ(why, alone);
  EXPECT_EQ(Column("select count(*) from L"), "389");
  EXPECT_EQ(Column("select max(id) from L"), "389");
}

TEST_P(TsqlPlainInsertEngineTest, RowsChangedIsTheLastInsertsOwn) {
  conn_->Execute("insert into P values (0,1,'z')");
  if (conn_->RowsChanged() < 0) GTEST_SKIP() << "the engine does not tell the rows changed";
  conn_->Execute(
      "insert into P values (1,1,'a');insert into P values (2,1,'b');"
      "insert into P values (3,1,'c')");
  EXPECT_EQ(conn_->RowsChanged(), 1);
  conn_->Execute("insert into P values (4,1,'a');insert into P values (5,1,'b'),(6,1,'c')");
  EXPECT_EQ(conn_->RowsChanged(), 2);
  EXPECT_EQ(Column("select count(*) from P"), "7");
}

TEST_P(TsqlPlainInsertEngineTest, RowsChangedThroughAViewTriggerIsAsForOneInsert) {
  if (GetParam() != Engine::kSqlite) GTEST_SKIP() << "the view's trigger is written for SQLite";
  db_->Exec("create view V as select id, n, s from P");
  db_->Exec(
      "create trigger VI instead of insert on V begin insert into P values (new.id, "
      "new.n, new.s); end");
  conn_->Execute("insert into V values (1,1,'a')");
  const long long alone = conn_->RowsChanged();
  conn_->Execute("insert into V values (2,1,'b');insert into V values (3,1,'c')");
  EXPECT_EQ(conn_->RowsChanged(), alone);
  EXPECT_EQ(Column("select count(*) from P"), "3");
}

TEST_P(TsqlPlainInsertEngineTest, FaultBeforeAnInsertKeepsTheInsertsBeforeIt) {
  std::string text;
  for (int id = 1; id <= 40; ++id) {
    text += "insert into P (id,n,s) values (" + std::to_string(id) + ",1,'x');";
  }
  {
    ScopedFaultHook hook([](FaultPoint point, const CString& sql) {
      if (point == FaultPoint::kBatchStatement && sql.Find("(25,") >= 0) {
        throw _com_error(kConnectionError, "link lost");
      }
    });
    std::string why;
    EXPECT_EQ(Batch(text, &why), kConnectionError);
    EXPECT_EQ(why, "link lost");
  }
  EXPECT_EQ(Column("select count(*) from P"), "24");
  EXPECT_EQ(Column("select max(id) from P"), "24");
}

TEST_P(TsqlPlainInsertEngineTest, RecordBatchStoresWhatTheEnginesParserStores) {
  if (GetParam() != Engine::kSqlite) GTEST_SKIP() << "compares SQLite's storage classes";
  const std::string columns = " (id int, i int, d decimal(12,4), v varchar(40), f float)";
  db_->Exec("create table BL" + columns);
  db_->Exec("create table BR" + columns);
  // Every literal form a record batch may carry, into columns of each
  // affinity, also where the column converts the value.
  const std::vector<std::string> rows = {
      "1, 7, 1.5, 'a', 2.5",
      "2, -0, -0.0, '1.50', .1",
      "3, 007, 2., 1.50, 0.1000000000000000055511151231257827",
      "4, NULL, 123456789.12345678, -12, 123456789012345678.5",
      "5, '12', '3.25', 7, '-1.5'",
      "6, 999999999999999999, 0.30000000000000004, '', 1.7976931348623157",
      "7, +5, +.25, 'it''s', -3.",
      "8, 1.0, 99999999999999999999.5, 0.5, -999999999999999999",
  };
  std::string batch;
  for (const std::string& row : rows) batch += "insert into BL (id,i,d,v,f) values (" + row + ");";
  conn_->Execute(CString(batch));
  for (const std::string& row : rows) db_->Exec("insert into BR (id,i,d,v,f) values (" + row + ")");
  const auto stored = [&](const std::string& table) {
    std::string out;
    for (const auto& row : db_->Query("select id, typeof(i), quote(i), typeof(d), quote(d), "
                                      "typeof(v), quote(v), typeof(f), quote(f) from " +
                                      table + " order by id")) {
      for (const std::string& cell : row) out += cell + " ";
      out += "\n";
    }
    return out;
  };
  EXPECT_EQ(stored("BL"), stored("BR"));
}

TEST_P(TsqlPlainInsertEngineTest, RecordBatchesFollowTheTableAcrossChangesAndFailures) {
  const std::string two = "insert into P values (1,1,'a');insert into P values (2,1,'b')";
  conn_->Execute(CString(two));
  // The same head again once the table is made anew with its columns in
  // another order: the rows go by the new columns.
  db_->Exec("drop table P");
  db_->Exec("create table P (s varchar(20), id int not null, n decimal(8,2))");
  conn_->Execute("insert into P values ('c',3,1);insert into P values ('d',4,1)");
  EXPECT_EQ(Column("select s from P order by id"), "c|d");
  // A refused row in the middle, then the same statements work on.
  std::string why;
  EXPECT_EQ(Batch("insert into P values ('e',5,1);insert into P values ('f',NULL,1);"
                  "insert into P values ('g',7,1)",
                  &why),
            kStatementError);
  EXPECT_EQ(Column("select s from P order by id"), "c|d|e");
  conn_->Execute("insert into P values ('h',8,1);insert into P values ('i',9,1)");
  EXPECT_EQ(Column("select s from P order by id"), "c|d|e|h|i");
  // Once the table is gone, the batch fails as its first statement alone.
  db_->Exec("drop table P");
  std::string alone;
  EXPECT_EQ(Batch("insert into P values ('j',10,1)", &alone), kStatementError);
  EXPECT_EQ(Batch("insert into P values ('j',10,1);insert into P values ('k',11,1)", &why),
            kStatementError);
  EXPECT_EQ(why, alone);
}

INSTANTIATE_TEST_SUITE_P(Engines, TsqlPlainInsertEngineTest, ::testing::ValuesIn(kAllEngines),
                         EngineName);

}  // namespace
}  // namespace kestal::test
