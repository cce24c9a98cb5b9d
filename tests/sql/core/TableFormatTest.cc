// The field table (type codes, widths), the insert statement head, field
// values of buffered images and the cleanup of filter conditions.
#include <cstring>
#include <string>

#include "CoreFixture.h"

namespace kestal::test {
namespace {

using TableFormatTest = CoreTest;
using Probe = CSQLOperateCoreProbe;

TEST_P(TableFormatTest, TypeCodesAndWidths) {
  db_->Exec("create table kinds (num int, txt varchar(10), fix char(6))");
  CSQLOperate o;
  OpenOk(o, "kinds");
  ASSERT_EQ(3, o.m_nFieldCount);
  EXPECT_EQ("num", o.m_FieldInfo[0].strName.str());
  EXPECT_EQ(56, o.m_FieldInfo[0].nType);
  EXPECT_EQ(8, o.m_FieldInfo[0].nWidth);
  EXPECT_EQ(39, o.m_FieldInfo[1].nType);
  EXPECT_EQ(10, o.m_FieldInfo[1].nWidth);
  EXPECT_EQ(47, o.m_FieldInfo[2].nType);
  EXPECT_EQ(6, o.m_FieldInfo[2].nWidth);
  EXPECT_TRUE(o.m_FieldInfo[3].strName.IsEmpty());
}

TEST_P(TableFormatTest, StatementHeadLeavesOutType37) {
  MakeQuotes(0);
  CSQLOperate o;
  OpenOk(o, "quotes");
  o.m_FieldInfo[1].nType = 37;
  Probe::SetInsertSQL(o);
  EXPECT_EQ("insert into quotes (id,code) ", o.m_strInsertSQL);
  for (int i = 0; i < 3; ++i) o.m_FieldInfo[i].nType = 37;
  Probe::SetInsertSQL(o);
  EXPECT_EQ("insert into quotes () ", o.m_strInsertSQL);
}

TEST_P(TableFormatTest, FieldValueBySlot) {
  MakeQuotes(0);
  CSQLOperate o;
  OpenOk(o, "quotes");
  // Image: id (8) | name (10) | code (6).
  char* image = o.m_szRecordBuf + 7 * CSQLOperate::kSlotSize;
  std::memcpy(image, "12345678", 8);
  std::memcpy(image + 8, "abcd", 4);
  std::memcpy(image + 18, "XYZXYZ", 6);
  image[24] = 'Q';  // bytes after the last field are not part of it
  EXPECT_EQ("12345678", o.GetFieldValue(7, "id"));
  EXPECT_EQ("abcd", o.GetFieldValue(7, "NAME"));
  EXPECT_EQ("XYZXYZ", o.GetFieldValue(7, "Code"));
  EXPECT_EQ("", o.GetFieldValue(7, "nosuch"));
  EXPECT_EQ("", o.GetFieldValue(6, "id"));
  EXPECT_EQ("", o.GetFieldValue(100, "id"));
  EXPECT_EQ("", o.GetFieldValue(-1, "id"));
}

TEST_P(TableFormatTest, FieldValueNeverReadsPastItsImage) {
  MakeQuotes(0);
  CSQLOperate o;
  OpenOk(o, "quotes");
  std::memset(o.m_szRecordBuf, 'x', sizeof(o.m_szRecordBuf));
  // A host that widens a field by hand still gets at most one image.
  o.m_FieldInfo[0].nWidth = 4000;
  EXPECT_EQ(std::string(CSQLOperate::kSlotSize, 'x'), o.GetFieldValue(99, "id").str());
  EXPECT_EQ("", o.GetFieldValue(99, "name"));  // starts beyond the image
  o.m_FieldInfo[0].nWidth = -20;
  EXPECT_EQ("", o.GetFieldValue(99, "id"));
  o.m_nFieldCount = 60000;  // more entries than the table holds
  EXPECT_EQ("", o.GetFieldValue(0, "nosuch"));
}

TEST(FormatSqlTest, DropsClausesThatMentionLongToday) {
  CSQLOperate o;
  CString r;
  Probe::FormatSQL(o, r, "bs='B' and LONGTODAY>100 and stock='600000'");
  EXPECT_EQ("bs='B' and stock='600000'", r);

  r.Empty();
  Probe::FormatSQL(o, r, "LONGTODAY>100 and stock='1'");
  EXPECT_EQ(" stock='1'", r);

  r.Empty();
  Probe::FormatSQL(o, r, "LONGTODAY>100");
  EXPECT_EQ("", r);
}

TEST(FormatSqlTest, DroppedLastClauseTakesItsAndAlong) {
  CSQLOperate o;
  CString r;
  Probe::FormatSQL(o, r, "stock='1' and bs='S' and LONGTODAY>5");
  EXPECT_EQ("stock='1' and bs='S' ", r);
  // A condition that itself ends in "and" keeps it: only the joining "and" of
  // a dropped clause goes.
  r.Empty();
  Probe::FormatSQL(o, r, "stock='1' and");
  EXPECT_EQ("stock='1' and", r);
}

TEST(FormatSqlTest, TranslatesBracesAndQuotes) {
  CSQLOperate o;
  CString r;
  Probe::FormatSQL(o, r, "{bs=\"B\" or bs=\"S\"}");
  EXPECT_EQ("(bs='B' or bs='S')", r);
  r.Empty();
  Probe::FormatSQL(o, r, "stock='600000'");
  EXPECT_EQ("stock='600000'", r);
}

TEST(FormatSqlTest, SplitsOnLowerCaseAndOnly) {
  CSQLOperate o;
  CString r;
  // "AND" does not split, so the whole condition mentions LONGTODAY.
  Probe::FormatSQL(o, r, "a=1 AND LONGTODAY>5");
  EXPECT_EQ("", r);
  // "and" inside a word splits like any other.
  r.Empty();
  Probe::FormatSQL(o, r, "brand=1 and LONGTODAY>5");
  EXPECT_EQ("brand=1 ", r);
  r.Empty();
  Probe::FormatSQL(o, r, "longtoday>5");
  EXPECT_EQ("longtoday>5", r);
}

TEST(FormatSqlTest, AppendsAndTranslatesEarlierText) {
  CSQLOperate o;
  CString r = "{x=\"1\"} and ";
  Probe::FormatSQL(o, r, "LONGTODAY>3 and y=\"2\"");
  EXPECT_EQ("(x='1') and  y='2'", r);
  // Nothing appended: earlier text ending in "and" is left alone.
  r = "x=1 and";
  Probe::FormatSQL(o, r, "LONGTODAY>3");
  EXPECT_EQ("x=1 and", r);
}

INSTANTIATE_TEST_SUITE_P(Engines, TableFormatTest, ::testing::Values(Engine::kSqlite), EngineName);

}  // namespace
}  // namespace kestal::test
