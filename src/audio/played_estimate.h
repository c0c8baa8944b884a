// What the playback device has played by now, better than its position
// alone tells.
//
// A sound system that counts a period at a time reports the count as of the
// last period's end. Read when a captured block arrives, the count lags by
// however far into its period the device is, up to a whole period; and
// where the arrivals fall in the device's periods moves as the two clocks
// drift apart, so the lag changes unseen. A count read just after a period
// has ended (as one is when the device hands back a block it has played)
// lags by almost nothing, and carried forward at the device's pace for a
// short while it still tells the count better than a fresh reading does.
// The best of the recent readings, carried forward, is taken; the fresh
// reading bounds it: the device cannot have played less than it says, nor a
// period more, and a reading that would carry it further is dropped.
#pragma once

#include <cstdint>
#include <deque>

#include "audio/units.h"

namespace lumrio::audio {

class PlayedEstimate {
 public:
  // A reading is carried forward for kCarryMs, or a block and a half of
  // long blocks, whose played blocks come back that seldom. The devices'
  // clocks differ by up to 0.2 %: 1 ms in half a second.
  static constexpr double kCarryMs = 250;
  static constexpr double kCarryBlocks = 1.5;
  static constexpr int64_t kMostCarryMs = 2000;

  // A new run of blocks of `blockLength` samples starts.
  void Restart(int32_t blockLength);
  // The device dropped what it held: its earlier counts tell nothing now.
  void Forget() { readings_.clear(); }
  // The device says it has played `played` samples at `nowMs`; answers how
  // many it has played by the best reckoning.
  int64_t At(double nowMs, int64_t played);

 private:
  struct Reading {
    double ms;
    int64_t played;
  };
  double carryMs_ = kCarryMs;
  std::deque<Reading> readings_;
};

}  // namespace lumrio::audio
