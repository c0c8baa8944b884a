// The rule that keeps the playback backlog at its usual level, on its own:
// a simulated device plays at its clock while blocks arrive at theirs, and
// the rule's corrections change what is written.
#include "audio/backlog_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "audio/start_pace.h"

namespace lumrio::audio {
namespace {

constexpr double kRate = 22050.0;

// A reading of a device with `queued` samples in hand after `played`, of
// blocks that waited `waited` on the capture side.
PlaybackReading Read(int64_t queued, int64_t played, int64_t waited = 0) {
  return {.level = queued + waited, .dry = queued <= 0, .played = played};
}

// Blocks of `block` samples arrive every block at the capture clock
// (`capturePpm` against the playback clock). The device plays what was
// written at its own clock, is heard 15 ms after a write to it when it had
// run dry, and reports what it has played as of the last 10 ms period, as a
// sound system does.
class Device {
 public:
  Device(int32_t block, double capturePpm) : block_(block), ppm_(capturePpm) {
    rule.Restart(block);
  }

  void RunUntil(double untilMs) {
    const double blockMs = block_ * 1000.0 / kRate / (1 + ppm_ / 1e6);
    for (; static_cast<double>(n_ + 1) * blockMs <= untilMs; ++n_) {
      double t = static_cast<double>(n_ + 1) * blockMs;
      if (lateBlocks_ > 0) t = static_cast<double>(n_ + lateBlocks_--) * blockMs;
      PlayUntil(std::floor(t / 10) * 10);
      const double queued = written_ - played_;
      const auto ms = static_cast<int64_t>(t);
      // As the engine does, the rule is asked once playback has begun.
      BacklogCorrection c;
      if (n_ > 0) {
        PlaybackReading reading = Read(static_cast<int64_t>(queued), static_cast<int64_t>(played_));
        reading.lost = pace_.LostBy(ms, reading.played);
        c = rule.Correction(ms, reading);
      }
      if (c.samples != 0) corrections.push_back({ms, c.samples, c.reason});
      levels.push_back(queued);
      PlayUntil(t);
      if (written_ <= played_) resumeAt_ = t + 15;  // dry: heard again after the latency
      written_ += block_ - static_cast<double>(c.samples);
    }
  }

  // The device plays nothing for `ms` from now: what is written meanwhile
  // waits, as after a stall of the sound system.
  void Stall(double ms) { resumeAt_ = clock_ + ms; }
  // From now on the device plays only what lies more than `ms` behind the
  // newest sample written: it keeps that much in hand.
  void KeepInHand(double ms) { reserve_ = ms * kRate / 1000; }
  // The next `blocks` blocks reach the program only when the last of them
  // is full, all at once.
  void Late(int blocks) { lateBlocks_ = blocks; }
  // The stream plays at `rate` of its speed for its first `ms`.
  void StartSlowly(double ms, double rate) {
    slowUntil_ = ms;
    slowRate_ = rate;
  }

  struct Correction {
    int64_t ms;
    int64_t samples;
    PlanReason reason;
  };
  BacklogRule rule;
  std::vector<Correction> corrections;
  std::vector<double> levels;

 private:
  void PlayUntil(double t) {
    const double from = std::max(clock_, resumeAt_);
    if (t > from) {
      // Playing at `slowRate_` until `slowUntil_`, at full speed after.
      const double slow = std::max(0.0, std::min(t, slowUntil_) - from);
      const double ms = slow * slowRate_ + (t - from - slow);
      played_ = std::max(played_, std::min(written_ - reserve_, played_ + ms * kRate / 1000));
    }
    clock_ = std::max(clock_, t);
  }

  StartPace pace_;  // as the meter reckons it
  int32_t block_;
  double ppm_;
  int64_t n_ = 0;
  int lateBlocks_ = 0;
  double written_ = 0, played_ = 0;
  double clock_ = 0, resumeAt_ = 0, reserve_ = 0;
  double slowUntil_ = 0, slowRate_ = 1;
};

TEST(BacklogRule, QuietRunningIsNeverCorrected) {
  for (const int32_t block : {64, 1000, 8800}) {
    Device d(block, 0);
    d.RunUntil(600'000);  // ten minutes
    EXPECT_TRUE(d.rule.Learned());
    EXPECT_TRUE(d.corrections.empty()) << block << ": " << d.corrections.size();
  }
}

// Ten seconds in, the device stalls for 500 ms while blocks go on being
// written: half a second more is queued for good. It is cut in one go, once
// it has lasted persistMs, and the usual level stays.
TEST(BacklogRule, AFaultsBacklogGoesInOneCut) {
  for (const int32_t block : {64, 1000, 8800}) {
    Device d(block, 0);
    d.RunUntil(10'000);
    const int64_t usual = d.rule.UsualSamples();
    d.Stall(500);
    d.RunUntil(30'000);
    ASSERT_EQ(d.corrections.size(), 1u) << block;
    EXPECT_LE(d.corrections[0].ms, 10'500 + kDelayTuning.persistMs + block * 1000 / 22050) << block;
    EXPECT_NEAR(static_cast<double>(d.corrections[0].samples), 500 * kRate / 1000, 300) << block;
    EXPECT_EQ(d.corrections[0].reason, PlanReason::kFault) << block;
    EXPECT_EQ(d.rule.UsualSamples(), usual) << block;
  }
}

// A stream that plays at half speed for its first second holds half a
// second more than it needs from then on. That is not taken for the usual
// level: it is cut, once, and the backlog is what a quiet start gives.
// (With blocks of 400 ms and more the device's pace is known only a block
// after it began, and what it lost before that stays.)
TEST(BacklogRule, ASlowStartIsCutBackToWhatTheDeviceNeeds) {
  for (const int32_t block : {64, 1000}) {
    Device quiet(block, 0);
    quiet.RunUntil(10'000);
    Device d(block, 0);
    d.StartSlowly(1000, 0.5);
    d.RunUntil(10'000);
    ASSERT_EQ(d.corrections.size(), 1u) << block;
    EXPECT_GT(d.corrections[0].samples, 400 * kRate / 1000) << block;
    EXPECT_EQ(d.corrections[0].reason, PlanReason::kFault) << block;
    const auto meanOfLast = [](const std::vector<double>& v) {
      double sum = 0;
      for (size_t k = v.size() - v.size() / 4; k < v.size(); ++k) sum += v[k];
      return sum / static_cast<double>(v.size() / 4);
    };
    EXPECT_NEAR(meanOfLast(d.levels), meanOfLast(quiet.levels), 10 * kRate / 1000) << block;
  }
}

// A second stall soon after the first is a fault again, not a device that
// keeps more in hand: it is cut too, and the usual level stays.
TEST(BacklogRule, ASecondStallSoonAfterIsCutToo) {
  Device d(1000, 0);
  d.RunUntil(10'000);
  const int64_t usual = d.rule.UsualSamples();
  d.Stall(500);
  d.RunUntil(11'500);
  ASSERT_EQ(d.corrections.size(), 1u);
  d.Stall(500);
  d.RunUntil(20'000);
  ASSERT_EQ(d.corrections.size(), 2u);
  EXPECT_NEAR(static_cast<double>(d.corrections[1].samples), 500 * kRate / 1000, 300);
  EXPECT_EQ(d.rule.UsualSamples(), usual);
}

// Blocks that reach the program late, in pairs, while the device still has
// enough to play on: the backlog dips and comes back, and nothing is
// corrected.
TEST(BacklogRule, BlocksThatComeLateButInTimeAreLeftAlone) {
  Device d(200, 0);
  d.RunUntil(5'000);
  for (int k = 0; k < 10; ++k) {
    d.Late(2);  // the first of two blocks 9 ms late
    d.RunUntil(5'000 + 2'000 * (k + 1));
  }
  EXPECT_TRUE(d.corrections.empty());
}

// The sound server runs dry for a period now and then (an underrun under
// Wine) and plays on that much later: each step is taken back whole, not to
// within the drift tolerance, so that steps never pile up.
TEST(BacklogRule, StepsOfAPeriodAreTakenBackWholeAndDoNotPileUp) {
  for (const int32_t block : {64, 1000}) {
    Device d(block, 0);
    constexpr int kSteps = 5;
    for (int k = 1; k <= kSteps; ++k) {
      d.RunUntil(k * 5'000.0);
      d.Stall(10);
    }
    d.RunUntil((kSteps + 1) * 5'000.0);
    double taken = 0;
    for (const auto& c : d.corrections) {
      EXPECT_GT(c.samples, 0) << block << " at " << c.ms;
      taken += static_cast<double>(c.samples);
    }
    // A period a step, give or take the saw-tooth of counts kept a period
    // at a time.
    EXPECT_NEAR(taken, kSteps * 220.5, kSteps * 25.0) << block;
    const double usual = static_cast<double>(d.rule.UsualSamples());
    EXPECT_NEAR(d.levels.back(), usual, 3 * kRate / 1000) << block;
  }
}

// Capture 0.2 % fast or slow for an hour: the backlog drifts 2 ms a second.
// Corrections keep it near the usual level, each at most 10 ms and at least
// a second apart, always the same way.
TEST(BacklogRule, DriftIsCorrectedInSmallStepsAtMostOnceASecond) {
  for (const double ppm : {2000.0, -2000.0}) {
    for (const int32_t block : {64, 1000, 8800}) {
      Device d(block, ppm);
      d.RunUntil(3'600'000);
      ASSERT_GT(d.corrections.size(), 100u) << ppm << " " << block;
      for (size_t k = 0; k < d.corrections.size(); ++k) {
        const auto& c = d.corrections[k];
        EXPECT_LE(std::abs(c.samples), 220) << ppm << " " << block << " at " << c.ms;
        EXPECT_EQ(c.samples > 0, ppm > 0) << ppm << " " << block << " at " << c.ms;
        EXPECT_EQ(c.reason, PlanReason::kDrift) << ppm << " " << block << " at " << c.ms;
        if (k > 0) {
          EXPECT_GE(c.ms - d.corrections[k - 1].ms, 1000) << ppm << " " << block;
        }
      }
      const double usual = static_cast<double>(d.rule.UsualSamples());
      double lowest = 1e9, highest = -1e9;
      for (size_t k = d.levels.size() / 2; k < d.levels.size(); ++k) {
        lowest = std::min(lowest, d.levels[k] - usual);
        highest = std::max(highest, d.levels[k] - usual);
      }
      // Uncorrected, the hour would have moved it by 7.2 s. What is seen
      // carries the 10 ms steps in which the device reports, and long
      // blocks are judged over twelve of them, which lags the drift.
      const double bound = (block >= 8800 ? 20 : 13) * kRate / 1000;
      EXPECT_GE(lowest, -bound) << ppm << " " << block;
      EXPECT_LE(highest, bound) << ppm << " " << block;
    }
  }
}

// Under Wine a device counts sound as played when it hands it on to the
// sound server: at each arrival it shows next to nothing in hand, give or
// take a few short blocks. The rule still watches it, and its jitter, or
// how long the blocks waited on the capture side, is never taken for a
// backlog to correct.
TEST(BacklogRule, ADeviceThatShowsLittleInHandIsNotCorrectedForItsJitter) {
  BacklogRule rule;
  rule.Restart(64);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> blocksInHand(0, 3);
  std::uniform_int_distribution<int64_t> waited(400, 440);
  for (int64_t played = 0; played < 600 * 22050; played += 64) {
    const int64_t ms = played * 1000 / 22050;
    ASSERT_EQ(rule.Correction(ms, Read(64 * blocksInHand(rng), played, waited(rng))).samples, 0)
        << ms;
  }
  EXPECT_TRUE(rule.Learned());
}

// Wine's wave-out shows a backlog only once more piles up than its own
// buffer takes: a device that showed nothing in hand while the rule learned
// must still have a fault's backlog cut when it shows one.
TEST(BacklogRule, ADeviceThatShowedNothingStillHasAFaultsBacklogCut) {
  BacklogRule rule;
  rule.Restart(1000);
  int64_t played = 0;
  std::vector<int64_t> corrections;
  for (; played < 5 * 22050; played += 1000) {
    ASSERT_EQ(rule.Correction(played * 1000 / 22050, Read(0, played)).samples, 0);
  }
  ASSERT_TRUE(rule.Learned());
  const int64_t stuck = 4410;  // 200 ms held after a stall
  for (; played < 8 * 22050; played += 1000) {
    const int64_t c = rule.Correction(played * 1000 / 22050, Read(stuck, played)).samples;
    if (c != 0) corrections.push_back(c);
  }
  ASSERT_EQ(corrections.size(), 1u);
  EXPECT_NEAR(static_cast<double>(corrections[0]), static_cast<double>(stuck), 22.05 * 10);
}

// A device that needs more in hand than was learned rebuilds its backlog
// after a cut: the rule takes that level for the usual one instead of
// cutting again and again.
TEST(BacklogRule, ACutThatDoesNotHoldMovesTheUsualLevel) {
  Device d(1000, 0);
  d.RunUntil(5'000);
  const auto meanOfLast = [&d](size_t n) {
    double sum = 0;
    for (size_t k = d.levels.size() - n; k < d.levels.size(); ++k) sum += d.levels[k];
    return sum / static_cast<double>(n);
  };
  // In quiet running the usual level is the one the device keeps.
  EXPECT_NEAR(static_cast<double>(d.rule.UsualSamples()), meanOfLast(50), 0.5 * kRate / 1000);
  const int64_t usual = d.rule.UsualSamples();
  d.KeepInHand(100);
  d.RunUntil(60'000);
  EXPECT_LE(d.corrections.size(), 1u);
  EXPECT_GT(static_cast<double>(d.rule.UsualSamples() - usual), 70 * kRate / 1000);
  EXPECT_NEAR(static_cast<double>(d.rule.UsualSamples()), meanOfLast(50), 0.5 * kRate / 1000);
}

}  // namespace
}  // namespace lumrio::audio
