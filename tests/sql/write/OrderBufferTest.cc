// The order buffer: its life (alloc, clear, free), the entries appended in
// each mode, the limits that keep it from overflowing, and sending batches of
// statements, including sends that fail.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sql/db/FaultInjection.h"
#include "sql/write/ValueList.h"
#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

using kestal::db::FaultPoint;
using kestal::db::ScopedFaultHook;
using Strings = std::vector<std::string>;

std::string Content(const CSQLOperate& op) {
  return std::string(op.m_pOrderBuff, static_cast<size_t>(op.m_lOrderBuffLen));
}

// True when every byte from the used length to the end of the block is 0.
bool TailIsZero(const CSQLOperate& op) {
  for (int i = op.m_lOrderBuffLen; i < CSQLOperate::kOrderBuffSize; ++i) {
    if (op.m_pOrderBuff[i] != 0) return false;
  }
  return true;
}

class OrderBufferTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    op_ = CreateAndOpen("T", "rec_num int not null, stock varchar(6), bs char(1)");
  }
  std::unique_ptr<CSQLOperate> op_;
  std::string image_ = "       0ABC123B";
};
KESTAL_WRITE_ENGINES(OrderBufferTest);

TEST_P(OrderBufferTest, EntriesOfEachModeMatchTheWorkedExample) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 1, 0));
  const std::string numbered =
      "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123','B' from T with "
      "(holdlock);";
  EXPECT_EQ(numbered, Content(*op_));
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 2, 0));
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 0, 0));
  EXPECT_EQ(
      numbered + "0,ABC123,B,\r\n" + "insert into T (rec_num,stock,bs)  values (0,'ABC123','B');",
      Content(*op_));
  EXPECT_TRUE(TailIsZero(*op_));
  EXPECT_EQ(3, op_->m_lCurrentPos);
}

TEST_P(OrderBufferTest, TwoPlainEntriesGoAsOneCommandText) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  std::string second = "       7XYZ   S";
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 0, 0));
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(second.data(), -5, 0));
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 0, "ignored"));
  EXPECT_EQ(Strings({"insert into T (rec_num,stock,bs)  values (0,'ABC123','B');"
                     "insert into T (rec_num,stock,bs)  values (7,'XYZ   ','S');"}),
            Sent(*op_));
  EXPECT_EQ(Strings({"0|ABC123|B", "7|XYZ   |S"}), Rows("select * from T order by 1"));
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_TRUE(TailIsZero(*op_));
}

TEST_P(OrderBufferTest, NumberedBatchGivesIncreasingNumbers) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 1, 4));
  ASSERT_EQ(1, op_->ExecBatchInsert(1, 1, ""));
  EXPECT_EQ(Strings({"10000005", "10000006", "10000007"}),
            Rows("select rec_num from T order by 1"));
}

TEST_P(OrderBufferTest, FailedSendDropsTheBatchAndReconnects) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 0, 0));
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 0, 0));
  db_->Exec("drop table T");
  EXPECT_EQ(0, op_->ExecBatchInsert(2, 0, ""));
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_TRUE(TailIsZero(*op_));
  EXPECT_EQ(2, op_->m_lCurrentPos);  // appends still counted
  EXPECT_NE(std::string::npos, op_->m_strTrace.str().find("-ReOpenSuccess}"));
  EXPECT_EQ(1u, Sent(*op_).size());  // nothing resent
  // The next append lands at byte 0.
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 2, 0));
  EXPECT_EQ("0,ABC123,B,\r\n", Content(*op_));
}

TEST_P(OrderBufferTest, LinkLostDuringSendDropsTheBatch) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 1, 0));
  {
    ScopedFaultHook hook([](FaultPoint point, const CString&) {
      if (point == FaultPoint::kStatement) throw _com_error(kestal::db::kConnectionError, "lost");
    });
    EXPECT_EQ(0, op_->ExecBatchInsert(1, 1, ""));
  }
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_TRUE(Rows("select * from T").empty());
  // The reconnected object sends the next batch.
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 1, 0));
  EXPECT_EQ(1, op_->ExecBatchInsert(1, 1, ""));
  EXPECT_EQ(Strings({"1"}), Rows("select rec_num from T"));
}

TEST_P(OrderBufferTest, BulkLineRefusesTerminatorsInText) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 2, 0));
  const std::string before = Content(*op_);
  for (const char* bad : {"AB,CD", "AB\rCD", "AB\nCD"}) {
    std::string image = Image(*op_, {{"rec_num", "1"}, {"stock", bad}});
    EXPECT_EQ(0, op_->AddInsertRecordToBuff(image.data(), 2, 0)) << bad;
    EXPECT_EQ(before, Content(*op_));
    EXPECT_TRUE(TailIsZero(*op_));
    // The statement forms quote the value, so they take it.
    EXPECT_EQ(1, op_->AddInsertRecordToBuff(image.data(), 0, 0));
    op_->BuffInit();
    ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 2, 0));
  }
  EXPECT_EQ(1 + 3 * 2, op_->m_lCurrentPos);
}

TEST_P(OrderBufferTest, AppendsStopBeforeTheBufferIsFull) {
  db_->Exec("create table wide (rec_num int, name varchar(400))");
  auto op = OpenExisting("wide");
  ASSERT_EQ(1, op->AllocOrderBuff());
  std::string image = Image(*op, {{"rec_num", "1"}, {"name", std::string(400, 'x')}});
  int appended = 0;
  while (op->AddInsertRecordToBuff(image.data(), 0, 0) == 1) ++appended;
  const int entry = op->m_lOrderBuffLen / appended;
  EXPECT_LE(op->m_lOrderBuffLen, CSQLOperate::kOrderBuffSize - 1);
  EXPECT_GT(op->m_lOrderBuffLen + entry, CSQLOperate::kOrderBuffSize - 1);
  EXPECT_EQ(appended, op->m_lCurrentPos);
  EXPECT_TRUE(TailIsZero(*op));
  // A shorter entry that still fits is taken; the batch then sends whole.
  std::string small = Image(*op, {{"rec_num", "2"}, {"name", std::string(1, '\0')}});
  while (op->AddInsertRecordToBuff(small.data(), 2, 0) == 1) {
  }
  // "2,,\r\n" is 5 bytes: the batch ends within 5 bytes of the limit.
  EXPECT_LE(op->m_lOrderBuffLen, CSQLOperate::kOrderBuffSize - 1);
  EXPECT_GT(op->m_lOrderBuffLen, CSQLOperate::kOrderBuffSize - 1 - 5);
  EXPECT_TRUE(TailIsZero(*op));
  op->BuffInit();
  ASSERT_EQ(1, op->AddInsertRecordToBuff(image.data(), 0, 0));
  EXPECT_EQ(1, op->ExecBatchInsert(1, 0, ""));
  EXPECT_EQ(Strings({"1"}), Rows("select count(*) from wide"));
}

TEST_P(OrderBufferTest, CallsWithoutBufferDoNothing) {
  op_->BuffInit();
  EXPECT_EQ(nullptr, op_->m_pOrderBuff);
  EXPECT_EQ(0, op_->AddInsertRecordToBuff(image_.data(), 0, 0));
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 0, ""));
  EXPECT_EQ(0, op_->ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ(1, op_->FreeOrderBuff());
  EXPECT_TRUE(Sent(*op_).empty());
  EXPECT_EQ(0, op_->m_lCurrentPos);
}

TEST_P(OrderBufferTest, SecondAllocKeepsAndClearsTheBuffer) {
  ASSERT_EQ(1, op_->AllocOrderBuff());
  char* first = op_->m_pOrderBuff;
  ASSERT_EQ(1, op_->AddInsertRecordToBuff(image_.data(), 0, 0));
  ASSERT_EQ(1, op_->AllocOrderBuff());
  EXPECT_EQ(first, op_->m_pOrderBuff);
  EXPECT_EQ(0, op_->m_lOrderBuffLen);
  EXPECT_TRUE(TailIsZero(*op_));
  EXPECT_EQ(1, op_->FreeOrderBuff());
  EXPECT_EQ(nullptr, op_->m_pOrderBuff);
  EXPECT_EQ(1, op_->FreeOrderBuff());
  // An object destroyed while holding a buffer frees it (checked under ASan).
  ASSERT_EQ(1, op_->AllocOrderBuff());
}

TEST_P(OrderBufferTest, FailedAllocationReturnsZero) {
  pid_t child = Spawn([&] {
    // Cap the address space just above what the process already uses, so the
    // 1,024,000-byte block cannot be mapped.
    std::vector<void*> hog;
    hog.reserve(1024);
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) return 2;
    fclose(statm);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + 256 * 1024;
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 3;
    // Use up whatever free heap is left under the cap, as an exhausted
    // process would have it.
    for (void* p;
         hog.size() < hog.capacity() && (p = malloc(CSQLOperate::kOrderBuffSize)) != nullptr;)
      hog.push_back(p);
    if (op_->AllocOrderBuff() != 0) return 4;
    if (op_->m_pOrderBuff != nullptr) return 5;
    if (op_->AddInsertRecordToBuff(image_.data(), 0, 0) != 0) return 6;
    op_->BuffInit();
    for (void* p : hog) free(p);
    return 0;
  });
  EXPECT_EQ(0, Wait(child));
}

// The shared value rules, on a hand-made field table wider than a record
// image allows: a field of 600 bytes is cut at 511.
TEST(ValueListTest, WideTextFieldIsCutAt511Bytes) {
  FIELDINFO fields[2];
  fields[0].strName = "name";
  fields[0].nWidth = 600;
  fields[0].nType = 39;
  fields[1].strName = "qty";
  fields[1].nWidth = 8;
  fields[1].nType = 56;
  std::string image = std::string(600, 'x') + "      42";
  CString list;
  ASSERT_TRUE(kestal::sqlwrite::BuildValueList(fields, 2, image.data(),
                                               kestal::sqlwrite::ValueForm::kQuoted, 0, list));
  EXPECT_EQ("'" + std::string(511, 'x') + "',42", list.str());
  ASSERT_TRUE(kestal::sqlwrite::BuildValueList(fields, 2, image.data(),
                                               kestal::sqlwrite::ValueForm::kBulkLine, 0, list));
  EXPECT_EQ(std::string(511, 'x') + ",42", list.str());
}

TEST(ValueListTest, HugeBaseDoesNotWrap) {
  FIELDINFO field;
  field.strName = "REC_NUM";
  field.nWidth = 8;
  field.nType = 56;
  CString list;
  ASSERT_TRUE(kestal::sqlwrite::BuildValueList(
      &field, 1, "        ", kestal::sqlwrite::ValueForm::kNumbered, 2147483647, list));
  EXPECT_EQ("select isnull(max(REC_NUM)+1,2157483648)", list.str());
}

}  // namespace
}  // namespace kestal::test
