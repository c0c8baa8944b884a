// Every number the delay rule decides by, in one place, each with the reason
// for its value.
#pragma once

#include <cstdint>

#include "audio/units.h"

namespace lumrio::audio {

struct DelayTuning {
  // --- The start of a capture ---

  // Of the burst of blocks recorded while the window was still being made,
  // only the newest this much is played: a playback stream that is handed
  // sound a period at a time needs that much in hand to play on.
  double startCushionMs = kPeriodMs;

  // --- Stale blocks: late on arrival (the machine stalled, the sound went on) ---

  // How much later than usual a block may arrive before it is dropped (or
  // half a block for long blocks, whose arrival jitters more): well above
  // the scheduling jitter of a busy desktop, well below a stall one hears.
  double staleMs = 80;
  // How long blocks may go on arriving late before their lateness is taken
  // for sound that was lost, not delayed: a burst of late blocks is over
  // within moments.
  int64_t staleRunMs = 100;
  // How long without a late block ends such a run: blocks near the limit
  // are late now and then.
  int64_t staleRunGapMs = 100;
  // A run starts afresh when a block arrives this much earlier than the
  // run's first one (or a block earlier, for long blocks): a draining
  // backlog, whose lateness is real. Two periods, so that the jitter of a
  // count kept a period at a time does not restart it.
  double staleRunRestartMs = 2 * kPeriodMs;

  // --- The playback backlog's usual level ---

  // The device settles for this long after the first block (its own latency
  // fills up) before its backlog tells anything.
  int64_t settleMs = 100;
  // The usual backlog is learned over this long after settling, or over the
  // drift window if that is longer: long enough to average out where blocks
  // fall in the devices' periods.
  int64_t learnMs = 2000;
  // ... from this many readings at least, so that long blocks, which arrive
  // seldom, are not learned from one or two.
  int64_t leastLearnReadings = 4;
  // A start is slow when the device played under this share of the clock
  // over its first settleMs: a count kept a period at a time can be a
  // period, a tenth of that span, short of what was played.
  double slowStartPace = 0.9;
  // A device plays at its pace when it falls behind the clock by no more
  // than this over a window: its count, kept a period at a time, is off by
  // up to a period at either end of the window.
  double paceSlackMs = 2 * kPeriodMs;

  // --- Faults: a stall, a slow stream ---

  // A backlog this far above the usual is a fault's, not drift's: twice the
  // most a period's count can be off, and more than drift adds in minutes.
  double faultMs = 20;
  // ... and is cut once it has held steady this long: a backlog still on the
  // move is a stall under way or a late burst being caught up.
  int64_t persistMs = 300;
  // How soon after a fault's cut the same backlog back again means the cut
  // did not hold (the device needs that much in hand): drift cannot bring
  // it back that fast.
  int64_t holdCheckMs = 2000;
  // How long after a disturbance (the device ran dry, the backlog moved)
  // the level is put right in full as soon as it holds steady: a device
  // restarted from dry leaves a level drift steps would take seconds to mend.
  int64_t recoveryMs = 2000;

  // --- Drift: clocks that disagree ---

  // The drift window: a second, or this many blocks of long ones. Where a
  // block is not a whole number of periods, the backlog a block finds on
  // arrival moves in a saw-tooth of up to a period over several blocks
  // while the delay stays put; the window spans the tooth.
  int64_t driftWindowMs = 1000;
  int64_t driftWindowBlocks = 12;
  // Drift is judged once the readings span this many tenths of the window:
  // blocks come at their own pace, and a window that had to be full to the
  // millisecond would wait a block more.
  int64_t driftCoverTenths = 9;
  // Drift is corrected once the average is this far off: well short of the
  // 10 ms the delay may move, as the average lags, and a device that
  // reports its position a period at a time shows a drifting backlog in
  // steps of a period.
  double driftToleranceMs = 7;
  // A drift step is at most this, crossfaded, and at most one every
  // driftEveryMs: 10 ms a second is far faster than clocks drift and too
  // little to hear. A correction larger than a step is cut at once.
  double driftStepMs = kPeriodMs;
  int64_t driftEveryMs = 1000;
};

inline constexpr DelayTuning kDelayTuning{};

}  // namespace lumrio::audio
