// The language-driver byte of the header decides the code page in which the
// tools read a table file's text, and KESTAL_CODEPAGE overrides it: dbf info
// names both, dbf cat prints the text by the one chosen, and the bridge
// stores it in the database by the same choice.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/TestDatabase.h"
#include "support/TestSupport.h"
#include "tools/DbfFileTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

const char kGbkNote[] = "\xC2\xF4\xB3\xF6";  // 卖出 in GBK
const char kGbkNoteUtf8[] = "卖出";

struct CodepageCase {
  const char* label;
  unsigned char driver;
  const char* env;      // KESTAL_CODEPAGE, "" for none
  std::string note;     // the NOTE bytes in the file
  const char* shown;    // dbf info's code page line, after "Code page:      "
  std::string printed;  // NOTE as dbf cat prints it under C.UTF-8
};

class DbfCodepageTest : public ::testing::TestWithParam<CodepageCase> {
 protected:
  void TearDown() override { SetChildEnv("KESTAL_CODEPAGE", ""); }
  TempDir dir_;
  const std::string path_ = dir_.File("t.dbf");
};

TEST_P(DbfCodepageTest, InfoNamesTheCodePageAndCatDecodesByIt) {
  const CodepageCase& c = GetParam();
  WriteFile(path_, RawDbfBytes(RawOrders(c.driver, {c.note})));
  SetChildEnv("KESTAL_CODEPAGE", c.env);
  const ToolResult info = RunKestal({"dbf", "info", path_});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find(std::string("Code page:      ") + c.shown + "\n"), std::string::npos)
      << info.out;
  const ToolResult cat = RunKestal({"dbf", "cat", path_});
  ASSERT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, std::string(kOrderHeader) + "1,600000,B,100," + c.printed + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, DbfCodepageTest,
    ::testing::Values(CodepageCase{"NoneIsGbk", 0x00, "", kGbkNote,
                                   "0x00 (none); text read as GBK (the default)", kGbkNoteUtf8},
                      CodepageCase{"Gbk4D", 0x4D, "", kGbkNote,
                                   "0x4D (GBK); text read as GBK (the header)", kGbkNoteUtf8},
                      CodepageCase{"Gbk7A", 0x7A, "", kGbkNote,
                                   "0x7A (GBK); text read as GBK (the header)", kGbkNoteUtf8},
                      CodepageCase{"Ansi57", 0x57, "", "caf\xE9",
                                   "0x57 (CP1252); text read as CP1252 (the header)", "café"},
                      CodepageCase{"Windows03", 0x03, "", "na\xEFve",
                                   "0x03 (CP1252); text read as CP1252 (the header)", "naïve"},
                      CodepageCase{"Dos437", 0x01, "",
                                   "\x9C"
                                   "5",
                                   "0x01 (CP437); text read as CP437 (the header)", "£5"},
                      CodepageCase{"Cyrillic1251", 0xC9, "", "\xCF\xF0\xE8",
                                   "0xC9 (CP1251); text read as CP1251 (the header)", "При"},
                      CodepageCase{"Russian866", 0x65, "", "\x8F\xE0\xA8",
                                   "0x65 (CP866); text read as CP866 (the header)", "При"},
                      CodepageCase{"Japanese7B", 0x7B, "", "\x93\xFA\x96\x7B",
                                   "0x7B (CP932); text read as CP932 (the header)", "日本"},
                      CodepageCase{"Big5_78", 0x78, "", "\xA4\xA4\xA4\xE5",
                                   "0x78 (CP950); text read as CP950 (the header)", "中文"},
                      CodepageCase{"UnknownByteIsGbk", 0x99, "", kGbkNote,
                                   "0x99 (unknown); text read as GBK (the default)", kGbkNoteUtf8},
                      // KESTAL_CODEPAGE overrides the byte both ways: a GBK file read as
                      // UTF-8 passes its bytes through unchanged (the terminal's encoding is
                      // the table's), and a file whose byte names the wrong code page is
                      // read as the operator says.
                      CodepageCase{"GbkFileUnderUtf8", 0x4D, "UTF-8", kGbkNote,
                                   "0x4D (GBK); text read as UTF-8 (KESTAL_CODEPAGE)", kGbkNote},
                      CodepageCase{"WrongByteUnderGbk", 0x57, "GBK", kGbkNote,
                                   "0x57 (CP1252); text read as GBK (KESTAL_CODEPAGE)",
                                   kGbkNoteUtf8},
                      CodepageCase{"Ansi57UnderUtf8", 0x57, "UTF-8", "caf\xC3\xA9",
                                   "0x57 (CP1252); text read as UTF-8 (KESTAL_CODEPAGE)", "café"}),
    [](const ::testing::TestParamInfo<CodepageCase>& info) { return info.param.label; });

// What the header's byte says also holds for appending: text typed in the
// terminal is written in the file's code page, and read back the same.
TEST(DbfCodepageAppendTest, AppendWritesTheHeadersCodePage) {
  TempDir dir;
  const std::string path = dir.File("t.dbf");
  WriteFile(path, RawDbfBytes(RawOrders(0x57, {"caf\xE9"})));
  const ToolResult append = RunKestal({"dbf", "append", path}, "2,600001,S,5,crème\n");
  ASSERT_EQ(append.status, 0) << append.err;
  EXPECT_NE(ReadFile(path).find("cr\xE8me"), std::string::npos);
  const ToolResult cat = RunKestal({"dbf", "cat", path, "--from", "2"});
  EXPECT_EQ(cat.out, std::string(kOrderHeader) + "2,600001,S,5,crème\n");
}

struct BridgeCodepageCase {
  const char* label;
  Engine engine;
  unsigned char driver;
  const char* env;
  std::string note;
  std::string stored;  // the note as the database holds it (UTF-8)
};

class BridgeCodepageTest : public ::testing::TestWithParam<BridgeCodepageCase> {
 protected:
  void TearDown() override { SetChildEnv("KESTAL_CODEPAGE", ""); }
};

TEST_P(BridgeCodepageTest, TextReachesTheDatabaseDecodedByTheChosenCodePage) {
  const BridgeCodepageCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.File("orders.dbf");
  WriteFile(path, RawDbfBytes(RawOrders(c.driver, {c.note})));
  auto db = TestDatabase::Create(c.engine);
  db->Exec(
      "create table orders (rec_num int, stock varchar(6), bs char(1), qty int, note "
      "varchar(20))");
  SetChildEnv("KESTAL_CODEPAGE", c.env);
  RunningTool bridge({"bridge", path, db->ConnectionString(), "orders", "--interval", "5"},
                     "C.UTF-8", dir.path(), true);
  const long long end = NowMs() + 20000;
  while (db->Scalar("select count(*) from orders") != "1" && NowMs() < end) usleep(20000);
  EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.err();
  EXPECT_EQ(db->Scalar("select note from orders"), c.stored);
}

std::string BridgeCaseName(const ::testing::TestParamInfo<BridgeCodepageCase>& i) {
  return std::string(EngineLabel(i.param.engine)) + i.param.label;
}

INSTANTIATE_TEST_SUITE_P(
    Sqlite, BridgeCodepageTest,
    ::testing::Values(BridgeCodepageCase{"Gbk", Engine::kSqlite, 0x4D, "", kGbkNote, kGbkNoteUtf8},
                      BridgeCodepageCase{"Ansi", Engine::kSqlite, 0x57, "", "caf\xE9", "café"},
                      BridgeCodepageCase{"Cyrillic", Engine::kSqlite, 0xC9, "", "\xCF\xF0\xE8",
                                         "При"},
                      BridgeCodepageCase{"WrongByteUnderGbk", Engine::kSqlite, 0x57, "GBK",
                                         kGbkNote, kGbkNoteUtf8},
                      BridgeCodepageCase{"Utf8FileUnderUtf8", Engine::kSqlite, 0x4D, "UTF-8",
                                         "caf\xC3\xA9", "café"}),
    BridgeCaseName);
#ifndef KESTAL_TESTS_SQLITE_ONLY
INSTANTIATE_TEST_SUITE_P(Postgres, BridgeCodepageTest,
                         ::testing::Values(BridgeCodepageCase{"Cyrillic", Engine::kPostgres, 0xC9,
                                                              "", "\xCF\xF0\xE8", "При"},
                                           BridgeCodepageCase{"WrongByteUnderGbk",
                                                              Engine::kPostgres, 0x57, "GBK",
                                                              kGbkNote, kGbkNoteUtf8}),
                         BridgeCaseName);
#endif

}  // namespace
}  // namespace kestal::test
