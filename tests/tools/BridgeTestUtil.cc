#include "tools/BridgeTestUtil.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include "tools/ToolTestUtil.h"

namespace kestal::test {

OrderTables::OrderTables(Engine engine, const std::string& table_sql)
    : db(TestDatabase::Create(engine)), dbf(dir.File("orders.dbf")), conn(db->ConnectionString()) {
  CreateTable(dbf);
  db->Exec(table_sql);
}

std::vector<std::vector<std::string>> OrderRows(TestDatabase& db) {
  return db.Query("select rec_num, stock, bs, qty, rtrim(note) from orders order by rec_num");
}

long OrderCount(TestDatabase& db) {
  try {
    return std::stol(db.Scalar("select count(*) from orders"));
  } catch (const std::exception&) {
    return -1;
  }
}

bool WaitForOrderRows(TestDatabase& db, long n, int timeout_ms) {
  const long long end = NowMs() + timeout_ms;
  while (OrderCount(db) < n) {
    if (NowMs() > end) return false;
    usleep(20000);
  }
  return true;
}

void ExpectOrdersExactlyOnce(TestDatabase& db, long n) {
  const auto rows = OrderRows(db);
  ASSERT_EQ(static_cast<long>(rows.size()), n);
  for (long i = 1; i <= n; ++i) {
    const auto& row = rows[static_cast<size_t>(i - 1)];
    ASSERT_EQ(row[0], std::to_string(i)) << "row " << i;
    EXPECT_EQ(row[1], "60" + std::to_string(1000 + i % 9000)) << "row " << i;
    EXPECT_EQ(row[2], i % 2 ? "B" : "S") << "row " << i;
    EXPECT_EQ(row[3], std::to_string(100 * i)) << "row " << i;
    EXPECT_EQ(row[4], "order " + std::to_string(i)) << "row " << i;
  }
}

pid_t HoldWriteLock(const std::string& path, int hold_ms) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = Spawn([&] {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 1;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return 2;
    if (write(ready[1], "x", 1) != 1) return 3;
    usleep(static_cast<useconds_t>(hold_ms) * 1000);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
  });
  char byte;
  const bool held = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  close(ready[1]);
  return held ? pid : -1;
}

}  // namespace kestal::test
