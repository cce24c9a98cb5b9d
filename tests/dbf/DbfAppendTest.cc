// Appending records: placement, record numbering, refusals, and faults
// injected at the file layer or raised by a real size limit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "DbfTestUtil.h"
#include "dbf/DBFOperate.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

class DbfAppendTest : public ::testing::Test {
 protected:
  // A table of n records with the given fields (default: the order fields).
  void Make(int n, std::vector<FieldSpec> f = OrderFields()) {
    fields = f;
    TableSpec layout{fields, {}};
    for (int i = 0; i < n; ++i)
      layout.records.push_back(Record(fields, {std::to_string(i + 1), "old"}));
    WriteTable(path, layout);
    ASSERT_EQ(1, table.Open(path.c_str()));
  }
  // Record images for the given names, end to end.
  std::string Batch(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += Record(fields, {"", n, "1"});
    return out;
  }
  size_t Offset(int record) const {
    return table.m_nHeadLen + static_cast<size_t>(record) * table.m_nRecLen;
  }
  void TearDown() override { CFile::SetFaultHook({}); }

  TempDir dir;
  std::string path = dir.File("orders.dbf");
  std::vector<FieldSpec> fields;
  CDBFOperate table;
};

TEST_F(DbfAppendTest, RecordsLandAfterTheCountFollowedByTheMarker) {
  Make(10);
  std::string before = ReadFile(path);
  std::string recs = Batch({"new1", "new2"});
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 2, "CJK"));
  std::string bytes = ReadFile(path);
  EXPECT_EQ(recs, bytes.substr(Offset(10), 2 * table.m_nRecLen));
  ASSERT_EQ(Offset(12) + 1, bytes.size());
  EXPECT_EQ('\x1A', bytes[Offset(12)]);
  EXPECT_EQ(12, HeaderCount(path));
  EXPECT_EQ(12, table.m_lTotalCount);
  EXPECT_EQ(0, table.m_nLastError);
  EXPECT_EQ(CString("12"), table.GetTotalRecord());
  EXPECT_EQ(before.substr(0, 4), bytes.substr(0, 4));  // version and date untouched
  EXPECT_EQ(before.substr(8, Offset(10) - 8), bytes.substr(8, Offset(10) - 8));
}

TEST_F(DbfAppendTest, WtkStampsRecordNumbersIntoFileAndCallerBuffer) {
  Make(10);
  std::string recs = Batch({"a", "b"});
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 2, "wtk"));
  EXPECT_EQ("      11", recs.substr(1, 8));
  EXPECT_EQ("      12", recs.substr(1 + table.m_nRecLen, 8));
  EXPECT_EQ(recs, ReadFile(path).substr(Offset(10), 2 * table.m_nRecLen));
}

TEST_F(DbfAppendTest, OtherTagsAndTablesAreWrittenAsBuilt) {
  Make(3);
  std::string recs = Batch({"a"});
  std::string original = recs;
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 1, "CJK"));
  EXPECT_EQ(original, recs);
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 1, ""));
  EXPECT_EQ(original, recs);

  Make(3, {{"NAME", 'C', 10}, {"REC_NUM", 'N', 8}});
  recs = Batch({"b"});
  original = recs;
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 1, "WTK"));
  EXPECT_EQ(original, recs);
  EXPECT_EQ(original, ReadFile(path).substr(Offset(3), table.m_nRecLen));
}

TEST_F(DbfAppendTest, RecordNumberIsCutOrPaddedToItsWidth) {
  fields = {{"REC_NUM", 'N', 2}, {"NAME", 'C', 10}};
  TableSpec layout{fields};
  layout.count = 122;
  WriteTable(path, layout);
  ASSERT_EQ(1, table.Open(path.c_str()));
  std::string recs = Batch({"x"});
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 1, "WTK"));
  EXPECT_EQ("12", recs.substr(1, 2));  // 123 keeps its leading digits
  EXPECT_EQ(123, HeaderCount(path));

  Make(4, {{"rec_num", 'N', 40}, {"NAME", 'C', 10}});  // wider than 30
  recs = Batch({"x", "y"});
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 2, "WTK"));
  EXPECT_EQ(std::string(39, ' ') + "5", recs.substr(1, 40));
  EXPECT_EQ(std::string(39, ' ') + "6", recs.substr(1 + table.m_nRecLen, 40));
  EXPECT_EQ("y", recs.substr(41 + table.m_nRecLen, 1));  // the next field is intact
}

TEST_F(DbfAppendTest, AppendingNothingRewritesTheMarkerOnly) {
  Make(3);
  std::string before = ReadFile(path);
  std::string bytes = before;
  bytes.pop_back();
  WriteFile(path, bytes);  // no marker at the end
  ASSERT_EQ(1, table.AddNewRecord(nullptr, 0, "WTK"));
  EXPECT_EQ(before, ReadFile(path));
}

TEST_F(DbfAppendTest, NegativeOrMissingRecordsAreRefused) {
  Make(3);
  std::string before = ReadFile(path);
  std::string recs = Batch({"a"});
  EXPECT_EQ(0, table.AddNewRecord(&recs[0], -1, "WTK"));
  EXPECT_EQ(0, table.AddNewRecord(nullptr, 2, "WTK"));
  EXPECT_EQ(before, ReadFile(path));
  EXPECT_EQ(0, table.m_nLastError);
}

TEST_F(DbfAppendTest, AppendLeavesPositionAndBufferAlone) {
  Make(3);
  ASSERT_EQ(3, table.ReadToBufferFromFile(500));
  table.MoveNext();
  std::string recs = Batch({"a"});
  ASSERT_EQ(1, table.AddNewRecord(&recs[0], 1, "WTK"));
  EXPECT_EQ(CString("1"), table.GetCurrentPos());
  EXPECT_EQ(0, table.m_nBufferPos);
  EXPECT_EQ(CString("old       "), table.GetFieldValue("NAME"));
  EXPECT_EQ(CString("4"), table.GetTotalRecord());
}

// Fails the n-th write (1: the records, 2: the marker, 3: the count).
struct WriteFault {
  int failAt;
  const char* name;
};

class DbfAppendWriteFaultTest : public DbfAppendTest,
                                public ::testing::WithParamInterface<WriteFault> {};

TEST_P(DbfAppendWriteFaultTest, UncountedRecordsAreOverwrittenByTheNextAppend) {
  Make(5);
  int writes = 0;
  const int failAt = GetParam().failAt;
  CFile::SetFaultHook([&](const char* op, const CString&) {
    return strcmp(op, "write") == 0 && ++writes == failAt ? ENOSPC : 0;
  });
  std::string lost = Batch({"lost1", "lost2"});
  EXPECT_EQ(0, table.AddNewRecord(&lost[0], 2, "WTK"));
  EXPECT_EQ(-1, table.m_nLastError);
  CString error = table.GetLastErrorMsg();  // the file error says why
  EXPECT_NE(-1, error.Find(strerror(ENOSPC))) << error.c_str();
  EXPECT_NE(-1, error.Find("write of ")) << error.c_str();
  EXPECT_EQ(5, HeaderCount(path));
  EXPECT_EQ(5, table.m_lTotalCount);
  CFile::SetFaultHook({});

  CDBFOperate reader;
  ASSERT_EQ(1, reader.Open(path.c_str()));
  EXPECT_EQ(5, reader.ReadToBufferFromFile(500));

  std::string kept = Batch({"kept"});
  ASSERT_EQ(1, table.AddNewRecord(&kept[0], 1, "WTK"));
  EXPECT_EQ("       6", kept.substr(1, 8));
  std::string bytes = ReadFile(path);
  EXPECT_EQ(kept, bytes.substr(Offset(5), table.m_nRecLen));
  EXPECT_EQ('\x1A', bytes[Offset(6)]);
  EXPECT_EQ(6, HeaderCount(path));
  for (int i = 0; i < 5; ++i) reader.MoveNext();
  ASSERT_EQ(1, reader.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("kept      "), reader.GetFieldValue(0, "NAME"));
}

INSTANTIATE_TEST_SUITE_P(EachWrite, DbfAppendWriteFaultTest,
                         ::testing::Values(WriteFault{1, "Records"}, WriteFault{2, "Marker"},
                                           WriteFault{3, "Count"}),
                         [](const ::testing::TestParamInfo<WriteFault>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(DbfAppendTest, CountReadFaultWritesNothing) {
  Make(2);
  std::string before = ReadFile(path);
  CFile::SetFaultHook(
      [](const char* op, const CString&) { return strcmp(op, "read") == 0 ? EIO : 0; });
  std::string recs = Batch({"a"});
  EXPECT_EQ(0, table.AddNewRecord(&recs[0], 1, "WTK"));
  EXPECT_EQ(-1, table.m_nLastError);
  CFile::SetFaultHook({});
  EXPECT_EQ(before, ReadFile(path));
  EXPECT_EQ(Batch({"a"}), recs);  // not stamped either
  // The lock was released: another handle can append at once.
  CDBFOperate other;
  ASSERT_EQ(1, other.Open(path.c_str()));
  EXPECT_EQ(1, other.AddNewRecord(&recs[0], 1, "WTK"));
}

TEST_F(DbfAppendTest, UnlockFaultFailsAnAppendThatWasWritten) {
  Make(2);
  CFile::SetFaultHook(
      [](const char* op, const CString&) { return strcmp(op, "unlock") == 0 ? EIO : 0; });
  std::string recs = Batch({"a"});
  EXPECT_EQ(0, table.AddNewRecord(&recs[0], 1, "WTK"));
  CFile::SetFaultHook({});
  EXPECT_EQ(0, table.m_nLastError);
  EXPECT_NE(-1, table.GetLastErrorMsg().Find("unlock of ")) << table.GetLastErrorMsg().c_str();
  EXPECT_EQ(3, HeaderCount(path));
  EXPECT_EQ(recs, ReadFile(path).substr(Offset(2), table.m_nRecLen));
}

TEST_F(DbfAppendTest, RealFileSizeLimitFailsTheAppendUncounted) {
  Make(4);
  size_t limit = Offset(4) + 1 + table.m_nRecLen;  // room for one more record only
  pid_t child = Spawn([&] {
    signal(SIGXFSZ, SIG_IGN);  // get EFBIG instead of the signal
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 1;
    CDBFOperate writer;
    if (writer.Open(path.c_str()) != 1) return 2;
    std::string recs = Batch({"r1", "r2", "r3"});
    if (writer.AddNewRecord(&recs[0], 3, "WTK") != 0) return 3;
    if (writer.m_nLastError != -1) return 4;
    if (writer.GetLastErrorMsg().Find(strerror(EFBIG)) < 0) return 6;  // "File too large"
    std::string one = Batch({"r1"});
    return writer.AddNewRecord(&one[0], 1, "WTK") == 1 ? 0 : 5;
  });
  ASSERT_EQ(0, Wait(child));
  EXPECT_EQ(5, HeaderCount(path));
  EXPECT_EQ(Offset(5) + 1, ReadFile(path).size());
  ASSERT_EQ(1, table.MoveTo(3));
  ASSERT_EQ(1, table.ReadToBufferFromFile(500));
  EXPECT_EQ(CString("       5"), table.GetFieldValue(0, "REC_NUM"));
  EXPECT_EQ(CString("r1        "), table.GetFieldValue(0, "NAME"));
}

TEST_F(DbfAppendTest, TwoObjectsInOneProcessExcludeEachOther) {
  Make(0);
  CDBFOperate other;
  ASSERT_EQ(1, other.Open(path.c_str()));
  ASSERT_EQ(0, CDBFOperateTestAccess::LockHead(table));
  EXPECT_EQ(1, CDBFOperateTestAccess::LockHead(other));
  EXPECT_EQ(0, CDBFOperateTestAccess::UnlockHead(table));
  EXPECT_EQ(0, CDBFOperateTestAccess::LockHead(other));
  EXPECT_EQ(1, CDBFOperateTestAccess::LockHead(table));
  EXPECT_EQ(0, CDBFOperateTestAccess::UnlockHead(other));
}

TEST_F(DbfAppendTest, ThreadsAppendingThroughTwoObjectsNeverOverlap) {
  Make(0);
  CDBFOperate other;
  ASSERT_EQ(1, other.Open(path.c_str()));
  constexpr int kBatches = 200;
  auto append = [&](CDBFOperate* t, const char* name, int* failures) {
    for (int i = 0; i < kBatches; ++i) {
      std::string recs = Batch({name, name, name});
      if (t->AddNewRecord(&recs[0], 3, "WTK") != 1) ++*failures;
    }
  };
  int failA = 0, failB = 0, failC = 0;
  std::thread a(append, &table, "A", &failA);
  std::thread b(append, &other, "B", &failB);
  std::thread c(append, &table, "C", &failC);  // shares an object with a
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(0, failA + failB + failC);
  ASSERT_EQ(3 * kBatches * 3, HeaderCount(path));
  CDBFOperate reader;
  ASSERT_EQ(1, reader.Open(path.c_str()));
  int seen = 0;
  while (int n = reader.ReadToBufferFromFile(500)) {
    for (int k = 0; k < n; ++k) {
      ASSERT_EQ(1, reader.MoveNext());
      char expected[16];
      snprintf(expected, sizeof expected, "%8d", ++seen);
      ASSERT_EQ(CString(expected), reader.GetFieldValue("REC_NUM"));
      // A batch is written whole: its three records carry one name.
      if (seen % 3 != 1 || k + 2 >= n) continue;
      CString name = reader.GetFieldValue("NAME");
      EXPECT_EQ(name, reader.GetFieldValue(k + 1, "NAME"));
      EXPECT_EQ(name, reader.GetFieldValue(k + 2, "NAME"));
    }
  }
  EXPECT_EQ(3 * kBatches * 3, seen);
}

}  // namespace
}  // namespace kestal::test
