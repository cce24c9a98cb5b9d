// AddNewRecordBase after a failed execution: one reconnection sequence with
// the caller's attempt count, then exactly one resend. Faults are real: the
// database's folder is moved away (so reopening fails) and put back by
// another thread while the attempts run, or the link is cut at the
// connection seam.
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sql/db/FaultInjection.h"
#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

using kestal::db::FaultPoint;
using kestal::db::ScopedFaultHook;
using Strings = std::vector<std::string>;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ReconnectInsertTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    op_ = CreateAndOpen("T", "rec_num int not null, stock varchar(6), bs char(1)");
    std::string path = db_->FilePath();
    dir_ = path.substr(0, path.rfind('/'));
    away_ = dir_ + ".away";
  }
  void TearDown() override { rename(away_.c_str(), dir_.c_str()); }

  // Moves the database's folder away; reopening the connection then fails.
  void MoveAway() { ASSERT_EQ(0, rename(dir_.c_str(), away_.c_str())); }
  // Puts the folder back after ms milliseconds, from another thread.
  std::thread PutBackAfter(int ms) {
    return std::thread([this, ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      rename(away_.c_str(), dir_.c_str());
    });
  }

  std::unique_ptr<CSQLOperate> op_;
  std::string dir_;
  std::string away_;
  std::string image_ = "       0ABC123B";
  const std::string numbered_ =
      "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123','B' from T with "
      "(holdlock) ";
};
KESTAL_WRITE_ENGINES(ReconnectInsertTest);

TEST_P(ReconnectInsertTest, LinkLostThenFolderBackDuringAttemptsResendsOnce) {
  std::atomic<int> cut{0};
  ScopedFaultHook hook([&](FaultPoint point, const CString& text) {
    if (point == FaultPoint::kStatement && text.Find("insert") == 0 && cut++ == 0) {
      throw _com_error(kestal::db::kConnectionError, "link lost");
    }
  });
  MoveAway();
  std::thread back = PutBackAfter(300);
  int result = op_->AddNewRecordBase(image_.data(), 0, 5, 1, 0);
  back.join();
  EXPECT_EQ(1, result);
  const std::string trace = op_->m_strTrace.str();
  EXPECT_GE(Count(trace, "-ReOpenException Sleep500}"), 1) << trace;
  EXPECT_EQ(1, Count(trace, "-ReOpenSuccess}")) << trace;
  EXPECT_EQ(Strings({numbered_, numbered_}), Sent(*op_));
  EXPECT_EQ(Strings({"1|ABC123|B"}), Rows("select * from T"));
  EXPECT_EQ(1, op_->m_lCurrentPos);
}

TEST_P(ReconnectInsertTest, ClosedConnectionIsReopenedAndThePlainFormResent) {
  op_->m_pConnection->Close();
  MoveAway();
  std::thread back = PutBackAfter(300);
  int result = op_->AddNewRecordBase(image_.data(), 0, 5, 0, 0);
  back.join();
  EXPECT_EQ(1, result);
  EXPECT_EQ(Strings({"0|ABC123|B"}), Rows("select * from T"));
  // The object keeps working on the reopened connection.
  EXPECT_EQ(1, op_->AddNewRecordBase(image_.data(), 0, 1, 1, 0));
  EXPECT_EQ(Strings({"0", "1"}), Rows("select rec_num from T order by 1"));
}

TEST_P(ReconnectInsertTest, AllAttemptsFailingGivesZeroWithoutResend) {
  op_->m_pConnection->Close();
  MoveAway();
  EXPECT_EQ(0, op_->AddNewRecordBase(image_.data(), 0, 2, 1, 0));
  EXPECT_EQ(2, Count(op_->m_strTrace.str(), "-ReOpenException Sleep500}"));
  EXPECT_EQ(Strings({numbered_}), Sent(*op_));
  EXPECT_EQ(0, op_->m_lCurrentPos);
  ASSERT_EQ(0, rename(away_.c_str(), dir_.c_str()));
  EXPECT_TRUE(Rows("select * from T").empty());
}

TEST_P(ReconnectInsertTest, ZeroAttemptsGivesZero) {
  ScopedFaultHook hook([](FaultPoint point, const CString&) {
    if (point == FaultPoint::kStatement) throw _com_error(kestal::db::kConnectionError, "down");
  });
  EXPECT_EQ(0, op_->AddNewRecordBase(image_.data(), 0, 0, 0, 0));
  EXPECT_EQ(1u, Sent(*op_).size());
  EXPECT_EQ("", op_->m_strTrace.str());
}

TEST_P(ReconnectInsertTest, ResendFailingAgainGivesZero) {
  ScopedFaultHook hook([](FaultPoint point, const CString& text) {
    if (point == FaultPoint::kStatement && text.Find("insert") == 0) {
      throw _com_error(kestal::db::kStatementError, "rejected");
    }
  });
  EXPECT_EQ(0, op_->AddNewRecordBase(image_.data(), 0, 3, 1, 0));
  EXPECT_EQ(1, Count(op_->m_strTrace.str(), "-ReOpenSuccess}"));
  EXPECT_EQ(Strings({numbered_, numbered_}), Sent(*op_));
  EXPECT_EQ(0, op_->m_lCurrentPos);
  EXPECT_TRUE(Rows("select * from T").empty());
}

TEST_P(ReconnectInsertTest, AddNewRecordNeverReconnects) {
  db_->Exec("insert into T values (4, 'OLD', 'S')");
  op_->m_pConnection->Close();
  EXPECT_EQ(0, op_->AddNewRecord(image_.data(), 0));
  EXPECT_EQ("", op_->m_strTrace.str());
  EXPECT_EQ(Strings({"4"}), Rows("select rec_num from T"));
}

}  // namespace
}  // namespace kestal::test
