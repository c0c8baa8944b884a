// Full-scale white noise for the benchmarks: the same seeded samples on
// every build, so figures of different builds measure the same work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace lumrio::bench {

inline std::vector<std::int16_t> Noise(std::size_t count) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::vector<std::int16_t> samples(count);
  for (auto& s : samples) s = static_cast<std::int16_t>(any(rng));
  return samples;
}

}  // namespace lumrio::bench
