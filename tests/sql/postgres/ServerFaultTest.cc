// The server goes away under a live object: stopped with pg_ctl in the
// middle of a follow and of inserts (on a cluster of the test's own), or the
// object's backend ended with pg_terminate_backend. The object reports the failure as the
// reconnection rule says and carries on once the server is back.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "PgFixture.h"
#include "PgServer.h"
#include "platform/WinTime.h"
#include "support/TestSupport.h"

namespace kestal::test::pg {
namespace {

constexpr const char kEntry[] = R"(\{\d+:\d+:\d+:\d+-)";

// These cases stop and start the server, so they run on a cluster of their
// own: the shared server stays up for the tests running beside them.
class SlowPgServerFaultTest : public ::testing::TestWithParam<Engine> {
 protected:
  static void SetUpTestSuite() { server_ = new PrivateServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    db_->Exec(kTradesDdl);
  }
  std::unique_ptr<TestDatabase> db_;
  static PrivateServer* server_;
};

PrivateServer* SlowPgServerFaultTest::server_ = nullptr;

TEST_P(SlowPgServerFaultTest, StoppedServerFailsFollowAndInsertsThenTheObjectReconnects) {
  InsertTrades(*db_, 1, 30);
  auto op = OpenObject(db_->ConnectionString(), "trades");
  Follower follower(*op);
  ASSERT_EQ(30, follower.Step());
  std::string image = TradeImage();
  {
    ServerRestarter restart;
    StopServer();
    EXPECT_EQ(-1, follower.Step());
    EXPECT_TRUE(Matches(op->m_strTrace, R"(\[Close Count=\d+\}\]->\[Create Count=\d+\]->)"
                                        R"(\[1:trades where rec_num>30 and rec_num<=130\])"
                                        R"(--->\[2:0\])" +
                                            std::string(kEntry) + R"(ReOpenException Sleep500\})"))
        << op->m_strTrace.c_str();
    EXPECT_EQ(0, op->m_lCnt);

    op->m_strTrace.Empty();
    const long long start = NowMs();
    EXPECT_EQ(0, op->AddNewRecordBase(&image[0], 0, 2, 1, 0));
    EXPECT_GE(NowMs() - start, 1000);  // two failed attempts, 500 ms each
    EXPECT_EQ(2, Occurrences(op->m_strTrace, "-ReOpenException Sleep500}"));
    EXPECT_EQ(0, op->AddNewRecord(&image[0], 0));
    EXPECT_EQ("-1", std::string(op->GetCurrentIdent("trades").c_str()));
    // A batch sent while the server is away is dropped after one reconnection
    // attempt; the buffer is empty for the next batch.
    ASSERT_EQ(1, op->AllocOrderBuff());
    ASSERT_EQ(1, op->AddInsertRecordToBuff(&image[0], 1, 0));
    op->m_strTrace.Empty();
    EXPECT_EQ(0, op->ExecBatchInsert(1, 1, ""));
    EXPECT_EQ(0, op->m_lOrderBuffLen);
    EXPECT_EQ(1, Occurrences(op->m_strTrace, "-ReOpenException Sleep500}"));
    EXPECT_EQ(0, op->IsOpenAlive());
  }
  // Back: the first call reconnects and answers 0, the next one delivers.
  EXPECT_EQ(0, follower.Step());
  EXPECT_TRUE(Matches(op->m_strTrace, R"(.*--->\[2:0\])" + std::string(kEntry) +
                                          R"(ReOpenSuccess\}--->\[ReOpen\{Count=\d+\}\])"))
      << op->m_strTrace.c_str();
  EXPECT_EQ(1, op->AddNewRecordBase(&image[0], 0, 2, 1, 0));
  EXPECT_EQ(1, follower.Step());
  EXPECT_EQ(Sequence(31), follower.keys());
  ASSERT_EQ(1, op->AddInsertRecordToBuff(&image[0], 1, 0));
  EXPECT_EQ(1, op->ExecBatchInsert(1, 1, ""));
  EXPECT_EQ(1, op->IsOpenAlive());
  EXPECT_EQ(1, follower.Step());
  EXPECT_EQ(Sequence(32), follower.keys());
}

TEST_P(SlowPgServerFaultTest, InsertInFlightWhenTheServerStopsIsResentAfterItReturns) {
  auto op = OpenObject(db_->ConnectionString(), "trades");
  std::string image = TradeImage();
  ASSERT_EQ(1, op->AddNewRecordBase(&image[0], 0, 1, 1, 0));
  ServerRestarter restart;
  StopServer();
  // The server comes back while the insert is reconnecting (20 attempts of
  // at least 500 ms each): the resend after the reconnection succeeds.
  std::thread back([] {
    Sleep(1500);
    StartServer();
  });
  EXPECT_EQ(1, op->AddNewRecordBase(&image[0], 0, 20, 1, 0));
  back.join();
  // The fixture's own connection died with the server: ask through a new one.
  NativeConnection after(db_->ConnectionString());
  EXPECT_EQ("1,2", after.Run("select string_agg(rec_num::text, ',' order by rec_num) from trades"));
  EXPECT_GE(Occurrences(op->m_strTrace, "-ReOpenException Sleep500}"), 1);
  EXPECT_EQ(1, Occurrences(op->m_strTrace, "-ReOpenSuccess}"));
}

TEST_P(SlowPgServerFaultTest, FollowerLosesAndRepeatsNoRowAcrossAnOutage) {
  const std::string conn = db_->ConnectionString();
  constexpr int kRows = 400;
  // The writer keeps numbering rows through the outage, retrying refused
  // inserts; a number is given by the server, so a retry never duplicates one.
  const pid_t writer = Spawn([&conn] {
    CSQLOperate w;
    if (w.Open(conn.c_str(), "trades") != 1) return 2;
    std::string image = TradeImage();
    for (int done = 0; done < kRows;) {
      if (w.AddNewRecordBase(&image[0], 0, 1, 1, 0) == 1) {
        ++done;
      } else {
        Sleep(100);
      }
      Sleep(10);
    }
    return 0;
  });
  auto op = OpenObject(conn, "trades");
  Follower follower(*op);
  std::atomic<bool> outage_done{false};
  std::thread outage;
  const long long deadline = NowMs() + 90000;
  int failed_calls = 0;
  while (NowMs() < deadline) {
    const int r = follower.Step();
    if (r == -1) ++failed_calls;
    if (!outage.joinable() && follower.last() >= 100) {
      // The server is away for two seconds while both sides keep working.
      outage = std::thread([&outage_done] {
        ServerRestarter restart;
        StopServer();
        Sleep(2000);
        outage_done = true;
      });
    }
    if (follower.last() >= kRows) break;
    if (r <= 0) Sleep(20);
  }
  if (outage.joinable()) outage.join();
  ASSERT_EQ(0, Wait(writer));
  // Catch up with whatever the writer added last.
  NativeConnection after(conn);
  const int total = std::atoi(after.Run("select count(*) from trades").c_str());
  while (follower.last() < total && NowMs() < deadline) {
    if (follower.Step() <= 0) Sleep(20);
  }
  EXPECT_TRUE(outage_done);
  EXPECT_GE(total, kRows);
  EXPECT_EQ(after.Run("select max(rec_num) from trades"), std::to_string(total));
  EXPECT_EQ(Sequence(total), follower.keys());
  EXPECT_GT(failed_calls, 0) << "the outage was never seen";
}

class PgTerminatedBackendTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    db_->Exec(kTradesDdl);
  }
  std::unique_ptr<TestDatabase> db_;
};

TEST_P(PgTerminatedBackendTest, TheNextCallReconnects) {
  InsertTrades(*db_, 1, 5);
  auto op = OpenObject(db_->ConnectionString(), "trades");
  Follower follower(*op);
  ASSERT_EQ(5, follower.Step());
  ASSERT_EQ(1, TerminateLibraryBackends(db_->ConnectionString()));
  InsertTrades(*db_, 6, 7);
  EXPECT_EQ(0, follower.Step());  // the link was found lost and re-established
  EXPECT_NE(-1, op->m_strTrace.Find("ReOpenSuccess")) << op->m_strTrace.c_str();
  EXPECT_EQ(2, follower.Step());
  EXPECT_EQ(Sequence(7), follower.keys());

  // A writer reconnects and resends by itself.
  ASSERT_EQ(1, TerminateLibraryBackends(db_->ConnectionString()));
  std::string image = TradeImage();
  EXPECT_EQ(1, op->AddNewRecordBase(&image[0], 0, 1, 1, 0));
  EXPECT_EQ("8", db_->Scalar("select max(rec_num) from trades"));
}

// The same server faults through the ODBC engine (psqlODBC) where it is built.
#ifdef KESTAL_TEST_ODBC
const Engine kServerEngines[] = {Engine::kPostgres, Engine::kOdbcPostgres};
#else
const Engine kServerEngines[] = {Engine::kPostgres};
#endif

std::string ServerEngineName(const ::testing::TestParamInfo<Engine>& info) {
  return EngineLabel(info.param);
}

INSTANTIATE_TEST_SUITE_P(Engines, SlowPgServerFaultTest, ::testing::ValuesIn(kServerEngines),
                         ServerEngineName);
INSTANTIATE_TEST_SUITE_P(Engines, PgTerminatedBackendTest, ::testing::ValuesIn(kServerEngines),
                         ServerEngineName);

}  // namespace
}  // namespace kestal::test::pg
