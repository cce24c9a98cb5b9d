#include "ReadFixture.h"

#include <unistd.h>

#include <ctime>
#include <stdexcept>

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

namespace {

bool ReadExactly(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = read(fd, p, size);
    if (got <= 0) return false;
    p += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteExactly(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = write(fd, p, size);
    if (put <= 0) return false;
    p += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

WriterProcess::WriterProcess(const std::string& connection, const std::string& table) {
  int requests[2];
  int replies[2];
  if (pipe(requests) != 0 || pipe(replies) != 0) throw std::runtime_error("pipe");
  pid_ = Spawn([=] {
    close(requests[1]);
    close(replies[0]);
    _ConnectionPtr c;
    c.CreateInstance();
    c->Open(connection.c_str());
    long count = 0;
    while (ReadExactly(requests[0], &count, sizeof count)) {
      std::vector<long> keys(static_cast<size_t>(count));
      if (!ReadExactly(requests[0], keys.data(), keys.size() * sizeof(long))) return 1;
      for (long key : keys) c->Execute(InsertSql(table, TradeRow{key}).c_str());
      if (!WriteExactly(replies[1], "k", 1)) return 1;
    }
    return 0;
  });
  close(requests[0]);
  close(replies[1]);
  requests_ = requests[1];
  replies_ = replies[0];
}

WriterProcess::~WriterProcess() {
  close(requests_);
  EXPECT_EQ(0, Wait(pid_)) << "writer process";
  close(replies_);
}

bool WriterProcess::Append(const std::vector<long>& keys) {
  const long count = static_cast<long>(keys.size());
  char ack = 0;
  return WriteExactly(requests_, &count, sizeof count) &&
         WriteExactly(requests_, keys.data(), keys.size() * sizeof(long)) &&
         ReadExactly(replies_, &ack, 1) && ack == 'k';
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
  return ::kestal::test::EngineLabel(info.param);
}

}  // namespace kestal::test
