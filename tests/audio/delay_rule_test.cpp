// The delay rule on readings made up here: what it says about each block,
// and why, when blocks come late or the playback device's backlog moves.
#include "audio/delay_rule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/splice.h"

namespace lumrio::audio {
namespace {

// Blocks of 64 samples arrive on time, with nothing waiting; the device
// plays at its pace and shows `queued` in hand at each, less what the rule
// has taken out so far.
class DelayRuleTest : public ::testing::Test {
 protected:
  DelayRuleTest() { rule.Restart(0, 64); }

  BlockPlan Arrive(int64_t queued) {
    ++n;
    ms = static_cast<int64_t>(static_cast<double>(n) * 64 * 1000 / 22050);
    const int64_t level = queued - removed;
    const BlockPlan plan = rule.Plan(
        {.atMs = ms,
         .playbackBegun = begun,
         .playback = PlaybackReading{.level = level, .dry = level <= 0, .played = 64 * n}});
    begun = begun || plan.play;
    removed += plan.cut - plan.added;
    return plan;
  }
  // Blocks until `untilMs`, all with `queued` in hand; answers the plans.
  std::vector<BlockPlan> RunUntil(int64_t untilMs, int64_t queued) {
    std::vector<BlockPlan> plans;
    while (ms < untilMs) plans.push_back(Arrive(queued));
    return plans;
  }

  DelayRule rule;
  bool begun = false;
  int64_t n = 0;
  int64_t ms = 0;
  int64_t removed = 0;
};

bool Whole(const BlockPlan& p) {
  return p.play && !p.resetPlayback && p.cut == 0 && p.added == 0;
}

TEST_F(DelayRuleTest, QuietRunningPlaysEveryBlockWhole) {
  for (const BlockPlan& p : RunUntil(60'000, 600)) ASSERT_TRUE(Whole(p));
  EXPECT_TRUE(rule.Backlog().Learned());
}

// Two seconds more in hand than usual lies in what the device already
// holds: it is dropped, once, and the block is played whole after it.
TEST_F(DelayRuleTest, AFaultsBacklogLongerThanABlockResetsThePlayback) {
  RunUntil(5'000, 600);
  const auto plans = RunUntil(6'000, 600 + 44'100);
  const auto resets =
      std::count_if(plans.begin(), plans.end(), [](const BlockPlan& p) { return p.resetPlayback; });
  EXPECT_EQ(resets, 1);
  for (const BlockPlan& p : plans) {
    EXPECT_TRUE(p.play);
    EXPECT_EQ(p.cut, 0);
    if (p.resetPlayback) {
      EXPECT_EQ(p.reason, PlanReason::kFault);
    }
  }
}

// 9 ms more in hand than usual, lasting: a drift correction. Blocks of 64
// samples can each lose only what they can crossfade, so the 9 ms are
// taken out of the blocks that follow, one after another.
TEST_F(DelayRuleTest, ADriftCorrectionIsSpreadOverShortBlocks) {
  RunUntil(5'000, 600);
  const auto plans = RunUntil(7'000, 600 + 198);
  int64_t cut = 0;
  std::vector<size_t> cutAt;
  for (size_t k = 0; k < plans.size(); ++k) {
    const BlockPlan& p = plans[k];
    ASSERT_TRUE(p.play);
    ASSERT_FALSE(p.resetPlayback);
    ASSERT_LE(p.cut, MaxSpliceLength(64));
    if (p.cut > 0) {
      ASSERT_EQ(p.reason, PlanReason::kDrift);
    }
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
TEST_F(DelayRuleTest, WithoutAPositionOnlyTheClockCounts) {
  for (int64_t k = 1; k < 3'000; ++k) {
    const BlockPlan p =
        rule.Plan({.atMs = static_cast<int64_t>(static_cast<double>(k) * 64 * 1000 / 22050),
                   .playbackBegun = k > 1,
                   .playback = std::nullopt});
    ASSERT_TRUE(Whole(p)) << k;
    ASSERT_EQ(p.reason, PlanReason::kOnTime);
  }
}

// Blocks of 1000 samples (45 ms). The first three arrive together, at the
// end of the third: only the newest is played, the others would queue
// behind it. Later, the machine stalls for half a second: the blocks
// recorded meanwhile arrive in a burst, too late, and are dropped; the
// first one on time again is played whole.
TEST(DelayRule, BlocksOlderThanTheStartOrLateOnArrivalAreDropped) {
  DelayRule rule;
  rule.Restart(0, 1000);
  const double blockMs = 1000 * 1000.0 / 22050;
  auto arrive = [&](int64_t atMs, int waiting, bool begun) {
    return rule.Plan(
        {.atMs = atMs, .waiting = waiting, .playbackBegun = begun, .playback = std::nullopt});
  };
  const auto at = [&](int k) { return static_cast<int64_t>(k * blockMs); };
  EXPECT_EQ(arrive(at(3), 2, false).reason, PlanReason::kAtStart);
  EXPECT_EQ(arrive(at(3), 1, false).reason, PlanReason::kAtStart);
  const BlockPlan newest = arrive(at(3), 0, false);
  EXPECT_TRUE(Whole(newest));
  for (int k = 4; k < 40; ++k) ASSERT_TRUE(Whole(arrive(at(k), 0, true))) << k;
  // Blocks 40 to 50 are recorded during the stall and all arrive at its end.
  const int64_t stallEnd = at(40) + 500;
  int dropped = 0;
  for (int k = 40; k <= 50; ++k) {
    const BlockPlan p = arrive(stallEnd, 50 - k, true);
    if (!p.play) {
      EXPECT_EQ(p.reason, PlanReason::kStale);
      ++dropped;
    }
  }
  EXPECT_EQ(dropped, 10) << "all but the last block the stall held up are dropped";
  EXPECT_TRUE(Whole(arrive(at(51), 0, true))) << "the first block on time is played";
}

}  // namespace
}  // namespace lumrio::audio
