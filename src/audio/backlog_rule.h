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
// - a backlog well above it (kFaultMs) that has held steady for kPersistMs,
//   with the device playing at its pace, is a fault's, and goes in one cut;
// - soon after a disturbance (the device ran dry, the backlog moved), the
//   level it settles at is put right in full, either way;
// - a smaller difference in the average of the drift window is
//   drift, and is corrected by at most kDriftStepMs at a time, at most once
//   every kDriftEveryMs.
// Devices report their position a period at a time, so a single reading is
// off by up to a period; the engine reckons where the device is between
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

#include "audio/units.h"

namespace lumrio::audio {

class BacklogRule {
 public:
  // The device settles for kSettleMs after the first block (its own latency
  // fills up); the usual backlog is learned over the kLearnMs after that, or
  // over the drift window if that is longer.
  static constexpr int64_t kSettleMs = 100;
  static constexpr int64_t kLearnMs = 2000;
  static constexpr int64_t kPersistMs = 300;
  static constexpr double kFaultMs = 20;
  // The drift window: a second, or kDriftWindowBlocks blocks of long ones.
  // Where a block is not a whole number of periods, the backlog a block
  // finds on arrival moves in a saw-tooth of up to a period over several
  // blocks while the delay stays put; the window spans the tooth.
  static constexpr int64_t kDriftWindowMs = 1000;
  static constexpr int64_t kDriftWindowBlocks = 12;
  // Drift is corrected once the average is this far off: well short of the
  // 10 ms the delay may move, as the average lags, and a device that
  // reports its position a period at a time shows a drifting backlog in
  // steps of a period.
  static constexpr double kDriftToleranceMs = 7;
  static constexpr double kDriftStepMs = 10;
  static constexpr int64_t kDriftEveryMs = 1000;
  // How long after a disturbance (the device ran dry, the backlog moved)
  // the level is put right in full as soon as it holds steady.
  static constexpr int64_t kRecoveryMs = 2000;
  // How soon after a fault's cut the same backlog back again means the cut
  // did not hold.
  static constexpr int64_t kHoldCheckMs = 2000;
  // A device plays at its pace when it falls behind the clock by no more
  // than this over a window: its count, kept a period at a time, is off by
  // up to a period at either end of the window.
  static constexpr double kPaceSlackMs = 2 * kPeriodMs;
  // A start is slow when the device played under this share of the clock
  // over its first kSettleMs: a count kept a period at a time can be a
  // period, a tenth of that span, short of what was played.
  static constexpr double kSlowStartPace = 0.9;
  // The usual backlog is an average of this many readings at least, so that
  // long blocks, which arrive seldom, are not learned from one or two.
  static constexpr int64_t kLeastLearnReadings = 4;
  // Drift is judged once the readings span this many tenths of the drift
  // window: blocks come at their own pace, and a window that had to be full
  // to the millisecond would wait a block more.
  static constexpr int64_t kDriftCoverTenths = 9;

  // A new run of blocks of `blockLength` samples starts.
  void Restart(int32_t blockLength);

  // A block arrives at `nowMs`, after it had waited `waited` samples on the
  // capture side. The playback device counts `played` samples played since
  // the start and `queued` written and not yet played; it has played
  // `unseen` more than its count shows (see PlayedEstimate). The level kept
  // is what lies between the newest sound recorded and the sound heard:
  // what waited, and what is queued less what was unseen. Answers by how
  // many samples to shorten (> 0) or lengthen (< 0) the sound written from
  // now on; 0 almost always.
  int64_t Correction(int64_t nowMs, int64_t queued, int64_t played, int64_t waited = 0,
                     int64_t unseen = 0);

  bool Learned() const { return learned_; }
  int64_t UsualSamples() const { return usual_; }
  int Corrections() const { return corrections_; }

 private:
  struct Seen {
    int64_t ms;
    int64_t queued;
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
  void TrackStart(int64_t nowMs, int64_t played, int64_t deficit);
  void Learn(int64_t nowMs, int64_t paced);
  bool Steady(const Window& w) const;
  bool AtPace(const Window& w) const;
  void NoteDisturbance(int64_t nowMs, bool dry);
  int64_t FaultCorrection(int64_t nowMs);
  int64_t RecoveryCorrection(int64_t nowMs);
  int64_t DriftCorrection(int64_t nowMs);
  void Corrected();

  int64_t driftWindowMs_ = kDriftWindowMs;
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
  int64_t dryMs_ = -kPersistMs;  // when the device last had nothing in hand
  int64_t stalledMs_ = -1;       // when the device last fell behind its pace
  bool playedOnSinceCut_ = true;
  int64_t lastCutMs_ = -1;
  int64_t levelBeforeCut_ = 0;
  int corrections_ = 0;
  // The device's first positions after it began to play, and how far it
  // was behind its pace then.
  int64_t firstPlayedMs_ = -1;
  int64_t firstPlayed_ = 0;
  int64_t firstPlayedDeficit_ = 0;
  bool startKnown_ = false;
  int64_t startDeficit_ = 0;
};

}  // namespace lumrio::audio
