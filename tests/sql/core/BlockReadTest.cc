// The block read: statements, key advance, zero-filled images, values cut at
// their width, failures with their message, and a table another process keeps
// appending to.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "CoreFixture.h"

namespace kestal::test {
namespace {

using BlockReadTest = CoreTest;

bool AllZero(const char* bytes, size_t n) {
  return std::all_of(bytes, bytes + n, [](char c) { return c == 0; });
}
const char* Slot(const CSQLOperate& o, int k) {
  return o.m_szRecordBuf + k * 512;
}

TEST_P(BlockReadTest, ConsecutiveBlocksAdvanceTheKey) {
  MakeQuotes(150);
  CSQLOperate o;
  OpenOk(o, "quotes");
  std::memset(o.m_szRecordBuf, 'Z', sizeof(o.m_szRecordBuf));
  for (int bad : {0, 101, -1}) EXPECT_EQ(0, o.ReadToBufferFromDB(bad));
  EXPECT_EQ('Z', o.m_szRecordBuf[sizeof(o.m_szRecordBuf) - 1]);  // untouched
  EXPECT_EQ(100, o.ReadToBufferFromDB(100));
  EXPECT_EQ(100, o.m_lReadNum);
  EXPECT_EQ("100", o.GetFieldValue(99, "id"));
  EXPECT_EQ(50, o.ReadToBufferFromDB(100));
  EXPECT_EQ(150, o.m_lReadNum);
  EXPECT_EQ(0, std::memcmp(Slot(o, 49), "150\0\0\0\0\0n150\0\0\0\0\0\0c150", 22));
  EXPECT_TRUE(AllZero(Slot(o, 49) + 24, sizeof(o.m_szRecordBuf) - 49 * 512 - 24));
  EXPECT_TRUE(Sent(o, "select top 100 * from quotes where id > 0 "));
  EXPECT_TRUE(Sent(o, "select top 100 * from quotes where id > 100 "));
  EXPECT_EQ(0, o.ReadToBufferFromDB(100));  // nothing new: zeroed, key kept
  EXPECT_EQ(150, o.m_lReadNum);
  EXPECT_TRUE(AllZero(o.m_szRecordBuf, sizeof(o.m_szRecordBuf)));

  // The key moves by the number of rows, whatever keys they carried.
  db_->Exec("insert into quotes values (160, 'x', 'y')");
  EXPECT_EQ(1, o.ReadToBufferFromDB(5));
  EXPECT_EQ(151, o.m_lReadNum);
}

TEST_P(BlockReadTest, LongValuesAreCutAtTheirWidth) {
  db_->Exec("create table nums (id int, big int, tag varchar(4))");
  db_->Exec("insert into nums values (1, -1234567890, 'ab')");  // 11 characters, 8 bytes
  CSQLOperate o;
  OpenOk(o, "nums");
  ASSERT_EQ(1, o.ReadToBufferFromDB(1));
  EXPECT_EQ("-1234567", o.GetFieldValue(0, "big"));
  EXPECT_EQ("ab", o.GetFieldValue(0, "tag"));
}

TEST_P(BlockReadTest, OverlongStoredTextIsCutAtItsWidth) {
  db_->Exec("create table wide (k int, a varchar(496), b varchar(8))");
  const std::string overlong = "insert into wide values (1, 'x', 'BBBBBBBBBBBB')";
  if (!db_->traits().stores_overlong_text) {
    // Nothing longer than its column can be stored, so none can be read.
    EXPECT_THROW(db_->Exec(overlong), std::runtime_error);
    return;
  }
  db_->Exec(overlong + "; insert into wide values (2, '" + std::string(600, 'A') + "', 'b')");
  CSQLOperate o;
  OpenOk(o, "wide");
  o.m_lReadNum = 0;
  ASSERT_EQ(2, o.ReadToBufferFromDB(2));
  EXPECT_EQ("BBBBBBBB", o.GetFieldValue(0, "b"));
  EXPECT_EQ("2", o.GetFieldValue(1, "k"));  // not overwritten by image 0
  EXPECT_EQ(std::string(496, 'A'), o.GetFieldValue(1, "a").str());
  EXPECT_EQ("b", o.GetFieldValue(1, "b"));
  EXPECT_TRUE(AllZero(Slot(o, 2), 512));
}

TEST_P(BlockReadTest, NullOrVanishedTableFailsWithMessage) {
  MakeQuotes(2);
  db_->Exec("insert into quotes values (3, NULL, 'c3')");
  AddQuotes(4, 5);
  CSQLOperate o;
  OpenOk(o, "quotes");
  MessageBoxCatcher boxes;
  EXPECT_EQ(0, o.ReadToBufferFromDB(100));
  EXPECT_EQ(std::vector<std::string>{ReadFailed("select top 100 * from quotes where id > 0 ")},
            boxes.texts);
  EXPECT_EQ(0, o.m_lReadNum);
  EXPECT_EQ("n2", o.GetFieldValue(1, "name"));  // images copied so far stay
  EXPECT_TRUE(AllZero(Slot(o, 3), 512));
  EXPECT_EQ(1, Count(o.m_strTrace, "-ReOpenSuccess}"));  // a NULL is a database error
  EXPECT_EQ(2, o.ReadToBufferFromDB(2));

  db_->Exec("drop table quotes");
  EXPECT_EQ(0, o.ReadToBufferFromDB(50));
  EXPECT_EQ(ReadFailed("select top 50 * from quotes where id > 2 "), boxes.texts.back());
  EXPECT_EQ(2, Count(o.m_strTrace, "-ReOpenSuccess}"));
  EXPECT_TRUE(AllZero(o.m_szRecordBuf, sizeof(o.m_szRecordBuf)));
}

TEST_P(BlockReadTest, FollowsRowsAppendedByAnotherProcess) {
  constexpr int kRows = 400;
  MakeQuotes(0);
  CSQLOperate o;
  OpenOk(o, "quotes");
  const std::string conn = Conn();
  const pid_t writer = Spawn([&conn] {
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(conn.c_str());
    for (int k = 1; k <= kRows; ++k) {
      CString sql;
      sql.Format("insert into quotes (id,name,code) values (%d,'w%d','c')", k, k);
      c->Execute(sql);
      if (k % 20 == 0) usleep(5000);
    }
    return 0;
  });
  MessageBoxCatcher boxes;
  int blocks = 0;
  for (const long long end = NowMs() + 30000; o.m_lReadNum < kRows && NowMs() < end;) {
    const int first = o.m_lReadNum + 1, n = o.ReadToBufferFromDB(37);
    for (int j = 0; j < n; ++j) {
      ASSERT_EQ("w" + std::to_string(first + j), o.GetFieldValue(j, "name").str());
    }
    blocks += n > 0;
  }
  EXPECT_EQ(0, Wait(writer));
  EXPECT_EQ(kRows, o.m_lReadNum);
  EXPECT_TRUE(boxes.texts.empty());
  EXPECT_GE(blocks, kRows / 37);
}

INSTANTIATE_TEST_SUITE_P(Engines, BlockReadTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
