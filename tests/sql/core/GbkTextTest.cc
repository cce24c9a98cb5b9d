// GBK text through the object's own text handling: table paths whose name
// ends in a double-byte character with an ASCII trail byte, filter cleanup
// over such characters, and the cap of the diagnostic trace. The characters
// are generated with iconv (support/GbkChars.h), not picked by hand.
#include "CoreFixture.h"
#include "sql/Trace.h"
#include "support/GbkChars.h"

namespace kestal::test {
namespace {

using GbkOpenTest = CoreTest;
using SlowGbkOpenTest = CoreTest;
using Probe = CSQLOperateCoreProbe;

// Creates one table "t<char>" (id int, name varchar(10)) with one row per
// character, through the engine's own client in UTF-8.
void CreateTables(TestDatabase& db, const std::vector<GbkChar>& chars) {
  std::string sql = "begin;";
  for (const GbkChar& c : chars) {
    sql += "create table t" + c.utf8 + " (id int, name varchar(10));";
    sql += "insert into t" + c.utf8 + " values (1, 'n" + c.utf8 + "');";
  }
  db.Exec(sql + "commit;");
}

// Open takes the name after the last backslash; a name that ends in such a
// character keeps it. Every character through a path; the first also bare
// and below a folder named by the character itself.
void ExpectOpens(const std::string& conn, const std::vector<GbkChar>& chars) {
  CSQLOperate o;
  for (size_t i = 0; i < chars.size(); ++i) {
    const GbkChar& c = chars[i];
    const std::string name = "t" + c.gbk;
    std::vector<std::string> paths = {"D:\\feed\\" + name};
    if (i == 0) paths.insert(paths.end(), {name, "\\\\srv\\" + c.gbk + "\\" + name});
    for (const std::string& path : paths) {
      ASSERT_EQ(1, o.Open(conn.c_str(), path.c_str())) << c.utf8;
      EXPECT_EQ(name, o.m_strTableName.str()) << c.utf8;
      EXPECT_EQ(path, o.GetFileName().str());
      EXPECT_EQ(2, o.m_nFieldCount) << c.utf8;
      EXPECT_EQ(1, o.m_lTotalRecord) << c.utf8;
      EXPECT_EQ("n" + c.gbk, o.GetFieldValue(CString("name")).str()) << c.utf8;
    }
  }
}

// The backslash case on every engine: each character whose trail byte is 0x5C.
TEST_P(GbkOpenTest, TableNameEndingInATrailBackslash) {
  const std::vector<GbkChar> chars = GbkCharsWithTrail('\\');
  CreateTables(*db_, chars);
  ExpectOpens(Conn(), chars);
}

// The other trail bytes that the statement text carries: braces and '|'.
TEST_P(SlowGbkOpenTest, TableNameEndingInATrailBraceOrBar) {
  const std::vector<GbkChar> chars = GbkCharsWithTrails("{}|");
  CreateTables(*db_, chars);
  ExpectOpens(Conn(), chars);
}

TEST(FormatSqlGbkTest, BracesQuotesAndAndOnlyOutsideCharacters) {
  for (const GbkChar& c : GbkCharsWithTrails("\\{}|")) {
    const std::string g = c.gbk;
    // Braces and quotes around the value are translated; the character is not.
    EXPECT_EQ("(name='" + g + "' or name='x" + g + "')",
              Probe::FormatSQL("", ("{name=\"" + g + "\" or name=\"x" + g + "\"}").c_str()).str())
        << c.utf8;
    EXPECT_EQ(
        "name='" + g + "' and bs='B' ",
        Probe::FormatSQL("", ("name='" + g + "' and bs='B' and cjsj>LONGTODAY").c_str()).str())
        << c.utf8;
  }
  // A character whose trail byte is 'a' followed by "nd" holds no "and": the
  // clause stays whole, so the LONGTODAY clause goes with all of it.
  for (const GbkChar& c : GbkCharsWithTrail('a')) {
    const std::string v = c.gbk + "nd";
    EXPECT_EQ("", Probe::FormatSQL("", ("time>LONGTODAY or name='" + v + "'").c_str()).str())
        << c.utf8;
    EXPECT_EQ("name='" + v + "' ",
              Probe::FormatSQL("", ("name='" + v + "' and LONGTODAY>1").c_str()).str())
        << c.utf8;
  }
}

TEST(TraceCapTest, DropsTheOldestTextAtCharacterBoundaries) {
  CString trace;
  // Filled with double-byte characters whose trail byte is '{', one byte
  // out of step with the cut, so that a byte-wise cut would halve one.
  std::string fill = "x";
  while (fill.size() < static_cast<size_t>(trace::kTraceCap)) fill += "\xBC\x7B";
  trace::Append(trace, fill.substr(0, trace::kTraceCap).c_str());
  EXPECT_EQ(trace::kTraceCap, trace.GetLength()) << "at the cap nothing is dropped";
  trace::AppendFormat(trace, "{%d:%s}", 7, "newest");
  EXPECT_LE(trace.GetLength(), trace::kTraceCap);
  EXPECT_GE(trace.GetLength(), trace::kTraceKeep - 1);
  EXPECT_EQ("{7:newest}", trace.Right(10));
  EXPECT_EQ('\xBC', trace[0]) << "the cut falls between characters";
  for (int i = 0; i + 10 < trace.GetLength(); i += 2) ASSERT_EQ('\xBC', trace[i]) << i;

  // A single piece longer than the cap keeps its newest end.
  CString one;
  trace::Append(one, std::string(3 * trace::kTraceCap, 'a').append("end").c_str());
  EXPECT_LE(one.GetLength(), trace::kTraceCap);
  EXPECT_EQ("end", one.Right(3));
}

// An object that never fetches a window keeps every reconnection entry; a
// trace left near the cap by a long outage stays within it, newest last.
TEST_P(GbkOpenTest, ReconnectionEntriesStayWithinTheCap) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  o.m_strTrace = CString(std::string(trace::kTraceCap - 10, '.').c_str());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(1, o.ReOpenEx(1));
  EXPECT_LE(o.m_strTrace.GetLength(), trace::kTraceCap);
  EXPECT_EQ(3, Count(o.m_strTrace, "ReOpenSuccess"));
  EXPECT_EQ("-ReOpenSuccess}", o.m_strTrace.Right(15));
  EXPECT_LT(o.m_strTrace.GetLength(), trace::kTraceCap - 10) << "the oldest text went";
  EXPECT_EQ(0, o.m_strTrace.Find(".")) << "what is left of the old text comes first";
}

// Failed attempts (the database gone) add entries too; each sleeps 500 ms.
TEST_P(SlowGbkOpenTest, FailedReconnectionEntriesStayWithinTheCap) {
  MakeQuotes(1);
  CSQLOperate o;
  OpenOk(o, "quotes");
  o.m_strTrace = CString(std::string(trace::kTraceCap, '.').c_str());
  TakeOffline();
  EXPECT_EQ(0, o.ReOpenEx(2));
  BringOnline();
  EXPECT_LE(o.m_strTrace.GetLength(), trace::kTraceCap);
  EXPECT_EQ(2, Count(o.m_strTrace, "ReOpenException Sleep500"));
  EXPECT_EQ("-ReOpenException Sleep500}", o.m_strTrace.Right(26));
  EXPECT_EQ(1, o.ReOpenEx(1));
  EXPECT_EQ("-ReOpenSuccess}", o.m_strTrace.Right(15));
}

INSTANTIATE_TEST_SUITE_P(Engines, GbkOpenTest, ::testing::ValuesIn(kAllEngines), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, SlowGbkOpenTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
