// The SQLite engine's own behaviour: opening files, the catalog's full type
// table, busy waiting, and faults at the file.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineFixture.h"
#include "sql/db/Ado.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

using namespace kestal::db;  // statuses

std::string Conn(const std::string& path, const std::string& extra = std::string()) {
  return "Provider=SQLite;Data Source=" + path + extra;
}

// The status Open raises for connection, or 0.
HRESULT OpenStatus(const std::string& connection, long timeout = 15) {
  _ConnectionPtr c;
  c.CreateInstance();
  c->PutConnectionTimeout(timeout);
  try {
    c->Open(CString(connection));
    return 0;
  } catch (const _com_error& e) {
    return e.Error();
  }
}

TEST(SqliteOpenTest, MissingFileIsAConnectionFailureAndIsNotCreated) {
  TempDir dir;
  EXPECT_EQ(OpenStatus(Conn(dir.File("absent.db"))), kConnectionError);
  EXPECT_NE(access(dir.File("absent.db").c_str(), F_OK), 0);
  EXPECT_EQ(OpenStatus(Conn(dir.File("no/such/dir.db"), ";Create=yes")), kConnectionError);
}

TEST(SqliteOpenTest, CreateKeyMakesTheFileAndKeysIgnoreCase) {
  TempDir dir;
  EXPECT_EQ(OpenStatus("provider=sqlite;DATABASE='" + dir.File("new.db") + "';create=YES"), 0);
  EXPECT_EQ(access(dir.File("new.db").c_str(), F_OK), 0);
  // Extreme time-outs are clamped, not overflowed.
  EXPECT_EQ(OpenStatus(Conn(dir.File("new.db")), 2147483647L), 0);
  EXPECT_EQ(OpenStatus(Conn(dir.File("new.db")), -1), 0);
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString("PROVIDER=SQLite; data source = " + dir.File("new.db") + " ;"));
  // Opened in WAL mode, so readers can follow writers in other processes.
  EXPECT_EQ(c->Execute("pragma journal_mode")->GetCollect("journal_mode").ToString(), "wal");
}

TEST(SqliteOpenTest, FailureDescriptionsKeepTheHostsPathBytes) {
  TempDir dir;
  // A missing folder named "中文" in GBK.
  const std::string path = dir.File("\xD6\xD0\xCE\xC4/x.db");
  _ConnectionPtr c;
  c.CreateInstance();
  try {
    c->Open(CString(Conn(path)));
    FAIL() << "opened";
  } catch (const _com_error& e) {
    EXPECT_NE(e.Description().Find("\xD6\xD0\xCE\xC4"), -1) << e.Description().c_str();
  }
}

TEST(SqliteOpenTest, UnusableTargetsAreConnectionFailures) {
  TempDir dir;
  WriteFile(dir.File("garbage.db"), std::string(4096, 'x'));
  EXPECT_EQ(OpenStatus(Conn(dir.File("garbage.db"))), kConnectionError);
  EXPECT_EQ(OpenStatus(Conn(dir.path())), kConnectionError);
  EXPECT_EQ(OpenStatus("Provider=SQLite"), kConnectionError);
  EXPECT_EQ(OpenStatus("Provider=Oracle;Data Source=x"), kConnectionError);
  EXPECT_EQ(OpenStatus("Data Source=x"), kConnectionError);
  EXPECT_EQ(OpenStatus("Provider=SQLite;Data Source='unterminated"), kConnectionError);
  EXPECT_EQ(OpenStatus("Provider=SQLite;garbage;Data Source=x"), kConnectionError);
}

TEST(SqliteOpenTest, FileOverwrittenUnderAnOpenConnectionIsAConnectionFailure) {
  TempDir dir;
  const std::string path = dir.File("t.db");
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path, ";Create=yes")));
  c->Execute(
      "create table T (n int, pad varchar(200));"
      "with recursive k(i) as (select 1 union all select i+1 from k where i<2000) "
      "insert into T select i, substr(hex(randomblob(100)),1,200) from k;"
      "pragma wal_checkpoint(TRUNCATE)");
  c->Close();
  c->Open(CString(Conn(path)));
  // Another program overwrites the database file in place.
  const std::string size = std::to_string(ReadFile(path).size());
  WriteFile(path, std::string(std::stoul(size), '\x5A'));
  HRESULT status = 0;
  try {
    c->Execute("select sum(length(pad)) as n from T");
  } catch (const _com_error& e) {
    status = e.Error();
  }
  EXPECT_EQ(status, kConnectionError);
  EXPECT_TRUE(ReconnectRuleCatches(status));
}

TEST(SqliteValueTest, RealsAreShortestRoundTripTextAndBlobsHex) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(db->ConnectionString()));
  _RecordsetPtr rs = c->Execute("select 1e20 as big, 2.0 as two, 0.1 as tenth, x'00ff' as bin");
  EXPECT_EQ(rs->GetCollect("big").ToString(), "1E+20");
  EXPECT_EQ(rs->GetCollect("two").ToString(), "2");
  EXPECT_EQ(rs->GetCollect("tenth").ToString(), "0.1");
  EXPECT_EQ(rs->GetCollect("bin").ToString(), "0x00FF");
}

TEST(SqliteCatalogTest, EveryDeclaredTypeHasItsCodeAndLength) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(
      "create table K (a int, b integer, c varchar(20), d char(6), e datetime, f float, g real, "
      "h smallint, i tinyint, j bit, k decimal(10,2), l numeric(20), m text, n varbinary(16), "
      "o timestamp, p rowversion, q bigint, r nvarchar(10), s nchar(3), t money, u date, "
      "v double precision, w character varying(7), x, y blob, z decimal)");
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(db->ConnectionString()));
  _RecordsetPtr rs =
      c->Execute("select * from syscolumns where id=(select id from sysobjects where name='k')");
  const char* want =
      "a56/4 b56/4 c39/20 d47/6 e61/8 f62/8 g59/4 h52/2 i48/1 j50/1 k106/9 l108/13 m35/16 "
      "n37/16 o37/8 p37/8 q127/8 r231/20 s239/6 t60/8 u40/3 v62/8 w39/7 x39/255 y37/8000 "
      "z106/9 ";
  std::string got;
  int colid = 0;
  for (; !rs->IsEOF(); rs->MoveNext()) {
    EXPECT_EQ(atoi(rs->GetCollect("colid").ToString()), ++colid);
    got += rs->GetCollect("name").ToString().str() + rs->GetCollect("type").ToString().str() + "/" +
           rs->GetCollect("length").ToString().str() + " ";
  }
  EXPECT_EQ(got, want);
}

TEST(SqliteCatalogTest, ObjectsAreFoundWithoutRegardToCaseAndInternalTablesAreHidden) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec("create table Orders (" + std::string(db->traits().identity_ddl) + ")");
  db->Exec("create view OrderView as select * from Orders");
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(db->ConnectionString()));
  EXPECT_EQ(c->Execute("select * from sysobjects where name='ORDERS'")->GetRecordCount(), 1);
  EXPECT_EQ(c->Execute("select xtype from sysobjects where name='orderview'")
                ->GetCollect("xtype")
                .ToString(),
            "V");
  EXPECT_EQ(c->Execute("select * from sysobjects where name='sqlite_sequence'")->GetRecordCount(),
            0);
}

// A child process that holds the database's write lock for hold_ms and then
// commits; it writes "ready" into flag once it holds the lock.
pid_t HoldWriteLock(const std::string& path, const std::string& flag, int hold_ms) {
  return Spawn([=] {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 1;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE; insert into T values (-1)", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
      return 2;
    }
    WriteFile(flag, "ready");
    usleep(static_cast<useconds_t>(hold_ms) * 1000);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
  });
}

// The database for the busy tests: made and closed before any fork, so that
// no process inherits an open handle to it.
std::string MakeDatabase(const TempDir& dir) {
  const std::string path = dir.File("busy.db");
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path, ";Create=yes")));
  c->Execute("create table T (n int)");
  c->Close();
  return path;
}

void WaitForFlag(const std::string& flag) {
  const long long start = NowMs();
  while (ReadFile(flag) != "ready" && NowMs() - start < 10000) usleep(5000);
}

TEST(SqliteBusyTest, WriterWaitsForAnotherProcessHoldingTheLock) {
  TempDir dir;
  const std::string path = MakeDatabase(dir);
  pid_t child = HoldWriteLock(path, dir.File("flag"), 800);
  WaitForFlag(dir.File("flag"));
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  const long long start = NowMs();
  c->Execute("insert into T (n) values (1)");
  EXPECT_GE(NowMs() - start, 300);
  EXPECT_EQ(Wait(child), 0);
  EXPECT_EQ(c->Execute("select count(*) as n from T")->GetCollect("n").ToString(), "2");
}

TEST(SlowSqliteBusyTest, ConnectionTimeoutBoundsTheWaitForALock) {
  TempDir dir;
  const std::string path = MakeDatabase(dir);
  pid_t child = HoldWriteLock(path, dir.File("flag"), 15000);
  WaitForFlag(dir.File("flag"));
  _ConnectionPtr c;
  c.CreateInstance();
  c->PutConnectionTimeout(6);
  c->Open(CString(Conn(path)));
  const long long start = NowMs();
  HRESULT status = 0;
  try {
    c->Execute("insert into T (n) values (1)");
  } catch (const _com_error& e) {
    status = e.Error();
  }
  const long long waited = NowMs() - start;
  Kill(child);
  EXPECT_EQ(status, kConnectionError);
  EXPECT_GE(waited, 5500);
  EXPECT_LT(waited, 12000);
}

TEST(SqliteProcessTest, WriterKilledInsideItsTransactionLeavesNothingBehind) {
  TempDir dir;
  const std::string path = MakeDatabase(dir);
  const std::string flag = dir.File("flag");
  pid_t child = Spawn([=] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(CString(Conn(path)));
    c->BeginTrans();
    c->Execute("insert into T (n) values (7); insert into T (n) values (8)");
    WriteFile(flag, "ready");
    sleep(30);
    return 0;
  });
  WaitForFlag(flag);
  Kill(child);
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  c->Execute("insert into T (n) values (9)");
  EXPECT_EQ(c->Execute("select count(*) as n from T")->GetCollect("n").ToString(), "1");
}

TEST(SqliteProcessTest, BulkLoadKilledMidwayLoadsAllOrNothing) {
  TempDir dir;
  const std::string path = MakeDatabase(dir);
  std::string lines;
  constexpr int kLines = 200000;
  for (int i = 0; i < kLines; ++i) lines += std::to_string(i) + ",\r\n";
  const std::string file = dir.File("big.txt");
  WriteFile(file, lines);
  const std::string flag = dir.File("flag");
  pid_t child = Spawn([=] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(CString(Conn(path)));
    WriteFile(flag, "ready");
    c->Execute(CString("BULK INSERT [T] FROM '" + file +
                       "' WITH ( DATAFILETYPE = 'char', "
                       "FIELDTERMINATOR = ',', TABLOCK)"));
    return 0;
  });
  WaitForFlag(flag);
  usleep(50000);
  Kill(child);
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  const std::string n = c->Execute("select count(*) as n from T")->GetCollect("n").ToString().str();
  EXPECT_TRUE(n == "0" || n == std::to_string(kLines)) << n;
}

TEST(SqliteProcessTest, NumberedWriterKilledMidwayLeavesContiguousNumbers) {
  TempDir dir;
  const std::string path = MakeDatabase(dir);
  const std::string flag = dir.File("flag");
  pid_t child = Spawn([=] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(CString(Conn(path)));
    for (int i = 0;; ++i) {
      c->Execute("insert into T (n)  select isnull(max(n)+1,1) from T with (holdlock) ");
      if (i == 10) WriteFile(flag, "ready");
    }
    return 0;
  });
  WaitForFlag(flag);
  usleep(20000);
  Kill(child);
  _ConnectionPtr c;
  c.CreateInstance();
  c->Open(CString(Conn(path)));
  c->Execute("insert into T (n)  select isnull(max(n)+1,1) from T with (holdlock) ");
  _RecordsetPtr rs =
      c->Execute("select count(*) as n, count(distinct n) as d, max(n) as hi from T");
  EXPECT_EQ(rs->GetCollect("n").ToString(), rs->GetCollect("hi").ToString());
  EXPECT_EQ(rs->GetCollect("d").ToString(), rs->GetCollect("hi").ToString());
}

}  // namespace
}  // namespace kestal::test
