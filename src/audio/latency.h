// The rule for the delay: which part of each captured block is played.
//
// The delay the user hears is the block, plus what the sound system adds,
// plus whatever piles up in between. Three measures keep the pile-up away:
// - at the start, of the burst of blocks recorded while the window was
//   still being made only the newest kStartCushionMs are played;
// - a block that reaches the program much later than blocks usually do is
//   dropped (StaleRule): the machine stalled and the sound went on;
// - the playback backlog is kept at its usual level (BacklogRule): what a
//   stall, a slow stream or clocks that disagree added is cut out, and a
//   backlog about to run dry is lengthened. A drift correction is
//   crossfaded, spread over as many blocks as it takes when blocks are
//   short. A fault's cut of less than a block is taken out of the block
//   about to be written; a longer one lies in what the device already
//   holds, which is dropped (the sound jumps once, to the usual delay).
// The first two need only the clock; the backlog needs the device's play
// position (and, to tell how long each block waited, the capture device's),
// and is left alone when the device cannot tell it.
//
// In quiet running every block is played whole.
#pragma once

#include <cstdint>
#include <optional>

#include "audio/backlog_rule.h"
#include "audio/stale_rule.h"
#include "audio/units.h"

namespace lumrio::audio {

// How much of the burst of blocks at the start of a capture is played; the
// older ones are skipped: one period, what the playback stream needs in hand.
inline constexpr double kStartCushionMs = kPeriodMs;

// Where the playback device is: samples written and not yet played, and
// samples played since it was opened; and how long the block now taken up
// had waited.
struct Playback {
  int64_t queued = 0;
  int64_t played = 0;
  // How much more the device has played than its count shows.
  int64_t unseen = 0;
  // Samples recorded since the end of the block now taken up: how long it
  // waited on the capture side.
  int64_t waited = 0;
};

// What to do with one captured block.
struct BlockPlan {
  bool play = true;            // false: the block is dropped whole
  bool resetPlayback = false;  // what the playback device holds is dropped first
  int32_t cut = 0;             // samples taken out right after its start
  int32_t added = 0;           // samples played twice (a lengthened block)
};

class Latency {
 public:
  // A new capture of blocks of `blockLength` samples starts at `nowMs`.
  void Restart(int64_t nowMs, int32_t blockLength);

  // The next block arrives at `nowMs` with `waiting` full buffers behind it
  // and the playback device where `playback` says, if it tells.
  BlockPlan Plan(int64_t nowMs, int waiting, std::optional<Playback> playback);

  // A block was written to the playback device.
  void Written() { playbackBegun_ = true; }

  const BacklogRule& Backlog() const { return backlog_; }

 private:
  bool SupersededAtStart(int waiting) const;
  BlockPlan FaultCut(int64_t samples) const;
  BlockPlan GoOnCorrecting();

  int32_t blockLength_ = 0;
  bool playbackBegun_ = false;
  // What is still to be cut (> 0) or added (< 0) of the drift correction
  // under way.
  int64_t pending_ = 0;
  StaleRule stale_;
  BacklogRule backlog_;
};

}  // namespace lumrio::audio
