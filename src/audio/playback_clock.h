// Where the playback device is in the sound written to it. A device tells
// only which blocks it has finished (it marks their headers done), and a
// sound system marks them a period (10 ms) at a time; the position a driver
// reports may count what it has handed to its own mixing buffer rather than
// what has been heard. So the position is kept here, from the moments blocks
// are first seen finished (a DeviceClock).
//
// A device that has run dry starts on the next block some time after it is
// written: until it has finished that block, the position runs on from the
// write at the nominal rate, and can only be ahead.
#pragma once

#include <cstdint>

#include "audio/device_clock.h"

namespace lumrio::audio {

class PlaybackClock {
 public:
  // How long a sound system may take to mark a finished block done.
  static constexpr double kMarkingMs = 10;

  // A new run: nothing written, nothing played.
  void Reset();

  // A block starting at `blockStart` samples was written at `nowMs`, to a
  // device that had nothing left to play if `deviceWasIdle`.
  void Written(int64_t blockStart, double nowMs, bool deviceWasIdle);

  // The device has marked everything up to `finishedEnd` done, is playing
  // (or has yet to play) the block ending at `oldestEnd`, and holds what it
  // was given up to `queuedEnd`; all equal when it holds nothing. Returns the
  // position, in samples played: never behind what it marked, never past the
  // oldest block it has not marked by more than a marking period. Called
  // whenever the device may have finished a block, so that a block is seen
  // finished soon after it was.
  int64_t At(double nowMs, int64_t finishedEnd, int64_t oldestEnd, int64_t queuedEnd);

  // Whether the position rests on a block the device has finished since it
  // last ran dry.
  bool Settled() const { return settled_; }
  // How far the device has marked blocks finished.
  int64_t Finished() const { return finished_; }

 private:
  void Report(double nowMs, int64_t finishedEnd);
  double Estimate(double nowMs) const;

  DeviceClock device_{kMarkingMs / 2};
  double writtenMs_ = 0;  // the write to a dry device, until it reports
  double written_ = 0;
  int64_t finished_ = 0;
  bool settled_ = false;
};

}  // namespace lumrio::audio
