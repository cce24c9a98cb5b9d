// Identity values and caller-composed statements, with their GBK answers.
#include <string>

#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

using Strings = std::vector<std::string>;

// GBK texts of the answers.
const std::string kResetDone = "\xD6\xD8\xD6\xC3\xB3\xC9\xB9\xA6";    // 重置成功
const std::string kResetFailed = "\xD6\xD8\xD6\xC3\xCA\xA7\xB0\xDC";  // 重置失败
const std::string kResetError =  // 重置序号时发生异常-
    "\xD6\xD8\xD6\xC3\xD0\xF2\xBA\xC5\xCA\xB1\xB7\xA2\xC9\xFA\xD2\xEC\xB3\xA3-";
const std::string kSucceeded = "\xB3\xC9\xB9\xA6";  // 成功

class IdentityTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    db_->Exec(std::string("create table ident_t (") + db_->traits().identity_ddl +
              ", name varchar(10))");
    op_ = CreateAndOpen("plain_t", "rec_num int, name varchar(10)");
  }
  std::unique_ptr<CSQLOperate> op_;
};
KESTAL_WRITE_ENGINES(IdentityTest);

TEST_P(IdentityTest, ReseedThenReadBack) {
  db_->Exec("insert into ident_t (name) values ('a')");
  EXPECT_EQ("1", op_->GetCurrentIdent("ident_t").str());
  EXPECT_EQ(kResetDone, op_->SetCurrentIdent("ident_t", 100).str());
  EXPECT_EQ("100", op_->GetCurrentIdent("ident_t").str());
  EXPECT_EQ(Strings({"select IDENT_CURRENT('ident_t') as IdentCurrent ",
                     "DBCC CHECKIDENT ('ident_t', RESEED, 100) ",
                     "select IDENT_CURRENT('ident_t') as IdentCurrent ",
                     "select IDENT_CURRENT('ident_t') as IdentCurrent "}),
            Sent(*op_));
  // The next identity follows the seed.
  db_->Exec("insert into ident_t (name) values ('b')");
  EXPECT_EQ(Strings({"101"}), Rows("select id from ident_t where name='b'"));
}

TEST_P(IdentityTest, UnknownTableReadsAsZero) {
  EXPECT_EQ("0", op_->GetCurrentIdent("no_such_table").str());
}

TEST_P(IdentityTest, LostConnectionReadsAsMinusOneAndIsNotReopened) {
  op_->m_pConnection->Close();
  EXPECT_EQ("-1", op_->GetCurrentIdent("ident_t").str());
  std::string reset = op_->SetCurrentIdent("ident_t", 5).str();
  EXPECT_EQ(0u, reset.find(kResetError)) << reset;
  std::string added = op_->AddCJHBRecord("insert into plain_t values (1, 'x')").str();
  ASSERT_FALSE(added.empty());
  EXPECT_EQ('-', added[0]);
  EXPECT_EQ("", op_->m_strTrace.str());
  EXPECT_EQ(adStateClosed, op_->m_pConnection->GetState());
}

TEST_P(IdentityTest, ReseedOfTableWithoutIdentityGivesTheExceptionText) {
  std::string reset = op_->SetCurrentIdent("plain_t", 100).str();
  ASSERT_EQ(0u, reset.find(kResetError)) << reset;
  EXPECT_GT(reset.size(), kResetError.size()) << "no description";
}

TEST_P(IdentityTest, ReseedReadBackDifferentGivesFailed) {
  // A table the catalog does not know: the read-back is NULL, so "0".
  std::string reset = op_->SetCurrentIdent("no_such_table", 0).str();
  if (reset.find(kResetError) != 0) {
    EXPECT_EQ(kResetDone, reset);  // 0 read back equals the seed 0
  }
  reset = op_->SetCurrentIdent("no_such_table", 7).str();
  EXPECT_TRUE(reset == kResetFailed || reset.find(kResetError) == 0) << reset;
}

TEST_P(IdentityTest, CallerStatementsRunUnchanged) {
  const std::string insert = "insert into plain_t (rec_num, name) values (3, 'abc')";
  EXPECT_EQ(kSucceeded, op_->AddCJHBRecord(insert.c_str()).str());
  EXPECT_EQ(kSucceeded, op_->AddCJHBRecord("select * from plain_t").str());
  std::string failed = op_->AddCJHBRecord("insert into no_such_table values (1)").str();
  ASSERT_GT(failed.size(), 1u) << "no description";
  EXPECT_EQ('-', failed[0]);
  EXPECT_EQ(Strings({insert, "select * from plain_t", "insert into no_such_table values (1)"}),
            Sent(*op_));
  EXPECT_EQ(Strings({"3|abc"}), Rows("select * from plain_t"));
  EXPECT_EQ("", op_->m_strTrace.str());
}

}  // namespace
}  // namespace kestal::test
