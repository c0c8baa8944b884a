// The vectorised filter and mix paths against the straightforward
// extended-precision filter: bit-identical outputs over a million random
// samples for every band and gain, and on the rare products that land on a
// half-integer, where the fast paths must hand over to the exact one.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/equalizer.h"
#include "dsp/mix_kernel.h"

namespace lumrio::dsp {
namespace {

constexpr int kSamplesPerCase = 1'000'000;

// Random whole samples, with the extremes and the smallest values common.
std::vector<std::int16_t> RandomSamples(int count, std::uint32_t seed) {
  constexpr std::array<std::int16_t, 7> kSpecial = {-32768, 32767, -32767, 0, 1, -1, 16384};
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::uniform_int_distribution<int> pick(0, 15);
  std::vector<std::int16_t> samples(static_cast<size_t>(count));
  for (auto& s : samples) {
    const int choice = pick(rng);
    s = choice < static_cast<int>(kSpecial.size()) ? kSpecial[static_cast<size_t>(choice)]
                                                   : static_cast<std::int16_t>(any(rng));
  }
  return samples;
}

bool SameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The bank's filters as a plain array for the kernel.
std::array<TFilter*, 4> FiltersOf(const EqualizerBank& bank) {
  return {bank.Filter(0), bank.Filter(1), bank.Filter(2), bank.Filter(3)};
}

// Reference mix of the bank's current state over the input, on copies.
std::vector<double> ReferenceMixes(const EqualizerBank& bank, const std::vector<std::int16_t>& in) {
  std::array<TFilter, 4> bands;
  for (int b = 0; b < 4; ++b) bands[b] = *bank.Filter(b);
  std::vector<double> mixes;
  mixes.reserve(in.size());
  for (std::int16_t x : in) {
    double acc = 0.0;
    for (auto& band : bands) acc = detail::ReferenceProcess(band, x) + acc;
    mixes.push_back(acc / 4);
  }
  return mixes;
}

// Mixes from the block kernel, or from EqualizeSample where this build has
// no kernel; the bank's state advances as it would in the pipeline.
std::vector<double> FastMixes(EqualizerBank& bank, const std::vector<std::int16_t>& in) {
  std::vector<double> mixes(in.size());
  const int count = static_cast<int>(in.size());
  detail::MixKernel kernel;
  if (detail::MixKernel::Available() && kernel.Load(FiltersOf(bank))) {
    kernel.RunMixes(in.data(), mixes.data(), count);
    kernel.Store(FiltersOf(bank));
  } else {
    for (int i = 0; i < count; ++i) mixes[i] = bank.EqualizeSample(in[i]);
  }
  return mixes;
}

int CountMismatches(const std::vector<double>& a, const std::vector<double>& b) {
  int mismatches = 0;
  for (size_t i = 0; i < a.size(); ++i) mismatches += SameBits(a[i], b[i]) ? 0 : 1;
  return mismatches;
}

TEST(FastPaths, MatchTheReferenceForEveryBandAndGain) {
  for (int band = 0; band < 4; ++band) {
    for (int gain = 1; gain <= 5; ++gain) {
      SCOPED_TRACE(testing::Message() << "band " << band << " gain " << gain);
      const auto input =
          RandomSamples(kSamplesPerCase, static_cast<std::uint32_t>(band * 10 + gain));
      TFilter reference;
      reference.SetBand(gain, kBands[band].bandwidth, kBands[band].centre);
      TFilter fast = reference;

      // The bank with only this band left audible: its mix is the band / 4.
      EqualizerBank bank;
      bank.SetUp({0, 0, 0, 0});
      for (int other = 0; other < 4; ++other) {
        *bank.Filter(other) = other == band ? reference : TFilter{};
      }

      std::vector<double> expected;
      std::vector<double> filtered;
      expected.reserve(input.size());
      filtered.reserve(input.size());
      for (std::int16_t x : input) {
        expected.push_back(detail::ReferenceProcess(reference, x));
        filtered.push_back(fast.Process(x));
      }
      EXPECT_EQ(CountMismatches(filtered, expected), 0);
      EXPECT_EQ(fast.History, reference.History);

      for (double& e : expected) e /= 4;
      EXPECT_EQ(CountMismatches(FastMixes(bank, input), expected), 0);
      EXPECT_EQ(bank.Filter(band)->History, reference.History);
    }
  }
}

TEST(FastPaths, MixOfAllBandsMatchesTheReferenceAcrossBlocks) {
  EqualizerBank bank;
  bank.SetUp({0, 25, 45, 70});
  const auto input = RandomSamples(100'000, 77);
  const std::vector<double> expected = ReferenceMixes(bank, input);
  std::vector<std::int16_t> played(input.size());
  const int count = static_cast<int>(input.size());
  for (int start = 0, size = 64; start < count; start += size, size = size * 3 % 1021 + 64) {
    EqualizeBlock(bank, input.data() + start, played.data() + start, std::min(size, count - start));
  }
  int mismatches = 0;
  for (size_t i = 0; i < input.size(); ++i)
    mismatches += played[i] == MixToSample(expected[i]) ? 0 : 1;
  EXPECT_EQ(mismatches, 0);
}

// Coefficients whose products with some samples are exact half-integers, or
// lie so close to one that the extended product lands on it.
void PlantTies(EqualizerBank& bank) {
  bank.Filter(0)->Coefficients[0] = 0.5;                     // x odd: exact halves
  bank.Filter(1)->Coefficients[7] = 0x1.fa810b5254329p-10;   // 2329: 4.5 + 2^-62
  bank.Filter(2)->Coefficients[16] = 0x1.578778d53de93p-10;  // 4197: 5.5 - 2^-62
  bank.Filter(3)->Coefficients[32] = 1.5;                    // x odd: exact halves
}

TEST(FastPaths, HalfIntegerProductsTakeTheExactPath) {
  EqualizerBank bank;
  bank.SetUp({40, 40, 40, 40});
  PlantTies(bank);
  std::vector<std::int16_t> input = RandomSamples(5000, 5);
  for (size_t i = 0; i < input.size(); i += 3) input[i] = (i / 3) % 2 ? 2329 : 4197;
  const std::vector<double> expected = ReferenceMixes(bank, input);
  EXPECT_EQ(CountMismatches(FastMixes(bank, input), expected), 0);

  for (int b = 0; b < 4; ++b) {
    TFilter reference = *bank.Filter(b);
    TFilter fast = reference;
    for (std::int16_t x : input) {
      ASSERT_TRUE(SameBits(fast.Process(x), detail::ReferenceProcess(reference, x))) << b;
    }
  }
}

TEST(FastPaths, StateOutsideTheFastRangeStillMixesExactly) {
  // Fractional and huge history values, as direct calls could leave them.
  EqualizerBank bank;
  bank.SetUp({10, 30, 50, 70});
  bank.Filter(1)->History[5] = 0.3;
  bank.Filter(2)->History[9] = -1234.5;
  const auto input = RandomSamples(500, 9);
  EXPECT_EQ(CountMismatches(FastMixes(bank, input), ReferenceMixes(bank, input)), 0);
  // (FastMixes advanced the bank; compare its further mixes afresh.)
  bank.Filter(3)->History[20] = 1e30;
  const std::vector<double> expected = ReferenceMixes(bank, input);
  std::vector<std::int16_t> played(input.size());
  EqualizeBlock(bank, input.data(), played.data(), static_cast<int>(input.size()));
  for (size_t i = 0; i < input.size(); ++i) EXPECT_EQ(played[i], MixToSample(expected[i])) << i;
}

}  // namespace
}  // namespace lumrio::dsp
