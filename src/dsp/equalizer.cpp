// The equalizer bank: four band filters, their set-up and redesign from the
// band sliders, and the mix that the block pipeline plays.
#include "dsp/equalizer.h"

#include <cmath>

#include "dsp/mix_kernel.h"

namespace lumrio::dsp {

const std::array<Band, 4> kBands = {{
    {1000, 500, "1000 Hz Filter", "1k", "Equalizer1k"},
    {2000, 1000, "2000 Hz Filter", "2k", "Equalizer2k"},
    {4000, 2000, "4000 Hz Filter", "4k", "Equalizer3k"},
    {8000, 4000, "8000 Hz Filter", "8k", "Equalizer4k"},
}};

int BandGain(int position) {
  return (100 - position) / 20;
}

EqualizerBank::EqualizerBank() = default;
EqualizerBank::~EqualizerBank() {
  Free();
}

void EqualizerBank::SetUp(const std::array<int, 4>& positions) {
  Free();
  for (auto& filter : filters_) filter = std::make_unique<TFilter>();
  for (int band = 0; band < 4; ++band) Redesign(band, positions[band]);
  if (detail::MixKernel::Available()) kernel_ = std::make_unique<detail::MixKernel>();
}

bool EqualizerBank::IsSetUp() const {
  for (const auto& filter : filters_) {
    if (!filter) return false;
  }
  return true;
}

void EqualizerBank::Redesign(int band, int position) {
  if (band < 0 || band >= 4 || !filters_[band]) return;
  const Band& desc = kBands[band];
  filters_[band]->SetBand(BandGain(position), desc.bandwidth, desc.centre);
}

double EqualizerBank::EqualizeSample(double x) {
  if (!IsSetUp()) return 0.0;
  double acc = 0.0;
  for (auto& filter : filters_) acc = filter->Process(x) + acc;
  return acc / 4;
}

void EqualizerBank::Free() {
  kernel_.reset();
  for (auto& filter : filters_) filter.reset();
}

TFilter* EqualizerBank::Filter(int band) const {
  if (band < 0 || band >= 4) return nullptr;
  return filters_[band].get();
}

bool EqualizerBank::EqualizeBlockFast(const int16_t* in, int16_t* out, int count) {
  if (!kernel_ || !IsSetUp()) return false;
  const std::array<TFilter*, 4> filters = {filters_[0].get(), filters_[1].get(), filters_[2].get(),
                                           filters_[3].get()};
  if (!kernel_->Load(filters)) return false;
  kernel_->Run(in, out, count);
  kernel_->Store(filters);
  return true;
}

int16_t MixToSample(double mix) {
  if (std::isnan(mix)) return 0;
  if (mix >= 32767.0) return 32767;
  if (mix <= -32768.0) return -32768;
  return static_cast<int16_t>(static_cast<int64_t>(mix));
}

void EqualizeBlock(EqualizerBank& bank, const int16_t* in, int16_t* out, int count) {
  if (count <= 0) return;
  if (bank.EqualizeBlockFast(in, out, count)) return;
  for (int i = 0; i < count; ++i) out[i] = MixToSample(bank.EqualizeSample(in[i]));
}

}  // namespace lumrio::dsp
