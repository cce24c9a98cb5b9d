// The choice among names that differ only by case: a table's column lookup
// (run for every column name of every statement) and PickName must choose
// alike, whichever way the name is written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/db/tsql/Schema.h"

namespace kestal::test {
namespace {

using kestal::db::tsql::PickName;
using kestal::db::tsql::TableShape;

TEST(NamePickTest, ColumnLookupChoosesAsPickNameDoes) {
  const struct {
    std::vector<std::string> columns;
    std::string written;
    const char* chosen;  // null: no such column
  } kCases[] = {
      {{"Price", "price", "PRICE", "qty"}, "PRICE", "price"},  // the lower-case one wins
      {{"Price", "PRICE", "qty"}, "price", "PRICE"},           // else the first in byte order
      {{"Price", "PRICE", "qty"}, "QTY", "qty"},
      {{"rec_num", "stock"}, "REC_NUM", "rec_num"},
      {{"rec_num", "stock"}, "rec_nu", nullptr},  // a prefix is not the name
      {{"rec_num", "stock"}, "rec_numx", nullptr},
      {{}, "rec_num", nullptr},
  };
  for (const auto& c : kCases) {
    TableShape table;
    for (const std::string& name : c.columns) table.columns.push_back({name, false});
    const auto* column = table.Column(c.written);
    const int picked = PickName(c.columns, c.written);
    if (c.chosen == nullptr) {
      EXPECT_EQ(nullptr, column) << c.written;
      EXPECT_EQ(-1, picked) << c.written;
      continue;
    }
    ASSERT_NE(nullptr, column) << c.written;
    EXPECT_EQ(c.chosen, column->name) << c.written;
    ASSERT_GE(picked, 0) << c.written;
    EXPECT_EQ(c.chosen, c.columns[static_cast<size_t>(picked)]) << c.written;
  }
}

}  // namespace
}  // namespace kestal::test
