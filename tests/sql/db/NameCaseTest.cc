// Table and column names without regard to case, as on SQL Server, on
// every engine: a table made by another program with quoted capitals is
// found and used by any spelling, and Open reports a table it cannot use
// with 0 and a reason instead of an exception.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "EngineFixture.h"
#include "sql/SQLOperate.h"

namespace kestal::test {
namespace {

class NameCaseTest : public EngineTest {
 protected:
  int OpenResult(CSQLOperate& op, const char* table) {
    try {
      return op.Open(db_->ConnectionString().c_str(), table);
    } catch (const _com_error& e) {
      ADD_FAILURE() << "Open(" << table << ") threw " << e.Description().str();
      return -1;
    }
  }
};

TEST_P(NameCaseTest, TableMadeWithQuotedCapitalsIsUsableByAnySpelling) {
  db_->Exec("create table \"Trades\" (\"REC_NUM\" int, \"Stock\" varchar(6), bs char(1))");
  db_->Exec("insert into \"Trades\" values (1, '600000', 'B')");
  db_->Exec("insert into \"Trades\" values (2, '600001', 'S')");
  for (const char* name : {"Trades", "trades", "TRADES", "db..Trades"}) {
    CSQLOperate op;
    ASSERT_EQ(1, OpenResult(op, name)) << name << ": " << op.GetLastErrorMsg().str();
    EXPECT_EQ(2, op.m_lTotalRecord) << name;
    // The block read names the first column as the catalog gives it.
    ASSERT_EQ(2, op.ReadToBufferFromDB(10)) << name;
    EXPECT_EQ("600001", op.GetFieldValue(1, "STOCK").str()) << name;
    // Inserts name the columns as the catalog gives them, too.
    char image[CSQLOperate::kSlotSize] = {};
    std::memcpy(image, "       3600002B", 15);
    EXPECT_EQ(1, op.AddNewRecord(image, 3)) << name << ": " << op.m_strTrace.str();
    EXPECT_EQ("600002", Scalar("select stock from trades where rec_num = 3")) << name;
    conn_->Execute("delete from TRADES where REC_NUM = 3");
  }
  // Statements of the host, with any spelling of table, columns and alias.
  conn_->Execute("insert into trades (rec_num, STOCK, Bs) values (4, '600004', 'B')");
  EXPECT_EQ("600004", Scalar("select t.stock from TRADES t where t.REC_NUM = 4"));
  EXPECT_EQ("3", Scalar("select count(*) as ALLRECORDS from [Trades] where [rec_num] >= 1"));
  conn_->Execute("update trades set stock = '699999' where rec_num = 4");
  EXPECT_EQ("699999", Scalar("select STOCK from trades where Rec_Num = 4"));
  EXPECT_EQ("1", Scalar("select count(*) from trades with (holdlock) where rec_num = 4"));
}

// Names that differ only by case can coexist on PostgreSQL: every lookup,
// the catalog's and the statements', takes the lower-case one, else the
// first in byte order.
TEST_P(NameCaseTest, NamesDifferingOnlyByCasePickTheSameTableEverywhere) {
  if (Backend(GetParam()) != Engine::kPostgres)
    GTEST_SKIP() << "names never differ only by case here";
  db_->Exec("create table \"DUP\" (upper_col int)");
  db_->Exec("create table \"Dup\" (mixed_col int)");
  db_->Exec("create table dup (lower_col int)");
  db_->Exec("insert into dup values (1)");
  for (const char* name : {"DUP", "Dup", "dup"}) {
    CSQLOperate op;
    ASSERT_EQ(1, OpenResult(op, name)) << name;
    EXPECT_EQ("lower_col", op.m_FieldInfo[0].strName.str()) << name;
    EXPECT_EQ(1, op.m_lTotalRecord) << name;
  }
  // Dropped through the layer: every session of the process reads the
  // names again. (Dropped by another program, the first statement naming it
  // fails and the next reads them again.)
  conn_->Execute("drop table dup");
  // "DUP" sorts before "Dup" byte by byte.
  CSQLOperate op;
  ASSERT_EQ(1, OpenResult(op, "dup"));
  EXPECT_EQ("upper_col", op.m_FieldInfo[0].strName.str());
  EXPECT_EQ(0, op.m_lTotalRecord);
  // Columns alike: "Price" and "price" in one table; price is used.
  db_->Exec("create table prices (\"Price\" int, price varchar(8))");
  db_->Exec("insert into prices values (1, '2')");
  EXPECT_EQ("2", Scalar("select PRICE from PRICES"));
  CSQLOperate p;
  ASSERT_EQ(1, OpenResult(p, "Prices"));
  EXPECT_EQ(1, p.m_nFieldCount);
  EXPECT_EQ("price", p.m_FieldInfo[0].strName.str());
}

// Another program replaces a table the session has used by one spelled
// otherwise: at worst the first statement fails, as a statement, and the
// names are read again for the next.
TEST_P(NameCaseTest, TableReplacedByAnotherProgramIsFoundAgainAfterOneFailure) {
  db_->Exec("create table \"Items\" (\"Qty\" int)");
  db_->Exec("insert into \"Items\" values (1)");
  EXPECT_EQ("1", Scalar("select qty from items"));
  db_->Exec("drop table \"Items\"");
  db_->Exec("create table \"ITEMS\" (\"QTY\" int)");
  db_->Exec("insert into \"ITEMS\" values (7)");
  const HRESULT first = StatusOf("select qty from items");
  EXPECT_TRUE(first == 0 || first == kestal::db::kStatementError) << std::hex << first;
  EXPECT_EQ("7", Scalar("select qty from items"));
}

TEST_P(NameCaseTest, OpenReportsATableItCannotUseWithZeroAndTheReason) {
  db_->Exec("create table quotes (rec_num int, stock varchar(6))");
  const struct {
    const char* table;
    const char* reason;  // expected inside GetLastErrorMsg
  } kCases[] = {
      {"missing", "missing"}, {"", "no table"},
      {"a'b", "a'b"},         {"quotes where 1=0; drop table quotes", "quotes where"},
      {"[quotes", "[quotes"}, {"a\"b", "a\"b"},
      {"@x", "@x"},
  };
  for (const auto& c : kCases) {
    CSQLOperate op;
    EXPECT_EQ(0, OpenResult(op, c.table)) << c.table;
    EXPECT_NE(-1, op.GetLastErrorMsg().Find(c.reason))
        << c.table << ": " << op.GetLastErrorMsg().str();
  }
  EXPECT_EQ("0", Scalar("select count(*) from quotes"));  // still there
  CSQLOperate op;
  EXPECT_EQ(1, OpenResult(op, "QUOTES"));
  EXPECT_EQ("", op.GetLastErrorMsg().str());
}

INSTANTIATE_TEST_SUITE_P(Engines, NameCaseTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
