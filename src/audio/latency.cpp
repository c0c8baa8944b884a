// The rule for the delay: which part of each captured block is played.
#include "audio/latency.h"

#include <algorithm>
#include <cstdlib>

#include "audio/splice.h"

namespace lumrio::audio {

void Latency::Restart(int64_t nowMs, int32_t blockLength) {
  blockLength_ = blockLength;
  playbackBegun_ = false;
  pending_ = 0;
  stale_.Restart(nowMs, blockLength);
  backlog_.Restart(blockLength);
}

BlockPlan Latency::Plan(int64_t nowMs, int waiting, std::optional<Playback> playback) {
  // The stale rule counts every block that arrives, played or not.
  if (stale_.Stale(nowMs, waiting) || SupersededAtStart(waiting)) return {.play = false};
  if (pending_ == 0 && playbackBegun_ && playback) {
    const int64_t correction = backlog_.Correction(nowMs, playback->queued, playback->played,
                                                   playback->waited, playback->unseen);
    if (correction > SamplesIn(BacklogRule::kDriftStepMs)) {
      return FaultCut(correction);
    }
    pending_ = correction;
  }
  return GoOnCorrecting();
}

BlockPlan Latency::FaultCut(int64_t samples) const {
  if (samples >= blockLength_) return {.resetPlayback = true};
  return {.cut = static_cast<int32_t>(samples)};
}

// A drift correction takes out, or adds, what each block can crossfade
// until it is done.
BlockPlan Latency::GoOnCorrecting() {
  if (pending_ == 0) return {};
  const int64_t step = std::min<int64_t>(std::abs(pending_), MaxSpliceLength(blockLength_));
  BlockPlan plan;
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
// them, keeping only kStartCushionMs of the newest in hand: a sound system
// that hands captured sound over a period at a time needs that much to play
// on without a gap.
bool Latency::SupersededAtStart(int waiting) const {
  if (playbackBegun_) return false;
  return MsOf(static_cast<int64_t>(waiting) * blockLength_) > kStartCushionMs;
}

}  // namespace lumrio::audio
