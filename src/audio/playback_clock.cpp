// The playback position between the device's reports.
#include "audio/playback_clock.h"

#include <algorithm>
#include <cmath>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;

}  // namespace

void PlaybackClock::Reset() {
  device_.Reset();
  writtenMs_ = 0;
  written_ = 0;
  finished_ = 0;
  settled_ = false;
}

void PlaybackClock::Written(int64_t blockStart, double nowMs, bool deviceWasIdle) {
  if (!deviceWasIdle) return;
  // It plays the new block from its start; the time it spent idle is not
  // time it played, and when it starts again is not known.
  device_.Reset();
  writtenMs_ = nowMs;
  written_ = static_cast<double>(blockStart);
  finished_ = std::max(finished_, blockStart);
  settled_ = false;
}

int64_t PlaybackClock::At(double nowMs, int64_t finishedEnd, int64_t oldestEnd,
                          int64_t queuedEnd) {
  if (finishedEnd > finished_) Report(nowMs, finishedEnd);
  // A device that marks blocks a period at a time may have played on by up
  // to a period past the oldest one it has not marked.
  const double ahead =
      std::min(static_cast<double>(queuedEnd),
               static_cast<double>(std::max(oldestEnd, finishedEnd)) + kMarkingMs * kSamplesPerMs);
  const double position = std::clamp(Estimate(nowMs), static_cast<double>(finishedEnd), ahead);
  return std::llround(std::floor(position));
}

void PlaybackClock::Report(double nowMs, int64_t finishedEnd) {
  device_.Report(nowMs, static_cast<double>(finishedEnd));
  finished_ = finishedEnd;
  settled_ = true;
}

double PlaybackClock::Estimate(double nowMs) const {
  if (device_.Known()) return device_.At(nowMs);
  return written_ + std::max(0.0, nowMs - writtenMs_) * kSamplesPerMs;
}

}  // namespace lumrio::audio
