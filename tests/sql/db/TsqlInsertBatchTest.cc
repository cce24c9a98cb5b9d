// The one-pass reader of record batches (InsertBatch): which batches it
// takes, that every statement it takes is one the rewrite would pass through
// unchanged and is cut exactly as SplitBatch cuts it, and what it reads of
// each literal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/db/tsql/FastPath.h"
#include "sql/db/tsql/InsertBatch.h"
#include "sql/db/tsql/Lexer.h"

namespace {

using kestal::db::tsql::InsertBatch;
using kestal::db::tsql::IsPlainInsert;
using kestal::db::tsql::Literal;
using kestal::db::tsql::LiteralKind;
using kestal::db::tsql::SplitBatch;

// Reads batch; when taken, its statements must be SplitBatch's pieces, each
// a plain insert of one row.
bool Taken(const std::string& batch) {
  InsertBatch reader;
  if (!reader.Read(batch)) return false;
  const std::vector<std::string> pieces = SplitBatch(batch);
  EXPECT_EQ(reader.statements().size(), pieces.size()) << batch;
  for (size_t i = 0; i < pieces.size() && i < reader.statements().size(); ++i) {
    EXPECT_EQ(reader.Text(i), pieces[i]) << batch;
    EXPECT_TRUE(IsPlainInsert(pieces[i])) << pieces[i];
  }
  return true;
}

TEST(TsqlInsertBatchTest, TakesBatchesOfSingleRowPlainInserts) {
  const std::string row = "insert into T (a,b,c)  values (1,'x',2.5)";
  for (const std::string& batch : {
           row,
           row + ";",
           row + ";" + row + ";",
           row + ";;  ;\n" + row + "  \r\n",
           "  INSERT\tINTO\nT_1 ( a , b ) VALUES ( 'it''s' , 'a;b--c/*d' ) ;" + row,
           std::string("insert into T values(-1,+2,.5,3.,NULL,'',nUlL)"),
           // Another head in the middle, then the first again.
           row + ";insert into U values (1);" + row,
           // The same head written next to a longer word is not the same head.
           row + ";" + "insert into T (a,b,c)  values(1,'y',3)",
           std::string("insert into T values ('\xD6\xD0''s')"),
           std::string("insert into T values (999999999999999999,-999999999999999999)"),
       }) {
    EXPECT_TRUE(Taken(batch)) << batch;
  }
}

TEST(TsqlInsertBatchTest, RefusesAnyOtherBatchWhole) {
  const std::string row = "insert into T values (1);";
  for (const std::string& batch : {
           std::string(),
           std::string(" ; ;"),
           row + "insert into T values (1), (2);",                     // two rows
           row + "update T set a = 1;",                                // another statement
           row + "insert into T values (1) insert into T values (2)",  // no ';'
           row + "insert into T values (1);--",                        // a comment
           row + "/* x */ insert into T values (1)",
           row + "insert into T values (1234567890123456789)",  // 19 digits
           row + "insert into T values (- 1)",                  // a sign apart
           row + "insert into T values (1e5)",
           row + "insert into T values (0x1F)",
           row + "insert into T values (1.2.3)",
           row + "insert into T values (N'x')",
           row + "insert into T values ('x)",
           row + "insert into T values ('a' 'b')",
           row + "insert into T values (@x)",
           row + "insert into T values (1,)",
           row + "insert into T values ()",
           row + "insert into [T] values (1)",
           row + "insert into dbo.T values (1)",
           row + "insert T values (1)",
           row + "insert into T (nolock) values (1)",
           row + "insert into Index values (1)",
           row + "insert into T\fvalues (1)",  // a blank the reader leaves to the lexer
           row + "insertinto T values (1)",
           row + "insert into T values (1)x",
           row + "insert into T valuesx (1)",
           std::string("insert into T values ('a\0b')", 28),  // a NUL in a string
           std::string("insert into T (a)  values (1);insert into T (a)  values$ (2)"),
       }) {
    EXPECT_FALSE(Taken(batch)) << batch;
  }
}

TEST(TsqlInsertBatchTest, ReadsEachLiteralAsTheParserWould) {
  InsertBatch reader;
  const std::string batch =
      "insert into T values (0, -12, +7, 007, 1.50, -.5, 2., NULL, 'a''b', '', 'x;y')";
  ASSERT_TRUE(reader.Read(batch));
  struct Want {
    LiteralKind kind;
    long long integer;
    const char* text;  // the literal's text (numbers) or content (strings)
  };
  const std::vector<Want> want = {
      {LiteralKind::kInteger, 0, "0"},    {LiteralKind::kInteger, -12, "-12"},
      {LiteralKind::kInteger, 7, "+7"},   {LiteralKind::kInteger, 7, "007"},
      {LiteralKind::kDecimal, 0, "1.50"}, {LiteralKind::kDecimal, 0, "-.5"},
      {LiteralKind::kDecimal, 0, "2."},   {LiteralKind::kNull, 0, nullptr},
      {LiteralKind::kText, 0, "a'b"},     {LiteralKind::kText, 0, ""},
      {LiteralKind::kText, 0, "x;y"},
  };
  ASSERT_EQ(reader.values().size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    const Literal& v = reader.values()[k];
    EXPECT_EQ(v.kind, want[k].kind);
    if (v.kind == LiteralKind::kInteger) {
      EXPECT_EQ(v.integer, want[k].integer);
    } else if (v.kind == LiteralKind::kText) {
      EXPECT_EQ(reader.Unquoted(v), want[k].text);
    } else if (v.kind == LiteralKind::kDecimal) {
      EXPECT_EQ(batch.substr(v.at, v.size), want[k].text);
    }
  }
}

TEST(TsqlInsertBatchTest, HeadsCompareByteForByte) {
  InsertBatch reader;
  const std::string batch =
      "insert into T (a) values (1); insert into T (a) values (2);"
      "insert into T (a)  values (3); INSERT into T (a) values (4)";
  ASSERT_TRUE(reader.Read(batch));
  EXPECT_TRUE(reader.SameHead(0, 1));
  EXPECT_FALSE(reader.SameHead(1, 2));  // joined only as the text would be
  EXPECT_FALSE(reader.SameHead(1, 3));
}

}  // namespace
