// Tests of the equalizer bank: band table, gain rule, set-up, redesign, the
// mix and its conversion to a played sample.
#include "dsp/equalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

namespace lumrio::dsp {
namespace {

constexpr std::array<int, 4> kAllAtForty = {40, 40, 40, 40};

std::vector<std::int16_t> Impulse(std::int16_t height, int length) {
  std::vector<std::int16_t> input(static_cast<size_t>(length), 0);
  input[0] = height;
  return input;
}

TEST(BandTable, NamesAndFrequencies) {
  const std::array<std::string, 4> hints = {"1000 Hz Filter", "2000 Hz Filter", "4000 Hz Filter",
                                            "8000 Hz Filter"};
  const std::array<std::string, 4> labels = {"1k", "2k", "4k", "8k"};
  const std::array<std::string, 4> settings = {"Equalizer1k", "Equalizer2k", "Equalizer3k",
                                               "Equalizer4k"};
  for (int b = 0; b < 4; ++b) {
    EXPECT_EQ(kBands[b].centre, 1000 << b);
    EXPECT_EQ(kBands[b].bandwidth, 500 << b);
    EXPECT_EQ(kBands[b].hint, hints[b]);
    EXPECT_EQ(kBands[b].label, labels[b]);
    EXPECT_EQ(kBands[b].settingName, settings[b]);
  }
}

TEST(BandGain, StepsEveryTwentyPositions) {
  const std::array<std::pair<int, int>, 9> kTable = {
      {{0, 5}, {1, 4}, {20, 4}, {21, 3}, {40, 3}, {41, 2}, {60, 2}, {61, 1}, {80, 1}}};
  for (const auto& [position, gain] : kTable) EXPECT_EQ(BandGain(position), gain) << position;
}

TEST(EqualizerBank, FiltersExistFromSetUpUntilFree) {
  EqualizerBank bank;
  EXPECT_FALSE(bank.IsSetUp());
  for (int b = 0; b < 4; ++b) EXPECT_EQ(bank.Filter(b), nullptr);
  bank.Redesign(0, 40);  // before set-up: nothing to redesign
  EXPECT_EQ(bank.Filter(0), nullptr);
  bank.SetUp(kAllAtForty);
  EXPECT_TRUE(bank.IsSetUp());
  for (int b = 0; b < 4; ++b) EXPECT_NE(bank.Filter(b), nullptr);
  bank.Free();
  EXPECT_FALSE(bank.IsSetUp());
  for (int b = 0; b < 4; ++b) EXPECT_EQ(bank.Filter(b), nullptr);
  bank.Free();  // a second free skips the missing filters
}

TEST(EqualizerBank, SetUpDesignsEachBandFromItsSlider) {
  EqualizerBank bank;
  bank.SetUp({0, 30, 50, 80});
  const std::array<int, 4> gains = {5, 3, 2, 1};
  for (int b = 0; b < 4; ++b) {
    TFilter expected;
    expected.SetBand(gains[b], kBands[b].bandwidth, kBands[b].centre);
    EXPECT_EQ(bank.Filter(b)->Coefficients, expected.Coefficients) << b;
  }
}

// All bands at gain 3, an impulse of 10000: the band outputs of the first
// and the 17th sample, and the mixes.
TEST(EqualizerBank, ImpulseAtGainThree) {
  std::array<TFilter, 4> bands;
  for (int b = 0; b < 4; ++b) bands[b].SetBand(3, kBands[b].bandwidth, kBands[b].centre);
  std::array<std::vector<double>, 4> outputs;
  for (int b = 0; b < 4; ++b) {
    for (int i = 0; i < 17; ++i) outputs[b].push_back(bands[b].Process(i == 0 ? 10000.0 : 0.0));
  }
  const std::array<double, 4> first = {-35, -100, -79, 10};
  const std::array<double, 4> seventeenth = {3595, 3952, 5603, 10855};
  for (int b = 0; b < 4; ++b) {
    EXPECT_EQ(outputs[b][0], first[b]) << b;
    EXPECT_EQ(outputs[b][16], seventeenth[b]) << b;
  }

  EqualizerBank bank;
  bank.SetUp(kAllAtForty);
  std::vector<double> mixes;
  for (int i = 0; i < 17; ++i) mixes.push_back(bank.EqualizeSample(i == 0 ? 10000.0 : 0.0));
  EXPECT_EQ(mixes[0], -51.0);
  EXPECT_EQ(mixes[16], 6001.25);
  EXPECT_EQ(MixToSample(mixes[16]), 6001);

  EqualizerBank block_bank;
  block_bank.SetUp(kAllAtForty);
  const std::vector<std::int16_t> input = Impulse(10000, 40);
  std::vector<std::int16_t> played(input.size());
  EqualizeBlock(block_bank, input.data(), played.data(), static_cast<int>(input.size()));
  EXPECT_EQ(played[0], -51);
  EXPECT_EQ(played[16], 6001);
  for (size_t i = 0; i < input.size(); ++i) {
    EXPECT_EQ(played[i], MixToSample(i < mixes.size() ? mixes[i] : bank.EqualizeSample(0.0)))
        << "sample " << i;
  }
}

TEST(EqualizerBank, SmallInputsMixToZeroAtUnitGain) {
  EqualizerBank bank;
  bank.SetUp({80, 80, 80, 80});
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(bank.EqualizeSample(static_cast<double>(i % 3 - 1)), 0.0);
  }
}

TEST(EqualizerBank, RedesignClearsOnlyItsOwnBand) {
  EqualizerBank bank;
  bank.SetUp(kAllAtForty);
  for (int i = 0; i < 40; ++i) bank.EqualizeSample(1000.0 * (i % 7) - 3000.0);
  std::array<std::array<double, kTaps>, 4> before;
  for (int b = 0; b < 4; ++b) before[b] = bank.Filter(b)->History;
  bank.Redesign(2, 41);  // same slider, one step down, a new gain
  for (int b = 0; b < 4; ++b) {
    if (b == 2) {
      for (double h : bank.Filter(b)->History) EXPECT_EQ(h, 0.0);
    } else {
      EXPECT_EQ(bank.Filter(b)->History, before[b]) << b;
    }
  }
  TFilter expected;
  expected.SetBand(2, 2000, 4000);
  EXPECT_EQ(bank.Filter(2)->Coefficients, expected.Coefficients);
}

TEST(EqualizerBank, RedesignWithinOneGainStepStillClearsTheHistory) {
  EqualizerBank bank;
  bank.SetUp({41, 41, 41, 41});
  for (int i = 0; i < 10; ++i) bank.EqualizeSample(5000.0);
  const auto coefficients = bank.Filter(0)->Coefficients;
  bank.Redesign(0, 42);
  EXPECT_EQ(bank.Filter(0)->Coefficients, coefficients);
  for (double h : bank.Filter(0)->History) EXPECT_EQ(h, 0.0);
  EXPECT_EQ(bank.Filter(1)->History[1], 5000.0);
}

TEST(EqualizerBank, HistoriesCarryOverBetweenBlocksAndCalls) {
  // The same samples as one block, as many small blocks, and one by one.
  std::vector<std::int16_t> input;
  for (int i = 0; i < 300; ++i)
    input.push_back(static_cast<std::int16_t>((i * 7919) % 20001 - 10000));
  const int count = static_cast<int>(input.size());

  EqualizerBank whole;
  whole.SetUp({10, 30, 50, 70});
  std::vector<std::int16_t> expected(input.size());
  EqualizeBlock(whole, input.data(), expected.data(), count);

  EqualizerBank pieces;
  pieces.SetUp({10, 30, 50, 70});
  std::vector<std::int16_t> played(input.size());
  for (int start = 0, size = 1; start < count; start += size, size = size % 37 + 5) {
    const int n = std::min(size, count - start);
    if (start % 2 == 0) {
      EqualizeBlock(pieces, input.data() + start, played.data() + start, n);
    } else {
      for (int i = start; i < start + n; ++i)
        played[i] = MixToSample(pieces.EqualizeSample(input[i]));
    }
  }
  EXPECT_EQ(played, expected);
  for (int b = 0; b < 4; ++b) EXPECT_EQ(pieces.Filter(b)->History, whole.Filter(b)->History);
  for (int k = 1; k < kTaps; ++k) EXPECT_EQ(whole.Filter(0)->History[k], input[input.size() - k]);
}

TEST(EqualizerBank, EmptyBlockChangesNothing) {
  EqualizerBank bank;
  bank.SetUp(kAllAtForty);
  bank.EqualizeSample(1234.0);
  const auto history = bank.Filter(3)->History;
  std::int16_t out = 77;
  EqualizeBlock(bank, nullptr, &out, 0);
  EXPECT_EQ(out, 77);
  EXPECT_EQ(bank.Filter(3)->History, history);
}

TEST(MixToSample, TruncatesTowardZero) {
  EXPECT_EQ(MixToSample(1.75), 1);
  EXPECT_EQ(MixToSample(-1.25), -1);
  EXPECT_EQ(MixToSample(2.9), 2);
  EXPECT_EQ(MixToSample(-2.9), -2);
  EXPECT_EQ(MixToSample(-0.75), 0);
  EXPECT_EQ(MixToSample(32767.75), 32767);
  EXPECT_EQ(MixToSample(-32768.75), -32768);
}

TEST(MixToSample, SaturatesInsteadOfWrapping) {
  EXPECT_EQ(MixToSample(40000.0), 32767);
  EXPECT_EQ(MixToSample(-40000.0), -32768);
  EXPECT_EQ(MixToSample(131072.0 / 4), 32767);  // a band sum of 131072
  EXPECT_EQ(MixToSample(-32769.0), -32768);
  EXPECT_EQ(MixToSample(1e300), 32767);
}

TEST(EqualizeBlock, LoudInputAtHighGainSaturates) {
  EqualizerBank bank;
  bank.SetUp({0, 0, 0, 0});
  // Full scale at 1 kHz, five times louder in the first band.
  std::vector<std::int16_t> input(200);
  for (size_t i = 0; i < input.size(); ++i) {
    input[i] = static_cast<std::int16_t>(
        std::lround(32767 * std::sin(2 * std::numbers::pi * 1000 * double(i) / 22050)));
  }
  std::vector<std::int16_t> played(input.size());
  EqualizeBlock(bank, input.data(), played.data(), static_cast<int>(input.size()));
  EqualizerBank reference;
  reference.SetUp({0, 0, 0, 0});
  bool saturated = false;
  for (size_t i = 0; i < input.size(); ++i) {
    const double mix = reference.EqualizeSample(input[i]);
    saturated = saturated || mix > 32767.0 || mix < -32768.0;
    EXPECT_EQ(played[i], MixToSample(mix)) << i;
  }
  EXPECT_TRUE(saturated);
}

}  // namespace
}  // namespace lumrio::dsp
