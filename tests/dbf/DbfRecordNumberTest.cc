// Record numbers stamped into REC_NUM by "WTK" appends, checked against
// printf's "%*d" cut to the field width, across field widths and across the
// points where the numbers gain a digit, up to the largest count a header
// can hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "DbfTestUtil.h"
#include "dbf/DBFOperate.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

// The REC_NUM text of number in a field of width bytes.
std::string Expected(long number, int width) {
  char text[300];
  snprintf(text, sizeof text, "%*ld", width, number);
  return std::string(text).substr(0, static_cast<size_t>(width));
}

// size bytes of the file at path from offset (fewer at its end); the files
// here may be sparse and tens of gigabytes long.
std::string ReadAt(const std::string& path, off_t offset, size_t size) {
  std::string out(size, '\0');
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  ssize_t got = pread(fd, &out[0], size, offset);
  close(fd);
  out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

off_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class DbfRecordNumberTest : public ::testing::Test {
 protected:
  // An empty table whose header counts start records, with REC_NUM of width
  // bytes followed by NAME C 3.
  void Make(int width, int32_t start) {
    fields = {{"REC_NUM", 'N', width}, {"NAME", 'C', 3}};
    TableSpec layout{fields};
    layout.count = start;
    WriteTable(path, layout);
    ASSERT_EQ(1, table.Open(path.c_str()));
  }
  std::string Batch(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += Record(fields, {"", "n" + std::to_string(i % 10)});
    return out;
  }
  // Appends n records and checks the stamp of each, in the caller's buffer
  // and in the file, and that NAME behind it is intact.
  void AppendAndCheck(int width, long start, int n) {
    std::string recs = Batch(n);
    ASSERT_EQ(1, table.AddNewRecord(&recs[0], n, "WTK"));
    const size_t recLen = table.m_nRecLen;
    for (int k = 0; k < n; ++k) {
      const size_t at = static_cast<size_t>(k) * recLen;
      ASSERT_EQ(Expected(start + 1 + k, width), recs.substr(at + 1, width))
          << "width " << width << ", record " << start + 1 + k;
      ASSERT_EQ("n" + std::to_string(k % 10), recs.substr(at + 1 + width, 2));
    }
    const off_t offset = table.m_nHeadLen + static_cast<off_t>(start) * recLen;
    ASSERT_EQ(recs + '\x1A', ReadAt(path, offset, recs.size() + 1));
    ASSERT_EQ(offset + static_cast<off_t>(recs.size()) + 1, FileSize(path));
  }

  TempDir dir;
  std::string path = dir.File("numbers.dbf");
  std::vector<FieldSpec> fields;
  CDBFOperate table;
};

TEST_F(DbfRecordNumberTest, EveryWidthAcrossTheDigitBoundaries) {
  const int widths[] = {1, 2, 3, 4, 7, 10, 11, 30, 31, 255};
  const int32_t starts[] = {0, 5, 95, 990, 99990};
  for (int width : widths) {
    for (int32_t start : starts) {
      Make(width, start);
      AppendAndCheck(width, start, 20);
      AppendAndCheck(width, start + 20, 1);
    }
  }
}

TEST_F(DbfRecordNumberTest, ABatchOfFiveHundredGainsADigitMidway) {
  Make(8, 9800);
  AppendAndCheck(8, 9800, 500);
  AppendAndCheck(8, 10300, 500);
  EXPECT_EQ(10800, HeaderCount(path));
}

TEST_F(DbfRecordNumberTest, NumbersUpToTheLargestCount) {
  for (int width : {4, 10, 12}) {
    SCOPED_TRACE(width);
    Make(width, INT32_MAX - 3);  // a sparse file of some 40 GB
    AppendAndCheck(width, INT32_MAX - 3, 3);
    EXPECT_EQ(INT32_MAX, HeaderCount(path));
    // One more cannot be counted: refused, the records left unstamped and
    // the file unchanged.
    const off_t size = FileSize(path);
    std::string recs = Batch(1);
    const std::string original = recs;
    EXPECT_EQ(0, table.AddNewRecord(&recs[0], 1, "WTK"));
    EXPECT_EQ(-1, table.m_nLastError);
    EXPECT_EQ(original, recs);
    EXPECT_EQ(INT32_MAX, HeaderCount(path));
    EXPECT_EQ(size, FileSize(path));
    // Appending nothing is still accepted at the limit.
    EXPECT_EQ(1, table.AddNewRecord(nullptr, 0, "WTK"));
  }
}

TEST_F(DbfRecordNumberTest, NegativeHeaderCountIsRefusedUnstamped) {
  Make(8, -5);
  std::string recs = Batch(2);
  const std::string original = recs;
  EXPECT_EQ(0, table.AddNewRecord(&recs[0], 2, "WTK"));
  EXPECT_EQ(-1, table.m_nLastError);
  EXPECT_EQ(original, recs);
  EXPECT_EQ(-5, HeaderCount(path));
}

}  // namespace
}  // namespace kestal::test
