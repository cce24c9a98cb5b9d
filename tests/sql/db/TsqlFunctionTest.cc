// T-SQL's date and string functions and its + and - on every engine: the
// same text gives the same answer, or the same kind of failure, whichever
// engine runs it.
#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::kNotSupported;
using kestal::db::kStatementError;

class TsqlFunctionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    db_->Exec("create table CJK (rec_num int, stock varchar(6), bs char(1))");
    db_->Exec("insert into CJK values (1, '600000', 'B')");
  }
  // The value of expr as text through the layer ("NULL" for NULL).
  std::string Value(const std::string& expr) {
    return Scalar(("select " + expr + " as v").c_str());
  }
  // A date expression as 'YYYY-MM-DD hh:mi:ss.mmm'.
  std::string Moment(const std::string& expr) {
    return Value("convert(varchar(23), " + expr + ", 121)");
  }
};

TEST_P(TsqlFunctionTest, DatepartGivesEveryUnit) {
  // 2026-12-07 is a Monday; 2026-01-01 a Thursday.
  const std::string d = "'2026-12-07 09:30:15.250'";
  const std::pair<const char*, const char*> want[] = {
      {"year", "2026"}, {"qq", "4"}, {"month", "12"}, {"dy", "341"}, {"dd", "7"},  {"wk", "50"},
      {"dw", "2"},      {"hh", "9"}, {"mi", "30"},    {"ss", "15"},  {"ms", "250"}};
  for (const auto& w : want) {
    EXPECT_EQ(Value("datepart(" + std::string(w.first) + ", " + d + ")"), w.second) << w.first;
  }
  EXPECT_EQ(Value("datepart(wk, '2026-01-03')"), "1");  // the Saturday before the first Sunday
  EXPECT_EQ(Value("datepart(dw, '2026-12-06')"), "1");  // Sunday
  EXPECT_EQ(Value("year('9:30')"), "1900");             // a bare time is on 1900-01-01
}

TEST_P(TsqlFunctionTest, DateaddKeepsCalendarRules) {
  EXPECT_EQ(Moment("dateadd(quarter, 1, '2026-11-30')"), "2027-02-28 00:00:00.000");
  EXPECT_EQ(Moment("dateadd(year, 1, '2024-02-29')"), "2025-02-28 00:00:00.000");
  EXPECT_EQ(Moment("dateadd(week, -1, '2026-12-07')"), "2026-11-30 00:00:00.000");
  EXPECT_EQ(Moment("dateadd(hour, 25, '2026-12-07 09:00')"), "2026-12-08 10:00:00.000");
  EXPECT_EQ(Moment("dateadd(ss, 30, '23:59:45')"), "1900-01-02 00:00:15.000");
  EXPECT_EQ(Moment("dateadd(ms, 500, '2026-12-07 09:00:00.750')"), "2026-12-07 09:00:01.250");
  // The count converts as T-SQL converts it to int: text reads, decimals cut.
  EXPECT_EQ(Moment("dateadd(day, '2', '2026-12-07')"), "2026-12-09 00:00:00.000");
  EXPECT_EQ(Moment("dateadd(day, 1.9, '2026-12-07')"), "2026-12-08 00:00:00.000");
}

TEST_P(TsqlFunctionTest, DatediffCountsBoundariesOfEveryUnit) {
  const std::pair<const char*, const char*> want[] = {
      {"quarter, '2026-03-31', '2026-04-01'", "1"},
      {"month, '2026-01-31', '2026-02-01'", "1"},
      {"month, '2026-03-01', '2026-01-31'", "-2"},
      {"year, '2026-12-31 23:59:59', '2027-01-01'", "1"},
      {"dy, '2026-12-07 23:59', '2026-12-08'", "1"},
      {"week, '2026-12-06', '2026-12-12'", "0"},
      {"week, '2026-12-12', '2026-12-13'", "1"},
      {"minute, '09:30:59', '09:31:00'", "1"},
      {"second, '09:30:00.999', '09:30:01'", "1"},
      {"ms, '09:30:00.100', '09:30:00.350'", "250"},
      {"hour, '2026-12-07 00:00', '2026-12-06 23:59'", "-1"}};
  for (const auto& w : want) {
    EXPECT_EQ(Value("datediff(" + std::string(w.first) + ")"), w.second) << w.first;
  }
}

TEST_P(TsqlFunctionTest, NullsGoThroughAndBadDatesFail) {
  for (const char* expr : {"datepart(year, null)", "datediff(day, null, '2026-01-01')",
                           "dateadd(day, null, '2026-01-01')", "left(null, 1)", "right('ab', null)",
                           "charindex(null, 'abc')", "charindex('a', null)", "bs + null"}) {
    EXPECT_EQ(Scalar((std::string("select ") + expr + " as v from CJK").c_str()), "NULL") << expr;
  }
  // Out of datetime's range (1753 to 9999), or of int's for DATEDIFF.
  EXPECT_EQ(StatusOf("select dateadd(year, -300, '2026-01-01')"), kStatementError);
  EXPECT_EQ(StatusOf("select dateadd(day, 3000000, '2026-01-01')"), kStatementError);
  EXPECT_EQ(StatusOf("select datediff(second, '1900-01-01', '2026-01-01')"), kStatementError);
  EXPECT_EQ(StatusOf("select dateadd(day, 'x', '2026-01-01')"), kStatementError);
  EXPECT_EQ(StatusOf("select datediff(day, '2026-02-30', '2026-03-01')"), kStatementError);
  EXPECT_EQ(StatusOf("select dateadd(day, 1, stock) from CJK"), kStatementError);
  // The connection goes on after each failure.
  EXPECT_EQ(Value("datepart(month, '2026-12-07')"), "12");
}

TEST_P(TsqlFunctionTest, StringFunctionsCountCharactersAndIgnoreCase) {
  EXPECT_EQ(Value("charindex('B', 'abc')"), "2");
  EXPECT_EQ(Value("charindex('', 'abc')"), "0");
  EXPECT_EQ(Value("charindex('c', 'abc', 0)"), "3");
  EXPECT_EQ(Value("charindex('a', 'abc', 5)"), "0");
  EXPECT_EQ(Value("left(12345, 2)"), "12");
  EXPECT_EQ(Scalar("select right(stock, 3) as v from CJK where rec_num = 1"), "000");
  // "中文x": characters, not bytes, in both directions.
  EXPECT_EQ(Value("right('\xD6\xD0\xCE\xC4x', 2)"), "\xCE\xC4x");
  EXPECT_EQ(Value("len('  a  ')"), "3");
  EXPECT_EQ(Value("len('')"), "0");
  EXPECT_EQ(StatusOf("select right('abc', -2)"), kStatementError);
  EXPECT_EQ(StatusOf("select stuff('abc', 1, 1, 'x')"), kNotSupported);
  EXPECT_EQ(StatusOf("select patindex('%b%', 'abc')"), kNotSupported);
}

TEST_P(TsqlFunctionTest, PlusConcatenatesInDataStatementsAndConditions) {
  conn_->Execute("insert into CJK (rec_num, stock, bs) values (2, '60' + '0001', 'S')");
  EXPECT_EQ(db_->Scalar("select stock from CJK where rec_num = 2"), "600001");
  EXPECT_EQ(Scalar("select rec_num from CJK where stock = '600' + '001'"), "2");
  conn_->Execute("update CJK set stock = bs + right(stock, 2) + '-' where rec_num = 1");
  EXPECT_EQ(db_->Scalar("select stock from CJK where rec_num = 1"), "B00-");
  EXPECT_EQ(Scalar("select count(*) + 1 as v from CJK"), "3");
  EXPECT_EQ(Value("1 - '2'"), "-1");
  EXPECT_EQ(StatusOf("select 'abc' - 1"), kStatementError);
  EXPECT_EQ(StatusOf("select stock - 1 from CJK where rec_num = 1"), kStatementError);
}

TEST_P(TsqlFunctionTest, FailedStatementInsideATransactionLeavesTheFunctionsUsable) {
  conn_->BeginTrans();
  // The first use fails, and its savepoint is undone with everything in it.
  EXPECT_EQ(StatusOf("select bs + 1 from CJK"), kStatementError);
  EXPECT_EQ(Scalar("select stock + bs as v from CJK"), "600000B");
  EXPECT_EQ(StatusOf("select left(stock, -1) from CJK"), kStatementError);
  EXPECT_EQ(Scalar("select left(stock, 2) + right(bs, 1) as v from CJK"), "60B");
  conn_->CommitTrans();
  EXPECT_EQ(Scalar("select bs + stock as v from CJK"), "B600000");
  // A failure outside a transaction undoes its own statement only.
  EXPECT_EQ(StatusOf("select datediff(ms, '1900-01-01', '2026-01-01') + stock from CJK"),
            kStatementError);
  EXPECT_EQ(Scalar("select charindex('0', stock + bs) as v from CJK"), "2");
}

INSTANTIATE_TEST_SUITE_P(Engines, TsqlFunctionTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
