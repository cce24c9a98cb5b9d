// A link to the server that goes silent (the relay stops forwarding and
// keeps its sockets open, as a pulled cable looks): a follower and an
// inserter must each give up within the silent-link bound (command time-out
// plus 5 s, then the 8 s connect time-out of the reconnection), report
// 0x80004005, reconnect when the link returns, and lose and duplicate
// nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sql/postgres/PgFixture.h"
#include "support/Relay.h"
#include "support/TestDatabase.h"
#include "support/TestSupport.h"

namespace kestal::test::pg {
namespace {

constexpr int kCommandSeconds = 2;
// Silent-link bound (2 + 5 s) plus one reconnection attempt (8 s), with slack
// for a loaded machine.
constexpr long long kGiveUpMs = 25000;

class SilentLinkSlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Engine::kPostgres);
    db_->Exec(kTradesDdl);
    ASSERT_GT(PostgresPort(), 0) << "KESTAL_PG_PORT is not set";
    relay_ = std::make_unique<Relay>("127.0.0.1", PostgresPort());
    conn_ = ThroughRelay(db_->ConnectionString(), relay_->port(), kCommandSeconds);
  }
  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<Relay> relay_;
  std::string conn_;
};

TEST_F(SilentLinkSlowTest, FollowerNoticesReconnectsAndMissesNothing) {
  InsertTrades(*db_, 1, 200);
  auto op = OpenObject(conn_, "trades");
  Follower follower(*op);
  for (int i = 0; i < 50 && follower.last() < 200; ++i) follower.Step();
  ASSERT_EQ(200, follower.last());

  relay_->Stall();
  InsertTrades(*db_, 201, 300);
  const long long start = NowMs();
  EXPECT_LE(follower.Step(), 0);
  EXPECT_LT(NowMs() - start, kGiveUpMs);
  EXPECT_EQ(kestal::db::kConnectionError, op->m_pConnection->LastError().Error())
      << op->m_pConnection->LastError().Description();

  relay_->Pass();
  const long long until = NowMs() + 30000;
  while (follower.last() < 300 && NowMs() < until) {
    if (follower.Step() <= 0) usleep(100000);
  }
  EXPECT_EQ(Sequence(300), follower.keys());
}

// The watchdog sleeps until the earliest deadline it was told of, and a new
// call only wakes it when its own deadline comes sooner. A session with a
// short bound whose link goes silent right after another session's call
// with a long bound (the watchdog then sleeps towards that call's far
// deadline) must still be cut at its own bound, not at the other's.
TEST_F(SilentLinkSlowTest, ShortBoundHoldsAfterACallWithALongerOne) {
  InsertTrades(*db_, 1, 100);
  auto op = OpenObject(conn_, "trades");
  Follower follower(*op);
  for (int i = 0; i < 20 && follower.last() < 100; ++i) follower.Step();
  ASSERT_EQ(100, follower.last());

  // Direct to the server, 60 s command time-out: its calls arm watches
  // 65 s out, past the whole give-up bound of the relayed session.
  auto patient = OpenObject(ThroughRelay(db_->ConnectionString(), PostgresPort(), 60), "trades");
  ASSERT_NE(nullptr, patient);

  relay_->Stall();
  InsertTrades(*db_, 101, 110);
  const long long start = NowMs();
  EXPECT_LE(follower.Step(), 0);
  EXPECT_LT(NowMs() - start, kGiveUpMs);
  EXPECT_EQ(kestal::db::kConnectionError, op->m_pConnection->LastError().Error())
      << op->m_pConnection->LastError().Description();
  relay_->Pass();
}

TEST_F(SilentLinkSlowTest, InserterNoticesReconnectsAndLosesOrRepeatsNothing) {
  constexpr int kLast = 5000;
  constexpr int kBatch = 10;
  auto op = OpenObject(conn_, "trades");
  ASSERT_EQ(1, op->AllocOrderBuff());
  std::atomic<bool> outage_over{false};
  std::thread outage([this, &outage_over] {
    usleep(300000);
    relay_->Stall();
    usleep(12000000);
    relay_->Pass();
    outage_over = true;
  });
  int next = 1;
  int failures = 0;
  long long longest_failure_ms = 0;
  const long long until = NowMs() + 120000;
  // At least kLast keys, and on until the outage is over (a fast machine
  // would send them all before it begins).
  while ((next <= kLast || !outage_over) && NowMs() < until) {
    const long long start = NowMs();
    bool sent = false;
    try {
      op->BuffInit();
      for (int k = next; k < next + kBatch; ++k) {
        std::string image = TradeImage();
        char number[16];
        std::snprintf(number, sizeof number, "%8d", k);
        image.replace(0, 8, number);
        ASSERT_EQ(1, op->AddInsertRecordToBuff(image.data(), 0, 0));
      }
      op->BeginTrans();
      sent = op->ExecBatchInsert(1, 0, "") == 1;
      if (sent) op->CommitTrans();
    } catch (const _com_error&) {
      sent = false;
    }
    if (sent) {
      next += kBatch;
      continue;
    }
    ++failures;
    longest_failure_ms = std::max(longest_failure_ms, NowMs() - start);
    EXPECT_EQ(kestal::db::kConnectionError, op->m_pConnection->LastError().Error())
        << op->m_pConnection->LastError().Description();
    // As a writer resumes: reconnect, then read what the table holds through
    // the new session (a lost session is gone from the server by then).
    while (NowMs() < until) {
      if (op->ReOpenEx(1) == 1) {
        const int max = std::atoi(op->GetMaxNum().c_str()) - 1;
        if (max >= 0) {
          next = max + 1;
          break;
        }
      }
      usleep(200000);
    }
  }
  outage.join();
  EXPECT_GT(failures, 0) << "the outage did not meet a call";
  EXPECT_LT(longest_failure_ms, kGiveUpMs);
  const std::string sent = std::to_string(next - 1);
  EXPECT_LE(kLast, next - 1);
  EXPECT_EQ(sent, db_->Scalar("select count(*) from trades"));
  EXPECT_EQ(sent, db_->Scalar("select count(distinct rec_num) from trades"));
  EXPECT_EQ(sent, db_->Scalar("select max(rec_num) from trades"));
}

// The COMMIT of a lost session is still on its way when the link comes back
// for new sessions: the new session must end the old one before the caller
// reads, so that what it reads is final and a resent batch is not doubled.
TEST_F(SilentLinkSlowTest, LateCommitOfALostSessionNeverLandsAfterTheRead) {
  auto op = OpenObject(conn_, "trades");
  ASSERT_EQ(1, op->AllocOrderBuff());
  std::string image = TradeImage();
  image.replace(0, 8, "       1");
  ASSERT_EQ(1, op->AddInsertRecordToBuff(image.data(), 0, 0));
  op->BeginTrans();
  ASSERT_EQ(1, op->ExecBatchInsert(1, 0, ""));
  relay_->Stall();
  const long long start = NowMs();
  EXPECT_THROW(op->CommitTrans(), _com_error);  // the COMMIT waits in the relay
  EXPECT_LT(NowMs() - start, kGiveUpMs);
  EXPECT_EQ(kestal::db::kConnectionError, op->m_pConnection->LastError().Error());
  EXPECT_TRUE(Matches(op->m_pConnection->LastError().Description(), "no answer from the server.*"))
      << op->m_pConnection->LastError().Description();

  relay_->PassNew();
  ASSERT_EQ(1, op->ReOpenEx(3));
  const std::string seen = op->GetMaxNum().str();
  relay_->Pass();  // the old COMMIT goes on now
  usleep(1000000);
  EXPECT_EQ(seen, op->GetMaxNum().str());
  EXPECT_EQ("1", seen) << "the lost transaction committed after all";
  EXPECT_EQ("0", db_->Scalar("select count(*) from trades"));
}

}  // namespace
}  // namespace kestal::test::pg
