// kestal dbf append and the reading commands on bad input: missing or broken
// table files, bad CSV, values that do not fit, an appender killed mid-stream
// and a lock held by another process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/TestSupport.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

class DbfBadInputTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateTable(path_); }
  TempDir dir_;
  const std::string path_ = dir_.File("orders.dbf");
};

TEST_F(DbfBadInputTest, MissingFileFailsForEveryCommand) {
  const std::string missing = dir_.File("missing.dbf");
  for (const char* cmd : {"info", "cat", "follow", "append"}) {
    const ToolResult r = RunKestal({"dbf", cmd, missing}, "1,600000,B,1,x\n");
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_NE(r.err.find("missing.dbf"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << cmd;
  }
  EXPECT_EQ(ReadFile(missing), "");  // nothing was created
}

TEST_F(DbfBadInputTest, BrokenHeadersAreRefused) {
  std::string good = ReadFile(path_);
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string zero_length = good, long_record = good, short_record = good;
  zero_length[10] = 0;  // record length 0
  zero_length[11] = 0;
  long_record[10] = 0x01;  // record length 513: more than a buffer slot
  long_record[11] = 0x02;
  short_record[10] = 20;  // the fields need 44 bytes
  short_record[11] = 0;
  for (const Case& c :
       {Case{"empty", ""}, Case{"short", good.substr(0, 20)},
        Case{"zero record length", zero_length}, Case{"record longer than a slot", long_record},
        Case{"fields beyond the record", short_record}}) {
    const std::string path = dir_.File("bad.dbf");
    WriteFile(path, c.bytes);
    for (const char* cmd : {"info", "cat", "append"}) {
      const ToolResult r = RunKestal({"dbf", cmd, path}, "1,600000,B,1,x\n");
      EXPECT_EQ(r.status, 1) << c.what << " / " << cmd;
      EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(ReadFile(path), c.bytes) << c.what;  // append wrote nothing
  }
}

TEST_F(DbfBadInputTest, CatOfAFileShorterThanItsCountPrintsOnlyWholeRecords) {
  ASSERT_EQ(RunKestal({"dbf", "append", path_}, Orders(1, 3, true)).status, 0);
  const std::string bytes = ReadFile(path_);
  WriteFile(path_, bytes.substr(0, 32 + 5 * 32 + 1 + 2 * 44 + 20));  // half of record 3
  const ToolResult r = RunKestal({"dbf", "cat", path_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kOrderHeader + Orders(1, 2, true));
  EXPECT_NE(r.err.find("counts 3 records but the file holds only 2"), std::string::npos) << r.err;
  const ToolResult info = RunKestal({"dbf", "info", path_});
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("Warning:"), std::string::npos) << info.out;
}

// A write that fails part way (file size limit, as on a full disk): the
// batches before it stay counted, the failed one is not counted.
TEST_F(DbfBadInputTest, FailedWriteLeavesEarlierBatchesCounted) {
  const long long header = 32 + 5 * 32 + 1;
  const ToolResult r = RunKestal({"dbf", "append", path_, "--numbered"}, Orders(1, 600), "C.UTF-8",
                                 header + 550 * 44);
  EXPECT_EQ(r.status, 1);  // not killed by SIGXFSZ (128 + 25)
  EXPECT_NE(r.err.find("appending 100 records failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(strerror(EFBIG)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("500 records appended before"), std::string::npos) << r.err;
  EXPECT_EQ(HeaderCount(path_), 500u);
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out, kOrderHeader + Orders(1, 500, true));
  // Without the limit the next append lands straight after record 500.
  ASSERT_EQ(RunKestal({"dbf", "append", path_, "--numbered"}, Orders(501, 100)).status, 0);
  EXPECT_EQ(RunKestal({"dbf", "cat", path_}).out, kOrderHeader + Orders(1, 600, true));
}

TEST_F(DbfBadInputTest, CreateOnAFullDiskLeavesNoFileBehind) {
  const std::string path = dir_.File("new.dbf");
  const ToolResult r =
      RunKestal({"dbf", "create", path, "--fields", kOrderFields}, "", "C.UTF-8", 100);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
  EXPECT_EQ(access(path.c_str(), F_OK), -1);
}

struct BadCsv {
  const char* what;
  std::string input;    // follows `appended` good orders
  const char* message;  // part of the error text
  int appended;         // records appended before the bad one
};

class DbfBadCsvTest : public DbfBadInputTest, public ::testing::WithParamInterface<BadCsv> {};

TEST_P(DbfBadCsvTest, StopsWithStatus1AfterTheGoodRecordsBeforeIt) {
  const BadCsv& c = GetParam();
  const ToolResult r = RunKestal({"dbf", "append", path_}, Orders(1, c.appended, true) + c.input);
  EXPECT_EQ(r.status, 1) << c.what;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
  const std::string records = c.appended == 1 ? " record" : " records";
  EXPECT_NE(r.err.find("(" + std::to_string(c.appended) + records + " appended before it)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(HeaderCount(path_), static_cast<unsigned>(c.appended)) << c.what;
  const ToolResult cat = RunKestal({"dbf", "cat", path_});
  EXPECT_EQ(cat.out, kOrderHeader + Orders(1, c.appended, true)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DbfBadCsvTest,
    ::testing::Values(
        BadCsv{"too few values", "2,600002,B\n", "line 2: 3 values", 1},
        BadCsv{"too many values", "1,600001,S,100,order 1,extra\n", "line 1: 6 values", 0},
        BadCsv{"open quote at the end", "2,600002,B,200,\"open\n",
               "line 2: a quoted field is not closed", 1},
        BadCsv{"quote inside a field", "2,600002,B,200,or\"der\n",
               "line 2: a double quote inside an unquoted field", 1},
        BadCsv{"text after a closing quote", "1,600001,S,100,\"order\" 1\n",
               "line 1: text after the closing quote", 0},
        BadCsv{"value too long", "2,6000020,B,200,x\n",
               "line 2: field STOCK: '6000020' is 7 bytes, the field holds 6", 1},
        BadCsv{"GBK text too long", "1,\xE4\xB9\xB0\xE4\xB9\xB0\xE4\xB9\xB0\xE4\xB9\xB0,S,100,x\n",
               "is 8 bytes, the field holds 6", 0},
        BadCsv{"not a number", "2,600002,B,12a,x\n", "field QTY: '12a' is not a number", 1},
        BadCsv{"two points", "1,600001,S,1.2.3,x\n", "is not a number", 0},
        BadCsv{"character outside GBK", "1,600001,S,100,\xF0\x9F\x98\x80\n",
               "field NOTE: text that the table's code page cannot hold", 0},
        BadCsv{"invalid UTF-8", "1,600001,S,100,\xFF\n", "cannot hold", 0},
        BadCsv{"bad record after a full batch", "701,x\n", "line 701", 700},
        BadCsv{"syntax error after good records in one read", "4,600004,B,1,\"x\"y\n",
               "line 4: text after", 3}),
    [](const ::testing::TestParamInfo<BadCsv>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += isalnum(*p) ? *p : '_';
      return name;
    });

}  // namespace
}  // namespace kestal::test
