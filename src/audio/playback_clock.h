// Where the playback device is in the sound written to it. A device tells
// only which blocks it has finished (it marks their headers done), and a
// sound system marks them a period (10 ms) at a time; the position a driver
// reports may count what it has handed to its own mixing buffer rather than
// what has been heard. So the position is kept here: it runs on with the
// clock, never before the end of the blocks the device has finished, never
// past the end of the oldest block it has not.
#pragma once

#include <cstdint>

namespace lumrio::audio {

class PlaybackClock {
 public:
  // A new run: nothing written, nothing played.
  void Reset();

  // A block starting at `blockStart` samples was written at `nowMs`. If the
  // device had nothing left to play, it starts on it from now.
  void Written(int64_t blockStart, double nowMs, bool deviceWasIdle);

  // The device has finished everything up to `finishedEnd` and is still
  // playing (or has yet to play) the block ending at `oldestEnd`; both equal
  // when it holds nothing. Returns the position, in samples played.
  int64_t At(double nowMs, int64_t finishedEnd, int64_t oldestEnd);

  // Whether the device has finished a block yet, so that the position rests
  // on something it said rather than on the clock alone.
  bool Settled() const { return settled_; }

 private:
  double position_ = 0;
  double lastMs_ = 0;
  bool settled_ = false;
};

}  // namespace lumrio::audio
