// Which statements the PostgreSQL engine reads row by row: queries that may
// yield a whole table, told apart from bounded or filtered ones and from
// writes, on the text as the rewriter hands it to the server.
#include <gtest/gtest.h>

#include <string>

#include "sql/db/postgres/Dialect.h"
#include "sql/db/postgres/Results.h"
#include "sql/db/tsql/Rewriter.h"

namespace {

using kestal::db::postgres::ReadsRowByRow;

bool RowByRow(const std::string& tsql) {
  return ReadsRowByRow(
      kestal::db::tsql::Rewrite(tsql, kestal::db::postgres::PostgresDialect()).sql);
}

TEST(PostgresRowByRowTest, WholeTableQueriesOnly) {
  struct Case {
    const char* tsql;
    bool row_by_row;
  };
  const Case cases[] = {
      // What Open, GetRecordset and the refresh send, and their like.
      {"select * from trades ", true},
      {"SELECT * FROM [Trades] order by rec_num", true},
      {"  select a.n, b.s from A a join B b on a.n = b.n", true},
      {"select count(*) from trades", true},
      {"select n from (select n from T where n > 5) x", true},
      {"with x as (select n from T where n > 5) select * from x", true},
      {"select n from T union all select n from U", true},
      // Filtered or bounded: window fetches, rescans, catalog look-ups.
      {"select * from trades where rec_num>30 and rec_num<=130 order by rec_num", false},
      {"select top 500 * from trades order by rec_num", false},
      {"select * from sysobjects where name='trades'", false},
      {"select n from T union all select n from U where n > 1", false},
      {"select 'where' as w, \"limit\" from T where n = 1", false},
      // Not queries.
      {"insert into T (n) values (1)", false},
      {"update T set s = 'select' where n = 1", false},
      {"delete from T", false},
      {"create table T (n int)", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.row_by_row, RowByRow(c.tsql)) << c.tsql;
  // Quoted words are not syntax; text the lexer cannot read is read whole.
  EXPECT_TRUE(ReadsRowByRow("select 'where', \"limit\" from t"));
  EXPECT_FALSE(ReadsRowByRow("select 'unclosed from t"));
  EXPECT_FALSE(ReadsRowByRow("   "));
  EXPECT_FALSE(ReadsRowByRow("select n from t offset 5"));
}

}  // namespace
