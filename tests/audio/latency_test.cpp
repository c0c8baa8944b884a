// The delay rule on its own, told readings of a pipe that the test moves:
// what it plays of each block as the content steps, drifts or stays put.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "audio/latency.h"

namespace lumrio::audio {
namespace {

constexpr double kSamplesPerMs = 22.05;

// A pipe around the rule: captured blocks arrive every block's time, the
// device plays on at the nominal rate, and what the rule leaves out or
// plays twice changes the content. Faults move the content directly.
class Pipe {
 public:
  explicit Pipe(int32_t block, int64_t content = 500) : block_(block), rule_(block), content_(content) {}

  // One block: the rule is told the content (plus `noise` samples) and
  // answers; returns what it played.
  int32_t Next(int64_t noise = 0) {
    nowMs_ += block_ / kSamplesPerMs;
    taken_ += block_;
    PipeReading r;
    r.nowMs = nowMs_;
    r.taken = taken_;
    r.arrived = taken_ + waiting_;
    r.queued = queued_;
    r.played = queued_ - (content_ + noise - waiting_);
    r.settled = settled_;
    r.finished = r.played;
    const int32_t play = rule_.PlayCount(r);
    queued_ += play;
    content_ += play - block_;
    waiting_ = 0;
    return play;
  }
  // Runs for `ms`; returns the samples left out less those played twice.
  int64_t RunMs(double ms, int64_t noise = 0) {
    int64_t corrected = 0;
    for (double end = nowMs_ + ms; nowMs_ < end;) corrected += block_ - Next(noise);
    return corrected;
  }

  void Move(int64_t samples) { content_ += samples; }
  void Burst(int64_t samples) {
    waiting_ = samples;
    content_ += samples;
  }
  void Drift(double ppm, double ms) {
    for (double end = nowMs_ + ms; nowMs_ < end;) {
      drift_ += block_ * ppm * 1e-6;
      const auto whole = static_cast<int64_t>(drift_);
      drift_ -= static_cast<double>(whole);
      content_ += whole;
      Next();
      if (std::abs(content_ - start_) > worst_) worst_ = std::abs(content_ - start_);
    }
  }
  void Settle(bool settled) { settled_ = settled; }
  void MarkStart() {
    start_ = content_;
    worst_ = 0;
  }

  LatencyRule& Rule() { return rule_; }
  int64_t Content() const { return content_; }
  int64_t Worst() const { return worst_; }
  double NowMs() const { return nowMs_; }

 private:
  int32_t block_;
  LatencyRule rule_;
  int64_t content_;
  int64_t waiting_ = 0;
  int64_t taken_ = 0;
  int64_t queued_ = 0;
  double nowMs_ = 0;
  double drift_ = 0;
  bool settled_ = true;
  int64_t start_ = 0;
  int64_t worst_ = 0;
};

// Learns the level in quiet running and returns the pipe.
Pipe Learned(int32_t block, int64_t content = 500) {
  Pipe pipe(block, content);
  pipe.Next();
  pipe.RunMs(3000);
  EXPECT_EQ(pipe.Rule().CurrentPhase(), LatencyRule::Phase::Holding);
  return pipe;
}

TEST(LatencyRule, TheStartUpBurstIsCutToTheCushion) {
  LatencyRule rule(1000);
  PipeReading r;
  r.taken = 1000;
  r.arrived = 1000 + 3000;  // three more blocks already waiting
  EXPECT_EQ(rule.PlayCount(r), 0);
  r.taken = 2000;
  r.arrived = 4000 + 120;
  // 2000 waiting and 120 of the next: keep 10 ms (221 samples) in hand.
  EXPECT_EQ(rule.PlayCount(r), 0);
  r.taken = 3000;
  EXPECT_EQ(rule.PlayCount(r), 1000 - (1120 - 221));
  EXPECT_EQ(rule.CurrentPhase(), LatencyRule::Phase::Learning);
}

TEST(LatencyRule, LongBlocksStartWithSilenceInHand) {
  LatencyRule rule(88000);
  PipeReading r;
  r.taken = r.arrived = 88000;
  EXPECT_EQ(rule.PlayCount(r), 88000 + 528);  // 0.6 % of the block
  LatencyRule shortBlocks(1000);
  r.taken = r.arrived = 1000;
  EXPECT_EQ(shortBlocks.PlayCount(r), 1000);  // 6 samples are less than a millisecond
}

TEST(LatencyRule, QuietRunningPlaysEveryBlockWhole) {
  for (const int32_t block : {64, 1000, 8800}) {
    Pipe pipe(block);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int64_t> jitter(-60, 60);  // readings off by up to 3 ms
    const int32_t margin = block == 8800 ? 53 : 0;  // silence in hand ahead of long blocks
    ASSERT_EQ(pipe.Next(jitter(rng)), block + margin);
    for (int k = 1; k < 20000 * 22 / block + 100; ++k) {
      ASSERT_EQ(pipe.Next(jitter(rng)), block) << "block " << block << ", reading " << k;
    }
    EXPECT_EQ(pipe.Rule().FaultCuts(), 0);
    EXPECT_EQ(pipe.Rule().DriftCorrections(), 0);
  }
}

TEST(LatencyRule, AnExcessIsCutInOneGoFromTheOldestSound) {
  Pipe pipe = Learned(1000);
  const int64_t level = pipe.Content();
  pipe.Move(1500);  // a stall of 68 ms
  EXPECT_EQ(pipe.Next(), 0);
  EXPECT_EQ(pipe.Next(), 500);
  EXPECT_EQ(pipe.Next(), 1000);
  EXPECT_EQ(pipe.Content(), level);
  EXPECT_EQ(pipe.Rule().FaultCuts(), 1);
}

// A join fades over Splicer::kFade samples: a cut never leaves less of a
// block than that, and what it does not take now goes from the next block.
TEST(LatencyRule, ACutLeavesNoBlockTooShortToFadeInto) {
  for (const int32_t block : {64, 200, 1000}) {
    for (const int64_t stall : {1000 - 5, 1000 - 100, 1000 + 300, 2000 - 20}) {
      Pipe pipe = Learned(block);
      const int64_t level = pipe.Content();
      pipe.Move(stall);
      for (int k = 0; k < 100; ++k) {
        const int32_t play = pipe.Next();
        ASSERT_TRUE(play == 0 || play >= std::min(block, Splicer::kFade))
            << "block " << block << ", stall " << stall << ": " << play;
      }
      EXPECT_NEAR(static_cast<double>(pipe.Content()), static_cast<double>(level), block / 2.0)
          << "block " << block << ", stall " << stall;
    }
  }
}

TEST(LatencyRule, ABurstOfWaitingInputIsCutToo) {
  Pipe pipe = Learned(64);
  const int64_t level = pipe.Content();
  pipe.Burst(64 * 15);  // the ring full after a held GUI thread
  pipe.RunMs(100);
  EXPECT_NEAR(static_cast<double>(pipe.Content()), static_cast<double>(level), 64);
}

TEST(LatencyRule, ASmallStepIsMadeUpOnceTheDeviceHasReportedAgain) {
  Pipe pipe = Learned(1000);
  const int64_t level = pipe.Content();
  pipe.Move(-300);  // 14 ms: input lost while the speaker ran dry
  pipe.RunMs(500);
  EXPECT_NEAR(static_cast<double>(pipe.Content()), static_cast<double>(level), 90);
  EXPECT_EQ(pipe.Rule().FaultCuts(), 0);
}

TEST(LatencyRule, NothingIsJudgedOnReadingsTheDeviceHasNotConfirmed) {
  Pipe pipe = Learned(1000);
  const int64_t level = pipe.Content();
  pipe.Settle(false);
  pipe.Move(-300);  // a dry device reckoned from the write: a lower bound
  pipe.RunMs(500);
  EXPECT_EQ(pipe.Content(), level - 300);
  pipe.Settle(true);
  pipe.RunMs(500);
  EXPECT_NEAR(static_cast<double>(pipe.Content()), static_cast<double>(level), 90);
}

// 0.2 % either way for ten minutes: the content stays within a few
// milliseconds of where it was, in corrections at most one a second and of
// at most 10 ms each.
TEST(LatencyRule, DriftIsEvenedOutInSmallSteps) {
  for (const double ppm : {2000.0, -2000.0}) {
    for (const int32_t block : {64, 1000, 8800}) {
      Pipe pipe = Learned(block);
      pipe.MarkStart();
      const int before = pipe.Rule().DriftCorrections();
      pipe.Drift(ppm, 600000);
      const int corrections = pipe.Rule().DriftCorrections() - before;
      EXPECT_LE(pipe.Worst(), 8 * kSamplesPerMs) << ppm << " ppm, block " << block;
      EXPECT_LE(corrections, 600);
      EXPECT_GE(corrections, static_cast<int>(600000 * 0.002 / 10));
      EXPECT_EQ(pipe.Rule().FaultCuts(), 0);
    }
  }
}

TEST(LatencyRule, ASingleReadingOffTheTrendIsNoDrift) {
  Pipe pipe = Learned(1000);
  pipe.RunMs(5000);  // a trend to go by
  const int before = pipe.Rule().DriftCorrections();
  for (int k = 0; k < 20; ++k) {
    pipe.Next(k % 5 == 0 ? 330 : 0);  // one reading in five 15 ms off
  }
  pipe.RunMs(3000);
  EXPECT_EQ(pipe.Rule().DriftCorrections(), before);
}

TEST(LatencyRule, AStreamThatStartsSlowlyIsHeldToWhatTheStartPutInHand) {
  Pipe pipe(1000, 300);
  pipe.Settle(false);
  pipe.Next();
  pipe.Next();
  pipe.Settle(true);
  pipe.Move(4000);  // it played at two thirds of its speed for a while
  pipe.RunMs(3000);
  // 20 ms of start-up latency are allowed for, the rest went.
  EXPECT_LE(pipe.Content(), 300 + 441 + 110);
}

}  // namespace
}  // namespace lumrio::audio
