// The four-band mix over whole blocks of samples, vectorised across the bands:
// one delay line of four lanes (one per band) in a doubled ring buffer, so the
// 33 taps are always read contiguously and nothing is shifted.
//
// The bank's filters stay the owners of the state: a block loads their
// coefficients and delay lines, runs, and writes the delay lines back. Each
// output is bit-identical to four TFilter::Process calls (see tap_sum.h for
// why the double products may be used; a sample that meets a half-integer
// product is redone in extended precision).
#pragma once

#include <array>
#include <cstdint>

#include "dsp/filter.h"

namespace lumrio::dsp::detail {

inline constexpr int kBandCount = 4;

class MixKernel {
 public:
  // True where this build has a vectorised block path at all.
  static bool Available();

  // Takes over the filters' coefficients and delay lines. False when a value
  // lies outside the range for which the fast products are proven exact; the
  // caller then uses the filters directly.
  bool Load(const std::array<TFilter*, kBandCount>& filters);
  // Writes the delay lines back as TFilter::Process would have left them.
  void Store(const std::array<TFilter*, kBandCount>& filters) const;
  // Mixes count samples; out[i] is MixToSample of the mix for in[i].
  void Run(const std::int16_t* in, std::int16_t* out, int count);
  // The same, delivering the mixes themselves.
  void RunMixes(const std::int16_t* in, double* mixes, int count);

  // Layout shared with the per-target loops.
  static constexpr int kRingSteps = 2 * kTaps;
  alignas(64) std::array<double, kTaps * kBandCount> coefficients{};  // [tap][band]
  alignas(64) std::array<double, kRingSteps * kBandCount> ring{};     // [step][band]
  int newest = 1;  // ring step of the latest input; taps read newest .. newest + 32
};

// Exact sum of the four bands at the ring's current position, for the rare
// samples where a product lands on a half-integer.
double ExactMix(const MixKernel& kernel);

}  // namespace lumrio::dsp::detail
