// Throughput of the band filter and the four-band mix. The "x_realtime"
// counter is how many seconds of mono audio at 22050 samples per second one
// core processes per second: a single band for the filter benchmarks, all
// four bands for the mix.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bench/noise.h"
#include "dsp/equalizer.h"

namespace {

using lumrio::dsp::EqualizerBank;
using lumrio::dsp::TFilter;

constexpr double kSampleRate = 22050.0;
constexpr std::array<int, 4> kPositions = {0, 30, 50, 80};

void ReportRealTime(benchmark::State& state, double samples) {
  state.counters["x_realtime"] =
      benchmark::Counter(samples / kSampleRate, benchmark::Counter::kIsRate);
}

template <typename Step>
void RunPerSample(benchmark::State& state, Step step) {
  const std::vector<std::int16_t> input = lumrio::bench::Noise(4096);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(step(input[i]));
    i = (i + 1) & 4095;
  }
  ReportRealTime(state, static_cast<double>(state.iterations()));
}

void BM_ReferenceProcess(benchmark::State& state) {
  TFilter filter;
  filter.SetBand(3, 2000, 4000);
  RunPerSample(state, [&](double x) { return lumrio::dsp::detail::ReferenceProcess(filter, x); });
}
BENCHMARK(BM_ReferenceProcess);

void BM_Process(benchmark::State& state) {
  TFilter filter;
  filter.SetBand(3, 2000, 4000);
  RunPerSample(state, [&](double x) { return filter.Process(x); });
}
BENCHMARK(BM_Process);

// The straightforward mix: four reference filters per sample.
void BM_ReferenceMix(benchmark::State& state) {
  std::array<TFilter, 4> bands;
  for (int b = 0; b < 4; ++b) {
    const auto& band = lumrio::dsp::kBands[b];
    bands[b].SetBand(lumrio::dsp::BandGain(kPositions[b]), band.bandwidth, band.centre);
  }
  RunPerSample(state, [&](double x) {
    double acc = 0.0;
    for (auto& f : bands) acc = lumrio::dsp::detail::ReferenceProcess(f, x) + acc;
    return acc / 4;
  });
}
BENCHMARK(BM_ReferenceMix);

void BM_EqualizeSample(benchmark::State& state) {
  EqualizerBank bank;
  bank.SetUp(kPositions);
  RunPerSample(state, [&](double x) { return bank.EqualizeSample(x); });
}
BENCHMARK(BM_EqualizeSample);

// Whole blocks, as the pipeline runs them; the argument is BlockLength.
void BM_EqualizeBlock(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  EqualizerBank bank;
  bank.SetUp(kPositions);
  const std::vector<std::int16_t> input = lumrio::bench::Noise(static_cast<size_t>(length));
  std::vector<std::int16_t> output(input.size());
  for (auto _ : state) {
    lumrio::dsp::EqualizeBlock(bank, input.data(), output.data(), length);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  ReportRealTime(state, static_cast<double>(state.iterations()) * length);
}
BENCHMARK(BM_EqualizeBlock)->Arg(64)->Arg(2205)->Arg(8820);

}  // namespace
