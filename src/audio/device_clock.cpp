// A device's position from its late reports.
#include "audio/device_clock.h"

#include <algorithm>
#include <limits>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;
// A report behind the line by more than this is a stop, not lateness.
constexpr double kStoppedMs = 15;
// The pace is fitted over this long, once the reports span a third of it,
// and only if it lies within this share of the nominal rate (else a device
// is misreporting, and the nominal rate is the better guess).
constexpr double kPaceMs = 30000;
constexpr double kPaceTrustedMs = kPaceMs / 3;
constexpr double kLargestPaceError = 0.01;
// The line is moved up on the reports of the last this long, but on at
// least the last few and at most the last many; with fewer than a couple it
// is not moved up at all.
constexpr double kLiftMs = 4000;
constexpr size_t kLiftFewPoints = 8;
constexpr size_t kLiftMostPoints = 64;
constexpr size_t kLiftLeastPoints = 3;

}  // namespace

void DeviceClock::Reset() {
  pace_.Clear();
  recent_.clear();
  lift_ = 0;
}

double DeviceClock::Slope() const {
  if (pace_.Span() < kPaceTrustedMs) return kSamplesPerMs;
  const double slope = pace_.At(1) - pace_.At(0);
  if (slope < kSamplesPerMs * (1 - kLargestPaceError) ||
      slope > kSamplesPerMs * (1 + kLargestPaceError)) {
    return kSamplesPerMs;
  }
  return slope;
}

void DeviceClock::Report(double nowMs, double position) {
  if (Known() && At(nowMs) - position > kStoppedMs * kSamplesPerMs) Reset();
  pace_.Add(nowMs, position);
  pace_.DropOlderThan(nowMs - kPaceMs, 2);
  recent_.push_back({nowMs, position});
  while (recent_.size() > kLiftFewPoints &&
         (recent_.size() > kLiftMostPoints || recent_.front().t < nowMs - kLiftMs)) {
    recent_.pop_front();
  }
  const double slope = Slope();
  lift_ = -std::numeric_limits<double>::infinity();
  for (const Point& p : recent_) lift_ = std::max(lift_, p.position - slope * (p.t - nowMs));
}

double DeviceClock::At(double nowMs) const {
  const Point& last = recent_.back();
  const double lag = recent_.size() < kLiftLeastPoints ? typicalLagMs_ * kSamplesPerMs : 0;
  return lift_ + lag + Slope() * (nowMs - last.t);
}

}  // namespace lumrio::audio
