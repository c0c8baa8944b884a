// The delay rule: learn the content of the pipe in quiet running, then hold
// it there.
#include "audio/latency.h"

#include <algorithm>
#include <cmath>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;
constexpr int kOutliersBeforeRestart = 8;

}  // namespace

LatencyRule::LatencyRule(int32_t blockLength, LatencyLimits limits)
    : block_(blockLength), limits_(limits) {}

int64_t LatencyRule::Samples(double ms) const {
  return std::llround(ms * kSamplesPerMs);
}

int32_t LatencyRule::PlayCount(const PipeReading& r) {
  if (phase_ == Phase::Starting) return Start(r);
  // Until the device has finished a block since it last ran dry, `played`
  // runs on from the write and can only be ahead: the content is at least
  // this much, so an excess judged on it is there for certain.
  const int64_t content = (r.arrived - r.taken) + (r.queued - r.played);
  switch (phase_) {
    case Phase::Learning:
      Learn(r, content);
      break;
    case Phase::Holding:
      Hold(r, content);
      break;
    case Phase::Recovering:
      Recover(r, content);
      break;
    case Phase::Starting:
      break;
  }
  return Apply();
}

// The first blocks of a capture often arrive together: everything recorded
// while the window was still being made comes at once. Playing it all would
// add its age to the delay for the whole run. So playback starts with the
// newest of it, keeping a cushion in hand: a sound system that hands sound
// over a period (10 ms) at a time needs that much to play on without a gap.
//
// Long blocks start with a little silence in hand as well: two device clocks
// that disagree move the delay by a share of each block, and until the trend
// is known (a few blocks) nothing makes up for it; without that room the
// speaker could run dry. A margin shorter than a millisecond is lost in the
// sound system's own jitter and is left out.
int32_t LatencyRule::Start(const PipeReading& r) {
  const int64_t excess = (r.arrived - r.taken) - Samples(limits_.startCushionMs);
  int32_t play = block_ - static_cast<int32_t>(std::clamp<int64_t>(excess, 0, block_));
  if (play == 0) return 0;
  phase_ = Phase::Learning;
  const auto margin = static_cast<int32_t>(std::llround(limits_.clockMargin * block_));
  if (margin >= Samples(1)) startMargin_ = margin;
  return play + startMargin_;
}

void LatencyRule::Learn(const PipeReading& r, int64_t content) {
  // While learning, readings are not yet known to be quiet ones: only what
  // is plainly a fault is cut, a burst of captured sound or content far
  // beyond anything seen.
  const int64_t tolerance = Samples(limits_.toleranceMs);
  TakeOutExcess(r.arrived - r.taken, Samples(limits_.startCushionMs) + startMargin_);
  if (!r.settled) return;
  if (learningSince_ < 0) learningSince_ = r.nowMs;
  if (leastSeen_ >= 0 && TakeOutExcess(content, leastSeen_ + 2 * tolerance)) return;
  leastSeen_ = leastSeen_ < 0 ? content : std::min(leastSeen_, content);
  ++learnedReadings_;
  fit_.Add(r.nowMs, static_cast<double>(content + corrected_));
  if (r.nowMs - learningSince_ < limits_.learnMs || learnedReadings_ < limits_.learnReadings) {
    return;
  }
  // The level is the least content of quiet running plus a margin. The
  // cushion kept at the start is already a sound-system period in hand, as
  // much as a sound system that hands sound over a period at a time needs;
  // the margin makes up for the least reading lying below the typical one by
  // about half the readings' jitter.
  level_ = leastSeen_ + Samples(limits_.marginMs);
  Restart(r.nowMs, true);
}

// A fault moves the content at once; two clocks that disagree move it
// steadily, and that is the trend's to even out. So content beyond the
// tolerance counts as a fault only where the trend does not explain it.
void LatencyRule::Hold(const PipeReading& r, int64_t content) {
  if (TrendKnown()) {
    const double expected = fit_.At(r.nowMs) - static_cast<double>(corrected_);
    const auto tolerance = static_cast<double>(Samples(limits_.toleranceMs));
    const double unexplained = static_cast<double>(content - pendingCut_) - expected;
    if (unexplained <= tolerance && static_cast<double>(content - pendingCut_ - level_) <= 3 * tolerance) {
      if (r.settled) EvenOutDrift(r, content);
      return;
    }
  }
  if (TakeOutExcess(content, level_)) {
    phase_ = Phase::Recovering;
    faultMs_ = r.nowMs;
    return;
  }
  if (r.settled) EvenOutDrift(r, content);
}

// A sound system's thread that runs late now and then makes a reading far off
// the trend; it says nothing about drift. Many in a row, though, are a new
// state of things, and the trend starts again from them.
bool LatencyRule::Outlier(const PipeReading& r, int64_t content) {
  if (!TrendKnown()) return false;
  const double off = static_cast<double>(content + corrected_) - fit_.At(r.nowMs);
  if (std::abs(off) <= static_cast<double>(Samples(limits_.toleranceMs))) {
    outliers_ = 0;
    return false;
  }
  if (++outliers_ < kOutliersBeforeRestart) return true;
  outliers_ = 0;
  fit_.Clear();
  return false;
}

bool LatencyRule::TrendKnown() const {
  return fit_.Count() >= limits_.fitSettleReadings && fit_.Span() >= limits_.fitSettleMs;
}

// After a fault the device's position is a guess until it has finished a
// block again (it may have been stalled, or have run dry and taken a while
// to start). Then what is left of the excess, or of a deficit, is made up at
// once, and holding starts afresh.
void LatencyRule::Recover(const PipeReading& r, int64_t content) {
  if (!r.settled || r.finishedAtMs <= faultMs_) {
    if (TakeOutExcess(content, level_)) faultMs_ = r.nowMs;
    return;
  }
  const int64_t off = content - pendingCut_ - level_;
  if (off > Samples(limits_.driftDeadbandMs)) {
    pendingCut_ += off;
  } else if (off < -Samples(limits_.driftDeadbandMs)) {
    pendingCut_ = 0;
    pendingStretch_ = std::min(-off, Samples(limits_.maxSettleStretchMs));
  }
  Restart(r.nowMs, false);
}

// Holding begins, with the trend of the readings so far or, after a fault,
// afresh: the trend before it says nothing about what follows.
void LatencyRule::Restart(double nowMs, bool keepTrend) {
  phase_ = Phase::Holding;
  lastCorrectionMs_ = nowMs;
  if (keepTrend) return;
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
  if (Outlier(r, content)) return;
  fit_.Add(r.nowMs, static_cast<double>(content + corrected_));
  fit_.DropOlderThan(r.nowMs - limits_.fitMs, limits_.fitReadings);
  if (pendingCut_ > 0 || pendingStretch_ > 0) return;
  if (r.nowMs - lastCorrectionMs_ < limits_.correctionIntervalMs) return;
  if (!TrendKnown()) return;
  // A correction made now holds for the block about to be played: aim it at
  // the middle of that block.
  const double ahead = r.nowMs + static_cast<double>(block_) / (2 * kSamplesPerMs);
  const double drift = fit_.At(ahead) - static_cast<double>(corrected_ + level_);
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

}  // namespace lumrio::audio
