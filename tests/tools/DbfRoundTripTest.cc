// create -> append -> cat through the tool, with GBK text in the file and
// UTF-8 (or raw bytes under the C locale) on the terminal side.
#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

constexpr size_t kOrderHeaderLength = 32 + 5 * 32 + 1;
constexpr size_t kOrderRecordLength = 1 + 8 + 6 + 1 + 8 + 20;

class DbfRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateTable(path_); }
  std::string Record(int i) {
    return ReadFile(path_).substr(kOrderHeaderLength + i * kOrderRecordLength, kOrderRecordLength);
  }
  TempDir dir_;
  const std::string path_ = dir_.File("orders.dbf");
};

TEST_F(DbfRoundTripTest, GbkTextAndQuotedValuesComeBackUnchanged) {
  const std::string csv =
      "1,600000,B,100,买入\n"
      "2,000001,S,200,\"卖出, 限价\"\n"
      "3,600036,B,300,\"say \"\"hi\"\"\"\n"
      "4,601318,S,400,\"two\nlines\"\n"
      "5,000858,B,0,\n";
  const ToolResult a = RunKestal({"dbf", "append", path_}, csv);
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(HeaderCount(path_), 5u);
  // The file holds GBK: "买入" is C2 F2 C8 EB.
  EXPECT_EQ(Record(0),
            std::string("        1600000B     100\xC2\xF2\xC8\xEB") + std::string(16, ' '));
  const ToolResult c = RunKestal({"dbf", "cat", path_});
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(c.out, kOrderHeader + csv);
}

TEST_F(DbfRoundTripTest, CatOutputFeedsAppendOfAnotherTable) {
  ASSERT_EQ(RunKestal({"dbf", "append", path_}, Orders(1, 30, true)).status, 0);
  const std::string copy = dir_.File("copy.dbf");
  CreateTable(copy);
  const ToolResult c = RunKestal({"dbf", "cat", path_});
  const ToolResult a = RunKestal({"dbf", "append", copy}, c.out);  // header line skipped
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(RunKestal({"dbf", "cat", copy}).out, c.out);
}

TEST_F(DbfRoundTripTest, CrLfLinesAndBlankLinesAreAccepted) {
  const ToolResult a =
      RunKestal({"dbf", "append", path_}, "1,600000,B,1,x\r\n\r\n\n2,600001,S,2,\"y\r\nz\"\r\n");
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out,
            std::string(kOrderHeader) + "1,600000,B,1,x\n2,600001,S,2,\"y\r\nz\"\n");
}

TEST_F(DbfRoundTripTest, NumbersAreRightAlignedAndTextKeepsLeadingSpaces) {
  ASSERT_EQ(RunKestal({"dbf", "append", path_}, "  7 ,  AB  ,B,-015,  lead\n").status, 0);
  EXPECT_EQ(Record(0), " " + std::string("       7") + "  AB  " + "B" + "     -15" + "  lead" +
                           std::string(14, ' '));
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out,
            std::string(kOrderHeader) + "7,  AB,B,-15,  lead\n");
}

TEST_F(DbfRoundTripTest, WtkTagNumbersRecordsAcrossAppends) {
  ASSERT_EQ(RunKestal({"dbf", "append", path_, "--numbered"}, Orders(1, 3)).status, 0);
  ASSERT_EQ(RunKestal({"dbf", "append", path_, "--tag", "wtk"}, Orders(4, 2)).status, 0);
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out, kOrderHeader + Orders(1, 5, true));
  // Any other tag writes the values as given.
  ASSERT_EQ(RunKestal({"dbf", "append", path_, "--tag", "CJK"}, "77,600000,B,1,x\n").status, 0);
  EXPECT_EQ(RunKestal({"dbf", "cat", path_, "--from", "6"}).out,
            std::string(kOrderHeader) + "77,600000,B,1,x\n");
}

TEST_F(DbfRoundTripTest, FromAndLimitSelectRecordsAcrossBlocks) {
  ASSERT_EQ(RunKestal({"dbf", "append", path_}, Orders(1, 1200, true)).status, 0);
  EXPECT_EQ(HeaderCount(path_), 1200u);
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out, kOrderHeader + Orders(1, 1200, true));
  EXPECT_EQ(RunKestal({"dbf", "cat", path_, "--from", "499", "--limit", "3"}).out,
            kOrderHeader + Orders(499, 3, true));
  EXPECT_EQ(RunKestal({"dbf", "cat", path_, "--from=1000"}).out,
            kOrderHeader + Orders(1000, 201, true));
  EXPECT_EQ(RunKestal({"dbf", "cat", path_, "--from", "1201"}).out, kOrderHeader);
  EXPECT_EQ(RunKestal({"dbf", "cat", path_, "--limit", "0"}).out, kOrderHeader);
  const ToolResult info = RunKestal({"dbf", "info", path_});
  EXPECT_NE(info.out.find("Records:        1200\n"), std::string::npos) << info.out;
}

TEST_F(DbfRoundTripTest, CLocalePassesTableBytesThrough) {
  ASSERT_EQ(RunKestal({"dbf", "append", path_}, "1,600000,B,1,\xC2\xF2\xC8\xEB\n", "C").status, 0);
  EXPECT_EQ(Record(0).substr(24, 4), "\xC2\xF2\xC8\xEB");
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}, "", "C").out,
            std::string(kOrderHeader) + "1,600000,B,1,\xC2\xF2\xC8\xEB\n");
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out,
            std::string(kOrderHeader) + "1,600000,B,1,买入\n");
}

TEST_F(DbfRoundTripTest, InvalidGbkInTheFileBecomesQuestionMarks) {
  ASSERT_EQ(RunKestal({"dbf", "append", path_}, "1,600000,B,1,\xFF\xFF\n", "C").status, 0);
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out, std::string(kOrderHeader) + "1,600000,B,1,??\n");
}

TEST(DbfFieldTypeTest, DatesAndLogicalsAreCheckedBeforeWriting) {
  TempDir dir;
  const std::string path = dir.File("t.dbf");
  CreateTable(path, "DAY:D:8,OK:L:1,AMT:F:6:2");
  ASSERT_EQ(RunKestal({"dbf", "append", path}, "20261207,T,1.5\n,,\n").status, 0);
  EXPECT_EQ(RunKestal({"dbf", "cat", path}).out, "DAY,OK,AMT\n20261207,T,1.50\n,,\n");
  for (const char* bad : {"2026127,T,1\n", "20261307,T,1\n", "20261200,T,1\n", "20261207,X,1\n",
                          "20261207,TT,1\n", "20261207,T,1e5\n"}) {
    const ToolResult r = RunKestal({"dbf", "append", path}, bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("line 1: field"), std::string::npos) << r.err;
  }
  EXPECT_EQ(HeaderCount(path), 2u);
}

}  // namespace
}  // namespace kestal::test
