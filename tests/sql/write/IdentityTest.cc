// Identity values and caller-composed statements, with their GBK answers.
#include "sql/write/WriteFixture.h"

namespace kestal::test {
namespace {

const std::string kResetDone = "\xD6\xD8\xD6\xC3\xB3\xC9\xB9\xA6";  // 重置成功
const std::string kResetError =                                     // 重置序号时发生异常-
    "\xD6\xD8\xD6\xC3\xD0\xF2\xBA\xC5\xCA\xB1\xB7\xA2\xC9\xFA\xD2\xEC\xB3\xA3-";
const std::string kSucceeded = "\xB3\xC9\xB9\xA6";  // 成功

class IdentityTest : public WriteTest {};
KESTAL_WRITE_ENGINES(IdentityTest);

TEST_P(IdentityTest, IdentitiesAndCallerStatements) {
  db_->Exec(std::string("create table ident_t (") + db_->traits().identity_ddl +
            ", name varchar(10))");
  auto op = Open("plain_t", "rec_num int, name varchar(10)");
  db_->Exec("insert into ident_t (name) values ('a')");
  EXPECT_EQ("1", op->GetCurrentIdent("ident_t").str());
  EXPECT_EQ(kResetDone, op->SetCurrentIdent("ident_t", 100).str());
  EXPECT_EQ("100", op->GetCurrentIdent("ident_t").str());
  EXPECT_EQ("0", op->GetCurrentIdent("no_such_table").str());
  const std::string reset = op->SetCurrentIdent("plain_t", 100).str();  // no identity
  EXPECT_EQ(0u, reset.find(kResetError)) << reset;
  EXPECT_GT(reset.size(), kResetError.size()) << "no description";

  const std::string insert = "insert into plain_t (rec_num, name) values (3, 'abc')";
  EXPECT_EQ(kSucceeded, op->AddCJHBRecord(insert.c_str()).str());
  EXPECT_EQ(kSucceeded, op->AddCJHBRecord("select * from plain_t").str());
  const std::string failed = op->AddCJHBRecord("insert into no_such_table values (1)").str();
  EXPECT_TRUE(failed.size() > 1 && failed[0] == '-') << failed;
  const Strings sent = Sent(*op);
  EXPECT_EQ(Strings({"DBCC CHECKIDENT ('ident_t', RESEED, 100) ",
                     "select IDENT_CURRENT('ident_t') as IdentCurrent "}),
            Strings(sent.begin() + 1, sent.begin() + 3));
  EXPECT_EQ(insert, sent.at(6));
  EXPECT_EQ(Strings({"3|abc"}), Rows("select * from plain_t"));
  db_->Exec("insert into ident_t (name) values ('b')");
  EXPECT_EQ(Strings({"101"}), Rows("select id from ident_t where name='b'"));

  // With the connection lost nothing reconnects: "-1" and error texts.
  op->m_pConnection->Close();
  EXPECT_EQ("-1", op->GetCurrentIdent("ident_t").str());
  EXPECT_EQ(0u, op->SetCurrentIdent("ident_t", 5).str().find(kResetError));
  EXPECT_EQ('-', op->AddCJHBRecord(insert.c_str()).str().at(0));
  EXPECT_EQ("", op->m_strTrace.str());
  EXPECT_EQ(adStateClosed, op->m_pConnection->GetState());
}

}  // namespace
}  // namespace kestal::test
