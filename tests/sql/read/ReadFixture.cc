#include "ReadFixture.h"

#include <ctime>

namespace kestal::test {

void ReadTest::CreateTrades(const std::string& table) {
  db_->Exec("create table " + table +
            " (rec_num int, stock varchar(10), bs char(1), cjsj varchar(8), time varchar(19), "
            "serialnum int, date char(8))");
}

std::string InsertSql(const std::string& table, const TradeRow& row) {
  const std::string key = std::to_string(row.key);
  return "insert into " + table + " (rec_num, stock, bs, cjsj, time, serialnum, date) values (" +
         key + ", '" + row.stock + "', '" + row.bs + "', '" + row.cjsj + "', '" + row.time + "', " +
         key + ", '" + row.date + "')";
}

void ReadTest::Insert(const std::string& table, const std::vector<TradeRow>& rows) {
  std::string sql = "begin;";
  for (const TradeRow& row : rows) sql += InsertSql(table, row) + ";";
  db_->Exec(sql + "commit;");
}

void ReadTest::InsertRange(const std::string& table, long first, long last) {
  std::vector<TradeRow> rows;
  for (long k = first; k <= last; ++k) rows.push_back(TradeRow{k});
  Insert(table, rows);
}

std::unique_ptr<CSQLOperate> ReadTest::OpenTable(const std::string& table) {
  auto op = std::make_unique<CSQLOperate>();
  EXPECT_EQ(1, op->Open(db_->ConnectionString().c_str(), table.c_str())) << table;
  return op;
}

std::vector<std::string> Sent(const CSQLOperate& op) {
  std::vector<std::string> out;
  for (const CString& s : op.m_pConnection->SentStatements()) out.push_back(s.str());
  return out;
}

void ClearSent(CSQLOperate& op) {
  op.m_pConnection->ClearSentStatements();
}

std::vector<std::string> DrainWindow(CSQLOperate& op, const char* column) {
  std::vector<std::string> values;
  while (op.SeekToCurrentPos() == 1) {
    values.push_back(op.GetFieldValue(column).str());
    op.MoveNextEx();
  }
  return values;
}

std::string UtcDate(int days) {
  std::time_t when = std::time(nullptr) + static_cast<std::time_t>(days) * 86400;
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", &tm);
  return text;
}

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kSqlite ? "sqlite" : "postgres";
}

}  // namespace kestal::test
