// The T-SQL rewriter with PostgreSQL's dialect, without a server: which
// functions go to the session's own, which are refused by name, and that the
// date functions read their arguments as cast(... as datetime) does.
#include <gtest/gtest.h>

#include "sql/db/ComError.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/tsql/Rewriter.h"

namespace {

using kestal::db::kNotSupported;
using kestal::db::kStatementError;

std::string Sql(const std::string& text) {
  return kestal::db::tsql::Rewrite(text, kestal::db::postgres::PostgresDialect()).sql;
}

// The status raised for text and its description, or 0 and "" when it
// rewrites.
std::pair<HRESULT, std::string> Refusal(const std::string& text) {
  try {
    Sql(text);
    return {0, std::string()};
  } catch (const _com_error& e) {
    return {e.Error(), e.Description().str()};
  }
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(PostgresDialectTest, PlusAndMinusGoToTheSessionFunctionsByPrecedence) {
  EXPECT_EQ(Sql("select a + b * 2 - c from T"),
            "select pg_temp.kestal_sub(pg_temp.kestal_add(a, b * 2), c) from T");
  EXPECT_EQ(Sql("select stock + 'B' as v from T"),
            "select pg_temp.kestal_add(stock, 'B') as v from T");
  // Unary signs stay the server's.
  EXPECT_EQ(Sql("select -a from T where b = -1"), "select -a from T where b = -1");
  // The library's numbered insert keeps its shape.
  EXPECT_EQ(
      Sql("insert into T (rec_num) select isnull(max(rec_num)+1,1) from T"),
      "insert into T (rec_num) select coalesce(pg_temp.kestal_add(max(rec_num), 1),1) from T");
}

TEST(PostgresDialectTest, LeftRightAndCharindexGoToTheSessionFunctions) {
  EXPECT_EQ(Sql("select left(s, 3), right(s, 2), charindex('x', s, 2) from T"),
            "select pg_temp.kestal_left(s, 3), pg_temp.kestal_right(s, 2), "
            "pg_temp.kestal_charindex('x', s, 2) from T");
  // LEFT and RIGHT as join words are not calls.
  EXPECT_EQ(Sql("select * from T left join U on T.a = U.a"),
            "select * from T left join U on T.a = U.a");
}

TEST(PostgresDialectTest, LiteralsAreNotCollated) {
  EXPECT_EQ(Sql("select * from T where bs='B'"), "select * from T where bs='B'");
}

TEST(PostgresDialectTest, DateFunctionsReadTheirArgumentsAsDatetime) {
  const std::string add = Sql("select dateadd(mi, 45, '23:30') as v");
  EXPECT_TRUE(Has(add, "pg_temp.kestal_datetime(cast('1900-01-01 23:30' as timestamp(3))")) << add;
  EXPECT_TRUE(Has(add, "make_interval(mins => cast(trunc(45) as integer))")) << add;
  EXPECT_EQ(Sql("select year('2026-12-07') as v"),
            "select cast(extract(year from cast('2026-12-07' as timestamp(3))) as integer) as v");
  // A column is converted at run time, whatever its type.
  EXPECT_TRUE(Has(Sql("select datepart(dw, time) from T"), "cast(time as text)"));
  EXPECT_TRUE(Has(Sql("select datediff(ms, a, b) from T"), "* 1000"));
}

TEST(PostgresDialectTest, UntranslatableFunctionsAreRefusedByName) {
  for (const char* text :
       {"select stuff('abc', 1, 1, 'x')", "select log(10)", "select format(1, 'N')",
        "select patindex('%a%', s) from T", "select replicate('a', 3)", "select newid()"}) {
    const auto r = Refusal(text);
    EXPECT_EQ(r.first, kNotSupported) << text;
    EXPECT_TRUE(Has(r.second, "function")) << text << ": " << r.second;
  }
  // Functions with the same meaning on the server pass.
  EXPECT_EQ(Refusal("select power(2, 3), floor(1.5), reverse('ab'), concat('a', 'b')").first, 0);
}

TEST(PostgresDialectTest, MalformedDateFunctionsAreStatementErrors) {
  EXPECT_EQ(Refusal("select dateadd(day, 1)").first, kStatementError);
  EXPECT_EQ(Refusal("select datediff(day, '2026-01-01')").first, kStatementError);
  EXPECT_EQ(Refusal("select datepart(dw)").first, kStatementError);
  EXPECT_EQ(Refusal("select year()").first, kStatementError);
  EXPECT_EQ(Refusal("select dateadd(fortnight, 1, '2026-01-01')").first, kNotSupported);
  EXPECT_EQ(Refusal("select dateadd(1 + 1, 1, '2026-01-01')").first, kStatementError);
}

}  // namespace
