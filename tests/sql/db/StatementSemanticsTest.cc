// The access layer's statement semantics on a real database: the library's
// statement forms and caller conditions must behave as on SQL Server.
#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::kNotSupported;
using kestal::db::kStatementError;

class StatementTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    db_->Exec(
        "create table CJK (rec_num int, stock varchar(6), bs char(1), cjsj varchar(8), "
        "time varchar(19), serialnum int)");
  }
  // The first column of every row, engine-native, joined with ','.
  std::string Column(const std::string& sql) {
    std::string out;
    for (const auto& row : db_->Query(sql)) out += (out.empty() ? "" : ",") + row.at(0);
    return out;
  }
  void Rows(int n) {
    for (int i = 1; i <= n; ++i) {
      db_->Exec("insert into CJK values (" + std::to_string(i) + ", '60000" +
                std::to_string(i % 10) + "', 'B', '093000', '09:30:00', " +
                std::to_string(100 + i) + ")");
    }
  }
};

TEST_P(StatementTest, CountAndWholeTableReadMatchTheRows) {
  Rows(7);
  EXPECT_EQ(Scalar("select count(*) as ALLRECORDS from CJK"), "7");
  _RecordsetPtr rs = conn_->Execute("select * from CJK ");
  EXPECT_EQ(rs->GetRecordCount(), 7);
  // Without an order clause the row order is the engine's: every row read
  // by name must still be whole (row i holds stock 60000<i % 10>).
  for (int seen = 0; seen < 7; ++seen, rs->MoveNext()) {
    ASSERT_FALSE(rs->IsEOF()) << seen;
    const int rec_num = atoi(rs->GetCollect("REC_NUM").ToString());
    EXPECT_EQ(rs->GetCollect("Stock").ToString(), "60000" + std::to_string(rec_num % 10));
  }
  EXPECT_TRUE(rs->IsEOF());
}

TEST_P(StatementTest, TopCapsTheWindowFetch) {
  Rows(10);
  _RecordsetPtr rs = conn_->Execute("select top 4 * from CJK where rec_num > 3 ");
  EXPECT_EQ(rs->GetRecordCount(), 4);
}

TEST_P(StatementTest, SetRowcountCapsLaterSelectsOfTheConnectionOnly) {
  Rows(10);
  conn_->Execute("set rowcount 3");
  EXPECT_EQ(conn_->Execute("select * from CJK where rec_num>0 order by rec_num")->GetRecordCount(),
            3);
  // The smaller of TOP and the row count applies.
  EXPECT_EQ(conn_->Execute("select top 2 * from CJK")->GetRecordCount(), 2);
  // An aggregate still sees every row.
  EXPECT_EQ(Scalar("select count(*) as ALLRECORDS from CJK"), "10");
  // Writes are not capped.
  conn_->Execute("update CJK set bs='S'");
  EXPECT_EQ(db_->Scalar("select count(*) from CJK where bs='S'"), "10");
  // Another connection is not affected.
  _ConnectionPtr other;
  other.CreateInstance();
  other->Open(CString(db_->ConnectionString()));
  EXPECT_EQ(other->Execute("select * from CJK")->GetRecordCount(), 10);
  conn_->Execute("set rowcount 0");
  EXPECT_EQ(conn_->Execute("select * from CJK")->GetRecordCount(), 10);
}

TEST_P(StatementTest, SetRowcountInTheSameBatchAppliesToTheRest) {
  Rows(5);
  _RecordsetPtr rs = conn_->Execute("set rowcount 2; select * from CJK order by rec_num");
  EXPECT_EQ(rs->GetRecordCount(), 2);
}

TEST_P(StatementTest, WindowFetchStatementsRun) {
  Rows(10);
  _RecordsetPtr rs = conn_->Execute(
      "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from CJK where rec_num>2 and "
      "rec_num<=6");
  EXPECT_EQ(rs->GetCollect("CurRecCnt").ToString(), "4");
  EXPECT_EQ(rs->GetCollect("maxcurrecnum").ToString(), "6");
  rs = conn_->Execute(
      "select * from CJK where serialnum>102 and ( bs='B' or bs='S' ) and serialnum<=105 order "
      "by serialnum");
  EXPECT_EQ(rs->GetRecordCount(), 3);
  rs = conn_->Execute("select * from CJK where serialnum>108  order by serialnum");
  EXPECT_EQ(rs->GetRecordCount(), 2);
}

TEST_P(StatementTest, TimeOfDayRescanReadsBothTimeForms) {
  db_->Exec(
      "insert into CJK (rec_num, time, serialnum) values (1, '2026-12-07 09:30:15', 1), "
      "(2, '09:30:45', 2), (3, '10:00:00', 3), (4, '2026-12-07 09:29:59', 4)");
  _RecordsetPtr rs = conn_->Execute(
      "select * from CJK where convert(varchar(8) ,cast(time as datetime),108)>='09:30:00' and "
      "convert(varchar(8) ,cast(time as datetime),108)<='09:31:00' order by serialnum");
  ASSERT_EQ(rs->GetRecordCount(), 2);
  EXPECT_EQ(rs->GetCollect("rec_num").ToString(), "1");
  rs->MoveNext();
  EXPECT_EQ(rs->GetCollect("rec_num").ToString(), "2");
  EXPECT_EQ(Scalar("select convert(varchar(8) ,cast(time as datetime),108) as t from CJK "
                   "where rec_num=2"),
            "09:30:45");
}

TEST_P(StatementTest, DatetimeCastReadsTsqlFormsAndRefusesOthers) {
  db_->Exec("insert into CJK (rec_num, time) values (1, '9:30:15'), (2, '20261207 10:00')");
  EXPECT_EQ(Scalar("select convert(varchar(8) ,cast(time as datetime),108) as t from CJK "
                   "where rec_num=1"),
            "09:30:15");
  EXPECT_EQ(Scalar("select convert(varchar(8), cast(time as datetime), 112) as t from CJK "
                   "where rec_num=2"),
            "20261207");
  db_->Exec("insert into CJK (rec_num, time) values (3, 'soon')");
  EXPECT_EQ(StatusOf("select * from CJK where cast(time as datetime) > '2000-01-01'"),
            kStatementError);
}

TEST_P(StatementTest, DateFunctionsKeepTsqlMeaning) {
  // 2026-12-07 is a Monday.
  EXPECT_EQ(Scalar("select datepart(dw, '2026-12-07') as v"), "2");
  EXPECT_EQ(Scalar("select datepart(wk, '2026-01-04') as v"), "2");
  EXPECT_EQ(Scalar("select datepart(dy, '2024-12-31') as v"), "366");
  EXPECT_EQ(Scalar("select month('2026-12-07 09:30') * 100 + day('2026-12-07') as v"), "1207");
  EXPECT_EQ(Scalar("select convert(varchar(10), dateadd(month, 1, '2026-01-31'), 120) as v"),
            "2026-02-28");
  EXPECT_EQ(Scalar("select convert(varchar(8), dateadd(mi, 45, '23:30'), 108) as v"), "00:15:00");
  // DATEDIFF counts boundaries crossed, not whole units.
  EXPECT_EQ(Scalar("select datediff(year, '2025-12-31', '2026-01-01') as v"), "1");
  EXPECT_EQ(Scalar("select datediff(day, '2026-12-07 23:59', '2026-12-08 00:01') as v"), "1");
  EXPECT_EQ(Scalar("select datediff(week, '2026-12-05', '2026-12-06') as v"), "1");
  EXPECT_EQ(Scalar("select datediff(hour, '10:59', '09:01') as v"), "-1");
  EXPECT_EQ(Scalar("select dateadd(day, 1, null) as v"), "NULL");
  EXPECT_EQ(StatusOf("select dateadd(year, 9000, '2026-01-01')"), kStatementError);
  EXPECT_EQ(StatusOf("select datediff(ms, '1900-01-01', '2026-01-01')"), kStatementError);
  EXPECT_EQ(StatusOf("select datepart(day, 'never')"), kStatementError);
}

TEST_P(StatementTest, StringFunctionsKeepTsqlMeaning) {
  EXPECT_EQ(Scalar("select left('ABC123', 3) as v"), "ABC");
  EXPECT_EQ(Scalar("select right('ABC123', 2) as v"), "23");
  EXPECT_EQ(Scalar("select right('AB', 5) as v"), "AB");
  EXPECT_EQ(Scalar("select left('AB', 0) as v"), "");
  EXPECT_EQ(Scalar("select charindex('c1', 'ABC123') as v"), "3");
  EXPECT_EQ(Scalar("select charindex('z', 'abc') as v"), "0");
  EXPECT_EQ(Scalar("select charindex('b', 'abcb', 3) as v"), "4");
  EXPECT_EQ(StatusOf("select left('abc', -1)"), kStatementError);
  // Characters, not bytes: "中文x" keeps its first character whole.
  EXPECT_EQ(Scalar("select left('\xD6\xD0\xCE\xC4x', 1) as v"), "\xD6\xD0");
  EXPECT_EQ(Scalar("select charindex('x', '\xD6\xD0\xCE\xC4x') as v"), "3");
}

TEST_P(StatementTest, IntegerCastRescanAndItsStrictness) {
  db_->Exec(
      "insert into CJK (rec_num, cjsj) values (1, '93000'), (2, '100500'), (3, '140000'), "
      "(4, ' 95000 ')");
  _RecordsetPtr rs = conn_->Execute(
      "select * from CJK where  cast(cjsj as int)>=cast('93000' as int) and  cast(cjsj as "
      "int)<=cast('100500' as int) order by rec_num");
  EXPECT_EQ(rs->GetRecordCount(), 3);
  db_->Exec("insert into CJK (rec_num, cjsj) values (5, '12abc')");
  EXPECT_EQ(StatusOf("select * from CJK where cast(cjsj as int) > 0"), kStatementError);
  EXPECT_EQ(Scalar("select cast('' as int) as v"), "0");
}

TEST_P(StatementTest, FilteredFetchAndMaximum) {
  EXPECT_EQ(Scalar("select isnull(max(rec_num),0) as max_recnum from  CJK"), "0");
  db_->Exec(
      "insert into CJK (rec_num, stock) values (1, '737001'), (2, '600000'), (3, '739000'), "
      "(4, '000001')");
  EXPECT_EQ(Scalar("select isnull(max(rec_num),0) as max_recnum from  CJK"), "4");
  _RecordsetPtr rs = conn_->Execute(
      "select * from CJK where rec_num > 1 and (substring(stock,1,3)!='737' and "
      "substring(stock,1,3)!='739')");
  EXPECT_EQ(rs->GetRecordCount(), 2);
  EXPECT_EQ(Scalar("select max(rec_num) as rec_num from CJK "), "4");
}

TEST_P(StatementTest, NumberedInsertFormsNumberFromTheTable) {
  const char* numbered =
      "insert into CJK (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123','B' from CJK "
      "with (holdlock) ";
  conn_->Execute(numbered);
  conn_->Execute(numbered);
  conn_->Execute(
      "insert into CJK (rec_num,stock,bs)  select isnull(max(rec_num)+1,10000001),'ABC123','B' "
      "from CJK with (holdlock) ");
  conn_->Execute(
      "insert into CJK (rec_num,stock,bs)  (select max(rec_num)+1,'ABC123','B' from CJK)");
  EXPECT_EQ(Column("select rec_num from CJK order by 1"), "1,2,3,4");
}

TEST_P(StatementTest, TextComparisonsFollowTheEnginesCollation) {
  db_->Exec("insert into CJK (rec_num, stock, bs) values (1, '600   ', 'B'), (2, '601', 's')");
  if (db_->traits().case_insensitive_literals) {
    // SQL Server's rules: trailing blanks and the case of letters do not count.
    EXPECT_EQ(Scalar("select rec_num from CJK where stock='600'"), "1");
    EXPECT_EQ(Scalar("select count(*) as n from CJK where bs='b' or bs='S'"), "2");
    EXPECT_EQ(Scalar("select count(*) as n from CJK where stock<'601 '"), "1");
    EXPECT_EQ(Scalar("select count(*) as n from CJK where stock<>'600'"), "1");
  } else {
    // A documented difference: the server's own comparison, exact.
    EXPECT_EQ(Scalar("select count(*) as n from CJK where stock='600'"), "0");
    EXPECT_EQ(Scalar("select count(*) as n from CJK where stock='600   '"), "1");
    EXPECT_EQ(Scalar("select count(*) as n from CJK where bs='b' or bs='S'"), "0");
    EXPECT_EQ(Scalar("select count(*) as n from CJK where bs='B' or bs='s'"), "2");
    EXPECT_EQ(Scalar("select count(*) as n from CJK where stock<>'600'"), "2");
  }
}

TEST_P(StatementTest, LikeWithEscapeAndDateStylesRun) {
  db_->Exec("insert into CJK (rec_num, stock) values (1, 'A_1'), (2, 'AB1')");
  EXPECT_EQ(Scalar("select count(*) as n from CJK where stock like 'A\\_%' escape '\\'"), "1");
  EXPECT_EQ(Scalar("select count(*) as n from CJK where stock like 'a\\_%' escape '\\'"),
            db_->traits().case_insensitive_literals ? "1" : "0");
  EXPECT_EQ(Scalar("select len(convert(varchar(10), getdate(), 120)) as n"), "10");
}

TEST_P(StatementTest, PlusConcatenatesTextAndAddsNumbers) {
  db_->Exec("insert into CJK (rec_num, stock, bs, cjsj) values (7, '600000', 'B', '093000')");
  EXPECT_EQ(Scalar("select stock + bs as v from CJK"), "600000B");
  EXPECT_EQ(Scalar("select '600' + '000' as v"), "600000");
  EXPECT_EQ(Scalar("select count(*) as n from CJK where stock + bs = '600000B'"), "1");
  // Text with a number becomes a number, as T-SQL converts it.
  EXPECT_EQ(Scalar("select cjsj + 1 as v from CJK"), "93001");
  EXPECT_EQ(Scalar("select rec_num + '3' as v from CJK"), "10");
  EXPECT_EQ(Scalar("select rec_num + 2 * 3 - 1 as v from CJK"), "12");
  EXPECT_EQ(Scalar("select 1.5 + '1' as v"), "2.5");
  EXPECT_EQ(Scalar("select bs + null as v from CJK"), "NULL");
  EXPECT_EQ(StatusOf("select bs + 1 from CJK"), kStatementError);
  EXPECT_EQ(StatusOf("select stock - bs from CJK"), kStatementError);
  EXPECT_EQ(StatusOf("select 9223372036854775807 + 1"), kStatementError);
}

TEST_P(StatementTest, LenDoesNotCountTrailingBlanks) {
  db_->Exec("insert into CJK (rec_num, stock) values (1, 'AB   ')");
  EXPECT_EQ(Scalar("select len(stock) as n from CJK"), "2");
}

TEST_P(StatementTest, DoubleQuotedUnknownNameIsAnErrorNotAString) {
  Rows(1);
  EXPECT_EQ(StatusOf("select * from CJK where stock = \"nosuchcolumn\""), kStatementError);
}

TEST_P(StatementTest, DatabaseQualifiedAndBracketedNames) {
  Rows(2);
  EXPECT_EQ(Scalar("select count(*) as ALLRECORDS from trade..CJK"), "2");
  EXPECT_EQ(Scalar("select count(*) as n from [CJK] where [stock] like '6%'"), "2");
  EXPECT_EQ(conn_->Execute("select c.* from CJK c")->ColumnNames().size(), 6u);
}

TEST_P(StatementTest, SysobjectsAndSyscolumnsDescribeTables) {
  db_->Exec(
      "create table Kinds (a int, b varchar(20), c char(6), e float, f real, g smallint, "
      "j decimal(10,2), k numeric(5), o bigint)");
  _RecordsetPtr obj = conn_->Execute("select * from sysobjects where name='kinds'");
  ASSERT_EQ(obj->GetRecordCount(), 1);
  const std::string id = obj->GetCollect("id").ToString().str();
  _RecordsetPtr cols = conn_->Execute(CString("select * from syscolumns where id=") + id.c_str());
  struct Expect {
    const char* name;
    int type;
    int length;
  };
  // decimal(10,2) is numeric(10,2) where the engine has one type for both.
  const int decimal = db_->traits().distinct_decimal_type ? 106 : 108;
  const Expect want[] = {{"a", 56, 4}, {"b", 39, 20},     {"c", 47, 6},  {"e", 62, 8}, {"f", 59, 4},
                         {"g", 52, 2}, {"j", decimal, 9}, {"k", 108, 5}, {"o", 127, 8}};
  ASSERT_EQ(cols->GetRecordCount(), static_cast<long>(sizeof want / sizeof *want));
  for (const Expect& w : want) {
    EXPECT_EQ(cols->GetCollect("name").ToString(), w.name);
    EXPECT_EQ(atoi(cols->GetCollect("type").ToString()), w.type) << w.name;
    EXPECT_EQ(atoi(cols->GetCollect("length").ToString()), w.length) << w.name;
    cols->MoveNext();
  }
  EXPECT_EQ(conn_->Execute("select * from sysobjects where name='NoSuchTable'")->GetRecordCount(),
            0);
}

// prec and scale tell what a value may hold where length only tells storage:
// characters of a character type, digits of a number, none for text.
TEST_P(StatementTest, SyscolumnsGivesPrecisionAndScale) {
  db_->Exec(
      "create table Sized (a int, b varchar(20), c char(6), j decimal(10,3), k numeric(5), "
      "t text, d date, o bigint)");
  const std::string id = conn_->Execute("select id from sysobjects where name='sized'")
                             ->GetCollect("id")
                             .ToString()
                             .str();
  _RecordsetPtr cols =
      conn_->Execute(CString("select name, prec, scale from syscolumns where id=") + id.c_str() +
                     " order by colid");
  const int want[][2] = {{10, 0}, {20, 0}, {6, 0}, {10, 3}, {5, 0}, {0, 0}, {10, 0}, {19, 0}};
  ASSERT_EQ(cols->GetRecordCount(), 8);
  for (const auto& w : want) {
    const std::string name = cols->GetCollect("name").ToString().str();
    EXPECT_EQ(atoi(cols->GetCollect("prec").ToString()), w[0]) << name;
    EXPECT_EQ(atoi(cols->GetCollect("scale").ToString()), w[1]) << name;
    cols->MoveNext();
  }
}

TEST_P(StatementTest, IdentityCurrentAndReseed) {
  db_->Exec("create table Ident (" + std::string(db_->traits().identity_ddl) + ", v varchar(4))");
  // Never used: NULL, or the seed where the engine gives it as SQL Server does.
  EXPECT_EQ(Scalar("select IDENT_CURRENT('Ident') as IdentCurrent "),
            db_->traits().unused_ident_current);
  db_->Exec("insert into Ident (v) values ('a'), ('b'), ('c')");
  EXPECT_EQ(Scalar("select IDENT_CURRENT('Ident') as IdentCurrent "), "3");
  conn_->Execute("DBCC CHECKIDENT ('Ident', RESEED, 100) ");
  EXPECT_EQ(Scalar("select IDENT_CURRENT('ident') as IdentCurrent "), "100");
  db_->Exec("insert into Ident (v) values ('d')");
  EXPECT_EQ(db_->Scalar("select max(id) from Ident"), "101");
  // A table that does not exist has no identity value.
  EXPECT_EQ(Scalar("select IDENT_CURRENT('Nowhere') as IdentCurrent "), "NULL");
}

TEST_P(StatementTest, ReseedOfATableWithoutIdentityFailsWithAMessage) {
  try {
    conn_->Execute("DBCC CHECKIDENT ('CJK', RESEED, 5) ");
    FAIL() << "reseed of a table without identity ran";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kStatementError);
    EXPECT_NE(e.Description().Find("identity"), -1) << e.Description().c_str();
  }
  EXPECT_EQ(StatusOf("DBCC CHECKIDENT ('Nowhere', RESEED, 5) "), kStatementError);
}

TEST_P(StatementTest, BatchRunsInOrderAndStopsAtTheFirstFailure) {
  _RecordsetPtr rs = conn_->Execute(
      "insert into CJK (rec_num) values (1); insert into CJK (rec_num) values (2);"
      "select count(*) as n from CJK;");
  EXPECT_EQ(rs->GetCollect("n").ToString(), "2");
  EXPECT_EQ(StatusOf("insert into CJK (rec_num) values (3); insert into Nowhere values (1); "
                     "insert into CJK (rec_num) values (4)"),
            kStatementError);
  EXPECT_EQ(Column("select rec_num from CJK order by 1"), "1,2,3");
}

TEST_P(StatementTest, UntranslatableStatementsFailAndChangeNothing) {
  EXPECT_EQ(StatusOf("insert into CJK (stock) values (stuff('abc', 1, 1, 'x'))"), kNotSupported);
  EXPECT_EQ(StatusOf("select top 10 percent * from CJK"), kNotSupported);
  EXPECT_EQ(db_->Scalar("select count(*) from CJK"), "0");
}

TEST_P(StatementTest, RejectedStatementsAreStatementErrors) {
  EXPECT_EQ(StatusOf("select * from Nowhere"), kStatementError);
  EXPECT_EQ(StatusOf("selec * from CJK"), kStatementError);
  EXPECT_EQ(StatusOf("select 'unterminated from CJK"), kStatementError);
  EXPECT_EQ(StatusOf("select (1 from CJK"), kStatementError);
  EXPECT_EQ(StatusOf("select nosuchcolumn from CJK"), kStatementError);
}

INSTANTIATE_TEST_SUITE_P(Engines, StatementTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
