// Plain inserts on a real database: the text that skips the rewrite stores
// exactly the values written, and a malformed one fails without storing.
#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::kStatementError;

class TsqlPlainInsertEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    db_->Exec("create table P (id int, n decimal(8,2), s varchar(20))");
  }
  std::string Column(const std::string& sql) {
    std::string out;
    for (const auto& row : db_->Query(sql)) out += (out.empty() ? "" : "|") + row.at(0);
    return out;
  }
};

TEST_P(TsqlPlainInsertEngineTest, BatchStoresTheLiteralsAsWritten) {
  conn_->Execute(
      "insert into P (id,n,s)  values (1,-1.25,'it''s');"
      "INSERT INTO P VALUES (2, + 3, 'a;b--c/*d');"
      "insert into P (id,s) values (3,'B  '), (4, NULL);"
      "insert into P (id,n,s) values (5,.5,'')");
  EXPECT_EQ(Column("select s from P where id in (1, 2, 3) order by id"), "it's|a;b--c/*d|B  ");
  EXPECT_EQ(Column("select count(*) from P where s is null"), "1");
  EXPECT_EQ(Column("select count(*) from P where n < 0"), "1");
  EXPECT_EQ(Column("select s from P where id = 5"), "");
  // A stored literal compares as it did when it went in collated.
  EXPECT_EQ(Scalar("select id from P where s = 'B  '"), "3");
}

TEST_P(TsqlPlainInsertEngineTest, MalformedInsertsFailAndStoreNothing) {
  EXPECT_EQ(StatusOf("insert into P values (1, 2, 'x)"), kStatementError);
  EXPECT_EQ(StatusOf("insert into P values (1, 2, 'x'))"), kStatementError);
  EXPECT_EQ(StatusOf("insert into P values (1, 2, 'x',)"), kStatementError);
  EXPECT_EQ(StatusOf("insert into Nowhere values (1)"), kStatementError);
  EXPECT_EQ(StatusOf("insert into P (id, nosuch) values (1, 2)"), kStatementError);
  EXPECT_EQ(Column("select count(*) from P"), "0");
}

INSTANTIATE_TEST_SUITE_P(Engines, TsqlPlainInsertEngineTest, ::testing::ValuesIn(kAllEngines),
                         EngineName);

}  // namespace
}  // namespace kestal::test
