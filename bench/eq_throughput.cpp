// Equalizer throughput without a benchmark library, so that the Windows
// builds can be measured under Wine as well as the native one (each with the
// block loop its CPU check picks). Prints, per block length, how many seconds
// of audio one core equalizes per second ("x real time"), the best of several
// rounds.
//
//   eq_throughput [SECONDS_OF_AUDIO_PER_ROUND]   (default 60)
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/noise.h"
#include "dsp/equalizer.h"

namespace {

constexpr int kSampleRate = 22050;
constexpr int kRounds = 3;
constexpr std::array<int, 4> kPositions = {0, 30, 50, 80};
constexpr std::array<int, 3> kBlocks = {64, 2205, 8820};

// Seconds of audio equalized per second of wall time, over one round.
double RealTimeMultiple(int block, int seconds_of_audio) {
  lumrio::dsp::EqualizerBank bank;
  bank.SetUp(kPositions);
  const std::vector<std::int16_t> input = lumrio::bench::Noise(static_cast<size_t>(block));
  std::vector<std::int16_t> output(input.size());
  const long long blocks = static_cast<long long>(seconds_of_audio) * kSampleRate / block;
  std::int64_t checksum = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long long i = 0; i < blocks; ++i) {
    lumrio::dsp::EqualizeBlock(bank, input.data(), output.data(), block);
    checksum += output[static_cast<size_t>(i % block)];
  }
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  // Printed so that the work cannot be optimised away.
  std::fprintf(stderr, "block %d: checksum %lld\n", block, static_cast<long long>(checksum));
  return static_cast<double>(blocks) * block / kSampleRate / spent.count();
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  std::printf("%zu-bit build, %d s of audio a round, best of %d rounds\n", sizeof(void*) * 8,
              seconds, kRounds);
  for (int block : kBlocks) {
    double best = 0.0;
    for (int round = 0; round < kRounds; ++round) {
      best = std::max(best, RealTimeMultiple(block, seconds));
    }
    std::printf("EqualizeBlock/%d: %.0f x real time\n", block, best);
  }
  return 0;
}
