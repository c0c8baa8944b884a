// The joins between played blocks: what a cut, a stretch or a left-out block
// does to a step (it must stay a step) and to a ramp (the stream must go on
// from the right place, without a jump).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "audio/splice.h"

namespace lumrio::audio {
namespace {

// Plays blocks through a splicer the way the engine does: each block goes
// into a buffer at its offset, with room for what is to be played.
class Stream {
 public:
  int32_t Play(const std::vector<int16_t>& block, int32_t play) {
    const auto count = static_cast<int32_t>(block.size());
    std::vector<int16_t> buffer(static_cast<size_t>(std::max(count, play)));
    std::copy(block.begin(), block.end(), buffer.begin() + Splicer::BlockOffset(count, play));
    const int32_t n = splicer_.Compose(buffer.data(), count, play);
    out_.insert(out_.end(), buffer.begin(), buffer.begin() + n);
    return n;
  }
  const std::vector<int16_t>& Out() const { return out_; }
  // The largest difference between neighbouring samples.
  int LargestStep() const {
    int largest = 0;
    for (size_t i = 1; i < out_.size(); ++i) largest = std::max(largest, std::abs(out_[i] - out_[i - 1]));
    return largest;
  }

 private:
  Splicer splicer_;
  std::vector<int16_t> out_;
};

std::vector<int16_t> Constant(int32_t count, int16_t value) {
  return std::vector<int16_t>(static_cast<size_t>(count), value);
}

// Samples `from`, `from + 1`, ... : each sample's value is its place in the
// recording, so the output tells which samples were played.
std::vector<int16_t> Ramp(int32_t from, int32_t count) {
  std::vector<int16_t> block(static_cast<size_t>(count));
  std::iota(block.begin(), block.end(), static_cast<int16_t>(from));
  return block;
}

TEST(Splicer, WholeBlocksPassUnchanged) {
  Stream s;
  for (int k = 0; k < 10; ++k) EXPECT_EQ(s.Play(Ramp(k * 1000, 1000), 1000), 1000);
  EXPECT_EQ(s.Out(), Ramp(0, 10000));
}

// The crossfade's weights sum to one: a constant stays constant through
// every kind of join, so a join adds no click of its own.
TEST(Splicer, ASteadySoundStaysSteadyThroughEveryJoin) {
  Stream s;
  const int32_t plays[] = {1000, 400, 0, 0, 1000, 1500, 1000, 10, 3000, 1000, 0, 1200, 1000};
  for (const int32_t play : plays) s.Play(Constant(1000, 1234), play);
  for (size_t i = 0; i < s.Out().size(); ++i) ASSERT_EQ(s.Out()[i], 1234) << "sample " << i;
}

TEST(Splicer, ACutPlaysTheNewestSamplesAndFadesIntoThem) {
  Stream s;
  s.Play(Ramp(0, 1000), 1000);
  EXPECT_EQ(s.Play(Ramp(1000, 1000), 300), 300);
  const std::vector<int16_t>& out = s.Out();
  ASSERT_EQ(out.size(), 1300u);
  // After the fade the stream is the newest 300 samples, as recorded.
  for (int32_t i = Splicer::kFade; i < 300; ++i) EXPECT_EQ(out[1000 + i], 1700 + i);
  // During it, it moves from what would have followed (1000...) to them,
  // never outside the two.
  for (int32_t i = 0; i < Splicer::kFade; ++i) {
    EXPECT_GE(out[1000 + i], 1000 + i);
    EXPECT_LE(out[1000 + i], 1700 + i);
  }
}

TEST(Splicer, BlocksLeftOutAreJoinedFromWhatFollowedTheLastOnePlayed) {
  Stream s;
  s.Play(Ramp(0, 1000), 1000);
  EXPECT_EQ(s.Play(Ramp(1000, 1000), 0), 0);
  EXPECT_EQ(s.Play(Ramp(2000, 1000), 0), 0);
  s.Play(Ramp(3000, 1000), 1000);
  const std::vector<int16_t>& out = s.Out();
  ASSERT_EQ(out.size(), 2000u);
  EXPECT_GE(out[1000], 1000);  // it starts near 1000, where the stream broke off
  EXPECT_LT(out[1000], 1100);
  for (int32_t i = Splicer::kFade; i < 1000; ++i) EXPECT_EQ(out[1000 + i], 3000 + i);
}

TEST(Splicer, AStretchReplaysTheNewestSoundAndGoesOnThroughTheWholeBlock) {
  Stream s;
  s.Play(Ramp(0, 1000), 1000);
  EXPECT_EQ(s.Play(Ramp(1000, 1000), 1500), 1500);
  const std::vector<int16_t>& out = s.Out();
  ASSERT_EQ(out.size(), 2500u);
  // The stream jumps back 500 samples and plays on from there.
  for (int32_t i = Splicer::kFade; i < 500; ++i) EXPECT_EQ(out[1000 + i], 500 + i);
  for (int32_t i = 0; i < 1000; ++i) EXPECT_EQ(out[1500 + i], 1000 + i);
}

TEST(Splicer, AStretchIsNoLongerThanWhatHasBeenPlayed) {
  Stream first;
  // Nothing played yet: the stretch is silence ahead of the block.
  EXPECT_EQ(first.Play(Constant(100, 5), 150), 150);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(first.Out()[static_cast<size_t>(i)], 0);
  Stream s;
  s.Play(Ramp(0, 300), 300);
  // 300 played, less a fade's worth to fade from: at most 172 replayed.
  EXPECT_EQ(s.Play(Ramp(300, 300), 800), 300 + 300 - Splicer::kFade);
  EXPECT_EQ(s.Out().back(), 599);
}

// Any sequence of joins the delay rule asks for (it never leaves less than
// a fade's worth of a block) on a slow sine stays free of jumps: no
// neighbouring samples further apart than the sine's own steepest step, with
// room for the fade between two parts of the wave.
TEST(Splicer, NoJoinMakesAClick) {
  Stream s;
  std::vector<int16_t> sine(48000);
  for (size_t i = 0; i < sine.size(); ++i) sine[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 0.01));
  const int32_t plays[] = {1000, 1000, 700, 0, 1000, 1400, 1000, Splicer::kFade, 1000, 0, 0, 1000, 2000, 1000};
  int32_t at = 0;
  for (const int32_t play : plays) {
    s.Play(std::vector<int16_t>(sine.begin() + at, sine.begin() + at + 1000), play);
    at += 1000;
  }
  // 80 a sample for the sine; a fade between any two of its values over
  // 128 samples adds at most 16000 / 128.
  EXPECT_LE(s.LargestStep(), 80 + 16000 / Splicer::kFade + 2);
}

}  // namespace
}  // namespace lumrio::audio
