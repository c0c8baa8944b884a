// The rule for the delay: which part of each captured block is played, and
// why. It decides from the meter's readings alone, so it can be tried out on
// readings made up by a test.
//
// The delay the user hears is the block, plus what the sound system adds,
// plus whatever piles up in between. Three measures keep the pile-up away:
// - at the start, of the burst of blocks recorded while the window was
//   still being made only the newest startCushionMs are played;
// - a block that reaches the program much later than blocks usually do is
//   dropped (StaleRule): the machine stalled and the sound went on;
// - the playback backlog is kept at its usual level (BacklogRule): what a
//   stall, a slow stream or clocks that disagree added is cut out, and a
//   backlog about to run dry is lengthened.
// How a correction is made follows from its size, not its cause: up to a
// drift step it is crossfaded, spread over as many blocks as it takes when
// blocks are short; a larger one is cut at once. A cut of less than a block
// is taken out of the block about to be written; a longer one lies in what
// the device already holds, which is dropped (the sound jumps once, to the
// usual delay).
// The first two need only the clock; the backlog needs the device's play
// position, and is left alone when the device cannot tell it.
//
// In quiet running every block is played whole.
#pragma once

#include <cstdint>

#include "audio/backlog_rule.h"
#include "audio/delay_plan.h"
#include "audio/reading.h"
#include "audio/stale_rule.h"

namespace lumrio::audio {

class DelayRule {
 public:
  // A new capture of blocks of `blockLength` samples starts at `nowMs`.
  void Restart(int64_t nowMs, int32_t blockLength);

  // What to do with the block the meter has just read.
  BlockPlan Plan(const Reading& reading);

  const BacklogRule& Backlog() const { return backlog_; }

 private:
  bool SupersededAtStart(const Reading& reading) const;
  BlockPlan CutAtOnce(const BacklogCorrection& correction) const;
  BlockPlan GoOnCorrecting();

  int32_t blockLength_ = 0;
  // What is still to be cut (> 0) or added (< 0) of the crossfaded
  // correction under way, and why it is made.
  int64_t pending_ = 0;
  PlanReason pendingReason_ = PlanReason::kOnTime;
  StaleRule stale_;
  BacklogRule backlog_;
};

}  // namespace lumrio::audio
