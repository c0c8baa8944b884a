// The playback position between the device's reports.
#include "audio/playback_clock.h"

#include <algorithm>
#include <cmath>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;
// How late a sound system may mark a finished block done: one period.
constexpr double kMarkingMs = 10;
// The line is fitted through the blocks finished in the last this long, and
// at least this many, and trusted once it has that many.
constexpr double kLineMs = 20000;
constexpr int kLinePoints = 6;

}  // namespace

void PlaybackClock::Reset() {
  line_.Clear();
  anchorMs_ = 0;
  anchor_ = 0;
  finished_ = 0;
  finishedAtMs_ = -1;
  settled_ = false;
}

void PlaybackClock::Written(int64_t blockStart, double nowMs, bool deviceWasIdle) {
  if (!deviceWasIdle) return;
  // It plays the new block from its start; the time it spent idle is not
  // time it played, and when it starts again is not known.
  line_.Clear();
  anchorMs_ = nowMs;
  anchor_ = static_cast<double>(blockStart);
  finished_ = std::max(finished_, blockStart);
  settled_ = false;
}

int64_t PlaybackClock::At(double nowMs, int64_t finishedEnd, int64_t oldestEnd) {
  if (finishedEnd > finished_) Finished(nowMs, finishedEnd);
  const double position = std::clamp(Estimate(nowMs), static_cast<double>(finishedEnd),
                                     static_cast<double>(oldestEnd));
  return std::llround(std::floor(position));
}

// A block has just been seen finished: the device is at its end, or at most
// a marking period past it.
void PlaybackClock::Finished(double nowMs, int64_t finishedEnd) {
  const auto end = static_cast<double>(finishedEnd);
  if (line_.Count() >= 2 && Estimate(nowMs) - end > kMarkingMs * kSamplesPerMs) {
    line_.Clear();  // it finished later than it would have playing on: it was held up
  }
  line_.Add(nowMs, end);
  line_.DropOlderThan(nowMs - kLineMs, kLinePoints);
  anchorMs_ = nowMs;
  anchor_ = end;
  finished_ = finishedEnd;
  finishedAtMs_ = nowMs;
  settled_ = true;
}

double PlaybackClock::Estimate(double nowMs) const {
  if (line_.Count() >= kLinePoints && line_.Span() > 0) return line_.At(nowMs);
  return anchor_ + std::max(0.0, nowMs - anchorMs_) * kSamplesPerMs;
}

}  // namespace lumrio::audio
