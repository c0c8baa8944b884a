// The band filter: design in 80-bit extended precision, and a per-sample step
// whose products are each rounded to a whole number.
#include "dsp/filter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/tap_sum.h"
#include "dsp/x87.h"

namespace lumrio::dsp {
namespace {

using Extended = long double;

constexpr Extended kPi = 3.141592653589793238462643383279502884L;
constexpr int kMaxOrder = kTaps - 1;

// The x87 FIST* rounding: nearest, exact halves to the even neighbour.
std::int64_t RoundToInteger(Extended value) {
  return std::llrint(value);
}

// Hamming window over order + 1 points.
void FillWindow(int order, double* window) {
  for (int k = 0; k <= order; ++k) {
    window[k] = static_cast<double>(0.54L - 0.46L * std::cos(2.0L * kPi * k / order));
  }
}

// Ideal band-pass response d(t) for t = 0 .. order / 2.
void FillIdealResponse(int order, double f1, double f2, double* ideal) {
  const double width = static_cast<double>(Extended{f2} - f1);
  ideal[0] = static_cast<double>(2.0L * width);
  for (int t = 1; t <= order / 2; ++t) {
    const double u = static_cast<double>(kPi * t);
    const Extended sine_factor = 2.0L * std::sin(Extended{width} * u);
    const Extended cosine_factor = std::cos((Extended{f1} + f2) * u);
    ideal[t] = static_cast<double>(sine_factor * cosine_factor / u);
  }
}

// Divides the taps by the magnitude of the response at the middle of the
// band. The final extra Re term is part of the established design: it makes
// the centre gain come out close to, but not exactly, 1.
void NormaliseAtBandMiddle(int order, double f1, double f2, double* taps) {
  double re = 0.0;
  double im = 0.0;
  const Extended sum_of_edges = Extended{f1} + f2;
  for (int k = 0; k <= order; ++k) {
    const Extended angle = sum_of_edges * (order + 1 - k) * kPi;
    re = static_cast<double>(re + taps[k] * std::cos(angle));
    im = static_cast<double>(im + taps[k] * std::sin(angle));
  }
  re = static_cast<double>(Extended{re} + taps[order]);
  const double g = static_cast<double>(std::sqrt(Extended{re} * re + Extended{im} * im));
  for (int k = 0; k <= order; ++k) taps[k] = static_cast<double>(taps[k] / Extended{g});
}

}  // namespace

void EnsureExtendedPrecision() {
  using namespace detail;
  const std::uint16_t word = ReadX87ControlWord();
  if ((word & kX87PrecisionMask) != kX87PrecisionMask) {
    WriteX87ControlWord(static_cast<std::uint16_t>(word | kX87PrecisionMask));
  }
}

void TFilter::Design(int n, double e1, double e2) {
  const detail::ExtendedPrecisionScope precision;
  const int order = std::clamp(n, 2, kMaxOrder);
  const int middle = order / 2;
  std::array<double, kTaps> window{};
  std::array<double, kTaps> ideal{};
  FillWindow(order, window.data());
  const double f1 = static_cast<double>(e1 / 2.0L);
  const double f2 = static_cast<double>(e2 / 2.0L);
  FillIdealResponse(order, f1, f2, ideal.data());
  Coefficients.fill(0.0);
  for (int k = 0; k <= order; ++k) {
    Coefficients[k] = static_cast<double>(Extended{ideal[std::abs(k - middle)]} * window[k]);
  }
  NormaliseAtBandMiddle(order, f1, f2, Coefficients.data());
}

void TFilter::SetBand(int gain, int bandwidth, int centre) {
  const detail::ExtendedPrecisionScope precision;
  const std::int64_t half = RoundToInteger(bandwidth / 2.0L);
  const double e1 = static_cast<double>((centre - half) / 11025.0L);
  const double e2 = static_cast<double>((centre + half) / 11025.0L);
  Design(kMaxOrder, e1, e2);
  for (int k = 0; k < kTaps; ++k) {
    Coefficients[k] = static_cast<double>(Extended{Coefficients[k]} * gain);
    History[k] = 0.0;
  }
}

double TFilter::Process(double x) {
  History[0] = x;
  double sum = 0.0;
  if (!detail::TryFastTapSum(Coefficients.data(), History.data(), sum)) {
    sum = detail::ExactTapSum(Coefficients.data(), History.data(), 1);
  }
  std::copy_backward(History.begin(), History.end() - 1, History.end());
  return sum;
}

namespace detail {

double ExactTapSum(const double* coefficients, const double* history, int stride) {
  const ExtendedPrecisionScope precision;
  double sum = 0.0;
  for (int k = 0; k < kTaps; ++k) {
    const Extended product = Extended{coefficients[k * stride]} * history[k * stride];
    sum = static_cast<double>(sum + static_cast<Extended>(RoundToInteger(product)));
  }
  return sum;
}

double ReferenceProcess(TFilter& filter, double x) {
  const ExtendedPrecisionScope precision;
  filter.History[0] = x;
  double sum = 0.0;
  for (int k = 0; k < kTaps; ++k) {
    const Extended product = Extended{filter.Coefficients[k]} * filter.History[k];
    sum = static_cast<double>(sum + static_cast<Extended>(RoundToInteger(product)));
  }
  for (int k = kTaps - 1; k >= 1; --k) filter.History[k] = filter.History[k - 1];
  return sum;
}

}  // namespace detail
}  // namespace lumrio::dsp
