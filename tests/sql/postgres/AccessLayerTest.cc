// The access layer on a real PostgreSQL server: everything whose meaning the
// engine has to supply itself (catalog, names, session settings, T-SQL
// functions, identities, bulk load, transactions, error statuses).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/db/Ado.h"
#include "support/TestDatabase.h"

namespace kestal::test {
namespace {

using kestal::db::kConnectionError;
using kestal::db::kStatementError;

class PgAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Engine::kPostgres);
    conn_.CreateInstance();
    conn_->Open(CString(db_->ConnectionString()));
  }

  // Every row of sql, columns joined by '|' (NULL as "<null>").
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> out;
    _RecordsetPtr rs = conn_->Execute(CString(sql));
    if (rs->GetState() != adStateOpen) return out;
    const std::vector<CString> names = rs->ColumnNames();
    for (; !rs->IsEOF(); rs->MoveNext()) {
      std::string line;
      for (size_t i = 0; i < names.size(); ++i) {
        _variant_t v = rs->GetCollect(names[i].c_str());
        line += (i ? "|" : "") + (v.IsNull() ? std::string("<null>") : v.ToString().str());
      }
      out.push_back(line);
    }
    return out;
  }
  std::string One(const std::string& sql) {
    std::vector<std::string> rows = Rows(sql);
    return rows.empty() ? std::string("<none>") : rows[0];
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

  std::unique_ptr<TestDatabase> db_;
  _ConnectionPtr conn_;
};

TEST_F(PgAccessTest, SyscolumnsGivesSqlServerTypeCodesAndLengthsInColumnOrder) {
  db_->Exec(
      "create table quotes (rec_num int, stock char(6), name varchar(20), ver bytea, "
      "tm timestamp, px float, qty real, lot smallint, ok boolean, amt numeric(10,2), "
      "note text, big bigint, small numeric(5))");
  const std::string id = One("select id from sysobjects where name='QUOTES'");
  EXPECT_EQ(db_->Scalar("select 'quotes'::regclass::oid"), id);
  EXPECT_EQ((std::vector<std::string>{"rec_num|56|4", "stock|47|6", "name|39|20", "ver|37|8",
                                      "tm|61|8", "px|62|8", "qty|59|4", "lot|52|2", "ok|50|1",
                                      "amt|108|9", "note|35|16", "big|127|8", "small|108|5"}),
            Rows("select name, type, length from syscolumns where id=" + id));
  // Lookup by a name in any case, alias of its own, and no other schema's tables.
  EXPECT_EQ("quotes|U", One("select o.name, o.xtype from sysobjects o where o.name = 'Quotes'"));
  EXPECT_EQ("<none>", One("select * from sysobjects where name='pg_class'"));
  EXPECT_EQ("<none>", One("select * from sysobjects where name='nosuch'"));
}

TEST_F(PgAccessTest, TinyintDomainAndDroppedColumnsMapLikeSqlServer) {
  db_->Exec("create domain tinyint as smallint");
  db_->Exec("create table t (a int, gone int, flag tinyint, code varchar)");
  db_->Exec("alter table t drop column gone");
  const std::string id = One("select id from sysobjects where name='t'");
  EXPECT_EQ((std::vector<std::string>{"a|56|4", "flag|48|1", "code|39|-1"}),
            Rows("select name, type, length from syscolumns where id=" + id));
}

TEST_F(PgAccessTest, ValuesComeAsTheTextTheOtherEnginesGive) {
  db_->Exec(
      "create table v (d numeric(10,2), w numeric(8), f float, b boolean, x bytea, "
      "tz timestamptz, t time, big bigint)");
  db_->Exec(
      "insert into v values (12.50, 3, 0.1, true, '\\x0aff', '2026-12-07 09:30:15.5+00', "
      "'09:30:15.25', 9000000000), (-0.05, null, 1e20, false, '', null, null, null)");
  EXPECT_EQ((std::vector<std::string>{"12.5|3|0.1|1|0x0AFF|09:30:15|9000000000",
                                      "-0.05|<null>|1E+20|0|0x|<null>|<null>"}),
            Rows("select d, w, f, b, x, t, big from v order by b desc"));
  EXPECT_EQ(19u, One("select tz from v where b").size());
  // Integer casts of booleans and decimals.
  EXPECT_EQ((std::vector<std::string>{"1|12", "0|0"}),
            Rows("select cast(b as int) as a, cast(d as int) as c from v order by b desc"));
}

TEST_F(PgAccessTest, TableAndColumnNamesMatchWithoutRegardToCase) {
  db_->Exec("create table trades (serialnum int, Price int)");
  db_->Exec("insert into trades values (1, 10), (2, 20)");
  EXPECT_EQ("2", One("select count(*) as ALLRECORDS from [TRADES]"));
  EXPECT_EQ("2", One("select count(*) as ALLRECORDS from Trades"));
  EXPECT_EQ("2", One("select count(*) as ALLRECORDS from mydb..trades"));
  _RecordsetPtr rs =
      conn_->Execute("select count(*) as ALLRECORDS, max([SerialNum]) as MaxNum from trades");
  EXPECT_EQ("2", rs->GetCollect("ALLRECORDS").ToString().str());
  EXPECT_EQ("2", rs->GetCollect("maxnum").ToString().str());
  EXPECT_EQ("20", One("select top 1 price from trades order by serialnum desc"));
}

TEST_F(PgAccessTest, SetRowcountCapsLaterSelectsUntilCleared) {
  db_->Exec("create table t (serialnum int)");
  db_->Exec("insert into t select generate_series(1, 10)");
  conn_->Execute("set rowcount 3");
  EXPECT_EQ(3u, Rows("select * from t order by serialnum").size());
  EXPECT_EQ("10", One("select count(*) as n from t"));
  conn_->Execute("set rowcount 0");
  EXPECT_EQ(10u, Rows("select * from t").size());
}

TEST_F(PgAccessTest, IsnullConvert108AndStrictCast) {
  db_->Exec("create table t (serialnum int, time varchar(19), tm timestamp, cjsj varchar(6))");
  db_->Exec(
      "insert into t values (1, '09:30:15', '2026-12-07 09:30:15.75', '093015'), "
      "(2, '2026-12-07 14:00:01', '2026-12-07 14:00:01', '140001')");
  EXPECT_EQ("1", One("select isnull(max(serialnum)+1,1) as n from t where serialnum > 5"));
  EXPECT_EQ((std::vector<std::string>{"09:30:15|09:30:15", "14:00:01|14:00:01"}),
            Rows("select convert(varchar(8) ,cast(time as datetime),108) as a, "
                 "convert(varchar(8), tm, 108) as b from t order by serialnum"));
  EXPECT_EQ(std::vector<std::string>{"1"},
            Rows("select serialnum from t where convert(varchar(8) ,cast(time as "
                 "datetime),108)>='09:00:00' and convert(varchar(8) ,cast(time as "
                 "datetime),108)<='10:00:00'"));
  EXPECT_EQ("2026-12-07 09:30:15", One("select tm from t where serialnum = 1"));
  EXPECT_EQ(std::vector<std::string>{"2"},
            Rows("select serialnum from t where  cast(cjsj as int)>=cast('100000' as int)"));
  // Blank text is 0 as on SQL Server; numbers are cut toward zero.
  db_->Exec("insert into t values (3, '', null, '  ')");
  EXPECT_EQ(
      "3|0|0|12|-3|1|0|<null>",
      One("select serialnum, cast(cjsj as int) as a, cast('' as int) as b, cast(12.7 as "
          "int) as c, cast(-3.9e0 as int) as d, cast(-5 as bit) as e, cast(cjsj as bit) as f, "
          "cast(tm as bigint) as g from t where serialnum = 3"));
  // Blank text is midnight of 1900-01-01; literals are read like columns.
  EXPECT_EQ("00:00:00|09:30:15|1900-01-01 09:30:15",
            One("select convert(varchar(8), cast(time as datetime), 108) as a, "
                "convert(varchar(8), cast('9:30:15' as datetime), 108) as b, "
                "cast('09:30:15' as datetime) as c from t where serialnum = 3"));
  db_->Exec("insert into t values (4, '', null, '12abc')");
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf("select * from t where cast(cjsj as int) > 0", &why));
  EXPECT_NE(std::string::npos, why.find("12abc")) << why;
}

TEST_F(PgAccessTest, IdentCurrentFollowsTheIdentitySequence) {
  db_->Exec("create table idt (id int generated by default as identity, v int)");
  db_->Exec("create table ser (id serial, v int)");
  db_->Exec("create table plain (v int)");
  // Never used: the start value, as SQL Server answers for a fresh table.
  EXPECT_EQ("1", One("select IDENT_CURRENT('idt') as IdentCurrent "));
  db_->Exec("insert into idt (v) values (1), (2), (3)");
  db_->Exec("insert into ser (v) values (1)");
  EXPECT_EQ("3", One("select IDENT_CURRENT('[IDT]') as IdentCurrent "));
  EXPECT_EQ("1", One("select IDENT_CURRENT('ser') as IdentCurrent "));
  EXPECT_EQ("<null>", One("select IDENT_CURRENT('plain') as IdentCurrent "));
  EXPECT_EQ("<null>", One("select IDENT_CURRENT('nosuch') as IdentCurrent "));
}

TEST_F(PgAccessTest, CheckidentReseedsSoTheNextValueFollowsTheSeed) {
  db_->Exec("create table idt (id int generated by default as identity, v int)");
  db_->Exec("insert into idt (v) values (1), (2)");
  conn_->Execute("DBCC CHECKIDENT ('idt', RESEED, 100) ");
  EXPECT_EQ("100", One("select IDENT_CURRENT('idt') as IdentCurrent "));
  db_->Exec("insert into idt (v) values (3)");
  EXPECT_EQ("101", db_->Scalar("select max(id) from idt"));
  // Below the sequence's minimum: the next value is still seed + 1.
  conn_->Execute("DBCC CHECKIDENT ('IDT', RESEED, 0) ");
  EXPECT_EQ("0", One("select IDENT_CURRENT('idt') as IdentCurrent "));
  db_->Exec("delete from idt; insert into idt (v) values (4)");
  EXPECT_EQ("1", db_->Scalar("select id from idt"));
}

TEST_F(PgAccessTest, CheckidentRefusesTablesWithoutIdentity) {
  db_->Exec("create table plain (v int)");
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf("DBCC CHECKIDENT ('plain', RESEED, 5) ", &why));
  EXPECT_EQ("'plain' does not contain an identity column.", why);
  EXPECT_EQ(kStatementError, StatusOf("DBCC CHECKIDENT ('nosuch', RESEED, 5) ", &why));
  EXPECT_NE(std::string::npos, why.find("nosuch")) << why;
}

class PgBulkInsertTest : public PgAccessTest {
 protected:
  std::string Load(const std::string& table, const std::string& bytes) {
    const std::string path = dir_.File("OrderTemp_A.txt");
    WriteFile(path, bytes);
    return "BULK INSERT [" + table + "] FROM '" + path +
           "' WITH ( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', TABLOCK)";
  }
  TempDir dir_;
};

TEST_F(PgBulkInsertTest, StreamsTheClientFileWithTrailingCommasAndGbkText) {
  db_->Exec("create table orders (id serial, rec_num int, stock char(6), memo varchar(20))");
  // "股票" in GBK; a backslash and a tab must arrive as they are.
  const std::string gbk = "\xB9\xC9\xC6\xB1";
  conn_->Execute(CString(Load("ORDERS", "9,1,ABC123," + gbk + ",\r\n9,2,X\\Y,a\tb,\r\n")));
  EXPECT_EQ("1|ABC123|\u80a1\u7968", db_->Scalar("select rec_num || '|' || stock || '|' || memo "
                                                 "from orders where rec_num = 1"));
  EXPECT_EQ("X\\Y|a\tb", db_->Scalar("select stock || '|' || memo from orders where rec_num = 2"));
  // The identity column took the server's numbers, not the file's 9.
  EXPECT_EQ("1,2", db_->Scalar("select string_agg(id::text, ',' order by id) from orders"));
}

TEST_F(PgBulkInsertTest, RefusesMissingFilesAndRowsThatDoNotFit) {
  db_->Exec("create table orders (rec_num int, stock char(6))");
  std::string why;
  EXPECT_EQ(kStatementError,
            StatusOf("BULK INSERT [orders] FROM '/nonexistent/OrderTemp_A.txt' WITH "
                     "( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', TABLOCK)",
                     &why));
  EXPECT_NE(std::string::npos, why.find("/nonexistent/OrderTemp_A.txt")) << why;
  EXPECT_EQ(kStatementError, StatusOf(Load("orders", "1,A,\r\n2,B,C,D,\r\n"), &why));
  EXPECT_NE(std::string::npos, why.find("(line 2)")) << why;
  EXPECT_EQ(kStatementError, StatusOf(Load("orders", "1,A,\r\n2,B,\r\nx,C,\r\n"), &why));
  EXPECT_NE(std::string::npos, why.find("(line 3): invalid input syntax for type integer")) << why;
  EXPECT_EQ("0", db_->Scalar("select count(*) from orders"));
  EXPECT_EQ(kStatementError, StatusOf(Load("nosuch", "1,A,\r\n")));
  // An empty file loads nothing and succeeds.
  EXPECT_EQ(0, StatusOf(Load("orders", "")));
}

TEST_F(PgAccessTest, FailingStatementInHostTransactionFailsAloneAsOnSqlServer) {
  db_->Exec("create table t (rec_num int not null)");
  conn_->BeginTrans();
  conn_->Execute("insert into t values (1)");
  EXPECT_EQ(kStatementError, StatusOf("insert into t values (null)"));
  EXPECT_EQ(kStatementError, StatusOf("select * from nosuch"));
  conn_->Execute(
      "insert into t (rec_num)  select isnull(max(rec_num)+1,1) from t with (holdlock) ");
  EXPECT_EQ("0", db_->Scalar("select count(*) from t"));  // not committed yet
  conn_->CommitTrans();
  EXPECT_EQ("1,2", db_->Scalar("select string_agg(rec_num::text, ',' order by rec_num) from t"));
  EXPECT_THROW(conn_->CommitTrans(), _com_error);
}

TEST_F(PgAccessTest, RejectedStatementsAndLostLinksHaveTheirOwnStatuses) {
  std::string why;
  EXPECT_EQ(kStatementError, StatusOf("select * from nosuch", &why));
  EXPECT_EQ("relation \"nosuch\" does not exist", why);
  EXPECT_EQ(kStatementError, StatusOf("selec 1"));
  // A COPY in statement text would wait for data forever: refused at once.
  db_->Exec("create table c (v int)");
  EXPECT_EQ(kStatementError, StatusOf("copy c from stdin"));
  EXPECT_EQ(kStatementError, StatusOf("copy c to stdout"));
  // The connection still works after a rejected statement.
  EXPECT_EQ("1", One("select 1 as one"));
}

}  // namespace
}  // namespace kestal::test
