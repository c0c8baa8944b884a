// The rule that tells a captured block that arrives too late to be played,
// on its own: blocks arrive at given times with given buffers behind them.
#include "audio/stale_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace lumrio::audio {
namespace {

constexpr double kBlockMs = 1000 * 1000.0 / 22050;  // 45.35 ms

class StaleRuleTest : public ::testing::Test {
 protected:
  StaleRuleTest() { rule.Restart(0, 1000); }

  // Block n (from 0) of the capture, recorded in full at its end, arrives
  // `lateMs` after that with `waiting` full buffers behind it.
  bool Arrives(int n, double lateMs, int waiting = 0) {
    const auto at = static_cast<int64_t>(std::floor((n + 1) * kBlockMs + lateMs));
    return rule.Stale(at, waiting);
  }

  StaleRule rule;
};

TEST_F(StaleRuleTest, BlocksOnTimeAndWithJitterAreNeverStale) {
  for (int n = 0; n < 2000; ++n) {
    ASSERT_FALSE(Arrives(n, 5 + 10 * ((n * 7) % 3))) << n;  // 5 to 25 ms late
  }
}

// A GUI thread held for 500 ms: the blocks recorded meanwhile come together,
// the older ones too late. Blocks after the burst are on time again.
TEST_F(StaleRuleTest, TheLateBlocksOfABurstAreStaleAndTheRestPlay) {
  for (int n = 0; n < 20; ++n) ASSERT_FALSE(Arrives(n, 5));
  std::vector<bool> stale;
  const int burst = 11;
  for (int k = 0; k < burst; ++k) {
    // All arrive at the end of the hold, with the rest of the burst behind.
    const double late = (burst - 1 - k) * kBlockMs + 5;
    stale.push_back(Arrives(20 + k, late, burst - 1 - k));
  }
  // More than 80 ms late: stale; the newest two are not.
  for (int k = 0; k < burst - 2; ++k) EXPECT_TRUE(stale[static_cast<size_t>(k)]) << k;
  EXPECT_FALSE(stale[burst - 2]);
  EXPECT_FALSE(stale[burst - 1]);
  for (int n = 20 + burst; n < 100; ++n) EXPECT_FALSE(Arrives(n, 5)) << n;
}

// A stall that outlasted the ring lost 300 ms of sound: every later block
// looks 300 ms late, though it is on time. After a tenth of a second of
// that, with no buffer waiting, the rule takes it for lost sound, and blocks
// play again.
TEST_F(StaleRuleTest, LatenessThatStaysIsTakenForLostSoundSoon) {
  for (int n = 0; n < 20; ++n) ASSERT_FALSE(Arrives(n, 5));
  int stale = 0;
  int firstPlayed = -1;
  for (int n = 20; n < 200; ++n) {
    // Block n arrives when block n + 300 ms / 45 ms would have been due.
    if (Arrives(n, 5 + 300)) {
      ++stale;
    } else if (firstPlayed < 0) {
      firstPlayed = n;
    }
  }
  ASSERT_GE(firstPlayed, 0) << "nothing played again";
  // A tenth of a second's worth of blocks is dropped (3 of 45 ms), then
  // all play.
  EXPECT_NEAR(stale, kDelayTuning.staleRunMs / kBlockMs, 1.5);
  EXPECT_EQ(stale, firstPlayed - 20);
}

// While buffers are still waiting, the engine has not caught up: however
// long that lasts, it is a backlog, and its late blocks stay stale.
TEST_F(StaleRuleTest, ABacklogIsNeverTakenForLostSound) {
  for (int n = 0; n < 20; ++n) ASSERT_FALSE(Arrives(n, 5));
  for (int n = 20; n < 100; ++n) EXPECT_TRUE(Arrives(n, 400, 3)) << n;
}

// A backlog that drains brings each block in a little earlier than the one
// before: the run of stale blocks starts afresh with each such step, and its
// blocks are dropped until they are on time again.
TEST_F(StaleRuleTest, ADrainingBacklogStaysStaleUntilItIsOnTime) {
  for (int n = 0; n < 20; ++n) ASSERT_FALSE(Arrives(n, 5));
  // 2 s of blocks from 1 s late down to 100 ms late, none waiting behind.
  const int steps = 44;
  for (int k = 0; k < steps; ++k) {
    const double late = 1000 - (900.0 * k) / (steps - 1);
    EXPECT_TRUE(Arrives(20 + k, late)) << k;
  }
  EXPECT_FALSE(Arrives(20 + steps, 5));
}

// Near the limit, jitter makes some blocks stale and others not. That must
// not go on: soon the rule takes the lateness for lost sound.
TEST_F(StaleRuleTest, BlocksStaleNowAndThenNearTheLimitStopBeingDropped) {
  for (int n = 0; n < 20; ++n) ASSERT_FALSE(Arrives(n, 5));
  int lastStale = -1;
  for (int n = 20; n < 200; ++n) {
    if (Arrives(n, 5 + 78 + ((n % 2) ? 10 : 0))) lastStale = n;  // 83 and 93 ms
  }
  ASSERT_GE(lastStale, 20);
  EXPECT_LT(lastStale, 20 + 2 * kDelayTuning.staleRunMs / kBlockMs);
}

// Short blocks come a period's worth at a time, so even on time some wait
// behind others, and the oldest of each bunch is the latest. With 76 ms
// lost, those oldest ones are stale and the newest, with none behind them,
// are not: the lateness that stays is taken for lost sound all the same,
// not dropped a block here and there for ever.
TEST(StaleRule, ShortBlocksInBunchesAreTakenForLostSoundToo) {
  StaleRule rule;
  rule.Restart(0, 64);  // 2.9 ms; three or four to a 10 ms period
  const double blockMs = 64 * 1000.0 / 22050;
  int lastStale = -1;
  for (int n = 0; n < 2'000; ++n) {
    // Handed over at the end of each 10 ms period; 76 ms lost at n = 500.
    const double recorded = (n + 1) * blockMs + (n >= 500 ? 76 : 0);
    const double period = std::ceil(recorded / 10) * 10;
    const int waiting = static_cast<int>((period - recorded) / blockMs);
    if (rule.Stale(static_cast<int64_t>(period), waiting)) lastStale = n;
  }
  ASSERT_GE(lastStale, 500);
  EXPECT_LT((lastStale - 500) * blockMs, 2 * kDelayTuning.staleRunMs);
}

// Long blocks jitter more: up to half a block of lateness is tolerated.
TEST(StaleRule, LongBlocksTolerateHalfABlock) {
  StaleRule rule;
  rule.Restart(0, 8800);  // 399 ms
  const double blockMs = 8800 * 1000.0 / 22050;
  EXPECT_FALSE(rule.Stale(static_cast<int64_t>(blockMs), 0));
  EXPECT_FALSE(rule.Stale(static_cast<int64_t>(2 * blockMs + 190), 0));
  EXPECT_TRUE(rule.Stale(static_cast<int64_t>(3 * blockMs + 210), 1));
}

}  // namespace
}  // namespace lumrio::audio
