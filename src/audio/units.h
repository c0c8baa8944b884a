// The one sample rate and the one period the engine and its rules work in,
// and the conversions between milliseconds and samples.
#pragma once

#include <cstdint>

namespace lumrio::audio {

// Mono, 16-bit: the rate the devices are opened at.
inline constexpr uint32_t kSampleRate = 22050;

// Sound systems hand sound over, and count their position, a period at a
// time: 10 ms on Windows, under Wine as well. Short blocks arrive that much
// at a time, a count read between periods lags by up to that much, and a
// playback stream needs that much in hand to play on without a gap.
inline constexpr double kPeriodMs = 10;

// Milliseconds to samples, whole samples toward zero.
constexpr int64_t SamplesIn(double ms) {
  return static_cast<int64_t>(ms * static_cast<double>(kSampleRate) / 1000.0);
}

// Milliseconds to samples, with the fraction kept.
constexpr double ExactSamplesIn(double ms) {
  return ms * static_cast<double>(kSampleRate) / 1000.0;
}

// Samples to milliseconds.
constexpr double MsOf(int64_t samples) {
  return static_cast<double>(samples) * 1000.0 / static_cast<double>(kSampleRate);
}

}  // namespace lumrio::audio
