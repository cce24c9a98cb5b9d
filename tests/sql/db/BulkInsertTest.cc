// BULK INSERT of the library's bulk-load files: the engine reads the file,
// all rows or none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineFixture.h"

namespace kestal::test {
namespace {

using kestal::db::kStatementError;

class BulkInsertTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    db_->Exec("create table CJK (rec_num int, stock char(6), bs char(1), name varchar(8))");
  }
  // Runs the library's statement for file; returns the status (0: loaded).
  HRESULT Load(const std::string& file, const char* table = "CJK") {
    CString sql;
    sql.Format(
        "BULK INSERT [%s] FROM '%s' WITH ( DATAFILETYPE = 'char', FIELDTERMINATOR = ',', "
        "TABLOCK)",
        table, file.c_str());
    description_.clear();
    try {
      conn_->Execute(sql);
      return 0;
    } catch (const _com_error& e) {
      description_ = e.Description().str();
      return e.Error();
    }
  }
  std::string Count() { return db_->Scalar("select count(*) from CJK"); }

  TempDir dir_;
  std::string description_;
};

TEST_P(BulkInsertTest, LoadsTheLibrarysLinesWithTheirTrailingComma) {
  const std::string file = dir_.File("OrderTemp_A.txt");
  // Lines as the library writes them: value, comma, ..., CR LF; GBK text.
  WriteFile(file,
            "1,ABC123,B,\xD6\xD0\xCE\xC4,\r\n"
            "2,600000,S,plain,\r\n"
            "3,000001,B,,\r\n");
  ASSERT_EQ(Load(file), 0) << description_;
  EXPECT_EQ(Count(), "3");
  EXPECT_EQ(db_->Scalar("select name from CJK where rec_num = 1"), "中文");
  EXPECT_EQ(db_->Scalar("select stock from CJK where rec_num = 2"), "600000");
  // An empty field loads as NULL.
  EXPECT_EQ(db_->Scalar("select count(*) from CJK where name is null"), "1");
}

TEST_P(BulkInsertTest, AcceptsLfLinesAndALastLineWithoutEnd) {
  const std::string file = dir_.File("lf.txt");
  WriteFile(file, "1,AAAAAA,B,x\n2,BBBBBB,S,y");
  ASSERT_EQ(Load(file), 0) << description_;
  EXPECT_EQ(Count(), "2");
  WriteFile(file, "");
  EXPECT_EQ(Load(file), 0) << description_;
  EXPECT_EQ(Count(), "2");
}

TEST_P(BulkInsertTest, MissingFileFailsAndNamesIt) {
  EXPECT_EQ(Load(dir_.File("log/absent.txt")), kStatementError);
  EXPECT_NE(description_.find("absent.txt"), std::string::npos) << description_;
  EXPECT_EQ(Count(), "0");
}

TEST_P(BulkInsertTest, ABadLineLoadsNothingAndIsNamed) {
  const std::string file = dir_.File("bad.txt");
  WriteFile(file, "1,AAAAAA,B,x,\r\n2,BBBBBB,S,y,\r\n3,CCCCCC,\r\n4,DDDDDD,S,z,\r\n");
  EXPECT_EQ(Load(file), kStatementError);
  EXPECT_NE(description_.find("line 3"), std::string::npos) << description_;
  EXPECT_EQ(Count(), "0");
}

TEST_P(BulkInsertTest, ValuesThatDoNotFitTheirColumnsLoadNothing) {
  const std::string file = dir_.File("types.txt");
  WriteFile(file, "1,AAAAAA,B,x,\r\n2x,BBBBBB,S,y,\r\n");
  EXPECT_EQ(Load(file), kStatementError);
  EXPECT_EQ(Count(), "0");
  WriteFile(file, "1,AAAAAA,B,x,\r\n2,BBBBBBBBB,S,y,\r\n");
  EXPECT_EQ(Load(file), kStatementError);
  EXPECT_EQ(Count(), "0");
  db_->Exec("create table Prices (p float, q decimal(10,2))");
  WriteFile(file, "1.5,2.25,\r\nabc,1,\r\n");
  EXPECT_EQ(Load(file, "Prices"), kStatementError);
  EXPECT_EQ(db_->Scalar("select count(*) from Prices"), "0");
  WriteFile(file, " 1.5 ,-2e3,\r\n");
  EXPECT_EQ(Load(file, "Prices"), 0) << description_;
  EXPECT_EQ(db_->Scalar("select p + q from Prices"), "-1998.5");
  WriteFile(file, "1,A,B,x,y,z,\r\n");
  EXPECT_EQ(Load(file), kStatementError);
  EXPECT_EQ(Count(), "0");
}

TEST_P(BulkInsertTest, UnknownTableFails) {
  const std::string file = dir_.File("ok.txt");
  WriteFile(file, "1,AAAAAA,B,x,\r\n");
  EXPECT_EQ(Load(file, "Nowhere"), kStatementError);
}

TEST_P(BulkInsertTest, IdentityColumnIsNumberedByTheTable) {
  db_->Exec("create table Ident (" + std::string(db_->traits().identity_ddl) + ", v varchar(4))");
  const std::string file = dir_.File("ident.txt");
  WriteFile(file, "77,a,\r\n77,b,\r\n");
  ASSERT_EQ(Load(file, "Ident"), 0) << description_;
  EXPECT_EQ(db_->Scalar("select max(id) from Ident"), "2");
}

TEST_P(BulkInsertTest, LoadInsideTheHostTransactionGoesWithIt) {
  const std::string file = dir_.File("tx.txt");
  WriteFile(file, "1,AAAAAA,B,x,\r\n2,BBBBBB,S,y,\r\n");
  conn_->BeginTrans();
  ASSERT_EQ(Load(file), 0) << description_;
  conn_->Close();
  EXPECT_EQ(Count(), "0");
}

TEST_P(BulkInsertTest, DecimalsLoadAsTheSameNumbersWhateverTheirForm) {
  db_->Exec("create table Fast (id int, p float, q decimal(18,6))");
  db_->Exec("create table Slow (id int, p float, q decimal(18,6))");
  const std::vector<std::string> numbers = {
      "0.1", "-0.0", "2.675", "1.005",    "123456789.123456", "9.95",        "-7.125",
      "0.3", "+.5",  "5.",    "  42.5  ", "0.0000001",        "10000000000", "12.50"};
  std::string fast, slow;
  for (size_t i = 0; i < numbers.size(); ++i) {
    const std::string id = std::to_string(i + 1);
    fast += id + "," + numbers[i] + "," + numbers[i] + ",\r\n";
    // With an exponent the number is read by the general conversion.
    std::string general = numbers[i];
    general.insert(general.find_last_not_of(' ') + 1, "e0");
    slow += id + "," + general + "," + general + ",\r\n";
  }
  WriteFile(dir_.File("fast.txt"), fast);
  WriteFile(dir_.File("slow.txt"), slow);
  ASSERT_EQ(Load(dir_.File("fast.txt"), "Fast"), 0) << description_;
  ASSERT_EQ(Load(dir_.File("slow.txt"), "Slow"), 0) << description_;
  EXPECT_EQ(db_->Scalar("select count(*) from Fast"), std::to_string(numbers.size()));
  EXPECT_EQ(db_->Scalar("select count(*) from Fast f join Slow s on f.id = s.id "
                        "where f.p = s.p and f.q = s.q"),
            std::to_string(numbers.size()));
}

TEST_P(BulkInsertTest, TheTableIsReadAgainWhenItChanges) {
  const std::string file = dir_.File("again.txt");
  WriteFile(file, "1,AAAAAA,B,x,\r\n");
  ASSERT_EQ(Load(file), 0) << description_;
  ASSERT_EQ(Load(file), 0) << description_;
  EXPECT_EQ(Count(), "2");
  // The same statement once the table has other columns.
  db_->Exec("drop table CJK");
  db_->Exec("create table CJK (name varchar(8), rec_num int)");
  EXPECT_EQ(Load(file), kStatementError);
  EXPECT_NE(description_.find("line 1"), std::string::npos) << description_;
  WriteFile(file, "y,7,\r\n");
  ASSERT_EQ(Load(file), 0) << description_;
  EXPECT_EQ(db_->Scalar("select name from CJK where rec_num = 7"), "y");
  db_->Exec("drop table CJK");
  EXPECT_EQ(Load(file), kStatementError);
}

TEST_P(BulkInsertTest, AFolderInPlaceOfTheFileFails) {
  if (GetParam() != Engine::kSqlite) GTEST_SKIP() << "the engine reads the file itself on SQLite";
  EXPECT_EQ(Load(dir_.path()), kStatementError);
  EXPECT_NE(description_.find("reading"), std::string::npos) << description_;
}

INSTANTIATE_TEST_SUITE_P(Engines, BulkInsertTest, ::testing::ValuesIn(kAllEngines), EngineName);

}  // namespace
}  // namespace kestal::test
