// Single-record inserts on real databases: statements sent, rows landed, and
// the value rules for omitted, integer, text, quoted and NUL-cut fields.
#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

class SingleInsertTest : public WriteTest {
 protected:
  std::string image_ = "       0ABC123B";  // rec_num, stock, bs of table T
  const char* t_ = "rec_num int not null, stock varchar(6), bs char(1)";
};
KESTAL_WRITE_ENGINES(SingleInsertTest);

TEST_P(SingleInsertTest, WorkedExampleStatementsAndEmptyTableFallback) {
  auto op = Open("T", t_);
  ASSERT_EQ(1, op->AddNewRecord(image_.data(), 77));  // empty: main fails, fallback inserts 1
  ASSERT_EQ(1, op->AddNewRecordBase(image_.data(), 0, 1, 1, 0));
  ASSERT_EQ(1, op->AddNewRecordBase(image_.data(), 0, 1, 0, 0));
  ASSERT_EQ(1, op->AddNewRecord(image_.data(), 0));
  const std::string max1 =
      "insert into T (rec_num,stock,bs)  (select max(rec_num)+1,'ABC123','B' from T)";
  EXPECT_EQ(Strings({max1, "select count(rec_num) as rec_num from T ",
                     "insert into T (rec_num,stock,bs)  values (1,'ABC123','B')",
                     "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123',"
                     "'B' from T with (holdlock) ",
                     "insert into T (rec_num,stock,bs)  values (0,'ABC123','B')", max1}),
            Sent(*op));
  EXPECT_EQ(Strings({"0", "1", "2", "3"}), Rows("select rec_num from T order by 1"));
  EXPECT_EQ(4, op->m_lCurrentPos);
  EXPECT_EQ("", op->m_strTrace.str());
}

TEST_P(SingleInsertTest, NumberingBaseAndPlainModes) {
  for (int base : {5, 0, -3}) {
    db_->Exec("drop table if exists T");
    auto op = Open("T", t_);
    ASSERT_EQ(1, op->AddNewRecordBase(image_.data(), 0, 1, 1, base));
    ASSERT_EQ(1, op->AddNewRecordBase(image_.data(), 0, 1, 1, 9));  // rows: max+1 wins
    for (int mode : {0, 2, -1}) ASSERT_EQ(1, op->AddNewRecordBase(image_.data(), 5, 1, mode, 9));
    std::string first = base > 0 ? "10000006" : "1";
    std::string second = base > 0 ? "10000007" : "2";
    EXPECT_EQ(Strings({"0", "0", "0", first, second}), Rows("select rec_num from T order by 1"));
  }
}

TEST_P(SingleInsertTest, FieldValueRules) {
  // tag and ts are binary columns (type 37), which the inserts leave out; on
  // SQLite "timestamp" is SQL Server's row-version type.
  const EngineTraits& t = db_->traits();
  auto op = Open("t4", "rec_num int not null, tag " + VarbinaryDdl(t, 4) + ", qty int, ts " +
                           (t.has_varbinary ? "timestamp" : "bytea") + ", name varchar(30)");
  ASSERT_EQ(37, op->m_FieldInfo[1].nType);
  ASSERT_EQ(37, op->m_FieldInfo[3].nType);
  const std::string cases[][3] = {{"", "", "0|"},
                                  {"  12ab", "  it's", "12|  it's"},
                                  {"-7", std::string("AB\0CD", 5), "-7|AB"},
                                  {"x3", "a'); drop table t4;--", "0|a'); drop table t4;--"}};
  int n = 0;
  for (const auto& c : cases) {
    std::string rec = Image(*op, {{"rec_num", std::to_string(++n)},
                                  {"tag", "ZZZZ"},
                                  {"qty", c[0]},
                                  {"ts", "XX"},
                                  {"name", c[1]}});
    ASSERT_EQ(1, op->AddNewRecordBase(rec.data(), 0, 1, 0, 0)) << n;
    EXPECT_EQ(Strings({c[2]}),
              Rows("select qty, rtrim(name) from t4 where rec_num=" + std::to_string(n)));
  }
  EXPECT_EQ("insert into t4 (rec_num,qty,name)  values (3,-7,'AB')", Sent(*op).at(2));
  EXPECT_EQ(Strings({std::string(30, ' ')}), Rows("select name from t4 where rec_num=1"));
  // Numbered forms read the fields after the omitted ones at the same offsets.
  std::string rec = Image(*op, {{"tag", "ZZZZ"}, {"qty", "8"}, {"ts", "XX"}, {"name", "N"}});
  ASSERT_EQ(1, op->AddNewRecordBase(rec.data(), 0, 1, 1, 0));
  ASSERT_EQ(1, op->AddNewRecord(rec.data(), 0));
  EXPECT_EQ(Strings({"5|8|N", "6|8|N"}), Rows("select rec_num, qty, rtrim(name) from t4 where "
                                              "rec_num>4 order by 1"));
}

TEST_P(SingleInsertTest, RecNumBySubstringInBaseByEqualityInAddNewRecord) {
  auto op = Open("t9", "rec_num int not null, old_rec_num int, stock varchar(6)");
  std::string rec = Image(*op, {{"rec_num", "4"}, {"old_rec_num", "7"}, {"stock", "X"}});
  // Two numbering expressions make two selects: rejected, resent once, 0.
  EXPECT_EQ(0, op->AddNewRecordBase(rec.data(), 0, 1, 1, 0));
  const std::string twice =
      "insert into t9 (rec_num,old_rec_num,stock)  select isnull(max(rec_num)+1,1),select "
      "isnull(max(old_rec_num)+1,1),'X     ' from t9 with (holdlock) ";
  EXPECT_EQ(Strings({twice, twice}), Sent(*op));
  EXPECT_TRUE(Has(op->m_strTrace, "-ReOpenSuccess}"));
  db_->Exec("insert into t9 values (10, 0, 'A')");
  ASSERT_EQ(1, op->AddNewRecord(rec.data(), 0));
  EXPECT_EQ(
      "insert into t9 (rec_num,old_rec_num,stock)  (select max(rec_num)+1,7,'X     ' from t9)",
      Sent(*op).back());
  EXPECT_EQ(Strings({"10|0", "11|7"}), Rows("select rec_num, old_rec_num from t9 order by 1"));
}

TEST_P(SingleInsertTest, AddNewRecordFailingOnTableWithRowsGivesZeroWithoutReconnecting) {
  auto op = Open("t2", "stock varchar(6), rec_num int not null");  // rec_num not first
  std::string rec = Image(*op, {{"stock", "NEW"}, {"rec_num", "9"}});
  EXPECT_EQ(1, op->AddNewRecord(rec.data(), 0));  // empty table: fallback numbers it 1
  EXPECT_EQ(0, op->AddNewRecord(rec.data(), 0));
  EXPECT_EQ(0, op->AddNewRecord(nullptr, 0));
  EXPECT_EQ(0, op->AddNewRecordBase(nullptr, 0, 1, 1, 0));
  EXPECT_EQ(5u, Sent(*op).size());  // main, count, fallback; main, count
  EXPECT_EQ(Strings({"NEW   |1"}), Rows("select * from t2"));
  EXPECT_EQ(1, op->m_lCurrentPos);
  EXPECT_EQ("", op->m_strTrace.str());
}

TEST_P(SingleInsertTest, ValuesBeyondTheLimitsAreCutNotOverrun) {
  auto op = Open("T", t_);
  op->m_FieldInfo[1].nWidth = 600;  // wider than any table maps to
  std::string rec = "       1" + std::string(600, 'x') + "B";
  op->AddNewRecordBase(rec.data(), 0, 0, 0, 0);
  op->AddNewRecordBase(rec.data(), 0, 0, 1, 2147483647);  // the base must not wrap
  EXPECT_EQ(
      Strings({"insert into T (rec_num,stock,bs)  values (1,'" + std::string(511, 'x') + "','B')",
               "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,2157483648),'" +
                   std::string(511, 'x') + "','B' from T with (holdlock) "}),
      Sent(*op));
}

}  // namespace
}  // namespace kestal::test
