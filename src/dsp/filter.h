// One equalizer band: a 33-tap linear-phase FIR band-pass filter, designed at
// run time from a centre frequency and a bandwidth, scaled by a whole-number
// gain, and run one sample at a time over a delay line of its own.
#pragma once

#include <array>

namespace lumrio::dsp {

inline constexpr int kTaps = 33;

// Makes the x87 unit round to a 64-bit significand from now on. The filter's
// arithmetic is defined in 80-bit extended precision, and some Windows
// runtimes start the process at 53 bits; the app's entry calls this once.
// The filter guards its own work too, so this only spares it the switching.
void EnsureExtendedPrecision();

class TFilter {
 public:
  // The delay line: entry 0 is the sample being processed, entry k the input
  // of k calls ago.
  std::array<double, kTaps> History{};
  // Coefficient k multiplies history entry k.
  std::array<double, kTaps> Coefficients{};

  // Windowed band-pass of order n (32 for 33 taps) between the band edges e1
  // and e2, given as fractions of the Nyquist frequency, normalised to about
  // unit gain at the middle of the band. Leaves History alone.
  void Design(int n, double e1, double e2);
  // Designs the band centre +/- bandwidth/2 Hz, scales it by gain and clears
  // the delay line.
  void SetBand(int gain, int bandwidth, int centre);
  // One sample in, one whole-numbered output out.
  double Process(double x);
};

namespace detail {

// The straightforward form of TFilter::Process, kept as the reference that
// the vectorised paths are checked against.
double ReferenceProcess(TFilter& filter, double x);

// Sum over the taps of each product rounded to an integer, exactly as the
// reference does it (extended-precision product, ties to even).
double ExactTapSum(const double* coefficients, const double* history, int stride);

}  // namespace detail

}  // namespace lumrio::dsp
