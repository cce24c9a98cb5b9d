// Several writers and a follower on one PostgreSQL table at once, each in
// its own process: numbered inserts must serialise on the server, and a row
// still held in an uncommitted transaction must stop the follower until it
// arrives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PgFixture.h"
#include "PgServer.h"
#include "support/TestSupport.h"

namespace kestal::test::pg {
namespace {

class PgConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Engine::kPostgres);
    db_->Exec(kTradesDdl);
  }
  std::unique_ptr<TestDatabase> db_;
};

TEST_F(PgConcurrencyTest, NumberedInsertsFromManyProcessesGetEveryNumberOnce) {
  constexpr int kWriters = 6;
  constexpr int kEach = 40;
  const std::string conn = db_->ConnectionString();
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(Spawn([&conn, w] {
      CSQLOperate op;
      if (op.Open(conn.c_str(), "trades") != 1) return 2;
      // No reconnection allowed: any refused insert (a duplicate number would
      // not be refused here, but a deadlock or lock error would) fails.
      std::string image = TradeImage("60000" + std::to_string(w));
      for (int i = 0; i < kEach; ++i) {
        if (op.AddNewRecordBase(&image[0], 0, 0, 1, 0) != 1) return 3;
      }
      return 0;
    }));
  }
  for (pid_t pid : writers) EXPECT_EQ(0, Wait(pid));
  const int total = kWriters * kEach;
  const std::string n = std::to_string(total);
  EXPECT_EQ(n + "|" + n + "|1|" + n,
            db_->Scalar("select count(*) || '|' || count(distinct rec_num) || '|' || min(rec_num) "
                        "|| '|' || max(rec_num) from trades"));
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(
        std::to_string(kEach),
        db_->Scalar("select count(*) from trades where stock = '60000" + std::to_string(w) + "'"));
  }
}

TEST_F(PgConcurrencyTest, NumberedInsertsInsideHostTransactionsSerialiseToo) {
  const std::string conn = db_->ConnectionString();
  std::vector<pid_t> writers;
  for (int w = 0; w < 3; ++w) {
    writers.push_back(Spawn([&conn] {
      CSQLOperate op;
      if (op.Open(conn.c_str(), "trades") != 1) return 2;
      std::string image = TradeImage();
      for (int batch = 0; batch < 5; ++batch) {
        op.BeginTrans();
        for (int i = 0; i < 4; ++i) {
          if (op.AddNewRecordBase(&image[0], 0, 0, 1, 0) != 1) return 3;
        }
        op.CommitTrans();
      }
      return 0;
    }));
  }
  for (pid_t pid : writers) EXPECT_EQ(0, Wait(pid));
  EXPECT_EQ("60|60|60", db_->Scalar("select count(*) || '|' || count(distinct rec_num) || '|' || "
                                    "max(rec_num) from trades"));
}

TEST_F(PgConcurrencyTest, UncommittedRowHoldsTheFollowerAtTheGapUntilItCommits) {
  InsertTrades(*db_, 1, 3);
  NativeConnection holder(db_->ConnectionString());
  holder.Run("begin");
  holder.Run("insert into trades values (4, '600000', 'B')");
  InsertTrades(*db_, 5, 6);  // committed past the open gap

  auto op = OpenObject(db_->ConnectionString(), "trades");
  Follower follower(*op);
  EXPECT_EQ(CSQLOperate::kGapCode, follower.Step());
  // "发现0-6之间rec_num不连续(1条),retryTime=1" in GBK.
  EXPECT_EQ(std::string("\xB7\xA2\xCF\xD6"
                        "0-6"
                        "\xD6\xAE\xBC\xE4"
                        "rec_num"
                        "\xB2\xBB\xC1\xAC\xD0\xF8"
                        "(1"
                        "\xCC\xF5"
                        "),retryTime=1"),
            op->m_strGapInfo.str());
  EXPECT_EQ(CSQLOperate::kGapCode, follower.Step());
  EXPECT_TRUE(follower.keys().empty());

  holder.Run("commit");
  EXPECT_EQ(6, follower.Step());
  EXPECT_EQ(Sequence(6), follower.keys());
  EXPECT_EQ("", op->m_strGapInfo.str());
}

}  // namespace
}  // namespace kestal::test::pg
