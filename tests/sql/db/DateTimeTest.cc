// T-SQL's datetime conversion as the SQLite engine gives it.
#include <gtest/gtest.h>

#include "sql/db/sqlite/DateTime.h"

namespace {

using kestal::db::sqlite::DaysToTsqlDateTime;
using kestal::db::sqlite::ParseTsqlDateTime;

std::string Parse(const std::string& text) {
  std::string out;
  return ParseTsqlDateTime(text, &out) ? out : "refused";
}

TEST(DateTimeTest, TextFormsOfSqlServer) {
  EXPECT_EQ(Parse("2026-12-07 09:30:15"), "2026-12-07 09:30:15.000");
  EXPECT_EQ(Parse(" 2026-12-07T09:30:15.5 "), "2026-12-07 09:30:15.500");
  EXPECT_EQ(Parse("2026/12/7"), "2026-12-07 00:00:00.000");
  EXPECT_EQ(Parse("20261207"), "2026-12-07 00:00:00.000");
  EXPECT_EQ(Parse("20261207 9:30"), "2026-12-07 09:30:00.000");
  EXPECT_EQ(Parse("09:30:15"), "1900-01-01 09:30:15.000");
  EXPECT_EQ(Parse("9:30:15.1234"), "1900-01-01 09:30:15.123");
  EXPECT_EQ(Parse("9:30 PM"), "1900-01-01 21:30:00.000");
  EXPECT_EQ(Parse("12:05am"), "1900-01-01 00:05:00.000");
  EXPECT_EQ(Parse(""), "1900-01-01 00:00:00.000");
  EXPECT_EQ(Parse("2024-02-29"), "2024-02-29 00:00:00.000");
}

TEST(DateTimeTest, ImpossibleOrForeignTextIsRefused) {
  for (const char* bad : {"2026-02-29", "2026-13-01", "2026-12-07 24:00:00", "9:60", "093015",
                          "abc", "2026-12-07x", "1700-01-01", "13:00 PM", "9:3", "2026-12"}) {
    EXPECT_EQ(Parse(bad), "refused") << bad;
  }
}

TEST(DateTimeTest, NumbersAreDaysAfter1900) {
  std::string out;
  ASSERT_TRUE(DaysToTsqlDateTime(0, &out));
  EXPECT_EQ(out, "1900-01-01 00:00:00.000");
  ASSERT_TRUE(DaysToTsqlDateTime(46361.5, &out));
  EXPECT_EQ(out, "2026-12-07 12:00:00.000");
  ASSERT_TRUE(DaysToTsqlDateTime(-1, &out));
  EXPECT_EQ(out, "1899-12-31 00:00:00.000");
  EXPECT_FALSE(DaysToTsqlDateTime(1e9, &out));
  EXPECT_FALSE(DaysToTsqlDateTime(-100000, &out));
}

}  // namespace
