// Open of a large table holds no rows until the table cursor is read, and a
// walk of the whole table holds them packed: resident memory sampled around
// Open and around the first read of a few hundred thousand rows.
#include <string>

#include "sql/read/ReadFixture.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr long kRows = 300000;

class OpenMemorySlowTest : public MemoryReadTest {
 protected:
  // kRows trade rows keyed 1..kRows, written by the engine itself.
  void FillLarge() {
    CreateTrades("cjk");
    const std::string values = "k, '600000', 'B', '93000', '09:30:00', k, '20260101'";
    const std::string head = "insert into cjk (rec_num, stock, bs, cjsj, time, serialnum, date) ";
    if (Backend(GetParam()) == Engine::kPostgres) {
      db_->Exec(head + "select " + values + " from generate_series(1, " + std::to_string(kRows) +
                ") k");
    } else {
      db_->Exec(head + "with recursive n(k) as (select 1 union all select k + 1 from n where k < " +
                std::to_string(kRows) + ") select " + values + " from n");
    }
  }
};
INSTANTIATE_TEST_SUITE_P(Engines, OpenMemorySlowTest, ::testing::ValuesIn(kNativeEngines),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });

TEST_P(OpenMemorySlowTest, OpenHoldsNoRowsAndAWalkHoldsThemPacked) {
  FillLarge();
  {
    // Warm-up: the engine's code, caches and first connection are not what
    // is measured.
    auto warm = OpenTable("cjk");
  }
  const long before_open = ResidentKb();
  ASSERT_GT(before_open, 0);
  auto op = OpenTable("cjk");
  ASSERT_EQ(kRows, op->m_lTotalRecord);
  const long after_open = ResidentKb();
  // Every row held, as the result used to be, costs over 300 bytes a row
  // (about 90 MB here).
  EXPECT_LT(after_open - before_open, 8 * 1024)
      << "Open grew resident memory from " << before_open << " kB to " << after_open << " kB";

  // The walk: the first read runs the whole-table statement.
  op->SetStartPos(kRows - 1);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_EQ(std::to_string(kRows), op->GetFieldValue("rec_num").str());
  op->SetStartPos(0);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_EQ("1", op->GetFieldValue("rec_num").str());
  const long after_walk = ResidentKb();
  // Values: about 40 bytes of text a row, the index 8 + 4 * 7. The engine's
  // own copy of the result (libpq's) is gone by now, but the heap may keep
  // some of it.
  const long per_row_bytes = (after_walk - after_open) * 1024 / kRows;
  const long bound = Backend(GetParam()) == Engine::kPostgres ? 200 : 130;
  EXPECT_LT(per_row_bytes, bound) << "the walk grew resident memory from " << after_open
                                  << " kB to " << after_walk << " kB";
  RecordProperty("walk_bytes_per_row", static_cast<int>(per_row_bytes));
}

}  // namespace
}  // namespace kestal::test
