// Block reads, navigation and field values, including read faults injected
// at the file layer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "DbfTestUtil.h"
#include "dbf/DBFOperate.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

// A table of n order records: REC_NUM i + 1, NAME "name<i>", QTY i.
class DbfReadTest : public ::testing::Test {
 protected:
  void Make(int n) {
    TableSpec layout{OrderFields(), {}};
    for (int i = 0; i < n; ++i) {
      layout.records.push_back(Record(
          layout.fields, {std::to_string(i + 1), "name" + std::to_string(i), std::to_string(i)}));
    }
    WriteTable(path, layout);
    ASSERT_EQ(1, table.Open(path.c_str()));
  }
  void TearDown() override { CFile::SetFaultHook({}); }

  TempDir dir;
  std::string path = dir.File("orders.dbf");
  CDBFOperate table;
};

TEST_F(DbfReadTest, StepsThroughASmallTable) {
  Make(3);
  EXPECT_EQ(3, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("0"), table.GetCurrentPos());
  EXPECT_EQ(CString(""), table.GetFieldValue("NAME"));  // no current slot yet
  ASSERT_EQ(1, table.MoveNext());
  EXPECT_EQ(CString("1"), table.GetCurrentPos());
  EXPECT_EQ(CString("name0     "), table.GetFieldValue("NAME"));
  EXPECT_EQ(CString("name0     "), table.GetFieldValue("name"));
  EXPECT_EQ(CString("     0"), table.GetFieldValue("Qty"));  // padding kept
  EXPECT_EQ(1, table.MoveNext());
  EXPECT_EQ(1, table.MoveNext());
  EXPECT_EQ(CString("name2     "), table.GetFieldValue("NAME"));
  EXPECT_EQ(0, table.MoveNext());
  EXPECT_EQ(CString("3"), table.GetCurrentPos());
  EXPECT_EQ(0, table.ReadToBufferFromFile(500));  // caught up
}

TEST_F(DbfReadTest, UnknownFieldsAndSlotsGiveEmptyText) {
  Make(2);
  std::string bytes = ReadFile(path);
  bytes[table.m_nHeadLen + table.m_nRecLen + 9 + 2] = '\0';  // inside NAME of record 1
  WriteFile(path, bytes);
  ASSERT_EQ(2, table.ReadToBufferFromFile(2));
  EXPECT_EQ(CString(""), table.GetFieldValue(0, "NOSUCH"));
  EXPECT_EQ(CString(""), table.GetFieldValue(0, ""));
  EXPECT_EQ(CString(""), table.GetFieldValue(500, "NAME"));
  EXPECT_EQ(CString(""), table.GetFieldValue(-1, "NAME"));
  EXPECT_EQ(CString(""), table.GetFieldValue(2, "NAME"));    // zeroed slot
  EXPECT_EQ(CString("na"), table.GetFieldValue(1, "NAME"));  // a NUL cuts the value
}

TEST_F(DbfReadTest, BlocksOfFiveHundredFollowThePosition) {
  Make(1200);
  EXPECT_EQ(0, table.ReadToBufferFromFile(501));
  ASSERT_EQ(500, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("     500"), table.GetFieldValue(499, "REC_NUM"));
  for (int i = 0; i < 500; ++i) ASSERT_EQ(1, table.MoveNext());
  EXPECT_EQ(CString("name499   "), table.GetFieldValue("NAME"));
  ASSERT_EQ(1, table.MoveNext());  // past the block: the slot index stops at 500
  ASSERT_EQ(1, table.MoveNext());
  EXPECT_EQ(500, table.m_nBufferPos);
  EXPECT_EQ(CString(""), table.GetFieldValue("NAME"));
  table.MovePrev();
  table.MovePrev();
  ASSERT_EQ(500, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("name500   "), table.GetFieldValue(0, "NAME"));
  for (int i = 0; i < 500; ++i) ASSERT_EQ(1, table.MoveNext());
  ASSERT_EQ(200, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("name1199  "), table.GetFieldValue(199, "NAME"));
  // Slots past the block and bytes past each record are zero.
  EXPECT_EQ(0, table.m_szRecordBuf[200 * 512]);
  EXPECT_EQ(0, table.m_szRecordBuf[199 * 512 + table.m_nRecLen]);
}

TEST_F(DbfReadTest, MoveToAcceptsTheTotalButNotBeyond) {
  Make(4);
  EXPECT_EQ(1, table.MoveTo(4));
  EXPECT_EQ(0, table.ReadToBufferFromFile(500));
  EXPECT_EQ(0, table.MoveTo(5));
  EXPECT_EQ(CString("5"), table.GetCurrentPos());
  EXPECT_EQ(1, table.MoveTo(1));
  ASSERT_EQ(2, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("name2     "), table.GetFieldValue(0, "NAME"));
  EXPECT_EQ(1, table.MoveTo(-1));
  ASSERT_EQ(4, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("name0     "), table.GetFieldValue(0, "NAME"));
  EXPECT_EQ(0, table.MoveTo(-2));  // there is nothing before "before the first"
}

TEST_F(DbfReadTest, PositionTextAtTheLargestCountDoesNotWrap) {
  TableSpec layout{OrderFields(), {}};
  layout.count = INT32_MAX;  // a lying header: position 2^31 - 1 is reachable
  WriteTable(path, layout);
  ASSERT_EQ(1, table.Open(path.c_str()));
  ASSERT_EQ(1, table.MoveTo(INT32_MAX));
  EXPECT_EQ(CString("2147483648"), table.GetCurrentPos());
  ASSERT_EQ(1, table.MoveTo(INT32_MAX - 1));
  EXPECT_EQ(CString("2147483647"), table.GetCurrentPos());
}

TEST_F(DbfReadTest, PositionBelowTheFirstRecordReadsNothing) {
  Make(2);
  table.MovePrev();
  table.MovePrev();
  EXPECT_EQ(CString("-2"), table.GetCurrentPos());
  // Reading here would hand header bytes out as a record.
  EXPECT_EQ(0, table.ReadToBufferFromFile(500));
  EXPECT_EQ(1, table.MoveNext());
  EXPECT_EQ(1, table.MoveNext());
  EXPECT_EQ(2, table.ReadToBufferFromFile(500));
}

TEST_F(DbfReadTest, GrowthByAnotherProcessIsSeenAtTheEnd) {
  Make(2);
  ASSERT_EQ(2, table.ReadToBufferFromFile(500));
  table.MoveNext();
  table.MoveNext();
  EXPECT_EQ(0, table.ReadToBufferFromFile(500));
  EXPECT_EQ(0, table.MoveNext());
  pid_t child = Spawn([&] {
    CDBFOperate writer;
    if (writer.Open(path.c_str()) != 1) return 1;
    std::string recs =
        Record(OrderFields(), {"", "late0", "7"}) + Record(OrderFields(), {"", "late1", "8"});
    return writer.AddNewRecord(&recs[0], 2, "WTK") == 1 ? 0 : 2;
  });
  ASSERT_EQ(0, Wait(child));
  ASSERT_EQ(2, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("late1     "), table.GetFieldValue(1, "NAME"));
  EXPECT_EQ(CString("       4"), table.GetFieldValue(1, "REC_NUM"));
  EXPECT_EQ(1, table.MoveNext());
  EXPECT_EQ(CString("3"), table.GetCurrentPos());
}

TEST_F(DbfReadTest, FieldNamesMayBeGbkOrFillAllElevenBytes) {
  // 代码 as a field name, 成功 as a value, both GBK; the second name has no
  // terminator inside its 11 bytes.
  std::vector<FieldSpec> f = {{"\xB4\xFA\xC2\xEB", 'C', 6}, {"ABCDEFGHIJK", 'C', 3}};
  WriteTable(path, {f, {Record(f, {"\xB3\xC9\xB9\xA6", "xyz"})}});
  ASSERT_EQ(1, table.Open(path.c_str()));
  ASSERT_EQ(1, table.ReadToBufferFromFile(1));
  EXPECT_EQ(CString("\xB3\xC9\xB9\xA6  "), table.GetFieldValue(0, "\xB4\xFA\xC2\xEB"));
  EXPECT_EQ(CString("xyz"), table.GetFieldValue(0, "abcdefghijk"));
}

TEST_F(DbfReadTest, ReadFaultIsRecordedAndTheReadCanBeRepeated) {
  Make(3);
  CFile::SetFaultHook(
      [](const char* op, const CString&) { return strcmp(op, "read") == 0 ? EIO : 0; });
  // The cached count covers the request, so only the block read itself fails.
  EXPECT_EQ(0, table.ReadToBufferFromFile(2));
  EXPECT_EQ(-1, table.m_nLastError);
  CString error = table.GetLastErrorMsg();
  EXPECT_NE(-1, error.Find("read of ")) << error.c_str();
  EXPECT_NE(-1, error.Find(path.c_str())) << error.c_str();
  EXPECT_NE(-1, error.Find(strerror(EIO))) << error.c_str();
  EXPECT_EQ(CString("0"), table.GetCurrentPos());
  CFile::SetFaultHook({});
  EXPECT_EQ(2, table.ReadToBufferFromFile(2));
  EXPECT_EQ(0, table.m_nLastError);
  EXPECT_EQ(error, table.GetLastErrorMsg());  // kept until the next error
}

// A read error other than a lock conflict ends the refresh at once with the
// last known count and the error's text; the next refresh tries again.
TEST_F(DbfReadTest, CountReadErrorEndsTheRefreshAtOnce) {
  Make(3);
  int failures = 1;
  CFile::SetFaultHook([&](const char* op, const CString&) {
    return strcmp(op, "read") == 0 && failures-- > 0 ? EIO : 0;
  });
  long long start = NowMs();
  EXPECT_EQ(CString("3"), table.GetTotalRecord());
  EXPECT_LT(NowMs() - start, 500);
  EXPECT_EQ(-1, table.m_nLastError);
  EXPECT_NE(-1, table.GetLastErrorMsg().Find(strerror(EIO)));
  EXPECT_EQ(CString("3"), table.GetTotalRecord());
  EXPECT_EQ(0, table.m_nLastError);
}

// Header cut inside its count: the refresh fails at once, every time, with
// a text, instead of retrying for seconds.
TEST_F(DbfReadTest, HeaderCutInsideTheCountFailsEachRefreshAtOnce) {
  Make(3);
  ASSERT_EQ(0, truncate(path.c_str(), 6));
  long long start = NowMs(), cpuStart = CpuMs();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(CString("3"), table.GetTotalRecord());
    EXPECT_EQ(-1, table.m_nLastError);
  }
  EXPECT_LT(NowMs() - start, 1000);
  EXPECT_LT(CpuMs() - cpuStart, 500);
  EXPECT_NE(-1, table.GetLastErrorMsg().Find(path.c_str())) << table.GetLastErrorMsg().c_str();
  table.MoveNext();
  table.MoveNext();
  table.MoveNext();
  EXPECT_EQ(0, table.ReadToBufferFromFile(500));
  EXPECT_EQ(-1, table.m_nLastError);
}

// Another process rewrites the count without pause, between 5 and 6 (the
// file holds 6 records), by single 4-byte writes as appenders make them. A
// reader that takes no lock only ever sees one of the two, and each refresh
// ends at once.
TEST_F(DbfReadTest, CountRewrittenWithoutPauseReadsAsOneOfItsValues) {
  Make(6);
  pid_t writer = Spawn([&] {
    CFile file;
    file.Open(path.c_str(), CDBFOperate::kOpenFlags);
    const unsigned char values[2][4] = {{5, 0, 0, 0}, {6, 0, 0, 0}};
    for (long i = 0;; ++i) {
      file.Seek(4, CFile::begin);
      file.Write(values[i & 1], 4);
    }
    return 0;
  });
  long long slowest = 0;
  int fives = 0;
  for (int i = 0; i < 20000 || (fives == 0 && i < 2000000); ++i) {
    long long start = NowMs();
    CString count = table.GetTotalRecord();
    slowest = std::max(slowest, NowMs() - start);
    ASSERT_TRUE(count == CString("5") || count == CString("6")) << count.c_str();
    ASSERT_EQ(0, table.m_nLastError);
    if (count == CString("5")) ++fives;
  }
  Kill(writer);
  EXPECT_GT(fives, 0);  // the writer was at work
  EXPECT_LT(slowest, 1000);
}

TEST_F(DbfReadTest, FileTruncatedUnderTheReaderGivesOnlyWholeRecords) {
  Make(5);
  ASSERT_EQ(0, truncate(path.c_str(), table.m_nHeadLen + 2 * table.m_nRecLen + 3));
  ASSERT_EQ(2, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("name1     "), table.GetFieldValue(1, "NAME"));
  EXPECT_EQ(CString(""), table.GetFieldValue(2, "REC_NUM"));
  EXPECT_EQ(-1, table.m_nLastError);
  EXPECT_NE(-1, table.GetLastErrorMsg().Find("counts 5 records but the file holds only 2"))
      << table.GetLastErrorMsg().c_str();
}

}  // namespace
}  // namespace kestal::test
