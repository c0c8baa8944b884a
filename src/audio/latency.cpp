// The delay rule: learn the content of the pipe in quiet running, then hold
// it there.
#include "audio/latency.h"

#include <algorithm>
#include <cmath>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;
constexpr double kRebaseMs = 60000;

}  // namespace

LatencyRule::LatencyRule(int32_t blockLength, LatencyLimits limits)
    : block_(blockLength), limits_(limits) {}

int64_t LatencyRule::Samples(double ms) const {
  return std::llround(ms * kSamplesPerMs);
}

int32_t LatencyRule::PlayCount(const PipeReading& r) {
  if (phase_ == Phase::Starting) return Start(r);
  const int64_t waiting = r.arrived - r.taken;
  if (!r.settled) {
    // Until the device has handed a block back, only the captured part of
    // the content is known for certain; judge that alone.
    TakeOutExcess(waiting, Samples(limits_.startCushionMs));
    return Apply();
  }
  const int64_t content = waiting + (r.queued - r.played);
  if (phase_ == Phase::Learning) {
    Learn(r, content);
  } else if (TakeOutExcess(content, level_)) {
    // After a fault the trend so far says nothing about what follows.
    fit_.Clear();
    corrected_ = 0;
  } else {
    EvenOutDrift(r, content);
  }
  return Apply();
}

// The first blocks of a capture often arrive together: everything recorded
// while the window was still being made comes at once. Playing it all would
// add its age to the delay for the whole run. So playback starts with the
// newest of it, keeping a cushion in hand: a sound system that hands sound
// over a period (10 ms) at a time needs that much to play on without a gap.
int32_t LatencyRule::Start(const PipeReading& r) {
  const int64_t excess = (r.arrived - r.taken) - Samples(limits_.startCushionMs);
  const int32_t play = block_ - static_cast<int32_t>(std::clamp<int64_t>(excess, 0, block_));
  if (play > 0) phase_ = Phase::Learning;
  return play;
}

void LatencyRule::Learn(const PipeReading& r, int64_t content) {
  if (learningSince_ < 0) learningSince_ = r.nowMs;
  leastSeen_ = leastSeen_ < 0 ? content : std::min(leastSeen_, content);
  ++learnedReadings_;
  // A fault while learning is cut against what has been seen so far.
  TakeOutExcess(content, leastSeen_ + Samples(limits_.marginMs));
  if (r.nowMs - learningSince_ < limits_.learnMs || learnedReadings_ < limits_.learnReadings) {
    return;
  }
  level_ = leastSeen_ + Samples(limits_.marginMs);
  phase_ = Phase::Holding;
  lastCorrectionMs_ = r.nowMs;
  fit_.Clear();
  corrected_ = 0;
}

// Content beyond the level by more than the tolerance is a fault's doing (a
// stall, a burst, a device that ran dry or started slowly): all of it goes,
// from the oldest sound about to be played.
bool LatencyRule::TakeOutExcess(int64_t content, int64_t level) {
  const int64_t excess = content - pendingCut_ - level;
  if (excess <= Samples(limits_.toleranceMs)) return false;
  pendingCut_ += excess;
  pendingStretch_ = 0;
  ++faultCuts_;
  return true;
}

// Two device clocks that disagree move the content slowly and steadily. The
// trend of the readings, not one reading, decides; each correction is small
// and they come at most once a second, so none is heard as a jump.
void LatencyRule::EvenOutDrift(const PipeReading& r, int64_t content) {
  fit_.Add(r.nowMs, static_cast<double>(content + corrected_));
  fit_.DropOlderThan(r.nowMs - limits_.fitMs, limits_.fitReadings);
  if (pendingCut_ > 0 || pendingStretch_ > 0) return;
  if (r.nowMs - lastCorrectionMs_ < limits_.correctionIntervalMs) return;
  if (!fit_.Ready(limits_.correctionIntervalMs, limits_.fitReadings)) return;
  const double drift = fit_.At(r.nowMs) - static_cast<double>(corrected_ + level_);
  if (std::abs(drift) < limits_.driftDeadbandMs * kSamplesPerMs) return;
  const double step = std::clamp(drift, -limits_.maxCorrectionMs * kSamplesPerMs,
                                 limits_.maxCorrectionMs * kSamplesPerMs);
  const int64_t samples = std::llround(step);
  if (samples > 0) {
    pendingCut_ = samples;
  } else {
    pendingStretch_ = -samples;
  }
  lastCorrectionMs_ = r.nowMs;
  ++driftCorrections_;
}

int32_t LatencyRule::Apply() {
  if (pendingStretch_ > 0) {
    const auto stretch = static_cast<int32_t>(pendingStretch_);
    pendingStretch_ = 0;
    corrected_ -= stretch;
    return block_ + stretch;
  }
  const auto cut = static_cast<int32_t>(std::min<int64_t>(pendingCut_, block_));
  pendingCut_ -= cut;
  corrected_ += cut;
  return block_ - cut;
}

void LatencyRule::DriftFit::Clear() {
  points_.clear();
  sumT_ = sumC_ = sumTT_ = sumTC_ = 0;
}

void LatencyRule::DriftFit::Add(double t, double content) {
  if (points_.empty()) base_ = t;
  // The sums are kept relative to a base near the points, or over a long run
  // the squares would swamp the differences they are there to measure.
  if (t - base_ > kRebaseMs) Rebase(points_.front().t + base_);
  Push(t - base_, content);
}

void LatencyRule::DriftFit::Push(double x, double content) {
  points_.push_back({x, content});
  sumT_ += x;
  sumC_ += content;
  sumTT_ += x * x;
  sumTC_ += x * content;
}

void LatencyRule::DriftFit::DropOlderThan(double t, int keep) {
  while (static_cast<int>(points_.size()) > keep && points_.front().t < t - base_) {
    const Point p = points_.front();
    points_.pop_front();
    sumT_ -= p.t;
    sumC_ -= p.content;
    sumTT_ -= p.t * p.t;
    sumTC_ -= p.t * p.content;
  }
}

void LatencyRule::DriftFit::Rebase(double base) {
  std::deque<Point> points;
  points.swap(points_);
  const double old = base_;
  Clear();
  base_ = base;
  for (const Point& p : points) Push(p.t + old - base_, p.content);
}

bool LatencyRule::DriftFit::Ready(double minSpanMs, int minReadings) const {
  return static_cast<int>(points_.size()) >= minReadings &&
         points_.back().t - points_.front().t >= minSpanMs;
}

double LatencyRule::DriftFit::At(double t) const {
  const auto n = static_cast<double>(points_.size());
  const double meanT = sumT_ / n;
  const double meanC = sumC_ / n;
  const double spread = sumTT_ / n - meanT * meanT;
  if (spread <= 1e-9) return meanC;
  const double slope = (sumTC_ / n - meanT * meanC) / spread;
  return meanC + slope * (t - base_ - meanT);
}

}  // namespace lumrio::audio
