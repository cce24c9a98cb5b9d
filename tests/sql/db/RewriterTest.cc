// The T-SQL rewriter statement by statement, with SQLite's dialect: the
// library's own statement forms, caller conditions, and malformed or
// untranslatable text.
#include <gtest/gtest.h>
#include <strings.h>

#include <string>
#include <vector>

#include "sql/db/ComError.h"
#include "sql/db/sqlite/Dialect.h"
#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/Rewriter.h"

namespace {

using kestal::db::tsql::Rewrite;
using kestal::db::tsql::SplitBatch;
using kestal::db::tsql::Statement;
using kestal::db::tsql::StatementKind;

// SQLite's dialect without the literal collation and the + and - functions,
// which would otherwise show in most statements below; LiteralCollationTest
// and OperatorTest cover them.
const kestal::db::tsql::Dialect& PlainDialect() {
  static const kestal::db::tsql::Dialect dialect = [] {
    kestal::db::tsql::Dialect d = kestal::db::sqlite::SqliteDialect();
    d.literal_collation = nullptr;
    d.add_function = nullptr;
    d.subtract_function = nullptr;
    return d;
  }();
  return dialect;
}

Statement Plan(const std::string& text) {
  return Rewrite(text, PlainDialect());
}
std::string Sql(const std::string& text) {
  return Plan(text).sql;
}

// The status raised for text, or 0 when it rewrites.
HRESULT StatusOf(const std::string& text) {
  try {
    Plan(text);
    return 0;
  } catch (const _com_error& e) {
    return e.Error();
  }
}

std::string DescriptionOf(const std::string& text) {
  try {
    Plan(text);
    return std::string();
  } catch (const _com_error& e) {
    return e.Description().str();
  }
}

TEST(RewriterTest, PlainStatementsPassUnchanged) {
  EXPECT_EQ(Sql("select count(*) as ALLRECORDS from T"), "select count(*) as ALLRECORDS from T");
  EXPECT_EQ(Sql("select * from T "), "select * from T ");
  EXPECT_EQ(Sql("select * from T where serialnum>5  order by serialnum"),
            "select * from T where serialnum>5  order by serialnum");
  EXPECT_EQ(Sql("insert into T (rec_num,stock,bs)  values (0,'ABC123','B')"),
            "insert into T (rec_num,stock,bs)  values (0,'ABC123','B')");
}

TEST(RewriterTest, LibraryStatementsThatNeedNoChangePassUnchanged) {
  for (const char* text :
       {"select * from sysobjects where name='CJK'", "select * from syscolumns where id=12",
        "select count(rec_num) as rec_num from CJK ", "select max(rec_num) as rec_num from CJK ",
        "select rec_num ,date from  CJK",
        "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from CJK where rec_num>5 "
        "and rec_num<=105",
        "select * from CJK where rec_num>5 and ( bs='B' or bs='S' ) and rec_num<=105 order by "
        "rec_num",
        "select * from CJK where serialnum>5  order by serialnum",
        "insert into CJK (rec_num,stock,bs)  values (1,'ABC123','B');insert into CJK "
        "(rec_num,stock,bs)  values (2,'ABC124','S');"}) {
    for (const std::string& st : SplitBatch(text)) EXPECT_EQ(Sql(st), st);
  }
}

TEST(RewriterTest, TopBecomesLimitAtTheEndOfItsOwnQuery) {
  EXPECT_EQ(Sql("select top 5 * from T where rec_num > 3 "),
            "select  * from T where rec_num > 3 LIMIT 5");
  EXPECT_EQ(Sql("select top (7) a from T order by a"), "select  a from T order by a LIMIT 7");
  EXPECT_EQ(Sql("select distinct top 2 a from T"), "select distinct  a from T LIMIT 2");
  EXPECT_EQ(Sql("select * from t where x in (select top 1 y from u order by y) "),
            "select * from t where x in (select  y from u order by y LIMIT 1) ");
}

TEST(RewriterTest, TopFormsWithoutFaithfulTranslationAreRefused) {
  using kestal::db::kNotSupported;
  EXPECT_EQ(StatusOf("select top 10 percent * from t"), kNotSupported);
  EXPECT_EQ(StatusOf("select top 3 with ties * from t order by a"), kNotSupported);
  EXPECT_EQ(StatusOf("select top 3 a from t union select b from u"), kNotSupported);
  EXPECT_EQ(StatusOf("select top (@n) a from t"), kNotSupported);
  EXPECT_EQ(StatusOf("select top 1.5 a from t"), kNotSupported);
  EXPECT_EQ(StatusOf("select top from t"), kestal::db::kStatementError);
}

TEST(RewriterTest, NumberedInsertLosesItsHintAndKeepsTheTableForLocking) {
  Statement st = Plan(
      "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123','B' from T "
      "with (holdlock) ");
  EXPECT_EQ(st.sql,
            "insert into T (rec_num,stock,bs)  select ifnull(max(rec_num)+1,1),'ABC123','B' from "
            "T  ");
  ASSERT_EQ(st.locked_tables.size(), 1u);
  EXPECT_EQ(st.locked_tables[0], "T");
  EXPECT_EQ(Sql("select isnull(max(REC_NUM)+1,10000001) from T WITH (HOLDLOCK, ROWLOCK)"),
            "select ifnull(max(REC_NUM)+1,10000001) from T ");
  // Hints that lock nothing are dropped without a table to lock.
  EXPECT_TRUE(Plan("select * from T with (nolock)").locked_tables.empty());
  EXPECT_EQ(Sql("select * from T (nolock) where a=1"), "select * from T where a=1");
  EXPECT_EQ(Sql("select * from T with (index(ix_a), nolock) where a=1"),
            "select * from T  where a=1");
  EXPECT_EQ(Sql("select * from T with (index = ix_a)"), "select * from T ");
}

TEST(RewriterTest, ParenthesisedSelectAfterInsertIsUnwrapped) {
  EXPECT_EQ(Sql("insert into T (rec_num,stock,bs)  (select max(rec_num)+1,'ABC123','B' from T)"),
            "insert into T (rec_num,stock,bs)  select max(rec_num)+1,'ABC123','B' from T");
  // A parenthesised subquery inside the values stays.
  EXPECT_EQ(Sql("insert into T (a) values ((select max(a) from T))"),
            "insert into T (a) values ((select max(a) from T))");
}

TEST(RewriterTest, NamesLoseDatabaseAndOwnerAndBracketsBecomeQuotes) {
  EXPECT_EQ(Sql("select count(*) as ALLRECORDS from trade..CJK"),
            "select count(*) as ALLRECORDS from CJK");
  EXPECT_EQ(Sql("select * from trade.dbo.CJK"), "select * from CJK");
  EXPECT_EQ(Sql("select * from dbo.CJK"), "select * from CJK");
  EXPECT_EQ(Sql("select * from [trade]..[my table] where [a]]b]=1"),
            "select * from \"my table\" where \"a]b\"=1");
  EXPECT_EQ(Sql("select t.a from T t"), "select t.a from T t");
  EXPECT_EQ(Sql("select t.*, [u].* from T t join U u on t.a=u.a"),
            "select t.*, \"u\".* from T t join U u on t.a=u.a");
  EXPECT_EQ(StatusOf("select * from s.d.o.T"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("select * from T."), kestal::db::kStatementError);
}

TEST(RewriterTest, TimeOfDayConversionReadsBothTextForms) {
  EXPECT_EQ(
      Sql("select * from T where convert(varchar(8) ,cast(time as datetime),108)>='09:30:00'"),
      "select * from T where substr(strftime('%H:%M:%S', kestal_datetime(time "
      ")), 1, 8)>='09:30:00'");
  EXPECT_EQ(Sql("select convert(char(8), d, 112) from T"),
            "select substr(strftime('%Y%m%d',  d), 1, 8) from T");
  EXPECT_EQ(StatusOf("select convert(varchar(10), d, 999) from t"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("select convert(int, d, 108) from t"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("select convert(varchar(8), d, x) from t"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("select convert(varchar(8)) from t"), kestal::db::kStatementError);
}

TEST(RewriterTest, CastsKeepTsqlMeaning) {
  EXPECT_EQ(Sql("select * from T where  cast(cjsj as int)>=cast('93000' as int)"),
            "select * from T where  kestal_int(cjsj , 32)>=kestal_int('93000' , 32)");
  EXPECT_EQ(Sql("select cast(a as varchar(4)) from T"),
            "select substr(CAST(a  AS TEXT), 1, 4) from T");
  EXPECT_EQ(Sql("select cast(a as float), cast(b as bigint) from T"),
            "select CAST(a  AS REAL), kestal_int(b , 64) from T");
  EXPECT_EQ(Sql("select convert(int, a) from T"), "select kestal_int( a, 32) from T");
  EXPECT_EQ(StatusOf("select cast(a as xml) from t"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("select cast(a) from t"), kestal::db::kStatementError);
}

TEST(RewriterTest, FunctionsAndOperatorsGetTheirEngineSpelling) {
  EXPECT_EQ(Sql("select * from T where rec_num > 5 and (substring(stock,1,3)!='737' and "
                "substring(stock,1,3)!='739')"),
            "select * from T where rec_num > 5 and (substr(stock,1,3)!='737' and "
            "substr(stock,1,3)!='739')");
  EXPECT_EQ(Sql("select isnull(max(rec_num),0) as max_recnum from  T"),
            "select ifnull(max(rec_num),0) as max_recnum from  T");
  EXPECT_EQ(Sql("select len(a) from T where b !< 3 and c !> 4"),
            "select length(rtrim(CAST(a AS TEXT))) from T where b >= 3 and c <= 4");
  EXPECT_EQ(Sql("select current_timestamp"), "select datetime('now','localtime')");
  EXPECT_EQ(Sql("select getdate()"), "select datetime('now','localtime')");
  EXPECT_EQ(Sql("select N'abc' as x"), "select 'abc' as x");
  EXPECT_EQ(Sql("delete T where a=1"), "delete from T where a=1");
  EXPECT_EQ(Sql("insert T values (1)"), "insert into T values (1)");
  // An identifier named like a function but not called stays.
  EXPECT_EQ(Sql("select isnull from T"), "select isnull from T");
}

TEST(RewriterTest, DateAndStringFunctionsGoToTheEnginesOwn) {
  EXPECT_EQ(Sql("select dateadd(dd, -1, getdate())"),
            "select kestal_dateadd('day',  -1,  datetime('now','localtime'))");
  EXPECT_EQ(Sql("select datediff(MINUTE, a, b), datepart(dw, a), year(a) from T"),
            "select kestal_datediff('minute',  a,  b), kestal_datepart('weekday',  a), "
            "kestal_datepart('year', a) from T");
  EXPECT_EQ(Sql("select left(stock, 3), right(stock,2), charindex('7', stock) from T"),
            "select kestal_left(stock, 3), kestal_right(stock,2), kestal_charindex('7', stock) "
            "from T");
  // LEFT JOIN is no call.
  EXPECT_EQ(Sql("select * from T left join U on T.a=U.a"),
            "select * from T left join U on T.a=U.a");
  EXPECT_EQ(StatusOf("select dateadd(fortnight, 1, d) from T"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("select dateadd(day, 1) from T"), kestal::db::kStatementError);
  EXPECT_EQ(StatusOf("select datepart(a + 1, d) from T"), kestal::db::kStatementError);
  EXPECT_EQ(StatusOf("select year() from T"), kestal::db::kStatementError);
}

TEST(RewriterTest, IdentCurrentNeedsOneTableNameLiteral) {
  EXPECT_EQ(Sql("select IDENT_CURRENT('T') as IdentCurrent "),
            "select kestal_ident_current('T') as IdentCurrent ");
  EXPECT_EQ(Sql("select IDENT_CURRENT('db..[T]') as x"), "select kestal_ident_current('T') as x");
  EXPECT_EQ(StatusOf("select IDENT_CURRENT(name) from t"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("select IDENT_CURRENT('a', 'b')"), kestal::db::kNotSupported);
}

TEST(RewriterTest, LiteralsAndCommentsAreNotSyntax) {
  EXPECT_EQ(Sql("select * from t where a='it''s; isnull( top 5 [x]'"),
            "select * from t where a='it''s; isnull( top 5 [x]'");
  EXPECT_EQ(Sql("select a /* top 5 ; */ from t -- with (holdlock)\nwhere b=1"),
            "select a   from t  \nwhere b=1");
}

TEST(RewriterTest, SetRowcountAndNocount) {
  Statement st = Plan("set rowcount 100");
  EXPECT_EQ(st.kind, StatementKind::kSetRowcount);
  EXPECT_EQ(st.rowcount, 100);
  EXPECT_EQ(Plan("SET ROWCOUNT 0").rowcount, 0);
  EXPECT_EQ(Plan("set nocount on").kind, StatementKind::kNoop);
  EXPECT_EQ(StatusOf("set rowcount -1"), kestal::db::kStatementError);
  EXPECT_EQ(StatusOf("set rowcount"), kestal::db::kStatementError);
  EXPECT_EQ(StatusOf("set rowcount 5 6"), kestal::db::kStatementError);
  EXPECT_EQ(StatusOf("set rowcount @n"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("set ansi_nulls off"), kestal::db::kNotSupported);
  EXPECT_EQ(Plan("set quoted_identifier on").kind, StatementKind::kNoop);
  EXPECT_EQ(Plan("set identity_insert [db]..[T] on").kind, StatementKind::kNoop);
  EXPECT_EQ(StatusOf("set identity_insert T maybe"), kestal::db::kStatementError);
  EXPECT_EQ(StatusOf("set rowcount 99999999999999999999999"), kestal::db::kStatementError);
}

TEST(RewriterTest, BulkInsertBecomesALoadRequest) {
  Statement st = Plan(
      "BULK INSERT [CJK] FROM '/w/log/OrderTemp_A.txt' WITH ( DATAFILETYPE = 'char', "
      "FIELDTERMINATOR = ',', TABLOCK)");
  ASSERT_EQ(st.kind, StatementKind::kBulkInsert);
  EXPECT_EQ(st.bulk.table, "CJK");
  EXPECT_EQ(st.bulk.path, "/w/log/OrderTemp_A.txt");
  EXPECT_EQ(st.bulk.field_terminator, ",");
  EXPECT_EQ(st.bulk.row_terminator, "");
  st = Plan(
      "bulk insert db..T from 'a''b.txt' with (fieldterminator='\\t', rowterminator='|', "
      "firstrow=2, keepidentity)");
  EXPECT_EQ(st.bulk.table, "T");
  EXPECT_EQ(st.bulk.path, "a'b.txt");
  EXPECT_EQ(st.bulk.field_terminator, "\t");
  EXPECT_EQ(st.bulk.row_terminator, "|");
  EXPECT_EQ(st.bulk.first_row, 2);
  EXPECT_TRUE(st.bulk.keep_identity);
  EXPECT_EQ(Plan("bulk insert T from 'x' with (rowterminator='\\n')").bulk.row_terminator, "");
}

TEST(RewriterTest, MalformedBulkInsertIsRefused) {
  using kestal::db::kNotSupported;
  using kestal::db::kStatementError;
  EXPECT_EQ(StatusOf("bulk insert T"), kStatementError);
  EXPECT_EQ(StatusOf("bulk insert T from x"), kStatementError);
  EXPECT_EQ(StatusOf("bulk insert T from 'x' with (datafiletype='native')"), kNotSupported);
  EXPECT_EQ(StatusOf("bulk insert T from 'x' with (errorfile='e')"), kNotSupported);
  EXPECT_EQ(StatusOf("bulk insert T from 'x' with (fieldterminator=',' "), kStatementError);
  EXPECT_EQ(StatusOf("bulk insert T from 'x' with (firstrow=0)"), kStatementError);
  EXPECT_EQ(StatusOf("bulk insert T from 'x' extra"), kStatementError);
  EXPECT_EQ(StatusOf("bulk copy T"), kNotSupported);
}

TEST(RewriterTest, CheckidentReseedBecomesARequest) {
  Statement st = Plan("DBCC CHECKIDENT ('CJK', RESEED, 100) ");
  ASSERT_EQ(st.kind, StatementKind::kReseed);
  EXPECT_EQ(st.table, "CJK");
  EXPECT_EQ(st.seed, 100);
  EXPECT_EQ(Plan("dbcc checkident([db]..[T], reseed, -5) with no_infomsgs").seed, -5);
  EXPECT_EQ(Plan("dbcc checkident([db]..[T], reseed, -5)").table, "T");
  EXPECT_EQ(StatusOf("dbcc checkident('T')"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("dbcc checkident('T', reseed)"), kestal::db::kNotSupported);
  EXPECT_EQ(StatusOf("dbcc checkident('T', reseed, 1"), kestal::db::kStatementError);
  EXPECT_EQ(StatusOf("dbcc shrinkdatabase(x)"), kestal::db::kNotSupported);
}

TEST(RewriterTest, MalformedTextIsAStatementError) {
  using kestal::db::kStatementError;
  EXPECT_EQ(StatusOf("select 'abc"), kStatementError);
  EXPECT_EQ(StatusOf("select 'abc''"), kStatementError);
  EXPECT_EQ(StatusOf("select [abc from t"), kStatementError);
  EXPECT_EQ(StatusOf("select \"abc from t"), kStatementError);
  EXPECT_EQ(StatusOf("select a /* no end"), kStatementError);
  EXPECT_EQ(StatusOf("select (a from t"), kStatementError);
  EXPECT_EQ(StatusOf("select a) from t"), kStatementError);
  // Parameter marks would bind as NULL on an engine.
  EXPECT_EQ(StatusOf("select * from t where a = ?"), kStatementError);
  EXPECT_EQ(StatusOf("select * from t where a = :a"), kStatementError);
  EXPECT_EQ(StatusOf("select * from t where a = $a"), kStatementError);
  EXPECT_EQ(StatusOf("select * from t where a = '?:$'"), 0);
  EXPECT_NE(DescriptionOf("select 'abc").find("Unclosed quotation mark"), std::string::npos);
}

TEST(RewriterTest, UntranslatableConstructsAreNamed) {
  using kestal::db::kNotSupported;
  EXPECT_EQ(StatusOf("exec sp_who"), kNotSupported);
  EXPECT_EQ(StatusOf("begin tran"), kNotSupported);
  EXPECT_EQ(StatusOf("truncate table T"), kNotSupported);
  EXPECT_EQ(StatusOf("savepoint a"), kNotSupported);
  EXPECT_EQ(StatusOf("end transaction"), kNotSupported);
  EXPECT_EQ(StatusOf("attach database 'x' as y"), kNotSupported);
  EXPECT_EQ(StatusOf("select @x"), kNotSupported);
  EXPECT_EQ(StatusOf("select * from #tmp"), kNotSupported);
  EXPECT_EQ(StatusOf("select * into u from t"), kNotSupported);
  EXPECT_EQ(StatusOf("select 'a'+stock from T"), kNotSupported);  // without + function
  EXPECT_EQ(StatusOf("select stuff(a, 1, 2, 'x') from T"), kNotSupported);
  EXPECT_EQ(StatusOf("select log(a) from T"), kNotSupported);
  EXPECT_EQ(StatusOf("create table T (id int identity(1,1) primary key)"), kNotSupported);
  EXPECT_EQ(StatusOf("create table T (id int identity primary key)"), kNotSupported);
  EXPECT_EQ(StatusOf("select * from T where d > getdate()-1"), kNotSupported);
  EXPECT_EQ(StatusOf("select current_timestamp + 1"), kNotSupported);
  EXPECT_EQ(StatusOf("select * from T where stock like '[67]%'"), kNotSupported);
  EXPECT_EQ(StatusOf("select * from T where stock like '6%'"), 0);
  EXPECT_NE(DescriptionOf("select patindex('a', b) from T").find("patindex"), std::string::npos);
  EXPECT_NE(DescriptionOf("exec sp_who").find("exec"), std::string::npos);
  EXPECT_NE(DescriptionOf("select 'a'+stock from T").find("concatenation"), std::string::npos);
  EXPECT_NE(DescriptionOf("select @x").find("@x"), std::string::npos);
}

TEST(LiteralCollationTest, LiteralsAreCollatedInQueriesAndDataStatementsOnly) {
  const auto& d = kestal::db::sqlite::SqliteDialect();
  EXPECT_EQ(Rewrite("select * from T where bs='B'", d).sql,
            "select * from T where bs='B' COLLATE TSQL");
  EXPECT_EQ(Rewrite("update T set a='x' where b in ('p','q')", d).sql,
            "update T set a='x' COLLATE TSQL where b in ('p' COLLATE TSQL,'q' COLLATE TSQL)");
  // In DDL a COLLATE after DEFAULT would become the column's collation.
  EXPECT_EQ(Rewrite("create table T (a varchar(2) default 'x')", d).sql,
            "create table T (a varchar(2) default 'x')");
  EXPECT_EQ(Rewrite("pragma table_info('T')", d).sql, "pragma table_info('T')");
}

// Binary + and - become the dialect's functions with T-SQL's precedence.
TEST(OperatorTest, SignsWrapTheirOperandsByPrecedence) {
  auto sql = [](const std::string& text) {
    kestal::db::tsql::Dialect d = kestal::db::sqlite::SqliteDialect();
    d.literal_collation = nullptr;
    return Rewrite(text, d).sql;
  };
  EXPECT_EQ(sql("select a + b from T"), "select kestal_add(a, b) from T");
  // Two signs or more make one flat call (SQLite nests few calls).
  EXPECT_EQ(sql("select a+b*c-d from T"), "select kestal_chain(a, '+', b*c, '-', d) from T");
  EXPECT_EQ(sql("select -a + -b, x * -y - 1 from T"),
            "select kestal_add(-a, -b), kestal_sub(x * -y, 1) from T");
  EXPECT_EQ(sql("select isnull(max(rec_num)+1,1) from T"),
            "select ifnull(kestal_add(max(rec_num), 1),1) from T");
  EXPECT_EQ(sql("select 'a' + t.b + (c) from T t"),
            "select kestal_chain('a', '+', t.b, '+', (c)) from T t");
  EXPECT_EQ(sql("select * from T where a + 1 = b and c = -1"),
            "select * from T where kestal_add(a, 1) = b and c = -1");
  EXPECT_EQ(sql("select count(*) - 1, ~a + 1 from T"),
            "select kestal_sub(count(*), 1), kestal_add(~a, 1) from T");
  // In DDL the signs stay the engine's own: a negative default stays one.
  EXPECT_EQ(sql("create table T (a int default -1, b int default 0 check (b - 1 < 5))"),
            "create table T (a int default -1, b int default 0 check (b - 1 < 5))");
  EXPECT_EQ(sql("alter table T add c int default 2 - 1"), "alter table T add c int default 2 - 1");
  // ... and a string next to + there would not concatenate, so it is refused.
  EXPECT_THROW(sql("create table T (a varchar(4) default 'a' + 'b')"), _com_error);
  // The query of a view, and a subquery inside DDL, are queries again.
  EXPECT_EQ(sql("create view V as select a - 1 as x from T"),
            "create view V as select kestal_sub(a, 1) as x from T");
  EXPECT_EQ(sql("create view V as select (a - 1) * 2 as x from T"),
            "create view V as select (kestal_sub(a, 1)) * 2 as x from T");
  EXPECT_EQ(sql("create table T (a int check (a in (select b - 1 from U)))"),
            "create table T (a int check (a in (select kestal_sub(b, 1) from U)))");
  // A DEFAULT in a data statement is no operand either.
  EXPECT_EQ(sql("update T set a = default, b = -1"), "update T set a = default, b = -1");
  // No operand on one side: left as written for the engine to judge.
  EXPECT_EQ(sql("select case when a then 1 end + 1 from T"),
            "select case when a then 1 end + 1 from T");
}

TEST(SplitBatchTest, SplitsAtTopLevelSemicolonsOnly) {
  auto parts = SplitBatch(
      "insert into T values ('a;b'); insert into T values (1) ;; select [x;y] from T; -- end;");
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], "insert into T values ('a;b')");
  EXPECT_EQ(parts[1], " insert into T values (1) ");
  EXPECT_EQ(parts[2], " select [x;y] from T");
  EXPECT_TRUE(SplitBatch("  ; ;\n").empty());
  EXPECT_THROW(SplitBatch("select 'x; select 1"), _com_error);
  EXPECT_THROW(SplitBatch("select (1; select 2"), _com_error);
}

TEST(LexerTest, TokensGiveTheTextBack) {
  const std::string text = "select [a]]b], N'x''y', 0x1F, 1.5e3 from t where a!=1 -- c\n/* d */";
  std::string joined;
  for (const auto& t : kestal::db::tsql::Lex(text)) joined += t.text;
  EXPECT_EQ(joined, text);
}

}  // namespace

namespace {

using kestal::db::tsql::ColumnShape;
using kestal::db::tsql::Schema;
using kestal::db::tsql::TableShape;

// A fixed catalog: cjk(rec_num int, cjsj varchar, Stock varchar) stored as
// "CJK", and a "Trades" table whose columns were made with quotes.
class FixedSchema : public Schema {
 public:
  FixedSchema() {
    tables_.push_back({"CJK", {{"rec_num", false}, {"cjsj", true}, {"Stock", true}}});
    tables_.push_back({"Trades", {{"Price", false}, {"price", true}, {"Code", true}}});
  }
  const TableShape* Table(const std::string& name) override {
    ++lookups;
    for (const TableShape& t : tables_) {
      if (strcasecmp(t.name.c_str(), name.c_str()) == 0) return &t;
    }
    return nullptr;
  }
  int lookups = 0;

 private:
  std::vector<TableShape> tables_;
};

std::string WithSchema(const std::string& text, const kestal::db::tsql::Dialect& dialect) {
  FixedSchema schema;
  return Rewrite(text, dialect, &schema).sql;
}

TEST(NumberComparisonTest, OnlyCharacterColumnsAreConvertedSoIndexesOnNumbersStayUsable) {
  const auto& d = PlainDialect();
  const struct {
    const char* in;
    const char* out;
  } kCases[] = {
      // The numeric key keeps its bare comparison (its index serves it).
      {"select * from CJK where rec_num>5 and rec_num<=10",
       "select * from CJK where rec_num>5 and rec_num<=10"},
      {"select * from CJK where cjsj>=100000",
       "select * from CJK where kestal_int(cjsj, 32)>=100000"},
      {"select * from CJK c where c.cjsj > 1.5",
       "select * from CJK c where kestal_number(c.cjsj, 0) > 1.5"},
      {"select * from CJK where 2e3 < cjsj",
       "select * from CJK where 2e3 < kestal_number(cjsj, 1)"},
      {"select * from CJK where cjsj = -3000000000",
       "select * from CJK where kestal_number(cjsj, 0) = -3000000000"},
      {"select * from CJK where cjsj in (1, 2.5)",
       "select * from CJK where kestal_number(cjsj, 0) in (1, 2.5)"},
      // Text compared with text, a column with a column, and hex stay.
      {"select * from CJK where cjsj = '5'", "select * from CJK where cjsj = '5'"},
      {"select * from CJK where cjsj = stock", "select * from CJK where cjsj = stock"},
      {"select * from CJK where cjsj = 0x35", "select * from CJK where cjsj = 0x35"},
      {"select * from CJK where cjsj in (1, '2')", "select * from CJK where cjsj in (1, '2')"},
      // Assignments and select-list aliases are no comparisons.
      {"update CJK set cjsj = 5, stock = 6 where cjsj = 7",
       "update CJK set cjsj = 5, stock = 6 where kestal_int(cjsj, 32) = 7"},
      // Unknown tables and columns are left to the engine.
      {"select * from Other where cjsj > 5", "select * from Other where cjsj > 5"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.out, WithSchema(c.in, d)) << c.in;
}

TEST(NumberComparisonTest, TheCatalogIsAskedOnlyWhenAComparisonNeedsIt) {
  FixedSchema schema;
  Rewrite("select * from CJK where stock = 'x' order by rec_num", PlainDialect(), &schema);
  Rewrite("insert into CJK (rec_num, cjsj) values (1, '2')", PlainDialect(), &schema);
  EXPECT_EQ(0, schema.lookups);
  Rewrite("select * from CJK where cjsj > 1", PlainDialect(), &schema);
  EXPECT_EQ(1, schema.lookups);
}

TEST(StoredNameTest, NamesThatMindCaseAreWrittenAsStored) {
  kestal::db::tsql::Dialect d = PlainDialect();
  d.quote_stored_name = [](const std::string& n) { return "\"" + n + "\""; };
  EXPECT_EQ("select \"price\", \"Code\" from \"Trades\" t where t.\"Code\" = 'x'",
            WithSchema("select PRICE, code from trades t where t.CODE = 'x'", d));
  // "Price" and "price" differ only by case: the lower-case one is used.
  EXPECT_EQ("select \"price\" from \"Trades\"", WithSchema("select PRICE from trades", d));
  EXPECT_EQ("select count(*) as ALLRECORDS from \"Trades\"",
            WithSchema("select count(*) as ALLRECORDS from [dbo].[TRADES]", d));
  EXPECT_EQ("select \"Trades\".\"Code\" from \"Trades\"",
            WithSchema("select trades.code from trades", d));
  // A plain insert into a table stored with capitals leaves the fast path.
  EXPECT_EQ("insert into \"Trades\" (\"Code\") values ('a')",
            WithSchema("insert into trades (code) values ('a')", d));
  EXPECT_EQ("insert into \"CJK\" (\"rec_num\") values (1)",
            WithSchema("insert into cjk (rec_num) values (1)", d));
  EXPECT_EQ("insert into other (a) values (1)", WithSchema("insert into other (a) values (1)", d));
}

}  // namespace
