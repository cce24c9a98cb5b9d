// CSQLOperate operations whose statements lean on engine-specific meaning,
// run against PostgreSQL: opening by any spelling of the name, the time and
// number rescans, bulk loading through the order buffer, identities and
// caller statements.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "PgFixture.h"
#include "PgServer.h"
#include "support/TestSupport.h"

namespace kestal::test::pg {
namespace {

// GBK texts of the identity and caller-statement answers.
const std::string kResetOk = "\xD6\xD8\xD6\xC3\xB3\xC9\xB9\xA6";  // 重置成功
const std::string kResetError =
    "\xD6\xD8\xD6\xC3\xD0\xF2\xBA\xC5\xCA\xB1\xB7\xA2\xC9\xFA\xD2\xEC\xB3\xA3"
    "-";                                       // 重置序号时发生异常-
const std::string kDone = "\xB3\xC9\xB9\xA6";  // 成功

class PgObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { db_ = TestDatabase::Create(Engine::kPostgres); }
  std::unique_ptr<TestDatabase> db_;
};

TEST_F(PgObjectTest, OpensByAnySpellingOfTheNameWithSqlServerFieldWidths) {
  db_->Exec(
      "create table cjk (rec_num int, stock char(6), bs char(1), ver bytea, memo varchar(12))");
  db_->Exec("insert into cjk values (1, '600000', 'B', '\\x01', 'x'), (2, '600001', 'S', '', 'y')");
  for (const char* name : {"cjk", "CJK", "mydb..Cjk", "c:\\data\\CJK"}) {
    auto op = OpenObject(db_->ConnectionString(), name);
    ASSERT_EQ(5, op->m_nFieldCount) << name;
    EXPECT_EQ(2, op->m_lTotalRecord) << name;
    EXPECT_EQ("rec_num", op->m_FieldInfo[0].strName.str());
    EXPECT_EQ(8, op->m_FieldInfo[0].nWidth);
    EXPECT_EQ(56, op->m_FieldInfo[0].nType);
    EXPECT_EQ(6, op->m_FieldInfo[1].nWidth);
    EXPECT_EQ(47, op->m_FieldInfo[1].nType);
    EXPECT_EQ(37, op->m_FieldInfo[3].nType);
    EXPECT_EQ(12, op->m_FieldInfo[4].nWidth);
  }
  auto op = OpenObject(db_->ConnectionString(), "cjk");
  op->m_lReadNum = 0;
  ASSERT_EQ(2, op->ReadToBufferFromDB(100));
  EXPECT_EQ("600001", op->GetFieldValue(1, CString("STOCK")).str());
  CSQLOperate missing;
  EXPECT_EQ(0, missing.Open(db_->ConnectionString().c_str(), "nosuch"));
}

TEST_F(PgObjectTest, RescansByTimeOfDayOnTextAndByNumberText) {
  db_->Exec(
      "create table wtk (serialnum int, rec_num int, stock char(6), bs char(1), "
      "time varchar(19), cjsj varchar(8))");
  db_->Exec(
      "insert into wtk values (1, 1, '600000', 'B', '09:30:15', '093015'), "
      "(2, 2, '600001', 'S', '2026-12-07 10:15:00', '101500'), "
      "(3, 3, '600002', 'B', '2026-12-07 14:59:59', '145959')");
  auto op = OpenObject(db_->ConnectionString(), "wtk");
  EXPECT_EQ(2, op->GetRecordsetForBackRescan(0, "", "09:00:00", "11:00:00"));
  EXPECT_EQ(1, op->GetRecordsetForBackRescan(0, "bs={\"S\"}", "09:00:00", "15:00:00"));
  EXPECT_EQ("600001", op->GetFieldValue(CString("stock")).str());
  EXPECT_EQ(2, op->GetRecordsetForBackRescan(1, "", "93015", "101500"));
  // A number text that is no number fails as on SQL Server, and the object
  // reconnects (answer 0) instead of comparing something else.
  db_->Exec("insert into wtk values (4, 4, '600003', 'B', '15:00:00', '15h')");
  EXPECT_EQ(0, op->GetRecordsetForBackRescan(1, "", "0", "999999"));
  EXPECT_EQ(0, op->m_lCnt);
}

TEST_F(PgObjectTest, BulkBatchIsStreamedFromTheClientsOwnFile) {
  db_->Exec("create table orders (id serial, rec_num int, stock varchar(10), bs char(1))");
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.File("log").c_str(), 0755));
  char old[4096];
  ASSERT_NE(nullptr, getcwd(old, sizeof old));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  CSQLOperate op;
  ASSERT_EQ(0, chdir(old));
  ASSERT_EQ(1, op.Open(db_->ConnectionString().c_str(), "orders"));
  ASSERT_EQ(1, op.AllocOrderBuff());
  // id, rec_num, stock (GBK "股票,A" holds a backslash, not a comma), bs.
  const std::string texts[] = {"AB\\C", "\xB9\xC9\xC6\xB1", "x y"};
  for (int i = 0; i < 3; ++i) {
    std::string image = std::string(8, ' ') + "       " + std::to_string(i + 1) +
                        (texts[i] + "          ").substr(0, 10) + "S";
    ASSERT_EQ(1, op.AddInsertRecordToBuff(&image[0], 2, 0));
  }
  ASSERT_EQ(1, op.ExecBatchInsert(1, 2, "A"));
  EXPECT_EQ("1|AB\\C|S;2|\u80a1\u7968|S;3|x y|S",
            db_->Scalar("select string_agg(rec_num || '|' || rtrim(stock) || '|' || bs, ';' "
                        "order by rec_num) from orders"));
  // A load the server refuses drops the batch and reconnects: 0, nothing loaded.
  db_->Exec("alter table orders add constraint small check (rec_num < 5)");
  std::string big = std::string(8, ' ') + "       9" + std::string(10, 'z') + "B";
  ASSERT_EQ(1, op.AddInsertRecordToBuff(&big[0], 2, 0));
  op.m_strTrace.Empty();
  EXPECT_EQ(0, op.ExecBatchInsert(1, 2, "B"));
  EXPECT_EQ(0, op.m_lOrderBuffLen);
  EXPECT_NE(-1, op.m_strTrace.Find("ReOpenSuccess"));
  EXPECT_EQ("3", db_->Scalar("select count(*) from orders"));
  op.FreeOrderBuff();
}

TEST_F(PgObjectTest, IdentityReseedAndCallerStatements) {
  db_->Exec("create table idt (id int generated by default as identity, v int)");
  db_->Exec("create table plain (v int)");
  CSQLOperate op;
  ASSERT_EQ(1, op.Open(db_->ConnectionString().c_str(), "idt"));
  EXPECT_EQ("1", op.GetCurrentIdent("idt").str());  // never used: the seed
  EXPECT_EQ("0", op.GetCurrentIdent("nosuch").str());
  EXPECT_EQ(kResetOk, op.SetCurrentIdent("idt", 100).str());
  EXPECT_EQ("100", op.GetCurrentIdent("IDT").str());
  EXPECT_EQ(kResetError + "'plain' does not contain an identity column.",
            op.SetCurrentIdent("plain", 5).str());
  EXPECT_EQ(kDone, op.AddCJHBRecord("insert into idt (v) values (7)").str());
  EXPECT_EQ("101", db_->Scalar("select id from idt"));
  EXPECT_EQ(kDone, op.AddCJHBRecord("select * from idt").str());
  EXPECT_EQ("-relation \"nosuch\" does not exist",
            op.AddCJHBRecord("insert into nosuch values (1)").str());
}

}  // namespace
}  // namespace kestal::test::pg
