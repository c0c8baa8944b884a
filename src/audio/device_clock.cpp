// A device's position from its late reports.
#include "audio/device_clock.h"

#include <algorithm>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;
// A report behind the line by more than this is a stop, not lateness.
constexpr double kStoppedMs = 15;
// The line goes through the reports of the last this long, and at least
// this many.
constexpr double kLineMs = 2000;
constexpr int kLinePoints = 8;

}  // namespace

void DeviceClock::Reset() {
  line_.Clear();
  lift_ = 0;
}

void DeviceClock::Report(double nowMs, double position) {
  if (Known() && At(nowMs) - position > kStoppedMs * kSamplesPerMs) Reset();
  line_.Add(nowMs, position);
  line_.DropOlderThan(nowMs - kLineMs, kLinePoints);
  lastMs_ = nowMs;
  last_ = position;
  lift_ = 0;
  if (line_.Span() <= 0) return;
  line_.ForEach([this](double t, double p) { lift_ = std::max(lift_, p - line_.At(t)); });
}

double DeviceClock::At(double nowMs) const {
  if (line_.Span() > 0) return line_.At(nowMs) + lift_;
  return last_ + std::max(0.0, nowMs - lastMs_) * kSamplesPerMs;
}

}  // namespace lumrio::audio
