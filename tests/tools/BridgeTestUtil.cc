#include "tools/BridgeTestUtil.h"

#include <gtest/gtest.h>
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

}  // namespace kestal::test
