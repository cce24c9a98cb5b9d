// Host filters holding GBK characters whose trail byte is an ASCII byte the
// filter cleanup acts on ('{', '}', '\\', '|'): the filter must reach the
// engine intact and the row must be delivered, by the window fetch and by
// the rescan, on every engine. Characters generated with iconv.
#include "ReadFixture.h"
#include "support/GbkChars.h"

namespace kestal::test {
namespace {

class GbkFilterTest : public ReadTest {
 protected:
  // One row per character, keyed 1.. in order, stock = "s" + the character.
  std::vector<GbkChar> Fill(const std::string& table) {
    CreateTrades(table);
    const std::vector<GbkChar> chars = GbkCharsWithTrails("\\{}|");
    std::vector<TradeRow> rows;
    for (size_t i = 0; i < chars.size(); ++i) {
      TradeRow row{static_cast<long>(i + 1)};
      row.stock = "s" + chars[i].utf8;
      rows.push_back(row);
    }
    Insert(table, rows);
    return chars;
  }
};

// The host writes braces and double quotes; the value itself holds the
// character, and a LONGTODAY clause is dropped around it.
std::string Filter(const GbkChar& c) {
  return "{stock=\"s" + c.gbk + "\" or stock=\"" + c.gbk + "\"} and bs=\"B\" and cjsj>LONGTODAY";
}

TEST_P(GbkFilterTest, WindowFetchDeliversTheRowOfEachCharacter) {
  const std::vector<GbkChar> chars = Fill("cjk");
  auto op = OpenTable("cjk");
  for (size_t i = 0; i < chars.size(); ++i) {
    const GbkChar& c = chars[i];
    ASSERT_EQ(1, op->GetRecordsetForBack(Filter(c).c_str(), "0", 1000, "CJK"))
        << c.utf8 << " " << op->m_strTrace.c_str();
    EXPECT_NE(-1, op->m_strTrace.Find(
                      ("( (stock='s" + c.gbk + "' or stock='" + c.gbk + "') and bs='B'  )").c_str()))
        << c.utf8 << " " << op->m_strTrace.c_str();
    EXPECT_EQ(std::to_string(i + 1), op->GetFieldValue("rec_num").str()) << c.utf8;
    EXPECT_EQ("s" + c.gbk, op->GetFieldValue("stock").str()) << c.utf8;
    op->MoveNextEx();
    ASSERT_EQ(0, op->m_lCnt);
  }
}

TEST_P(GbkFilterTest, RescanDeliversTheRowOfEachCharacter) {
  const std::vector<GbkChar> chars = Fill("cjk");
  auto op = OpenTable("cjk");
  for (size_t i = 0; i < chars.size(); ++i) {
    const GbkChar& c = chars[i];
    ASSERT_EQ(1, op->GetRecordsetForBackRescan(1, Filter(c).c_str(), "0", "99999999")) << c.utf8;
    EXPECT_EQ(std::to_string(i + 1), op->GetFieldValue("rec_num").str()) << c.utf8;
    EXPECT_EQ("s" + c.gbk, op->GetFieldValue("stock").str()) << c.utf8;
  }
}

KESTAL_READ_ENGINES(GbkFilterTest);

}  // namespace
}  // namespace kestal::test
