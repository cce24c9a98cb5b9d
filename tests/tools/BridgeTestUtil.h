// Shared setup of the bridge and sql command tests: a table file of orders
// and a database table of the same columns on a real engine, and checks of
// what the database table holds, made with the engine's own client.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TestDatabase.h"
#include "support/TestSupport.h"

namespace kestal::test {

// The database counterpart of kOrderFields.
inline constexpr const char* kOrderTableSql =
    "create table orders (rec_num int, stock varchar(6), bs char(1), qty int, note varchar(20))";

struct OrderTables {
  explicit OrderTables(Engine engine, const std::string& table_sql = kOrderTableSql);
  TempDir dir;
  std::unique_ptr<TestDatabase> db;
  std::string dbf;   // the table file, with the fields of kOrderFields
  std::string conn;  // ADO-style connection string of db
};

// rec_num, stock, bs, qty and note (trailing blanks removed) of every row, in
// rec_num order.
std::vector<std::vector<std::string>> OrderRows(TestDatabase& db);

// The number of rows of orders; -1 when it cannot be read.
long OrderCount(TestDatabase& db);

// Waits up to timeout_ms for orders to hold at least n rows; true when it does.
bool WaitForOrderRows(TestDatabase& db, long n, int timeout_ms);

// Expects orders to hold exactly the orders 1 to n of Orders(), each once.
void ExpectOrdersExactlyOnce(TestDatabase& db, long n);

// Holds a write transaction on the SQLite database at path for hold_ms in a
// child process; returns its pid once the lock is held, -1 when it is not.
pid_t HoldWriteLock(const std::string& path, int hold_ms);

}  // namespace kestal::test
