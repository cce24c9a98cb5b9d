// A follower that polls all day must not grow: many window fetches, most of
// them finding nothing new, with the resident memory sampled as they go.
#include <fstream>
#include <string>

#include "sql/read/ReadFixture.h"
#include "support/TestSupport.h"

namespace kestal::test {
namespace {

using FollowMemorySlowTest = MemoryReadTest;
INSTANTIATE_TEST_SUITE_P(Engines, FollowMemorySlowTest, ::testing::ValuesIn(kNativeEngines),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });

TEST_P(FollowMemorySlowTest, PollingStaysFlat) {
  CreateTrades("CJK");
  InsertRange("CJK", 1, 100);
  auto op = OpenTable("CJK");
  const int polls = GetParam() == Engine::kSqlite ? 100000 : 20000;
  long last = 0;
  long after_warmup = -1;
  long highest = 0;
  for (int i = 0; i < polls; ++i) {
    const int got = op->GetRecordsetForBack("", std::to_string(last).c_str(), 50, "CJK");
    if (got > 0) {
      for (const std::string& key : DrainWindow(*op, "rec_num")) last = std::stol(key);
    }
    if (i == polls / 10) after_warmup = ResidentKb();
    if (i > polls / 10 && i % (polls / 20) == 0) highest = std::max(highest, ResidentKb());
  }
  EXPECT_EQ(100, last);
  ASSERT_GT(after_warmup, 0);
  EXPECT_LT(highest - after_warmup, 4 * 1024)
      << "resident memory grew from " << after_warmup << " kB to " << highest << " kB over "
      << polls << " polls";
}

}  // namespace
}  // namespace kestal::test
