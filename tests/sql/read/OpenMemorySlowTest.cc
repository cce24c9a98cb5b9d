// Open of a large table holds no rows until the table cursor is read, and a
// walk of the whole table holds them packed, and never more than that on its
// way (no engine-side copy of the whole result): resident memory sampled
// around Open and around the first read of a few hundred thousand rows, and
// its peak during that read.
#include <fstream>
#include <string>

#include "sql/read/ReadFixture.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

constexpr long kRows = 300000;

// The highest resident memory of the process since the last ResetPeak, in
// kB; -1 when unreadable.
long PeakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Starts the peak again from the resident memory of now; false when the
// kernel does not allow it.
bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

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
  const bool peak_reset = ResetPeak();
  op->SetStartPos(kRows - 1);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_EQ(std::to_string(kRows), op->GetFieldValue("rec_num").str());
  op->SetStartPos(0);
  ASSERT_EQ(1, op->GetRecordset());
  EXPECT_EQ("1", op->GetFieldValue("rec_num").str());
  const long after_walk = ResidentKb();
  // Values: about 40 bytes of text a row, the index 8 + 2 * 7.
  const long per_row_bytes = (after_walk - after_open) * 1024 / kRows;
  EXPECT_LT(per_row_bytes, 130) << "the walk grew resident memory from " << after_open << " kB to "
                                << after_walk << " kB";
  RecordProperty("walk_bytes_per_row", static_cast<int>(per_row_bytes));
  // On the way: the packed rows and their index while it grows, but no
  // engine-side copy of the whole result (libpq's alone took over 200 bytes
  // a row here).
  if (!peak_reset) return;
  const long peak_per_row = (PeakResidentKb() - after_open) * 1024 / kRows;
  EXPECT_LT(peak_per_row, 160) << "the walk peaked at " << PeakResidentKb() << " kB from "
                               << after_open << " kB";
  RecordProperty("peak_bytes_per_row", static_cast<int>(peak_per_row));
}

}  // namespace
}  // namespace kestal::test
