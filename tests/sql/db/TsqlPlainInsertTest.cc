// The plain-insert shortcut of the rewriter: which statements take it, and,
// for every statement built from the pieces of that shape and its near
// misses, that the shortcut gives the same result as the full rewrite.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sql/db/ComError.h"
#include "sql/db/sqlite/Dialect.h"
#include "sql/db/tsql/FastPath.h"
#include "sql/db/tsql/InsertRun.h"
#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/Rewriter.h"

namespace {

using kestal::db::tsql::Dialect;
using kestal::db::tsql::IsPlainInsert;
using kestal::db::tsql::Rewrite;

TEST(TsqlPlainInsertTest, TheBatchShapeIsPlain) {
  for (const char* s : {
           "insert into T (a,b,c)  values (1,'x','y')",
           "INSERT INTO t VALUES(-1, + 2.5, .5, 3., NULL, '')",
           "  insert\tinto\nT_1 ( a , b ) values ( 'it''s' , 'a;b--c/*d' ) ",
           "insert into T values (1), (2),(3)",
           "insert into values (a) values (1)",  // a table named values
           "insert into T (rec_num,stock,bs)  values (0,'\xD6\xD0','B')",
       }) {
    EXPECT_TRUE(IsPlainInsert(s)) << s;
  }
}

TEST(TsqlPlainInsertTest, AnythingTheRewriteTouchesIsNotPlain) {
  for (const char* s : {
           "",
           "insert",
           "insert into",
           "insert into T",
           "insert into T values",
           "insert into T values ()",
           "insert into T values (1,)",
           "insert into T values (1",
           "insert into T values (1))",
           "insert into T values (1) x",
           "insert into T values (1),",
           "insert T values (1)",                // INTO is added
           "insert into dbo.T values (1)",       // dbo. is dropped
           "insert into db..T values (1)",       // db.. is dropped
           "insert into [T] values (1)",         // the engine's quoting
           "insert into \"T\" values (1)",       // the engine's quoting
           "insert into #T values (1)",          // refused
           "insert into T values (@x)",          // refused
           "insert into T (nolock) values (1)",  // a hint group is dropped
           "insert into T (Index) values (1)",   // a hint word
           "insert into T (current_timestamp) values (1)",
           "insert into T values (N'x')",       // N'' becomes ''
           "insert into T values ('x' + 'y')",  // concatenation
           "insert into T values (1 - 2)",      // subtraction
           "insert into T values (- -1)",       // two signs
           "insert into T values (--1\n)",      // a comment
           "insert into T values (1) -- c",     // a comment
           "insert into T /* c */ values (1)",  // a comment
           "insert into T values (getdate())",  // a call
           "insert into T values (current_timestamp)",
           "insert into T values (x)",  // a name
           "insert into T values (nullx)",
           "insert into T values (null$)",
           "insert into T values (1e5)",   // exponent
           "insert into T values (0x1F)",  // hex
           "insert into T values (1.2.3)",
           "insert into T values (.)",
           "insert into T values (1abc)",
           "insert into T values (?)",
           "insert into T values ('x)",  // unclosed
           "insert into T values ('x'')",
           "insert into T\xD6\xD0 values (1)",
           "insert into T select 1",
           "insert into T (a) (select 1)",
           "insert into T default values",
           "insertinto T values (1)",
           "insert intoT values (1)",
           "select 1",
           "update T set a = 1",
           "delete from T",
       }) {
    EXPECT_FALSE(IsPlainInsert(s)) << s;
  }
}

// The full rewrite of text: a leading comment keeps the shortcut away and
// comes out as one blank.
kestal::db::tsql::Statement FullRewrite(const std::string& text, const Dialect& d) {
  kestal::db::tsql::Statement st = Rewrite("/**/" + text, d);
  if (st.kind == kestal::db::tsql::StatementKind::kSql) st.sql.erase(0, 1);
  return st;
}

// text with every " COLLATE TSQL" taken out.
std::string WithoutCollation(std::string text) {
  const std::string c = " COLLATE TSQL";
  for (size_t p; (p = text.find(c)) != std::string::npos;) text.erase(p, c.size());
  return text;
}

// The outcome of rewriting: the SQL, or the status raised.
std::string Outcome(const std::string& text, const Dialect& d, bool full) {
  try {
    return "sql:" + (full ? FullRewrite(text, d) : Rewrite(text, d)).sql;
  } catch (const _com_error& e) {
    return "error:" + std::to_string(e.Error());
  }
}

// Random statements from the pieces of the plain shape and of its near
// misses: whichever way Rewrite goes, it must agree with the full rewrite
// (apart from the literal collation, which only the full rewrite adds).
TEST(TsqlPlainInsertTest, ShortcutAgreesWithTheFullRewrite) {
  const Dialect& d = kestal::db::sqlite::SqliteDialect();
  const std::vector<std::string> heads = {"insert into T",       "INSERT INTO t",
                                          "insert into dbo.T",   "insert T",
                                          " insert  into\tT",    "insert into [T]",
                                          "insert into T (a,b)", "insert into T ( a , nolock )",
                                          "insert into T(x)",    "insert into values"};
  const std::vector<std::string> values = {
      "1",       "-1",        "+ 2", "1.5",  ".5",    "3.",    "null", "NULL", "'x'",
      "'it''s'", "'a;b'",     "''",  "'--'", "N'x'",  "1e5",   "0x1F", "x",    "getdate()",
      "1 - 2",   "'a' + 'b'", "(1)", "- -1", "nullx", "'[a]'", "@v",   "1abc", "current_timestamp",
      "default"};
  std::mt19937 rng(20261207);
  int shortcut = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = heads[rng() % heads.size()] + " values ";
    const int rows = 1 + static_cast<int>(rng() % 2);
    for (int r = 0; r < rows; ++r) {
      text += r ? ", (" : "(";
      const int n = 1 + static_cast<int>(rng() % 3);
      for (int k = 0; k < n; ++k) text += (k ? "," : "") + values[rng() % values.size()];
      text += ")";
    }
    if (rng() % 10 == 0) text += " ";
    if (IsPlainInsert(text)) {
      ++shortcut;
      EXPECT_EQ(Rewrite(text, d).sql, text);
    }
    EXPECT_EQ(WithoutCollation(Outcome(text, d, false)), WithoutCollation(Outcome(text, d, true)))
        << text;
  }
  // Both sides of the comparison were exercised.
  EXPECT_GT(shortcut, 100);
  EXPECT_LT(shortcut, 2900);
}

TEST(TsqlPlainInsertTest, MalformedInsertsStillFailAsBefore) {
  const Dialect& d = kestal::db::sqlite::SqliteDialect();
  EXPECT_THROW(Rewrite("insert into T values ('x)", d), _com_error);
  EXPECT_THROW(Rewrite("insert into T values (1))", d), _com_error);
  EXPECT_THROW(Rewrite("insert into T values ((1)", d), _com_error);
  EXPECT_THROW(Rewrite("insert into T values (?)", d), _com_error);
  EXPECT_THROW(Rewrite("insert into T values (1) /* open", d), _com_error);
}

TEST(TsqlLexerTest, QuotedContentAndExtentsSurviveTheRunCopy) {
  const auto t = kestal::db::tsql::Lex("'a''b''' [x]]y]]] \"p\"\"q\" N'' '''' ");
  std::vector<std::string> values;
  for (const auto& tk : t) {
    if (!kestal::db::tsql::IsBlank(tk)) values.push_back(tk.value);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"a'b'", "x]y]", "p\"q", "", "'"}));
  EXPECT_THROW(kestal::db::tsql::Lex("select 'a''"), _com_error);
  EXPECT_THROW(kestal::db::tsql::Lex("select [a]]"), _com_error);
  EXPECT_THROW(kestal::db::tsql::Lex("select /* /* */"), _com_error);
  // A line comment at the very end, without a line end.
  EXPECT_EQ(kestal::db::tsql::Lex("x --c").back().text, "--c");
}

TEST(TsqlLexerTest, SplitBatchKeepsEachStatementsBytes) {
  using kestal::db::tsql::SplitBatch;
  const auto parts = SplitBatch("insert into T values ('(;)');(select 1);/* ; */\n;x [;] \"a;\"");
  EXPECT_EQ(parts, (std::vector<std::string>{"insert into T values ('(;)')", "(select 1)",
                                             "x [;] \"a;\""}));
  EXPECT_THROW(SplitBatch("select 1); select (2"), _com_error);
  EXPECT_THROW(SplitBatch("select 1; select \"a"), _com_error);
  EXPECT_THROW(SplitBatch("select 1; -- fine\n select /* open"), _com_error);
  EXPECT_TRUE(SplitBatch("-- only a comment").empty());
}

TEST(TsqlInsertRunTest, JoinsOnlyPlainInsertsOfOneHead) {
  using kestal::db::tsql::InsertRun;
  struct Case {
    const char* name;
    std::vector<std::string> statements;
    size_t joined;        // statements the run takes before the first refusal
    std::string text;     // the joined insert of those
    long long last_rows;  // rows of the last statement taken
  };
  const std::vector<Case> cases = {
      {"one head, blanks around",
       {"insert into T (a,b)  values (1,'x') ", " insert into T (a,b)  values\n(2,'y'),(3,'z')"},
       2,
       "insert into T (a,b)  values (1,'x'), (2,'y'),(3,'z')",
       2},
      {"without a column list",
       {"INSERT INTO T VALUES (NULL, -1.5)", "INSERT INTO T VALUES ('a;b', .5)"},
       2,
       "INSERT INTO T VALUES (NULL, -1.5), ('a;b', .5)",
       1},
      {"another column list ends the run",
       {"insert into T (a,b) values (1,2)", "insert into T (b,a) values (1,2)"},
       1,
       "insert into T (a,b) values (1,2)",
       1},
      {"another table ends the run",
       {"insert into T values (1)", "insert into U values (1)"},
       1,
       "insert into T values (1)",
       1},
      {"the same head written in another case is another head",
       {"insert into T values (1)", "INSERT into T values (2)"},
       1,
       "insert into T values (1)",
       1},
      {"a statement the rewrite would touch is never taken",
       {"insert into T values (getdate())"},
       0,
       "",
       0},
      {"nor a select",
       {"insert into T values (1)", "insert into T select 1"},
       1,
       "insert into T values (1)",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InsertRun run;
    size_t taken = 0;
    while (taken < c.statements.size() && run.Add(c.statements[taken])) ++taken;
    EXPECT_EQ(taken, c.joined);
    EXPECT_EQ(run.size(), c.joined);
    EXPECT_EQ(run.last_rows(), c.last_rows);
    if (taken > 0) {
      EXPECT_EQ(run.Joined(), c.text);
      EXPECT_EQ(run.statements().back(), c.statements[taken - 1]);
    }
    run.Clear();
    EXPECT_TRUE(run.empty());
    // An empty run starts with any plain insert.
    if (taken < c.statements.size() && IsPlainInsert(c.statements[taken])) {
      EXPECT_TRUE(run.Add(c.statements[taken]));
    }
  }
}

TEST(TsqlInsertRunTest, RowsChangedOfTheLastStatement) {
  using kestal::db::tsql::LastStatementChanged;
  // joined count, last statement's rows, joined rows -> what the last alone reports
  const long long cases[][4] = {{500, 1, 500, 1}, {7, 2, 7, 2}, {0, 1, 500, 0}, {3, 1, 500, -1}};
  for (const auto& c : cases) EXPECT_EQ(LastStatementChanged(c[0], c[1], c[2]), c[3]) << c[0];
}

}  // namespace
