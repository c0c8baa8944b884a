// The rule that tells a captured block that arrives too late to be played.
//
// When the GUI thread or the sound system has been held up (a busy machine,
// a slow display, a stream that took long to start), the samples recorded
// meanwhile arrive late, in a burst. Playing them would queue them behind
// each other and lengthen the delay for good by the time lost. So a block
// that arrives well later than blocks usually do is dropped, and the engine
// plays on from the first block that is on time again.
//
// A block's age on arrival is measured against the clock from the start of
// capture. Its usual value is the lowest seen, allowed to creep up by 1 ms a
// second so that the sound card's clock running slow against the system's is
// not taken for lateness.
//
// A burst is over within moments. When blocks go on arriving stale for
// staleRunMs (see DelayTuning), no more than a period's worth waiting behind
// the newest and none arriving much earlier than the first of them, the
// lateness is no burst: sound was lost (the device found no buffer queued
// while the machine was stalled) and the
// count of samples that arrived fell behind the clock for good. The age of
// the newest block is then the usual one; judged against the old one, every
// later block would look stale and nothing would play again.
#pragma once

#include <cstdint>

#include "audio/delay_tuning.h"

namespace lumrio::audio {

class StaleRule {
 public:
  // A new capture of blocks of `blockLength` samples starts at `nowMs`.
  void Restart(int64_t nowMs, int32_t blockLength);

  // The next block arrives at `nowMs` with `waiting` full buffers behind it.
  // True if it is stale and must not be played.
  bool Stale(int64_t nowMs, int waiting);

  // The usual age of a block on arrival, in milliseconds.
  double UsualAgeMs() const { return usualAgeMs_; }

 private:
  bool TakeForLostSound(int64_t nowMs, int waiting, double ageMs);

  int32_t blockLength_ = 0;
  int64_t startMs_ = 0;
  int64_t samplesArrived_ = 0;
  bool usualKnown_ = false;
  double usualAgeMs_ = 0;
  int64_t lastArrivalMs_ = 0;
  // The present run of stale blocks: when it began, the age of its first
  // block, and when its latest stale block came (-1: no run).
  int64_t runSinceMs_ = -1;
  double runFirstAgeMs_ = 0;
  int64_t lastStaleMs_ = -1;
};

}  // namespace lumrio::audio
