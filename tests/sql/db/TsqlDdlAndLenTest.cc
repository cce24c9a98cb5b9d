// Signs in table definitions and LEN of numbers on every engine: the T-SQL
// text gives the SQL Server answer through the layer, whichever engine runs.
#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::kNotSupported;
using kestal::db::kStatementError;

class TsqlDdlTest : public EngineTest {
 protected:
  // The first column of sql's first row, engine-native.
  std::string Native(const std::string& sql) { return db_->Scalar(sql); }
};

TEST_P(TsqlDdlTest, NegativeDefaultsAndChecksKeepTheirMeaning) {
  conn_->Execute(
      "create table D (id int, a int default -1, b int default 0, c int default - 1, "
      "s varchar(4) default '-1', check (a - b < 10))");
  conn_->Execute("insert into D (id) values (1)");
  EXPECT_EQ(Native("select a from D where id = 1"), "-1");
  EXPECT_EQ(Native("select b from D where id = 1"), "0");
  EXPECT_EQ(Native("select c from D where id = 1"), "-1");
  EXPECT_EQ(Native("select s from D where id = 1"), "-1");
  // The check holds with its arithmetic: 20 - 1 is not below 10.
  EXPECT_NE(StatusOf("insert into D (id, a, b) values (2, 20, 1)"), 0);
  conn_->Execute("insert into D (id, a, b) values (3, 20, 11)");
  EXPECT_EQ(Native("select count(*) from D"), "2");
  conn_->Execute("alter table D add e int default -5");
  conn_->Execute("insert into D (id) values (4)");
  EXPECT_EQ(Native("select e from D where id = 4"), "-5");
  // In a data statement the same signs are T-SQL's again.
  EXPECT_EQ(Scalar("select a - 1 as v from D where id = 1"), "-2");
}

TEST_P(TsqlDdlTest, TextConcatenationInADefinitionIsRefusedAndNothingIsMade) {
  EXPECT_EQ(StatusOf("create table E (s varchar(4) default 'a' + 'b')"), kNotSupported);
  EXPECT_EQ(StatusOf("create table E2 (s varchar(4), check (s <> 'x' + 'y'))"), kNotSupported);
  EXPECT_EQ(StatusOf("select * from E"), kStatementError);
  EXPECT_EQ(StatusOf("select * from E2"), kStatementError);
  // Malformed definitions fail as statements, not as anything else.
  EXPECT_EQ(StatusOf("create table F (a int default -)"), kStatementError);
  EXPECT_EQ(StatusOf("create table F (a int default -1"), kStatementError);
}

TEST_P(TsqlDdlTest, LenTakesNumbersAsTheirText) {
  db_->Exec("create table L (n int, d decimal(6,2), s varchar(8), c char(4))");
  db_->Exec("insert into L values (12345, 12.25, 'ab  ', 'x')");
  db_->Exec("insert into L values (-7, NULL, NULL, NULL)");
  EXPECT_EQ(Scalar("select len(123) as v"), "3");
  EXPECT_EQ(Scalar("select len(-45) as v"), "3");
  EXPECT_EQ(Scalar("select len(n) as v from L where n = 12345"), "5");
  EXPECT_EQ(Scalar("select len(n) as v from L where n = -7"), "2");
  EXPECT_EQ(Scalar("select len(d) as v from L where n = 12345"), "5");
  EXPECT_EQ(Scalar("select len(s) as v from L where n = 12345"), "2");
  EXPECT_EQ(Scalar("select len(c) as v from L where n = 12345"), "1");
  EXPECT_EQ(Scalar("select len(s) as v from L where n = -7"), "NULL");
  EXPECT_EQ(Scalar("select len(n) + 1 as v from L where n = 12345"), "6");
  EXPECT_EQ(Scalar("select count(*) as v from L where len(n) = 5"), "1");
  EXPECT_EQ(StatusOf("select len() as v"), kStatementError);
  EXPECT_EQ(StatusOf("select len(1, 2) as v"), kStatementError);
}

INSTANTIATE_TEST_SUITE_P(Engines, TsqlDdlTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
