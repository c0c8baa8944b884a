// How far a playback device has fallen behind its pace since it began to
// play, beyond the lead it began with.
//
// When the device began to play it was behind the clock by its latency,
// which it needs. What it falls behind after that (a slow start, a stall)
// piles up as backlog that is no part of the usual level. The first two
// positions after its first sample tell the pace it began at; a device that
// began slowly lost some of its lead before the first of them too.
#pragma once

#include <cstdint>

namespace lumrio::audio {

class StartPace {
 public:
  // The device counts `played` samples played at `nowMs`; the first call
  // is when playback began. Answers the samples lost since, once the start
  // is known, and 0 before.
  int64_t LostBy(int64_t nowMs, int64_t played);

 private:
  void Track(int64_t nowMs, int64_t played, int64_t behind);

  int64_t beganMs_ = -1;
  // The first position after the first sample, and how far behind the
  // clock the device was then.
  int64_t firstPlayedMs_ = -1;
  int64_t firstPlayed_ = 0;
  int64_t firstBehind_ = 0;
  bool known_ = false;
  int64_t startBehind_ = 0;  // the lead it began with
};

}  // namespace lumrio::audio
