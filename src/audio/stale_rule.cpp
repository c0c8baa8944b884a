// The rule that tells a captured block that arrives too late to be played.
#include "audio/stale_rule.h"

#include <algorithm>

#include "audio/units.h"

namespace lumrio::audio {

namespace {

constexpr const DelayTuning& kTune = kDelayTuning;

}  // namespace

void StaleRule::Restart(int64_t nowMs, int32_t blockLength) {
  *this = StaleRule{};
  blockLength_ = blockLength;
  startMs_ = nowMs;
}

bool StaleRule::Stale(int64_t nowMs, int waiting) {
  samplesArrived_ += blockLength_;
  const double ageMs = static_cast<double>(nowMs - startMs_) - MsOf(samplesArrived_);
  if (!usualKnown_) {
    usualKnown_ = true;
    usualAgeMs_ = ageMs;
  }
  const double creep = static_cast<double>(nowMs - lastArrivalMs_) / 1000.0;
  usualAgeMs_ = std::min(ageMs, usualAgeMs_ + creep);
  lastArrivalMs_ = nowMs;
  const double blockMs = MsOf(blockLength_);
  if (ageMs - usualAgeMs_ <= std::max(kTune.staleMs, blockMs / 2)) {
    if (runSinceMs_ >= 0 && nowMs - lastStaleMs_ > kTune.staleRunGapMs) runSinceMs_ = -1;
    return false;
  }
  return !TakeForLostSound(nowMs, waiting, ageMs);
}

// Within a run of stale blocks: true when the run has shown the lateness to
// be lost sound, and the usual age has been moved to it. A backlog that is
// draining brings its blocks in ever earlier; that lateness is real, and the
// run starts afresh with each such step.
bool StaleRule::TakeForLostSound(int64_t nowMs, int waiting, double ageMs) {
  const double blockMs = MsOf(blockLength_);
  if (runSinceMs_ < 0 || ageMs < runFirstAgeMs_ - std::max(blockMs, kTune.staleRunRestartMs)) {
    runSinceMs_ = nowMs;
    runFirstAgeMs_ = ageMs;
  }
  lastStaleMs_ = nowMs;
  // Short blocks come a period's worth at a time: those behind this one in
  // the same period are not a backlog.
  const double waitingMs = static_cast<double>(waiting) * blockMs;
  if (waitingMs > kPeriodMs || nowMs - runSinceMs_ < kTune.staleRunMs) return false;
  usualAgeMs_ = ageMs;
  runSinceMs_ = -1;
  return true;
}

}  // namespace lumrio::audio
