// Tests of the band filter: the design figures, the impulse response and the
// rounding of every tap product.
#include "dsp/filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace lumrio::dsp {
namespace {

// Passes when actual agrees with expected to the given number of significant
// digits, i.e. within half a unit of the last digit.
::testing::AssertionResult AgreesTo(int digits, double expected, double actual) {
  const double exponent = std::floor(std::log10(std::fabs(expected)));
  const double tolerance = 0.5 * std::pow(10.0, exponent - digits + 1) * (1 + 1e-9);
  if (std::fabs(actual - expected) <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << actual << " differs from " << expected << " beyond " << digits << " significant digits";
}

struct DesignFigures {
  int centre;
  int bandwidth;
  double ideal_centre;  // d(0), before windowing and normalisation
  double g;
  double centre_tap;
  double end_tap;
};

constexpr std::array<DesignFigures, 4> kFigures = {{
    {1000, 500, 0.0453514739, 0.378424183, 0.119842959, -0.00116592835},
    {2000, 1000, 0.0907029478, 0.688585919, 0.131723501, -0.00334585246},
    {4000, 2000, 0.181405896, 0.971244654, 0.186776725, -0.00264989958},
    {8000, 4000, 0.362811791, 1.00267616, 0.361843440, 0.000324215488},
}};

TFilter Designed(int gain, int bandwidth, int centre) {
  TFilter filter;
  filter.SetBand(gain, bandwidth, centre);
  return filter;
}

std::vector<double> Outputs(TFilter& filter, const std::vector<double>& input) {
  std::vector<double> output;
  for (double x : input) output.push_back(filter.Process(x));
  return output;
}

std::vector<double> Impulse(double height, int length) {
  std::vector<double> input(static_cast<size_t>(length), 0.0);
  input[0] = height;
  return input;
}

TEST(FilterDesign, CentreAndEndTapsOfEveryBand) {
  for (const auto& f : kFigures) {
    SCOPED_TRACE(f.centre);
    const TFilter filter = Designed(1, f.bandwidth, f.centre);
    EXPECT_TRUE(AgreesTo(9, f.centre_tap, filter.Coefficients[16]));
    EXPECT_TRUE(AgreesTo(9, f.end_tap, filter.Coefficients[0]));
    EXPECT_TRUE(AgreesTo(9, f.end_tap, filter.Coefficients[32]));
    // d(0) is twice the width in cycles per sample, and with the window at 1
    // in the middle, the centre tap is d(0) / G.
    const double half = f.bandwidth / 2;
    const double ideal_centre = (f.centre + half) / 11025.0 - (f.centre - half) / 11025.0;
    EXPECT_TRUE(AgreesTo(9, f.ideal_centre, ideal_centre));
    EXPECT_TRUE(AgreesTo(9, f.g, ideal_centre / filter.Coefficients[16]));
  }
}

TEST(FilterDesign, DistinctCoefficientsOfTheFirstBand) {
  constexpr std::array<double, 17> kExpected = {
      -0.00116593, -0.00370488, -0.00768199, -0.0137803, -0.0218413, -0.030704,
      -0.0383269,  -0.0421883,  -0.0398819,  -0.0297693, -0.0115236, 0.0135827,
      0.0427374,   0.0720074,   0.0970399,   0.113897,   0.119843};
  const TFilter filter = Designed(1, 500, 1000);
  for (int k = 0; k <= 16; ++k) {
    SCOPED_TRACE(k);
    const int digits = k == 5 ? 5 : 6;  // -0.030704 is given to five digits
    EXPECT_TRUE(AgreesTo(digits, kExpected[k], filter.Coefficients[k]));
  }
}

TEST(FilterDesign, CoefficientsAreSymmetricToTheLastBit) {
  for (const auto& f : kFigures) {
    const TFilter filter = Designed(1, f.bandwidth, f.centre);
    for (int k = 0; k < 16; ++k) {
      const double a = filter.Coefficients[k];
      const double b = filter.Coefficients[32 - k];
      EXPECT_LE(std::fabs(a - b), 2 * std::fabs(std::nextafter(a, 0.0) - a))
          << "band " << f.centre << " tap " << k;
    }
  }
}

// The value as a double variable holds it. On x87 the compiler may keep an
// expression in an 80-bit register and compare it unrounded with a stored
// coefficient; going through memory rounds it as the program's store does.
double StoredAsDouble(double value) {
  volatile double stored = value;
  return stored;
}

TEST(FilterDesign, GainScalesEveryCoefficient) {
  for (const auto& f : kFigures) {
    const TFilter unit = Designed(1, f.bandwidth, f.centre);
    for (int gain = 2; gain <= 5; ++gain) {
      const TFilter scaled = Designed(gain, f.bandwidth, f.centre);
      for (int k = 0; k < kTaps; ++k) {
        EXPECT_EQ(scaled.Coefficients[k], StoredAsDouble(gain * unit.Coefficients[k]))
            << "band " << f.centre << " gain " << gain << " tap " << k;
      }
    }
  }
}

TEST(FilterDesign, EveryUnitGainCoefficientIsBelowOneHalf) {
  for (const auto& f : kFigures) {
    const TFilter filter = Designed(1, f.bandwidth, f.centre);
    for (double c : filter.Coefficients) EXPECT_LT(std::fabs(c), 0.5);
  }
}

TEST(FilterDesign, DesignLeavesTheHistoryAndSetBandClearsIt) {
  TFilter filter = Designed(3, 1000, 2000);
  for (double x : {1200.0, -800.0, 300.0}) filter.Process(x);
  const auto history = filter.History;
  filter.Design(32, 0.1, 0.2);
  EXPECT_EQ(filter.History, history);
  filter.SetBand(3, 1000, 2000);
  for (double h : filter.History) EXPECT_EQ(h, 0.0);
}

TEST(FilterProcess, UndesignedFilterGivesZero) {
  TFilter filter;
  for (double x : {0.0, 1.0, -32768.0, 32767.0, 1e300}) EXPECT_EQ(filter.Process(x), 0.0);
}

TEST(FilterProcess, ImpulseResponseOfTheFirstBand) {
  constexpr std::array<double, 17> kRising = {-12,  -37,  -77, -138, -218, -307, -383, -422, -399,
                                              -298, -115, 136, 427,  720,  970,  1139, 1198};
  TFilter filter = Designed(1, 500, 1000);
  const std::vector<double> output = Outputs(filter, Impulse(10000.0, 40));
  for (int i = 0; i < 17; ++i) EXPECT_EQ(output[i], kRising[i]) << "output " << i + 1;
  for (int i = 17; i < 33; ++i) EXPECT_EQ(output[i], kRising[32 - i]) << "output " << i + 1;
  for (int i = 33; i < 40; ++i) EXPECT_EQ(output[i], 0.0) << "output " << i + 1;
}

TEST(FilterProcess, FirstOutputIsTheRoundedEndTapProduct) {
  TFilter filter = Designed(5, 4000, 8000);
  const double x = 20000.0;
  // The product is rounded to an integer as it stands in extended precision,
  // never first to a double (which could make a tie of it).
  EXPECT_EQ(filter.Process(x),
            std::nearbyint(static_cast<long double>(filter.Coefficients[0]) * x));
}

TEST(FilterProcess, SmallInputsVanishAtUnitGain) {
  for (const auto& f : kFigures) {
    TFilter filter = Designed(1, f.bandwidth, f.centre);
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(filter.Process(static_cast<double>(i % 3 - 1)), 0.0) << f.centre;
    }
  }
}

TEST(FilterProcess, UnitInputReachesTheCentreTapOfTheTopBandAtGainFive) {
  TFilter filter = Designed(5, 4000, 8000);
  EXPECT_NEAR(filter.Coefficients[16], 1.809, 0.001);
  const std::vector<double> output = Outputs(filter, Impulse(1.0, 17));
  EXPECT_EQ(output[16], 2.0);
}

TEST(FilterProcess, ExactHalvesGoToTheEvenNeighbour) {
  TFilter filter;
  filter.Coefficients[0] = 0.5;
  EXPECT_EQ(filter.Process(5.0), 2.0);  // 2.5
  EXPECT_EQ(filter.Process(7.0), 4.0);  // 3.5
  EXPECT_EQ(filter.Process(-5.0), -2.0);
  EXPECT_EQ(filter.Process(-7.0), -4.0);
  EXPECT_EQ(filter.Process(1.0), 0.0);  // 0.5
}

// These products lie 2^-62 beside a half-integer: too close for a 64-bit
// significand, so the extended product is the half-integer itself and rounds
// to its even neighbour, not to the nearer integer of the exact product.
TEST(FilterProcess, ProductsRoundToSixtyFourBitsBeforeTheInteger) {
  TFilter filter;
  filter.Coefficients[0] = 0x1.fa810b5254329p-10;  // * 2329 = 4.5 + 2^-62
  EXPECT_EQ(filter.Process(2329.0), 4.0);
  filter.Coefficients[0] = 0x1.578778d53de93p-10;  // * 4197 = 5.5 - 2^-62
  EXPECT_EQ(filter.Process(4197.0), 6.0);
}

TEST(FilterProcess, OutputIsWholeForFractionalInputs) {
  TFilter filter = Designed(4, 2000, 4000);
  for (int i = 0; i < 200; ++i) {
    const double y = filter.Process(1234.567 * std::sin(i * 0.37) + 0.25);
    EXPECT_EQ(y, std::trunc(y));
  }
}

TEST(FilterProcess, HistoryCarriesOverBetweenCalls) {
  // One run split anywhere gives the same outputs as one unbroken run, and
  // the history holds the inputs of the last calls.
  TFilter whole = Designed(2, 1000, 2000);
  TFilter split = Designed(2, 1000, 2000);
  std::vector<double> input;
  for (int i = 0; i < 64; ++i) input.push_back(std::round(9000 * std::cos(i * 0.9)));
  const std::vector<double> expected = Outputs(whole, input);
  for (size_t i = 0; i < input.size(); ++i) EXPECT_EQ(split.Process(input[i]), expected[i]);
  for (int k = 1; k < kTaps; ++k) EXPECT_EQ(split.History[k], input[input.size() - k]);
}

TEST(FilterProcess, RedesignForgetsEarlierInputs) {
  TFilter filter = Designed(3, 500, 1000);
  for (int i = 0; i < 20; ++i) filter.Process(30000.0);
  filter.SetBand(3, 500, 1000);
  TFilter fresh = Designed(3, 500, 1000);
  for (int i = 0; i < 40; ++i) {
    const double x = (i % 5) * 1000.0;
    EXPECT_EQ(filter.Process(x), fresh.Process(x));
  }
}

#if defined(__i386__) || defined(__x86_64__)
std::uint16_t ControlWord() {
  std::uint16_t word = 0;
  __asm__ volatile("fnstcw %0" : "=m"(word));
  return word;
}

void SetControlWord(std::uint16_t word) {
  __asm__ volatile("fldcw %0" : : "m"(word));
}

// Some Windows runtimes start at 53 bits; the filter must not depend on that.
TEST(FilterPrecision, DesignAndProcessDoNotDependOnTheCallersPrecision) {
  const std::uint16_t saved = ControlWord();
  SetControlWord(static_cast<std::uint16_t>((saved & ~0x0300) | 0x0300));
  TFilter extended = Designed(1, 500, 1000);
  const double extended_output = detail::ReferenceProcess(extended, 2329.0);
  SetControlWord(static_cast<std::uint16_t>((saved & ~0x0300) | 0x0200));  // 53 bits
  TFilter doubled = Designed(1, 500, 1000);
  const double doubled_output = detail::ReferenceProcess(doubled, 2329.0);
  TFilter tie;
  tie.Coefficients[0] = 0x1.fa810b5254329p-10;
  const double tie_output = detail::ReferenceProcess(tie, 2329.0);
  const std::uint16_t during = ControlWord();
  SetControlWord(saved);
  EXPECT_EQ(during & 0x0300, 0x0200) << "the filter left the caller's precision changed";
  EXPECT_EQ(doubled.Coefficients, extended.Coefficients);
  EXPECT_EQ(doubled_output, extended_output);
  EXPECT_EQ(tie_output, 4.0);
}
#endif

TEST(FilterPrecision, ExtendedPrecisionIsInForceAfterEnsuring) {
#if defined(__i386__) || defined(__x86_64__)
  EnsureExtendedPrecision();
  EXPECT_EQ(ControlWord() & 0x0300, 0x0300);
#else
  EnsureExtendedPrecision();
#endif
  // 1 + 2^-63 exists only with a 64-bit significand.
  volatile long double one = 1.0L;
  volatile long double tiny = 0x1p-63L;
  EXPECT_NE(one + tiny, one);
}

}  // namespace
}  // namespace lumrio::dsp
