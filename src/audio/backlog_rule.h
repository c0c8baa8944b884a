// The rule that keeps the playback backlog at its usual level.
//
// What the engine has written and the device has not yet played is part of
// the delay the user hears; so is how long each block waited on the capture
// side before it was taken up, which moves with where in the capture
// device's periods the block ended. The two together are the level kept
// here, called the backlog below. It grows when the machine stalls and the
// device runs dry (the sound then goes on later than before), when a
// playback stream starts slowly, and steadily when the microphone's clock
// runs faster than the headphones'; it shrinks towards gaps when the
// microphone runs slower. The rule learns the usual backlog over the first seconds of a run,
// once the device has settled: its average, less whatever the device fell
// behind its pace meanwhile (so that a stream that starts slowly is not
// taken for the usual). It brings the backlog back to that level:
// - a backlog well above it (faultMs) that has held steady for persistMs,
//   with the device playing at its pace, is a fault's, and goes in one cut;
// - soon after a disturbance (the device ran dry, the backlog moved), the
//   level it settles at is put right in full, either way;
// - a smaller difference in the average of the drift window is
//   drift, and is corrected by at most driftStepMs at a time, at most once
//   every driftEveryMs (see DelayTuning).
// Devices report their position a period at a time, so a single reading is
// off by up to a period; the meter reckons where the device is between
// (PlayedEstimate), and only averages are judged. In quiet running nothing
// is corrected.
//
// A device that counts sound as played when it hands it on to a sound
// server (Wine's wave-out counts what it has copied into a buffer of its
// own) shows only the backlog beyond what it hands on; the rule acts on what
// it shows, as on any other device. It never switches itself off: a device
// that showed little in the first seconds may show a fault's backlog later.
//
// When a fault's cut does not hold (the device rebuilds the same backlog at
// once, as one does that needs more in hand than was learned), the level it
// keeps is taken for the usual one instead of being cut again and again.
#pragma once

#include <cstdint>
#include <deque>

#include "audio/delay_plan.h"
#include "audio/delay_tuning.h"
#include "audio/reading.h"
#include "audio/units.h"

namespace lumrio::audio {

// What the rule would put right, and why: by how many samples to shorten
// (> 0) or lengthen (< 0) the sound written from now on.
struct BacklogCorrection {
  int64_t samples = 0;
  PlanReason reason = PlanReason::kOnTime;
};

class BacklogRule {
 public:
  // A new run of blocks of `blockLength` samples starts.
  void Restart(int32_t blockLength);

  // A block arrives at `nowMs` with the playback device where `reading`
  // says. Answers what to put right; nothing almost always.
  BacklogCorrection Correction(int64_t nowMs, const PlaybackReading& reading);

  bool Learned() const { return learned_; }
  int64_t UsualSamples() const { return usual_; }
  int Corrections() const { return corrections_; }

 private:
  struct Seen {
    int64_t ms;
    int64_t level;
    int64_t played;
  };
  // The backlog over the readings from `sinceMs` on.
  struct Window {
    int64_t low = 0;
    int64_t high = 0;
    int64_t mean = 0;
    int64_t count = 0;
    int64_t spanMs = 0;
    int64_t played = 0;  // by the device over the span
  };
  Window Summary(int64_t sinceMs) const;
  bool Covers(int64_t ms) const;
  void Learn(int64_t nowMs, int64_t paced);
  bool Steady(const Window& w) const;
  bool AtPace(const Window& w) const;
  void NoteDisturbance(int64_t nowMs, bool dry);
  int64_t FaultCorrection(int64_t nowMs);
  int64_t RecoveryCorrection(int64_t nowMs);
  int64_t DriftCorrection(int64_t nowMs);
  void Corrected();

  int64_t driftWindowMs_ = kDelayTuning.driftWindowMs;
  int64_t uncertainty_ = 0;  // of the readings: how far a steady level wobbles
  int64_t firstMs_ = -1;
  bool learned_ = false;
  int64_t usual_ = 0;
  int64_t learnSum_ = 0;
  int64_t learnCount_ = 0;
  // Readings since the last correction, over the drift window and the one
  // before it.
  std::deque<Seen> recent_;
  int64_t lastDriftMs_ = -1;
  int64_t disturbedMs_ = -1;
  int64_t dryMs_ = -kDelayTuning.persistMs;  // when the device last had nothing in hand
  int64_t stalledMs_ = -1;                   // when the device last fell behind its pace
  bool playedOnSinceCut_ = true;
  int64_t lastCutMs_ = -1;
  int64_t levelBeforeCut_ = 0;
  int corrections_ = 0;
};

}  // namespace lumrio::audio
