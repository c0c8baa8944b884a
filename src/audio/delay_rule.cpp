// The rule for the delay: which part of each captured block is played.
#include "audio/delay_rule.h"

#include <algorithm>
#include <cstdlib>

#include "audio/splice.h"

namespace lumrio::audio {

void DelayRule::Restart(int64_t nowMs, int32_t blockLength) {
  blockLength_ = blockLength;
  pending_ = 0;
  pendingReason_ = PlanReason::kOnTime;
  stale_.Restart(nowMs, blockLength);
  backlog_.Restart(blockLength);
}

BlockPlan DelayRule::Plan(const Reading& reading) {
  // The stale rule counts every block that arrives, played or not.
  if (stale_.Stale(reading.atMs, reading.waiting)) {
    return {.play = false, .reason = PlanReason::kStale};
  }
  if (SupersededAtStart(reading)) return {.play = false, .reason = PlanReason::kAtStart};
  if (pending_ == 0 && reading.playbackBegun && reading.playback) {
    const BacklogCorrection correction = backlog_.Correction(reading.atMs, *reading.playback);
    if (correction.samples > SamplesIn(kDelayTuning.driftStepMs)) return CutAtOnce(correction);
    pending_ = correction.samples;
    pendingReason_ = correction.reason;
  }
  return GoOnCorrecting();
}

BlockPlan DelayRule::CutAtOnce(const BacklogCorrection& correction) const {
  if (correction.samples >= blockLength_) {
    return {.resetPlayback = true, .reason = correction.reason};
  }
  return {.cut = static_cast<int32_t>(correction.samples), .reason = correction.reason};
}

// A crossfaded correction takes out, or adds, what each block can crossfade
// until it is done.
BlockPlan DelayRule::GoOnCorrecting() {
  if (pending_ == 0) return {};
  const int64_t step = std::min<int64_t>(std::abs(pending_), MaxSpliceLength(blockLength_));
  BlockPlan plan{.reason = pendingReason_};
  if (pending_ > 0) {
    plan.cut = static_cast<int32_t>(step);
    pending_ -= step;
  } else {
    plan.added = static_cast<int32_t>(step);
    pending_ += step;
  }
  return plan;
}

// The first blocks of a capture often arrive together: all that was
// recorded while the window was still being made comes at once when the
// message loop starts. Played in turn, they would queue behind each other
// and add their age to the delay. So playback starts with the newest of
// them, keeping only startCushionMs of the newest in hand.
bool DelayRule::SupersededAtStart(const Reading& reading) const {
  if (reading.playbackBegun) return false;
  const int64_t waiting = static_cast<int64_t>(reading.waiting) * blockLength_;
  return MsOf(waiting) > kDelayTuning.startCushionMs;
}

}  // namespace lumrio::audio
