// The delay rule: learn the content of the pipe in quiet running, then hold
// it there.
#include "audio/latency.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = 22050.0 / 1000.0;
constexpr int kOutliersBeforeRestart = 8;
// Corrections made one after the other to come back after a fault.
constexpr int kSettleRounds = 3;

// Learning settles for what it has seen after this long.
constexpr double kLongestLearningMs = 20000;

// The longest period a capture device hands sound over in, and the most the
// level is raised to keep the playback device fed as the periods slide.
constexpr double kLongestPeriodMs = 15;
constexpr double kMostRaiseMs = 10;

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
  if (r.settled) WatchCapturePeriod(r);
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
  if (!r.settled) {
    // Until the device has finished a block, the content is reckoned as if
    // it played from the moment it was written: what the start put in hand.
    startContent_ = startContent_ < 0 ? content : std::min(startContent_, content);
    return;
  }
  if (learningSince_ < 0) learningSince_ = r.nowMs;
  // Quiet running holds what the start put in hand and the sound system's
  // start-up latency; more is a stream that started slowly and kept what
  // piled up meanwhile, and goes at once. Nor is anything far beyond what
  // learning has seen a quiet reading.
  if (startContent_ >= 0 &&
      content - pendingCut_ > startContent_ + Samples(limits_.startLatencyMs)) {
    pendingCut_ = content - startContent_ - Samples(limits_.startLatencyMs);
    return;
  }
  if (!learned_.empty()) {
    const auto least = std::min_element(learned_.begin(), learned_.end(), [](const auto& a, const auto& b) {
      return a.second < b.second;
    });
    if (TakeOutExcess(content, least->second + 2 * tolerance)) return;
  }
  learned_.emplace_back(r.nowMs, content);
  everLearned_.push_back(content);
  playbackLeast_ = std::min(playbackLeast_, r.queued - r.played);
  fit_.Add(r.nowMs, static_cast<double>(content + corrected_));
  // Quiet running is running whose readings have kept within the tolerance
  // of each other for a while; until then (a stream that starts slowly, a
  // device whose pace is still being measured) learning goes on.
  while (learned_.size() > static_cast<size_t>(limits_.learnReadings) &&
         learned_.front().first < r.nowMs - limits_.learnMs) {
    learned_.pop_front();
  }
  if (r.nowMs - learningSince_ < limits_.learnMs ||
      learned_.size() < static_cast<size_t>(limits_.learnReadings)) {
    return;
  }
  const auto [least, most] = std::minmax_element(
      learned_.begin(), learned_.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  if (most->second - least->second > tolerance && r.nowMs - learningSince_ < kLongestLearningMs) {
    return;
  }
  // The level is the least content of quiet running plus a margin: the
  // cushion kept at the start is already a sound-system period in hand, as
  // much as a sound system that hands sound over a period at a time needs.
  // The least is taken over all of learning (what piled up while a stream
  // started slowly is no part of it) but leaving out the lowest tenth of the
  // readings, which a late thread can push down; the margin makes up for
  // the rest of the readings' jitter. Readings that hardly jitter need no
  // margin: the level is never above their median, so quiet running is left
  // as it is.
  const auto tenth = everLearned_.begin() + static_cast<std::ptrdiff_t>(everLearned_.size() / 10);
  const auto median = everLearned_.begin() + static_cast<std::ptrdiff_t>(everLearned_.size() / 2);
  std::nth_element(everLearned_.begin(), tenth, everLearned_.end());
  std::nth_element(tenth, median, everLearned_.end());
  level_ = std::min(*tenth + Samples(limits_.marginMs), *median);
  learnedLevel_ = level_;
  KeepThePlaybackFed();
  learned_.clear();
  everLearned_.clear();
  everLearned_.shrink_to_fit();
  Restart(r.nowMs, true);
}

// A fault moves the content at once; two clocks that disagree move it
// steadily, and that is the trend's to even out. So content beyond the
// tolerance counts as a fault only where the trend does not explain it. An
// excess is cut at once; a shortfall (input lost while the speaker ran dry)
// is made up once the device's position is known again.
void LatencyRule::Hold(const PipeReading& r, int64_t content) {
  KeepThePlaybackFed();
  const auto tolerance = static_cast<double>(Samples(limits_.toleranceMs));
  const double off = static_cast<double>(content - pendingCut_ - level_);
  if (OnTrend(r, content) && std::abs(off) <= 3 * tolerance) {
    if (r.settled) EvenOutDrift(r, content);
    return;
  }
  // A large excess goes at once; anything smaller waits for the device's
  // next report, which tells whether it was there at all.
  if (off > 2 * tolerance) TakeOutExcess(content, level_);
  if (!r.settled && off <= 2 * tolerance) return;
  phase_ = Phase::Recovering;
  faultQueued_ = r.queued;
  settleRounds_ = 0;
}

// After a fault the device's position is a guess until it has finished a
// block again (it may have been stalled, or have run dry and taken a while
// to start). Then what is left of the excess, or of a shortfall, is made up
// at once, a block at a time, and holding starts again.
void LatencyRule::Recover(const PipeReading& r, int64_t content) {
  if (!r.settled || r.finished <= faultQueued_) {
    if (content - pendingCut_ - level_ > 2 * Samples(limits_.toleranceMs)) {
      TakeOutExcess(content, level_);
      faultQueued_ = r.queued;
    }
    return;
  }
  const int64_t off = content - pendingCut_ - level_;
  const int64_t deadband = Samples(limits_.driftDeadbandMs);
  if (std::abs(off) <= deadband || ++settleRounds_ > kSettleRounds) {
    // Nothing (more) is off. The trend from before a fault that needed
    // little correction still holds, if the device's reading agrees with
    // it; one it does not is out of date.
    Restart(r.nowMs, settleRounds_ <= 1 && OnTrend(r, content));
    return;
  }
  if (off > 0) {
    pendingCut_ += off;
  } else {
    pendingCut_ = driftCut_ = 0;
    pendingStretch_ = std::min(-off, Samples(limits_.maxSettleStretchMs));
    stretchIsDrift_ = false;
  }
  // The first measure after a fault rests on one report of the device;
  // the next, once this correction has been played, on more.
  faultQueued_ = r.queued + std::max<int64_t>(block_ - pendingCut_ + pendingStretch_, 0);
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

// A capture device hands sound over a period at a time, so part of the
// content is the part of the next block it has recorded but not yet handed
// over. That part moves through the whole period as the two devices' periods
// slide past each other, a slow beat that quiet learning may not have seen
// all of; and when it is large, what is left for the playback device is
// small. The most it has been is watched (more than a long period is a burst
// of blocks, not a period).
void LatencyRule::WatchCapturePeriod(const PipeReading& r) {
  const int64_t recorded = r.arrived - r.taken;
  if (recorded <= Samples(kLongestPeriodMs)) captureMost_ = std::max(captureMost_, recorded);
}

// The level holds, when the capture device is furthest into a period, as
// much for the playback device as the least it had in quiet learning; a
// level below that would run it dry once the periods have slid. The level
// is raised as far as that takes it, but never far: a device that reports
// nonsense cannot add much delay.
void LatencyRule::KeepThePlaybackFed() {
  if (playbackLeast_ == std::numeric_limits<int64_t>::max()) return;
  const int64_t needed = std::min(captureMost_ + playbackLeast_, learnedLevel_ + Samples(kMostRaiseMs));
  level_ = std::max(level_, needed);
}

// Whether the content is where the trend puts it, within a step (or is
// near the level, while there is no trend to go by).
bool LatencyRule::OnTrend(const PipeReading& r, int64_t content) const {
  double off = static_cast<double>(content - pendingCut_ - level_);
  if (TrendKnown()) {
    off = static_cast<double>(content - pendingCut_) - (fit_.At(r.nowMs) - static_cast<double>(corrected_));
  }
  return std::abs(off) <= static_cast<double>(Samples(limits_.stepMs));
}

bool LatencyRule::TrendKnown() const {
  return fit_.Count() >= limits_.fitSettleReadings && fit_.Span() >= limits_.fitSettleMs;
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
  stretchIsDrift_ = false;
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
    pendingCut_ = driftCut_ = samples;
  } else {
    pendingStretch_ = -samples;
    stretchIsDrift_ = true;
  }
  lastCorrectionMs_ = r.nowMs;
  ++driftCorrections_;
}

int32_t LatencyRule::Apply() {
  // Only the drift's corrections count in `corrected_`: a fault's excess was
  // never part of the trend, and taking it out leaves the trend as it was.
  if (pendingStretch_ > 0) {
    const auto stretch = static_cast<int32_t>(pendingStretch_);
    pendingStretch_ = 0;
    if (stretchIsDrift_) corrected_ -= stretch;
    stretchIsDrift_ = false;
    return block_ + stretch;
  }
  const int32_t cut = WholeJoins(static_cast<int32_t>(std::min<int64_t>(pendingCut_, block_)));
  pendingCut_ = std::max<int64_t>(pendingCut_ - cut, 0);
  const int64_t drift = std::min<int64_t>(driftCut_, cut);
  driftCut_ = std::min(driftCut_ - drift, pendingCut_);
  corrected_ += drift;
  return block_ - cut;
}

// A join is crossfaded over a few milliseconds; a block cut to less than
// that would be faded into in a click. So such a cut takes the whole block
// or leaves a fade's worth of it, the rest going from the next block. Where
// blocks are too short for that, the odd samples are let go: the trend
// evens them out if they matter.
int32_t LatencyRule::WholeJoins(int32_t cut) {
  const int32_t shortest = std::min(Splicer::kFade, block_);
  const int32_t left = block_ - cut;
  if (cut == 0 || left == 0 || left >= shortest) return cut;
  if (left <= shortest / 2) return block_;
  if (block_ >= 2 * shortest) return block_ - shortest;
  pendingCut_ = driftCut_ = 0;
  return 0;
}

}  // namespace lumrio::audio
