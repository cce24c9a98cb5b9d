// The block read: statements, key advance, image layout, values cut at their
// width, failures with their message box, and a table that another process
// keeps appending to.
#include <unistd.h>

#include <cstring>
#include <string>

#include "CoreFixture.h"

namespace kestal::test {
namespace {

using BlockReadTest = CoreTest;

bool AllZero(const char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

const char* Slot(const CSQLOperate& o, int k) {
  return o.m_szRecordBuf + static_cast<size_t>(k) * CSQLOperate::kSlotSize;
}

TEST_P(BlockReadTest, ConsecutiveBlocksAdvanceTheKey) {
  MakeQuotes(150);
  CSQLOperate o;
  OpenOk(o, "quotes");
  EXPECT_EQ(100, o.ReadToBufferFromDB(100));
  EXPECT_EQ(100, o.m_lReadNum);
  EXPECT_EQ("1", o.GetFieldValue(0, "id"));
  EXPECT_EQ("100", o.GetFieldValue(99, "id"));
  EXPECT_EQ(50, o.ReadToBufferFromDB(100));
  EXPECT_EQ(150, o.m_lReadNum);
  EXPECT_EQ("101", o.GetFieldValue(0, "id"));
  EXPECT_EQ("n150", o.GetFieldValue(49, "name"));
  EXPECT_TRUE(AllZero(Slot(o, 50), 50 * CSQLOperate::kSlotSize));
  EXPECT_TRUE(Sent(o, "select top 100 * from quotes where id > 0 "));
  EXPECT_TRUE(Sent(o, "select top 100 * from quotes where id > 100 "));

  // Nothing past the key: an all-zero buffer, 0, and the key stays.
  EXPECT_EQ(0, o.ReadToBufferFromDB(100));
  EXPECT_EQ(150, o.m_lReadNum);
  EXPECT_TRUE(AllZero(o.m_szRecordBuf, sizeof(o.m_szRecordBuf)));
}

TEST_P(BlockReadTest, KeyAdvancesByRowsReadNotByKeys) {
  db_->Exec("create table gaps (id int, v varchar(4))");
  db_->Exec(
      "insert into gaps values (1,'a'); insert into gaps values (2,'b');"
      "insert into gaps values (5,'e'); insert into gaps values (6,'f')");
  CSQLOperate o;
  OpenOk(o, "gaps");
  EXPECT_EQ(3, o.ReadToBufferFromDB(3));
  EXPECT_EQ(3, o.m_lReadNum);
  EXPECT_EQ("5", o.GetFieldValue(2, "id"));
  EXPECT_EQ(2, o.ReadToBufferFromDB(3));
  EXPECT_EQ(5, o.m_lReadNum);
  EXPECT_TRUE(Sent(o, "select top 3 * from gaps where id > 3 "));
}

TEST_P(BlockReadTest, CountOutOfRangeTouchesNothing) {
  MakeQuotes(5);
  CSQLOperate o;
  OpenOk(o, "quotes");
  std::memset(o.m_szRecordBuf, 'Z', sizeof(o.m_szRecordBuf));
  o.m_lReadNum = 2;
  const size_t sent = o.m_pConnection->SentStatements().size();
  EXPECT_EQ(0, o.ReadToBufferFromDB(0));
  EXPECT_EQ(0, o.ReadToBufferFromDB(101));
  EXPECT_EQ(0, o.ReadToBufferFromDB(-1));
  EXPECT_EQ(2, o.m_lReadNum);
  EXPECT_EQ(sent, o.m_pConnection->SentStatements().size());
  for (char c : o.m_szRecordBuf) ASSERT_EQ('Z', c);
  EXPECT_EQ(3, o.ReadToBufferFromDB(100));
  EXPECT_EQ("3", o.GetFieldValue(0, "id"));
}

TEST_P(BlockReadTest, ImageLayoutIsZeroFilled) {
  MakeQuotes(2);
  CSQLOperate o;
  OpenOk(o, "quotes");
  std::memset(o.m_szRecordBuf, 'Z', sizeof(o.m_szRecordBuf));
  ASSERT_EQ(2, o.ReadToBufferFromDB(10));
  const char* image = Slot(o, 1);
  EXPECT_EQ(0, std::memcmp(image, "2\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(0, std::memcmp(image + 8, "n2\0\0\0\0\0\0\0\0", 10));
  EXPECT_EQ(0, std::memcmp(image + 18, "c2", 2));
  EXPECT_TRUE(AllZero(image + 24, CSQLOperate::kSlotSize - 24));
  EXPECT_TRUE(AllZero(Slot(o, 2), sizeof(o.m_szRecordBuf) - 2 * CSQLOperate::kSlotSize));
}

TEST_P(BlockReadTest, LongValueIsCutAtItsWidth) {
  // An int prints up to 11 characters but has 8 bytes in the image.
  db_->Exec("create table nums (id int, big int, tag varchar(4))");
  db_->Exec("insert into nums values (1, -1234567890, 'ab')");
  CSQLOperate o;
  OpenOk(o, "nums");
  ASSERT_EQ(1, o.ReadToBufferFromDB(1));
  EXPECT_EQ("-1234567", o.GetFieldValue(0, "big"));
  EXPECT_EQ("ab", o.GetFieldValue(0, "tag"));
}

TEST_P(BlockReadTest, LongTextNeverRunsIntoTheNextImage) {
  if (!db_->traits().lenient_int_cast) GTEST_SKIP() << "engine enforces varchar lengths";
  db_->Exec("create table full (k int, a varchar(496), b varchar(8))");
  db_->Exec(
      "insert into full values (1, 'x', 'BBBBBBBBBBBBBBBBBBBB');"
      "insert into full values (2, '" +
      std::string(600, 'A') + "', 'b')");
  CSQLOperate o;
  OpenOk(o, "full");
  ASSERT_EQ(2, o.ReadToBufferFromDB(2));
  EXPECT_EQ("BBBBBBBB", o.GetFieldValue(0, "b"));
  EXPECT_EQ("2", o.GetFieldValue(1, "k"));
  EXPECT_EQ(std::string(496, 'A'), o.GetFieldValue(1, "a").str());
  EXPECT_EQ("b", o.GetFieldValue(1, "b"));
  EXPECT_TRUE(AllZero(Slot(o, 2), CSQLOperate::kSlotSize));
}

TEST_P(BlockReadTest, NullValueFailsWithMessage) {
  MakeQuotes(2);
  db_->Exec("insert into quotes values (3, NULL, 'c3')");
  AddQuotes(4, 5);
  CSQLOperate o;
  OpenOk(o, "quotes");
  MessageBoxCatcher boxes;
  EXPECT_EQ(0, o.ReadToBufferFromDB(100));
  ASSERT_EQ(1u, boxes.texts.size());
  EXPECT_EQ(std::string(ReadFailedText()) + "select top 100 * from quotes where id > 0 ",
            boxes.texts[0].str());
  EXPECT_EQ(0, o.m_lReadNum);
  EXPECT_EQ("1", o.GetFieldValue(0, "id"));
  EXPECT_EQ("n2", o.GetFieldValue(1, "name"));
  EXPECT_TRUE(AllZero(Slot(o, 3), CSQLOperate::kSlotSize));
  // A NULL is a database error: one reconnection, and the object still works.
  EXPECT_EQ(0, o.m_strTrace.Find("{"));
  EXPECT_GT(o.m_strTrace.Find("-ReOpenSuccess}"), 0);
  EXPECT_EQ(2, o.ReadToBufferFromDB(2));
  EXPECT_EQ(2, o.m_lReadNum);
}

TEST_P(BlockReadTest, VanishedTableFailsWithMessage) {
  MakeQuotes(3);
  CSQLOperate o;
  OpenOk(o, "quotes");
  db_->Exec("drop table quotes");
  MessageBoxCatcher boxes;
  EXPECT_EQ(0, o.ReadToBufferFromDB(50));
  ASSERT_EQ(1u, boxes.texts.size());
  EXPECT_EQ(std::string(ReadFailedText()) + "select top 50 * from quotes where id > 0 ",
            boxes.texts[0].str());
  EXPECT_GT(o.m_strTrace.Find("-ReOpenSuccess}"), 0);
  EXPECT_TRUE(AllZero(o.m_szRecordBuf, sizeof(o.m_szRecordBuf)));
}

TEST_P(BlockReadTest, UnopenedObjectFailsWithMessage) {
  CSQLOperate o;
  MessageBoxCatcher boxes;
  EXPECT_EQ(0, o.ReadToBufferFromDB(10));
  ASSERT_EQ(1u, boxes.texts.size());
  EXPECT_EQ(0, boxes.texts[0].Find(ReadFailedText()));
  // No connection object: the one reconnection attempt fails too.
  EXPECT_GT(o.m_strTrace.Find("-ReOpenException Sleep500}"), 0);
}

TEST_P(BlockReadTest, FollowsRowsAppendedByAnotherProcess) {
  constexpr int kRows = 400;
  MakeQuotes(0);
  CSQLOperate o;
  OpenOk(o, "quotes");
  const std::string conn = Conn();
  pid_t writer = Spawn([&conn] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(conn.c_str());
    for (int k = 1; k <= kRows; ++k) {
      CString sql;
      sql.Format("insert into quotes (id,name,code) values (%d,'w%d','c')", k, k);
      c->Execute(sql);
      if (k % 20 == 0) usleep(5000);
    }
    c->Close();
    return 0;
  });

  MessageBoxCatcher boxes;
  int blocks = 0;
  const long long deadline = NowMs() + 30000;
  while (o.m_lReadNum < kRows && NowMs() < deadline) {
    const int first = o.m_lReadNum + 1;
    const int n = o.ReadToBufferFromDB(37);
    ASSERT_GE(n, 0);
    for (int j = 0; j < n; ++j) {
      ASSERT_EQ(std::to_string(first + j), o.GetFieldValue(j, "id").str());
      ASSERT_EQ("w" + std::to_string(first + j), o.GetFieldValue(j, "name").str());
    }
    if (n > 0) ++blocks;
  }
  EXPECT_EQ(0, Wait(writer));
  EXPECT_EQ(kRows, o.m_lReadNum);
  EXPECT_TRUE(boxes.texts.empty());
  EXPECT_GE(blocks, kRows / 37);
}

INSTANTIATE_TEST_SUITE_P(Engines, BlockReadTest, ::testing::Values(Engine::kSqlite), EngineName);

}  // namespace
}  // namespace kestal::test
