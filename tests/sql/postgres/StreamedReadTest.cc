// A long read cut short after many of its rows have reached the client: the
// backend ended by pg_terminate_backend, the statement time-out ("Command
// Timeout"), or the link going silent (the watchdog's cut). The rows come
// from a plain scan whose row 15,000 stalls in pg_sleep, so the rows before
// it are on their way when the cut comes. The failure is reported as on any
// other statement, no rows are seen, and the connection is reported lost, or
// goes on.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "PgServer.h"
#include "sql/db/Ado.h"
#include "support/Relay.h"
#include "support/TestDatabase.h"
#include "support/TestSupport.h"

namespace kestal::test::pg {
namespace {

using kestal::db::FailureKind;

constexpr long kRows = 20000;
// Reads every row of P, stalling at row 15,000 for the given seconds.
std::string StallingRead(int seconds) {
  return "select n, s, stall(n, 15000, " + std::to_string(seconds) + ") as v from P";
}

class PgStreamedReadTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    db_->Exec("create table P (n int, s varchar(12))");
    db_->Exec("insert into P select k, 'row ' || k from generate_series(1, " +
              std::to_string(kRows) + ") k");
    db_->Exec(
        "create function stall(k int, at int, seconds int) returns int language plpgsql as "
        "$$ begin if k = at then perform pg_sleep(seconds); end if; return k; end $$");
  }

  // A connection through the layer, with extra connection-string settings.
  _ConnectionPtr Connect(const std::string& extra = std::string()) {
    _ConnectionPtr conn;
    conn.CreateInstance();
    conn->Open(CString(db_->ConnectionString() + extra));
    return conn;
  }

  // Runs sql on conn, which must fail; returns the failure.
  static _com_error Failure(const _ConnectionPtr& conn, const std::string& sql) {
    try {
      conn->Execute(CString(sql));
      ADD_FAILURE() << "ran: " << sql;
    } catch (const _com_error& e) {
      return e;
    }
    return _com_error(0);
  }

  std::unique_ptr<TestDatabase> db_;
};

TEST_P(PgStreamedReadTest, BackendEndedMidReadIsALostLinkAndANewConnectionReadsWhole) {
  _ConnectionPtr conn = Connect();
  _RecordsetPtr before = conn->Execute("select n from P where n = 7");
  // Ends the library's backend once it sleeps in row 15,000.
  std::thread terminator([this] {
    NativeConnection admin(db_->ConnectionString());
    const long long deadline = NowMs() + 30000;
    while (NowMs() < deadline) {
      const std::string ended = admin.Run(
          "select count(pg_terminate_backend(pid)) from pg_stat_activity where "
          "application_name = 'kestal' and wait_event = 'PgSleep' and datname = '" +
          DatabaseOf(db_->ConnectionString()) + "'");
      if (ended == "1") return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const long long start = NowMs();
  const _com_error e = Failure(conn, StallingRead(60));
  terminator.join();
  EXPECT_EQ(kestal::db::kConnectionError, e.Error()) << e.Description();
  EXPECT_EQ(FailureKind::kLink, e.Kind()) << e.Description();
  EXPECT_LT(NowMs() - start, 30000) << "the read waited for the stall";
  // The connection is lost, and says so again; an earlier result stays whole.
  EXPECT_EQ(kestal::db::kConnectionError, Failure(conn, "select count(*) from P").Error());
  EXPECT_EQ("7", before->GetCollect("n").ToString().str());

  _ConnectionPtr again = Connect();
  _RecordsetPtr rs = again->Execute(CString(StallingRead(0)));
  EXPECT_EQ(kRows, rs->GetRecordCount());
}

TEST_P(PgStreamedReadTest, StatementTimeOutMidReadIsBusyAndTheConnectionGoesOn) {
  _ConnectionPtr conn = Connect(";Command Timeout=1");
  for (bool in_transaction : {false, true}) {
    SCOPED_TRACE(in_transaction ? "in a host transaction" : "alone");
    if (in_transaction) conn->BeginTrans();
    const long long start = NowMs();
    const _com_error e = Failure(conn, StallingRead(20));
    EXPECT_EQ(FailureKind::kBusy, e.Kind()) << e.Description();
    EXPECT_NE(kestal::db::kConnectionError, e.Error()) << e.Description();
    EXPECT_LT(NowMs() - start, 15000) << "the read waited for the stall";
    if (in_transaction) {
      conn->Execute("insert into P values (-1, 'kept')");
      conn->CommitTrans();
    }
    _RecordsetPtr rs = conn->Execute("select n, s from P where n <= 15000 order by n");
    EXPECT_EQ(15000 + (in_transaction ? 1 : 0), rs->GetRecordCount());
  }
  EXPECT_EQ("kept", db_->Scalar("select s from P where n = -1"));
}

// Waits until a backend of the library on db's database sleeps in
// pg_sleep; false after 30 s.
bool WaitForStall(const TestDatabase& db) {
  NativeConnection admin(db.ConnectionString());
  const long long deadline = NowMs() + 30000;
  while (NowMs() < deadline) {
    const std::string asleep = admin.Run(
        "select count(*) from pg_stat_activity where application_name = 'kestal' and "
        "wait_event = 'PgSleep' and datname = '" +
        DatabaseOf(db.ConnectionString()) + "'");
    if (asleep == "1") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The silent-link watchdog is the native engine's; its bound takes seconds.
class PgStreamedReadSlowTest : public PgStreamedReadTest {};

TEST_P(PgStreamedReadSlowTest, SilentLinkMidReadIsCutAtItsBound) {
  ASSERT_GT(PostgresPort(), 0) << "KESTAL_PG_PORT is not set";
  Relay relay("127.0.0.1", PostgresPort());
  // Command time-out 2 s: a call that hears nothing for 7 s is cut.
  const std::string relayed = ThroughRelay(db_->ConnectionString(), relay.port(), 2);
  _ConnectionPtr conn;
  conn.CreateInstance();
  conn->Open(CString(relayed));
  std::thread silencer([&] {
    if (WaitForStall(*db_)) relay.Stall();
  });
  const long long start = NowMs();
  const _com_error e = Failure(conn, StallingRead(1));
  silencer.join();
  EXPECT_EQ(kestal::db::kConnectionError, e.Error()) << e.Description();
  EXPECT_NE(std::string::npos, e.Description().str().find("no answer")) << e.Description();
  EXPECT_LT(NowMs() - start, 20000);
  relay.Pass();
  // A new session ends the lost one first, then reads the whole table.
  _ConnectionPtr again;
  again.CreateInstance();
  again->Open(CString(relayed));
  EXPECT_EQ(kRows, again->Execute(CString(StallingRead(0)))->GetRecordCount());
}

#ifdef KESTAL_TEST_ODBC
const Engine kServerEngines[] = {Engine::kPostgres, Engine::kOdbcPostgres};
#else
const Engine kServerEngines[] = {Engine::kPostgres};
#endif

INSTANTIATE_TEST_SUITE_P(Engines, PgStreamedReadTest, ::testing::ValuesIn(kServerEngines),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });
INSTANTIATE_TEST_SUITE_P(Engines, PgStreamedReadSlowTest, ::testing::Values(Engine::kPostgres),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });

}  // namespace
}  // namespace kestal::test::pg
