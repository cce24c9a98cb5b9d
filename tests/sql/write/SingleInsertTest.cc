// Single-record inserts against real databases: the statements sent, the rows
// that land, and the value rules for omitted, integer, text and NUL-cut fields.
#include <string>

#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

using Strings = std::vector<std::string>;

class SingleInsertTest : public WriteTest {
 protected:
  // The three-field table of the worked example, with image "       0ABC123B".
  std::unique_ptr<CSQLOperate> OpenExampleTable() {
    auto op = CreateAndOpen("T", "rec_num int not null, stock varchar(6), bs char(1)");
    EXPECT_EQ(3, op->m_nFieldCount);
    return op;
  }
  std::string example_ = "       0ABC123B";
};
KESTAL_WRITE_ENGINES(SingleInsertTest);

TEST_P(SingleInsertTest, StatementsOfTheWorkedExample) {
  auto op = OpenExampleTable();
  std::string image = example_;
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 1, 0));
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 0, 0));
  ASSERT_EQ(1, op->AddNewRecord(image.data(), 0));
  EXPECT_EQ(Strings({
                "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,1),'ABC123','B' "
                "from T with (holdlock) ",
                "insert into T (rec_num,stock,bs)  values (0,'ABC123','B')",
                "insert into T (rec_num,stock,bs)  (select max(rec_num)+1,'ABC123','B' from T)",
            }),
            Sent(*op));
  EXPECT_EQ(Strings({"0|ABC123|B", "1|ABC123|B", "2|ABC123|B"}),
            Rows("select rec_num, stock, bs from T order by rec_num"));
  EXPECT_EQ(3, op->m_lCurrentPos);
}

TEST_P(SingleInsertTest, AddNewRecordOnEmptyTableTakesTheFallback) {
  auto op = OpenExampleTable();
  std::string image = example_;
  ASSERT_EQ(1, op->AddNewRecord(image.data(), 77));
  EXPECT_EQ(Strings({
                "insert into T (rec_num,stock,bs)  (select max(rec_num)+1,'ABC123','B' from T)",
                "select count(rec_num) as rec_num from T ",
                "insert into T (rec_num,stock,bs)  values (1,'ABC123','B')",
            }),
            Sent(*op));
  EXPECT_EQ(Strings({"1|ABC123|B"}), Rows("select rec_num, stock, bs from T"));
  EXPECT_EQ(1, op->m_lCurrentPos);
}

TEST_P(SingleInsertTest, AddNewRecordFailingOnTableWithRowsDoesNotReconnect) {
  // rec_num is not the first column, so the max+1 statement is malformed.
  auto op = CreateAndOpen("t2", "stock varchar(6), rec_num int not null");
  db_->Exec("insert into t2 values ('OLD', 5)");
  std::string image = Image(*op, {{"stock", "NEW"}});
  EXPECT_EQ(0, op->AddNewRecord(image.data(), 0));
  Strings sent = Sent(*op);
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ("select count(rec_num) as rec_num from t2 ", sent[1]);
  EXPECT_EQ(std::string::npos, op->m_strTrace.str().find("ReOpen"));
  EXPECT_EQ(Strings({"OLD|5"}), Rows("select * from t2"));
  EXPECT_EQ(0, op->m_lCurrentPos);
}

TEST_P(SingleInsertTest, AddNewRecordMalformedOnEmptyTableStillInsertsNumberOne) {
  auto op = CreateAndOpen("t3", "stock varchar(6), rec_num int not null");
  std::string image = Image(*op, {{"stock", "NEW"}, {"rec_num", "9"}});
  EXPECT_EQ(1, op->AddNewRecord(image.data(), 0));
  EXPECT_EQ(Strings({"NEW   |1"}), Rows("select * from t3"));
}

TEST_P(SingleInsertTest, NumberedFormOnEmptyTableUsesTheBase) {
  auto op = OpenExampleTable();
  std::string image = example_;
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 1, 5));
  EXPECT_EQ(
      "insert into T (rec_num,stock,bs)  select isnull(max(rec_num)+1,10000006),'ABC123','B' "
      "from T with (holdlock) ",
      Sent(*op).at(0));
  // With rows present the maximum wins, whatever the base.
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 1, 5));
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 1, -3));
  EXPECT_EQ(Strings({"10000006", "10000007", "10000008"}),
            Rows("select rec_num from T order by rec_num"));
}

TEST_P(SingleInsertTest, NumberedFormWithoutPositiveBaseStartsAtOne) {
  for (int base : {0, -3}) {
    db_->Exec("drop table if exists T");
    auto op = OpenExampleTable();
    std::string image = example_;
    ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 1, base));
    EXPECT_EQ(Strings({"1"}), Rows("select rec_num from T")) << base;
  }
}

TEST_P(SingleInsertTest, EveryModeButOneIsThePlainForm) {
  auto op = OpenExampleTable();
  std::string image = "      42ABC123B";
  for (int mode : {0, 2, -1}) ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 999, 1, mode, 7));
  EXPECT_EQ(Strings({"42", "42", "42"}), Rows("select rec_num from T"));
  for (const std::string& sql : Sent(*op)) {
    EXPECT_EQ("insert into T (rec_num,stock,bs)  values (42,'ABC123','B')", sql);
  }
}

TEST_P(SingleInsertTest, OmittedFieldsKeepTheOffsetsAfterThem) {
  auto op = CreateAndOpen(
      "t4", "rec_num int not null, tag varbinary(4), stock varchar(6), ts timestamp, bs char(1)");
  ASSERT_EQ(5, op->m_nFieldCount);
  EXPECT_EQ(37, op->m_FieldInfo[1].nType);
  EXPECT_EQ(37, op->m_FieldInfo[3].nType);
  std::string image = Image(
      *op, {{"rec_num", "3"}, {"tag", "ZZZZ"}, {"stock", "ABC123"}, {"ts", "XX"}, {"bs", "S"}});
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 0, 0));
  EXPECT_EQ("insert into t4 (rec_num,stock,bs)  values (3,'ABC123','S')", Sent(*op).at(0));
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 1, 0));
  ASSERT_EQ(1, op->AddNewRecord(image.data(), 0));
  EXPECT_EQ(Strings({"3|ABC123|S", "4|ABC123|S", "5|ABC123|S"}),
            Rows("select rec_num, stock, bs from t4 order by rec_num"));
}

TEST_P(SingleInsertTest, IntegerFieldsAreReadLikeAtol) {
  auto op = CreateAndOpen("t5", "rec_num int not null, qty int, stock varchar(6)");
  struct Case {
    const char* qty;
    const char* expected;
  };
  int next = 1;
  for (Case c : {Case{"", "0"}, Case{"  12ab", "12"}, Case{"-7", "-7"}, Case{"+3x", "3"},
                 Case{"ab12", "0"}}) {
    std::string image =
        Image(*op, {{"rec_num", std::to_string(next)}, {"qty", c.qty}, {"stock", "S"}});
    ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 0, 0));
    EXPECT_EQ(Strings({c.expected}),
              Rows("select qty from t5 where rec_num=" + std::to_string(next)))
        << c.qty;
    ++next;
  }
}

TEST_P(SingleInsertTest, TextFieldsKeepBlanksAndStopAtNul) {
  auto op = CreateAndOpen("t6", "rec_num int not null, stock varchar(6), bs char(1)");
  std::string blanks = Image(*op, {{"rec_num", "1"}});
  ASSERT_EQ(1, op->AddNewRecordBase(blanks.data(), 0, 1, 0, 0));
  std::string nul = Image(*op, {{"rec_num", "2"}, {"stock", std::string("AB\0CD", 5)}});
  ASSERT_EQ(1, op->AddNewRecordBase(nul.data(), 0, 1, 0, 0));
  EXPECT_EQ("insert into t6 (rec_num,stock,bs)  values (2,'AB',' ')", Sent(*op).at(1));
  // An integer field cut by a NUL reads only the bytes before it.
  std::string cutnum = Image(*op, {{"rec_num", std::string("  3\0"
                                                           "99",
                                                           6)}});
  ASSERT_EQ(1, op->AddNewRecordBase(cutnum.data(), 0, 1, 0, 0));
  EXPECT_EQ(Strings({"1|      | ", "2|AB| ", "3|      | "}),
            Rows("select rec_num, stock, bs from t6 order by rec_num"));
}

TEST_P(SingleInsertTest, QuotesInTextAreDoubledNotInjected) {
  auto op = CreateAndOpen("t7", "rec_num int not null, name varchar(40)");
  std::string image = Image(*op, {{"rec_num", "1"}, {"name", "a'); drop table t7;--"}});
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 0, 0));
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 1, 0));
  ASSERT_EQ(1, op->AddNewRecord(image.data(), 0));
  EXPECT_EQ(
      Strings({"1|a'); drop table t7;--", "2|a'); drop table t7;--", "3|a'); drop table t7;--"}),
      Rows("select rec_num, trim(name) from t7 order by rec_num"));
}

TEST_P(SingleInsertTest, GbkTextIsWrittenAsItsCharacters) {
  auto op = CreateAndOpen("t8", "rec_num int not null, name varchar(8)");
  // GBK for 成功, then blanks.
  std::string image = Image(*op, {{"rec_num", "1"}, {"name", "\xB3\xC9\xB9\xA6"}});
  ASSERT_EQ(1, op->AddNewRecordBase(image.data(), 0, 1, 0, 0));
  EXPECT_EQ(Strings({"\xE6\x88\x90\xE5\x8A\x9F"}), Rows("select trim(name) from t8"));
}

TEST_P(SingleInsertTest, RecNumMatchesBySubstringInBaseButByEqualityInAddNewRecord) {
  auto op = CreateAndOpen("t9", "rec_num int not null, old_rec_num int, stock varchar(6)");
  std::string image = Image(*op, {{"rec_num", "4"}, {"old_rec_num", "7"}, {"stock", "X"}});
  // Both integer fields get a numbering expression: the statement has two
  // selects and the server rejects it, before and after the reconnection.
  EXPECT_EQ(0, op->AddNewRecordBase(image.data(), 0, 1, 1, 0));
  const std::string numbered =
      "insert into t9 (rec_num,old_rec_num,stock)  select isnull(max(rec_num)+1,1),select "
      "isnull(max(old_rec_num)+1,1),'X     ' from t9 with (holdlock) ";
  EXPECT_EQ(Strings({numbered, numbered}), Sent(*op));
  EXPECT_NE(std::string::npos, op->m_strTrace.str().find("ReOpenSuccess"));
  op->m_pConnection->ClearSentStatements();
  db_->Exec("insert into t9 values (10, 0, 'A')");
  ASSERT_EQ(1, op->AddNewRecord(image.data(), 0));
  EXPECT_EQ(
      "insert into t9 (rec_num,old_rec_num,stock)  (select max(rec_num)+1,7,'X     ' from t9)",
      Sent(*op).at(0));
  EXPECT_EQ(Strings({"10|0", "11|7"}), Rows("select rec_num, old_rec_num from t9 order by 1"));
}

TEST_P(SingleInsertTest, TableWithoutRecordNumberField) {
  auto op = CreateAndOpen("t10", "qty int, stock varchar(6)");
  std::string image = Image(*op, {{"qty", "5"}, {"stock", "A"}});
  EXPECT_EQ(0, op->AddNewRecordBase(image.data(), 0, 1, 1, 0));
  // The max+1 statement is malformed too; on an empty table the fallback
  // writes every value from the image.
  EXPECT_EQ(1, op->AddNewRecord(image.data(), 0));
  EXPECT_EQ(0, op->AddNewRecord(image.data(), 0));
  EXPECT_EQ(Strings({"5|A     "}), Rows("select * from t10"));
}

TEST_P(SingleInsertTest, NullRecordIsRefused) {
  auto op = OpenExampleTable();
  EXPECT_EQ(0, op->AddNewRecordBase(nullptr, 0, 1, 1, 0));
  EXPECT_EQ(0, op->AddNewRecord(nullptr, 0));
  EXPECT_TRUE(Sent(*op).empty());
}

}  // namespace
}  // namespace kestal::test
