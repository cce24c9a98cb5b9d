// Writes after a failed execution. AddNewRecordBase reconnects with the
// caller's attempt count and resends once; ExecBatchInsert drops the batch,
// reconnects and resends nothing. Faults are real: the database is taken
// offline (its folder moved away, or the server refusing it, so reopening
// fails) and brought back by another thread while the attempts run, or the
// link is cut at the connection seam.
#include <chrono>
#include <thread>

#include "sql/db/FaultInjection.h"
#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

using kestal::db::FaultPoint;

int Count(const CString& text, const char* what) {
  int n = 0;
  for (int at = text.Find(what); at >= 0; at = text.Find(what, at + 1)) ++n;
  return n;
}

class ReconnectTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    op_ = Open("T", "rec_num int not null, stock varchar(6), bs char(1)");
  }
  void TearDown() override { db_->BringOnline(); }
  // Takes the database offline, and back after ms milliseconds (never when
  // ms < 0).
  std::thread MoveAway(int ms) {
    db_->TakeOffline();
    return std::thread([this, ms] {
      if (ms < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      db_->BringOnline();
    });
  }
  // Cuts the link for the first n statements that begin with prefix.
  kestal::db::FaultHook CutFirst(int n, const char* prefix) {
    return [n, prefix](FaultPoint point, const CString& text) mutable {
      if (point == FaultPoint::kStatement && text.Find(prefix) == 0 && n-- > 0)
        throw _com_error(kestal::db::kConnectionError, "link lost");
    };
  }

  std::unique_ptr<CSQLOperate> op_;
  std::string image_ = "       0ABC123B";
};
KESTAL_WRITE_ENGINES(ReconnectTest);

// Cases that sit through the 500 ms pauses between reconnection attempts.
class SlowReconnectTest : public ReconnectTest {};
KESTAL_WRITE_ENGINES(SlowReconnectTest);

TEST_P(SlowReconnectTest, LinkLostWhileOfflineResendsOnceAfterReopening) {
  kestal::db::ScopedFaultHook hook(CutFirst(1, "insert"));
  std::thread back = MoveAway(300);
  EXPECT_EQ(1, op_->AddNewRecordBase(image_.data(), 0, 5, 1, 0));
  back.join();
  EXPECT_GE(Count(op_->m_strTrace, "-ReOpenException Sleep500}"), 1);
  EXPECT_EQ(1, Count(op_->m_strTrace, "-ReOpenSuccess}"));
  EXPECT_EQ(2u, Sent(*op_).size());
  EXPECT_EQ(Strings({"1|ABC123|B"}), Rows("select * from T"));
  EXPECT_EQ(1, op_->m_lCurrentPos);
}

TEST_P(SlowReconnectTest, ClosedConnectionIsReopenedForThePlainForm) {
  op_->m_pConnection->Close();
  std::thread back = MoveAway(300);
  EXPECT_EQ(1, op_->AddNewRecordBase(image_.data(), 0, 5, 0, 0));
  back.join();
  EXPECT_EQ(1, op_->AddNewRecordBase(image_.data(), 0, 1, 1, 0));
  EXPECT_EQ(Strings({"0", "1"}), Rows("select rec_num from T order by 1"));
}

TEST_P(SlowReconnectTest, InsertFailurePaths) {
  op_->m_pConnection->Close();
  std::thread away = MoveAway(-1);
  away.join();
  // Every attempt fails: 0, nothing resent.
  EXPECT_EQ(0, op_->AddNewRecordBase(image_.data(), 0, 2, 1, 0));
  EXPECT_EQ(2, Count(op_->m_strTrace, "-ReOpenException Sleep500}"));
  EXPECT_EQ(0, op_->AddNewRecordBase(image_.data(), 0, 0, 0, 0));  // no attempt at all
  EXPECT_EQ(2u, Sent(*op_).size());
  db_->BringOnline();
  {
    // Reopened, but the resend fails too: 0.
    kestal::db::ScopedFaultHook hook(CutFirst(2, "insert"));
    EXPECT_EQ(0, op_->AddNewRecordBase(image_.data(), 0, 3, 1, 0));
  }
  EXPECT_EQ(1, Count(op_->m_strTrace, "-ReOpenSuccess}"));
  EXPECT_EQ(4u, Sent(*op_).size());
  EXPECT_EQ(0, op_->m_lCurrentPos);
  EXPECT_TRUE(Rows("select * from T").empty());
}

TEST_P(ReconnectTest, FailedSendDropsTheBatchAndReconnects) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  for (int mode : {1, 0}) ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), mode, 0));
  {
    kestal::db::ScopedFaultHook hook(CutFirst(1, "insert"));
    EXPECT_EQ(0, op_->ExecBatchInsert(2, 1, ""));
  }
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_EQ(0, op_->m_pOrderBuff[0]);
  EXPECT_EQ(2, op_->m_lCurrentPos);  // the dropped appends stay counted
  EXPECT_EQ(1, Count(op_->m_strTrace, "-ReOpenSuccess}"));
  EXPECT_EQ(1u, Sent(*op_).size());  // nothing resent
  // The next append lands at byte 0 and the reopened link takes the batch.
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 1, 0));
  EXPECT_EQ(0u, std::string(op_->m_pOrderBuff).find("insert into T"));
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 1, ""));
  EXPECT_EQ(Strings({"1"}), Rows("select rec_num from T"));
  // A batch the server rejects takes the same path.
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 0, 0));
  db_->Exec("drop table T");
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 0, ""));
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_EQ(2, Count(op_->m_strTrace, "-ReOpenSuccess}"));
}

}  // namespace
}  // namespace kestal::test
