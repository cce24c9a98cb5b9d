// A writer that runs for days must not grow: many statement batches, large
// and small, with the resident memory of the process sampled as they go.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "sql/write/WriteFixture.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

class MemorySlowTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    if (kUnderAddressSanitizer)
      GTEST_SKIP() << "resident memory means nothing under AddressSanitizer";
    // A host does not ask for the statement log.
    Connection::EnableStatementLog(false);
    op_ = Open("T", "rec_num int not null, stock varchar(6), bs char(1)");
    // The memory of the client is under test, not the disk: SQLite need not
    // wait for each commit to reach it.
    if (GetParam() == Engine::kSqlite) op_->m_pConnection->Execute("pragma synchronous = off");
    ASSERT_EQ(1, op_->AllocOrderBuff());
  }
  void TearDown() override { Connection::EnableStatementLog(true); }

  // Sends batches of records mode-0 batches of `records` each, sampling the
  // resident memory; expects the growth after the first tenth (caches and
  // pools warmed up) to stay under limit_kb.
  void SendAndWatch(int batches, int records, long limit_kb) {
    long after_warmup = -1;
    long highest = 0;
    char image[32];
    for (int b = 0; b < batches; ++b) {
      op_->BuffInit();
      for (int r = 0; r < records; ++r) {
        std::snprintf(image, sizeof image, "%8dMEM%03dB", b, r % 1000);
        ASSERT_EQ(1, op_->AddInsertRecordToBuff(image, 0, 0));
      }
      ASSERT_EQ(1, op_->ExecBatchInsert(1, 0, "M")) << "batch " << b;
      if (b == batches / 10) after_warmup = ResidentKb();
      if (b > batches / 10 && b % (batches / 20) == 0) highest = std::max(highest, ResidentKb());
    }
    highest = std::max(highest, ResidentKb());
    ASSERT_GT(after_warmup, 0);
    EXPECT_LT(highest - after_warmup, limit_kb)
        << "resident memory grew from " << after_warmup << " kB to " << highest << " kB over "
        << batches << " batches";
  }

  std::unique_ptr<CSQLOperate> op_;
};
INSTANTIATE_TEST_SUITE_P(Engines, MemorySlowTest, ::testing::ValuesIn(kNativeEngines),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });

// Batches of about 43 KB: kept statement texts would add some 12 MB here.
TEST_P(MemorySlowTest, LargeBatchesStayFlat) {
  SendAndWatch(300, 450, 6 * 1024);
  EXPECT_TRUE(op_->m_pConnection->SentStatements().empty());
}

// Many small batches, as a writer sends them all day.
TEST_P(MemorySlowTest, ManySmallBatchesStayFlat) {
  SendAndWatch(GetParam() == Engine::kSqlite ? 100000 : 20000, 1, 4 * 1024);
}

}  // namespace
}  // namespace kestal::test
