// The playback position between the device's reports.
#include "audio/playback_clock.h"

#include <algorithm>
#include <cmath>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;

}  // namespace

void PlaybackClock::Reset() {
  position_ = 0;
  lastMs_ = 0;
  settled_ = false;
}

void PlaybackClock::Written(int64_t blockStart, double nowMs, bool deviceWasIdle) {
  if (!deviceWasIdle) return;
  // It plays the new block from its start, from now; the time it spent idle
  // is not time it played.
  position_ = static_cast<double>(blockStart);
  lastMs_ = nowMs;
}

int64_t PlaybackClock::At(double nowMs, int64_t finishedEnd, int64_t oldestEnd) {
  if (finishedEnd > 0) settled_ = true;
  position_ += std::max(0.0, nowMs - lastMs_) * kSamplesPerMs;
  lastMs_ = nowMs;
  position_ = std::clamp(position_, static_cast<double>(finishedEnd), static_cast<double>(oldestEnd));
  return std::llround(std::floor(position_));
}

}  // namespace lumrio::audio
