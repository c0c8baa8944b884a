// The delay rule as the engine sees it: what it says about each block when
// the playback device's backlog moves.
#include "audio/latency.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/splice.h"

namespace lumrio::audio {
namespace {

// Blocks of 64 samples arrive on time, with nothing waiting; the device
// plays at its pace and shows `queued` in hand at each, less what the rule
// has taken out so far.
class LatencyTest : public ::testing::Test {
 protected:
  LatencyTest() { rule.Restart(0, 64); }

  BlockPlan Arrive(int64_t queued) {
    ++n;
    ms = static_cast<int64_t>(static_cast<double>(n) * 64 * 1000 / 22050);
    const BlockPlan plan = rule.Plan(ms, 0, Playback{.queued = queued - removed, .played = 64 * n});
    if (plan.play) rule.Written();
    removed += plan.cut - plan.added;
    return plan;
  }
  // Blocks until `untilMs`, all with `queued` in hand; answers the plans.
  std::vector<BlockPlan> RunUntil(int64_t untilMs, int64_t queued) {
    std::vector<BlockPlan> plans;
    while (ms < untilMs) plans.push_back(Arrive(queued));
    return plans;
  }

  Latency rule;
  int64_t n = 0;
  int64_t ms = 0;
  int64_t removed = 0;
};

bool Whole(const BlockPlan& p) {
  return p.play && !p.resetPlayback && p.cut == 0 && p.added == 0;
}

TEST_F(LatencyTest, QuietRunningPlaysEveryBlockWhole) {
  for (const BlockPlan& p : RunUntil(60'000, 600)) ASSERT_TRUE(Whole(p));
  EXPECT_TRUE(rule.Backlog().Learned());
}

// Two seconds more in hand than usual lies in what the device already
// holds: it is dropped, once, and the block is played whole after it.
TEST_F(LatencyTest, AFaultsBacklogLongerThanABlockResetsThePlayback) {
  RunUntil(5'000, 600);
  const auto plans = RunUntil(6'000, 600 + 44'100);
  const auto resets =
      std::count_if(plans.begin(), plans.end(), [](const BlockPlan& p) { return p.resetPlayback; });
  EXPECT_EQ(resets, 1);
  for (const BlockPlan& p : plans) {
    EXPECT_TRUE(p.play);
    EXPECT_EQ(p.cut, 0);
  }
}

// 9 ms more in hand than usual, lasting: a drift correction. Blocks of 64
// samples can each lose only what they can crossfade, so the 9 ms are
// taken out of the blocks that follow, one after another.
TEST_F(LatencyTest, ADriftCorrectionIsSpreadOverShortBlocks) {
  RunUntil(5'000, 600);
  const auto plans = RunUntil(7'000, 600 + 198);
  int64_t cut = 0;
  std::vector<size_t> cutAt;
  for (size_t k = 0; k < plans.size(); ++k) {
    const BlockPlan& p = plans[k];
    ASSERT_TRUE(p.play);
    ASSERT_FALSE(p.resetPlayback);
    ASSERT_LE(p.cut, MaxSpliceLength(64));
    cut += p.cut;
    if (p.cut > 0) cutAt.push_back(k);
  }
  // What is taken out brings the backlog back within the drift tolerance.
  EXPECT_GE(cut, 198 - 7 * 22050 / 1000);
  EXPECT_LE(cut, 198);
  ASSERT_EQ(cutAt.size(),
            static_cast<size_t>((cut + MaxSpliceLength(64) - 1) / MaxSpliceLength(64)));
  EXPECT_EQ(cutAt.back() - cutAt.front(), cutAt.size() - 1) << "blocks one after another";
}

// A device that shows no playback position leaves only the clock's
// measures: blocks on time play whole.
TEST_F(LatencyTest, WithoutAPositionOnlyTheClockCounts) {
  for (int64_t k = 1; k < 3'000; ++k) {
    const BlockPlan p = rule.Plan(static_cast<int64_t>(static_cast<double>(k) * 64 * 1000 / 22050),
                                  0, std::nullopt);
    ASSERT_TRUE(Whole(p)) << k;
    rule.Written();
  }
}

}  // namespace
}  // namespace lumrio::audio
