// dbf info, cat and the bridge on the headers other dBASE-family programs
// write: each version is named, those whose records the library reads at the
// right place are read, and the others are refused with what cannot be read,
// never with a field error that comes from misreading their header.
#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tools/DbfFileTestUtil.h"
#include "tools/ToolRunner.h"

namespace kestal::test {
namespace {

struct VersionCase {
  const char* label;
  unsigned char version;
  unsigned extra;       // header bytes after the terminator
  bool memo;            // a memo field M among the fields
  const char* name;     // as dbf info names the version
  const char* refusal;  // part of the refusal; nullptr when readable
};

RawTable TableOf(const VersionCase& c) {
  RawTable t;
  t.version = c.version;
  t.extra = c.extra;
  t.fields = {{"CODE", 'C', 6}, {"QTY", 'N', 5}};
  if (c.memo) t.fields.push_back({"REMARK", 'M', 10});
  t.records = {{"A1", "10", "1"}, {"B2", "20", "2"}};
  return t;
}

class DbfVersionTest : public ::testing::TestWithParam<VersionCase> {
 protected:
  TempDir dir_;
  const std::string path_ = dir_.File("t.dbf");
};

TEST_P(DbfVersionTest, InfoNamesTheVersionAndCatReadsOrRefusesClearly) {
  const VersionCase& c = GetParam();
  WriteFile(path_, RawDbfBytes(TableOf(c)));
  char line[64];
  snprintf(line, sizeof line, "Version:        0x%02X (%s)\n", c.version, c.name);
  const ToolResult info = RunKestal({"dbf", "info", path_});
  EXPECT_NE(info.out.find(line), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("CODE"), std::string::npos) << info.out;  // the fields are listed
  const ToolResult cat = RunKestal({"dbf", "cat", path_});
  for (const ToolResult* r : {&info, &cat}) {
    EXPECT_EQ(r->err.find("does not fit"), std::string::npos) << r->err;
    EXPECT_EQ(r->err.find("past the record length"), std::string::npos) << r->err;
  }
  if (c.refusal == nullptr) {
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(cat.status, 0) << cat.err;
    const std::string memo_header = c.memo ? ",REMARK" : "";
    const std::string memo1 = c.memo ? ",1" : "", memo2 = c.memo ? ",2" : "";
    EXPECT_EQ(cat.out, "CODE,QTY" + memo_header + "\nA1,10" + memo1 + "\nB2,20" + memo2 + "\n");
    EXPECT_EQ(info.out.find("Not read:") != std::string::npos, c.memo) << info.out;
    return;
  }
  char byte[8];
  snprintf(byte, sizeof byte, "0x%02X", c.version);
  const std::string refused = "is a " + std::string(c.name) + " table (version byte " + byte +
                              "), which the tool cannot read: ";
  EXPECT_EQ(info.status, 1);
  EXPECT_NE(info.err.find(refused), std::string::npos) << info.err;
  EXPECT_NE(info.err.find(c.refusal), std::string::npos) << info.err;
  EXPECT_EQ(cat.status, 1);
  EXPECT_EQ(cat.out, "");
  EXPECT_NE(cat.err.find(refused), std::string::npos) << cat.err;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, DbfVersionTest,
    ::testing::Values(
        VersionCase{"DBase3", 0x03, 0, false, "dBASE III", nullptr},
        VersionCase{"DBase3Memo", 0x83, 0, true, "dBASE III with memo", nullptr},
        VersionCase{"DBase4Memo", 0x8B, 0, true, "dBASE IV with memo", nullptr},
        VersionCase{"DBase4Sql", 0x43, 0, false, "dBASE IV SQL table", nullptr},
        VersionCase{"FoxPro2Memo", 0xF5, 0, true, "FoxPro 2 with memo", nullptr},
        VersionCase{"FoxBase", 0x02, 0, false, "FoxBASE", nullptr},
        // One padding byte after the terminator, as some writers leave:
        // still within the same 32-byte step.
        VersionCase{"DBase3PaddedHeader", 0x03, 1, false, "dBASE III", nullptr},
        VersionCase{"VisualFoxPro", 0x30, 263, false, "Visual FoxPro", "263-byte backlink"},
        VersionCase{"VisualFoxProAutoinc", 0x31, 263, false, "Visual FoxPro (autoincrement)",
                    "263-byte backlink"},
        VersionCase{"VisualFoxProVarchar", 0x32, 263, true, "Visual FoxPro (varchar/varbinary)",
                    "263-byte backlink"},
        // A FoxPro 2 header carrying an area the library would read as fields.
        VersionCase{"FoxPro2WithArea", 0xF5, 263, true, "FoxPro 2 with memo",
                    "field descriptors end at byte"},
        VersionCase{"DBase7", 0x04, 0, false, "dBASE 7", "48 bytes long"},
        VersionCase{"DBase7Memo", 0x8C, 0, true, "dBASE 7 with memo", "48 bytes long"},
        VersionCase{"UnknownByte", 0x55, 263, false, "unknown", "field descriptors end"}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return info.param.label; });

TEST(DbfVersionRefusalTest, AppendAndBridgeRefuseAVisualFoxProTableBeforeTouchingIt) {
  TempDir dir;
  const std::string path = dir.File("vfp.dbf");
  RawTable t;
  t.version = 0x30;
  t.extra = 263;
  t.fields = {{"CODE", 'C', 6}};
  t.records = {{"A1"}};
  const std::string bytes = RawDbfBytes(t);
  WriteFile(path, bytes);
  const ToolResult append = RunKestal({"dbf", "append", path}, "Z9\n");
  EXPECT_EQ(append.status, 1);
  EXPECT_NE(append.err.find("Visual FoxPro table (version byte 0x30)"), std::string::npos)
      << append.err;
  const ToolResult bridge = RunKestal(
      {"bridge", path, "Provider=SQLite;Data Source=" + dir.File("x.db") + ";Create=yes", "t"});
  EXPECT_EQ(bridge.status, 1);
  EXPECT_NE(bridge.err.find("Visual FoxPro table"), std::string::npos) << bridge.err;
  EXPECT_EQ(ReadFile(path), bytes);  // nothing written
}

}  // namespace
}  // namespace kestal::test
