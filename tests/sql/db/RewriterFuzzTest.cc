// Hostile and random statement text: the rewriter and the engine either run
// it or raise _com_error; nothing else escapes and nothing crashes.
#include <gtest/gtest.h>

#include <random>

#include "EngineFixture.h"
#include "sql/db/sqlite/Dialect.h"
#include "sql/db/tsql/Lexer.h"
#include "sql/db/tsql/Rewriter.h"

namespace kestal::test {
namespace {

const char* const kPieces[] = {
    "select", "top",       "5",        "(",          ")",      "'",
    "''",     "[",         "]",        "\"",         "isnull", "cast",
    "as",     "int",       "convert",  "varchar(8)", ",",      "108",
    "with",   "holdlock",  "..",       ".",          "dbo",    "ident_current",
    "N'",     "--",        "/*",       "*/",         ";",      "from",
    "T",      "+",         "bulk",     "insert",     "dbcc",   "checkident",
    "set",    "rowcount",  "into",     "values",     "union",  "@x",
    "#t",     "substring", "\xD6\xD0", "\n",         "=",      "!<",
    "reseed", "percent",   "getdate",  "datetime",   "where",  "*",
    "-",      "0x",
};

std::string RandomStatement(std::mt19937& rng) {
  std::uniform_int_distribution<size_t> pick(0, sizeof kPieces / sizeof *kPieces - 1);
  std::uniform_int_distribution<int> length(1, 14);
  std::string text;
  for (int n = length(rng); n > 0; --n) {
    text += kPieces[pick(rng)];
    if (rng() % 3) text += ' ';
  }
  return text;
}

TEST(RewriterFuzzTest, RandomTextRewritesOrRaisesComError) {
  std::mt19937 rng(20261207);
  for (int i = 0; i < 20000; ++i) {
    const std::string text = RandomStatement(rng);
    try {
      for (const std::string& st : kestal::db::tsql::SplitBatch(text)) {
        kestal::db::tsql::Rewrite(st, kestal::db::sqlite::SqliteDialect());
      }
    } catch (const _com_error&) {
    } catch (...) {
      ADD_FAILURE() << "non-_com_error exception for: " << text;
    }
  }
}

TEST(RewriterFuzzTest, DeepNestingIsRefusedNotOverflowed) {
  const std::string deep = "select " + std::string(100000, '(') + "1" + std::string(100000, ')');
  try {
    kestal::db::tsql::Rewrite(deep, kestal::db::sqlite::SqliteDialect());
    FAIL() << "accepted";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kestal::db::kStatementError);
  }
  const std::string fine = "select " + std::string(50, '(') + "1" + std::string(50, ')') + " as v";
  EXPECT_NO_THROW(kestal::db::tsql::Rewrite(fine, kestal::db::sqlite::SqliteDialect()));
}

class EngineFuzzTest : public EngineTest {};

TEST_P(EngineFuzzTest, RandomTextOnALiveConnectionRaisesOnlyComError) {
  db_->Exec("create table T (a int, b varchar(10))");
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const std::string text = RandomStatement(rng);
    try {
      conn_->Execute(CString(text));
    } catch (const _com_error& e) {
      EXPECT_TRUE(ReconnectRuleCatches(e.Error())) << text;
    } catch (...) {
      ADD_FAILURE() << "non-_com_error exception for: " << text;
    }
  }
  // The connection is still usable afterwards.
  EXPECT_EQ(Scalar("select count(*) as n from sysobjects where name='T'"), "1");
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineFuzzTest,
                         ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
