// Crossfaded joins: step and impulse responses, and the lengths and ends
// they keep.
#include "audio/splice.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numeric>
#include <vector>

namespace lumrio::audio {
namespace {

std::vector<int16_t> Sine(int32_t length, double period, int32_t extra = 0) {
  std::vector<int16_t> v(static_cast<size_t>(length + extra));
  for (int32_t n = 0; n < length; ++n) {
    v[static_cast<size_t>(n)] =
        static_cast<int16_t>(std::lround(10000 * std::sin(6.2831853 * n / period)));
  }
  return v;
}

int MaxStep(const std::vector<int16_t>& v, int32_t length) {
  int most = 0;
  for (int32_t n = 1; n < length; ++n) {
    most = std::max(most, std::abs(v[static_cast<size_t>(n)] - v[static_cast<size_t>(n - 1)]));
  }
  return most;
}

// A constant level stays constant through both joins: they add no step.
TEST(Splice, StepResponseHasNoStepAtEitherJoin) {
  for (const int32_t length : {64, 1000, 8800}) {
    std::vector<int16_t> cut(static_cast<size_t>(length), 12000);
    const int32_t count = MaxSpliceLength(length);
    ASSERT_EQ(CutFront(cut.data(), length, count), length - count);
    for (int32_t n = 0; n < length - count; ++n) ASSERT_EQ(cut[static_cast<size_t>(n)], 12000) << n;

    std::vector<int16_t> longer(static_cast<size_t>(length + count), 12000);
    ASSERT_EQ(Lengthen(longer.data(), length, count), length + count);
    for (int32_t n = 0; n < length + count; ++n)
      ASSERT_EQ(longer[static_cast<size_t>(n)], 12000) << n;
  }
}

// A lone impulse cut out with the samples around it leaves nothing behind;
// one inside the crossfade comes out scaled down, never amplified.
TEST(Splice, ImpulseResponseIsFadedNotAmplified) {
  const int32_t length = 1000;
  const int32_t fade = CrossfadeLength(length);
  std::vector<int16_t> block(static_cast<size_t>(length), 0);
  block[100] = 20000;
  CutFront(block.data(), length, 200);  // the impulse lies in what is cut
  EXPECT_EQ(*std::max_element(block.begin(), block.end()), 0);

  std::fill(block.begin(), block.end(), 0);
  block[static_cast<size_t>(220 + fade / 2)] = 20000;  // in the faded-in part
  CutFront(block.data(), length, 220);
  const int16_t peak = *std::max_element(block.begin(), block.end());
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 20000);
}

// A sine cut or lengthened at any point moves no further between two
// samples than it does on its own, give or take the fade's bend.
TEST(Splice, JoinsInASineAreSmooth) {
  const int32_t length = 1000;
  const double period = 50;  // 441 Hz
  const int natural = MaxStep(Sine(length, period), length);
  for (int32_t count = 1; count <= MaxSpliceLength(length); count += 37) {
    auto cut = Sine(length, period);
    const int32_t shorter = CutFront(cut.data(), length, count);
    EXPECT_LE(MaxStep(cut, shorter), natural * 2) << count;
    auto longer = Sine(length, period, count);
    const int32_t lengthened = Lengthen(longer.data(), length, count);
    EXPECT_LE(MaxStep(longer, lengthened), natural * 2) << count;
  }
}

// Both joins begin with the block's first sample and end with its last, and
// keep the rest of it untouched.
TEST(Splice, JoinsKeepTheEndsAndTheRest) {
  const int32_t length = 1000;
  const int32_t fade = CrossfadeLength(length);
  std::vector<int16_t> ramp(static_cast<size_t>(length + 300));
  std::iota(ramp.begin(), ramp.begin() + length, int16_t{0});
  auto cut = ramp;
  ASSERT_EQ(CutFront(cut.data(), length, 300), 700);
  EXPECT_EQ(cut[0], 0);
  for (int32_t n = fade; n < 700; ++n) ASSERT_EQ(cut[static_cast<size_t>(n)], n + 300) << n;

  auto longer = ramp;
  ASSERT_EQ(Lengthen(longer.data(), length, 300), 1300);
  for (int32_t n = 0; n < 300; ++n) ASSERT_EQ(longer[static_cast<size_t>(n)], n) << n;
  for (int32_t n = 300 + fade; n < 1300; ++n)
    ASSERT_EQ(longer[static_cast<size_t>(n)], n - 300) << n;
  EXPECT_EQ(longer[1299], 999);
}

// A cut too long to crossfade, as after a stall, drops the front outright;
// a cut of a whole block or more leaves it empty.
TEST(Splice, LongCutsDropTheFront) {
  std::vector<int16_t> block(64);
  std::iota(block.begin(), block.end(), int16_t{0});
  ASSERT_EQ(CutFront(block.data(), 64, 60), 4);
  EXPECT_EQ(block[0], 60);
  EXPECT_EQ(block[3], 63);
  EXPECT_EQ(CutFront(block.data(), 4, 9), 0);
}

// A block is lengthened by no more than it can crossfade.
TEST(Splice, LengthenIsBoundedByTheBlock) {
  std::vector<int16_t> block(200, 5);
  EXPECT_EQ(MaxSpliceLength(64), 48);
  EXPECT_EQ(Lengthen(block.data(), 64, 100), 64 + 48);
  EXPECT_EQ(Lengthen(block.data(), 64, 0), 64);
}

}  // namespace
}  // namespace lumrio::audio
