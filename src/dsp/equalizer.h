// The four-band equalizer: the band table, the slider-to-gain rule, the four
// filters the main window owns, and the per-sample mix of their outputs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "dsp/filter.h"

namespace lumrio::dsp {

namespace detail {
class MixKernel;
}

struct Band {
  int centre;
  int bandwidth;
  const char* hint;
  const char* label;
  const char* settingName;
};

extern const std::array<Band, 4> kBands;

// Band slider position (0 at the top .. 80) to whole-number gain (5 .. 1).
int BandGain(int position);

class EqualizerBank {
 public:
  EqualizerBank();
  ~EqualizerBank();
  EqualizerBank(const EqualizerBank&) = delete;
  EqualizerBank& operator=(const EqualizerBank&) = delete;

  // Creates Filter1 .. Filter4 in order and designs each from its slider.
  void SetUp(const std::array<int, 4>& positions);
  bool IsSetUp() const;
  // Redesigns one band (0 .. 3) from its slider, clearing only its history.
  void Redesign(int band, int position);
  // The mean of the four band outputs for one input sample.
  double EqualizeSample(double x);
  // Frees Filter1 .. Filter4 in that order, skipping missing ones.
  void Free();
  TFilter* Filter(int band) const;

 private:
  friend void EqualizeBlock(EqualizerBank& bank, const int16_t* in, int16_t* out, int count);
  bool EqualizeBlockFast(const int16_t* in, int16_t* out, int count);

  std::array<std::unique_ptr<TFilter>, 4> filters_;
  std::unique_ptr<detail::MixKernel> kernel_;
};

// Truncates toward zero, then saturates to -32768..32767: an equalized value
// beyond the sample range is played at full scale rather than wrapped around.
int16_t MixToSample(double mix);

// Fills out[0..count) from in[0..count): every sample through
// EqualizeSample, in order.
void EqualizeBlock(EqualizerBank& bank, const int16_t* in, int16_t* out, int count);

}  // namespace lumrio::dsp
