// The delay rule. The listener hears a sample one block after it was
// recorded, plus however long it waits in the pipe between microphone and
// speaker: in captured blocks the engine has not yet taken, and in written
// blocks the speaker has not yet played. In quiet running that content stays
// as it is, because what comes in is what goes out. A stalled machine, a
// sound system that starts slowly or runs dry, and two device clocks that
// disagree all change it, and left alone the change would stay for the rest
// of the run.
//
// So the rule learns the content of quiet running at the start of each run
// and holds the pipe there. An excess of more than a small tolerance is taken
// out at once, in one cut, from the oldest sound about to be played. Slow
// drift is evened out in small steps, at most one a second: a short cut when
// the content creeps up, a short stretch played twice when it creeps down.
// The content is measured, not inferred from arrival times, so input the
// capture device lost cannot make later blocks look late.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

#include "audio/line_fit.h"
#include "audio/splice.h"

namespace lumrio::audio {

// What the engine knows as it is about to play a captured block. Counts are
// in samples since the start of the run.
struct PipeReading {
  double nowMs = 0;      // the system clock
  int64_t arrived = 0;   // handed over by the capture device: this block and the full ones after it
  int64_t taken = 0;     // taken by the engine, this block included
  int64_t queued = 0;    // written to the playback device
  int64_t played = 0;    // played by the playback device, as far as can be told
  // Whether `played` rests on a block the device has finished since it last
  // ran dry, and how far it has marked blocks finished.
  bool settled = false;
  int64_t finished = 0;
};

// The rule's thresholds, in milliseconds of sound.
struct LatencyLimits {
  double startCushionMs = 10;  // kept in hand of the burst that starts a capture
  double startLatencyMs = 20;  // the most a sound system takes to start a stream
  double learnMs = 2000;       // quiet running watched before the level is fixed
  int learnReadings = 3;       // and at least this many readings
  double marginMs = 5;         // above the least content seen (see Learn)
  double toleranceMs = 10;     // an excess beyond twice this is a fault, cut at once
  double stepMs = 7;           // a step off the trend by more than this is a fault
  double driftDeadbandMs = 4;  // a drift smaller than this is left alone
  double maxCorrectionMs = 10;
  double correctionIntervalMs = 1000;
  double maxSettleStretchMs = 180;  // a shortfall after a fault, made up per block
  double fitMs = 20000;      // readings the drift estimate is fitted over
  int fitReadings = 8;       // and at least this many
  double fitSettleMs = 3000;  // the least span of readings that can tell a drift
  int fitSettleReadings = 3;
  // Room for the two clocks to disagree, as a share of the block: 0.2 %
  // (the most two devices do) over the three blocks it takes to see the
  // trend.
  double clockMargin = 0.006;  // played as silence ahead of the first block
};

class LatencyRule {
 public:
  enum class Phase {
    Starting,    // nothing played yet: the start-up burst is cut to the cushion
    Learning,    // watching quiet running for the least content
    Holding,     // holding the content at the learned level
    Recovering,  // a fault was cut: waiting to see the device play again
  };

  explicit LatencyRule(int32_t blockLength, LatencyLimits limits = {});

  // How many samples to play for the block just taken: the whole block in
  // quiet running; fewer (its newest) to take out an excess; more (a short
  // stretch played twice) to make up for content that has crept down.
  int32_t PlayCount(const PipeReading& reading);

  Phase CurrentPhase() const { return phase_; }
  // The content the pipe is held at, in samples (valid while Holding).
  int64_t Level() const { return level_; }
  int FaultCuts() const { return faultCuts_; }
  int DriftCorrections() const { return driftCorrections_; }

 private:
  int64_t Samples(double ms) const;
  int32_t Start(const PipeReading& r);
  void Learn(const PipeReading& r, int64_t content);
  void Hold(const PipeReading& r, int64_t content);
  void Recover(const PipeReading& r, int64_t content);
  bool TakeOutExcess(int64_t content, int64_t level);
  void EvenOutDrift(const PipeReading& r, int64_t content);
  void WatchCapturePeriod(const PipeReading& r);
  void KeepThePlaybackFed();
  bool OnTrend(const PipeReading& r, int64_t content) const;
  bool TrendKnown() const;
  bool Outlier(const PipeReading& r, int64_t content);
  void Restart(double nowMs, bool keepTrend);
  int32_t Apply();
  int32_t WholeJoins(int32_t cut);

  int32_t block_;
  LatencyLimits limits_;
  Phase phase_ = Phase::Starting;
  int32_t startMargin_ = 0;
  int64_t startContent_ = -1;  // the least content reckoned before the device reported
  // The readings of the last learnMs of learning: (time, content).
  std::deque<std::pair<double, int64_t>> learned_;
  std::vector<int64_t> everLearned_;  // every reading since learning began
  double learningSince_ = -1;
  int64_t level_ = 0;
  int64_t learnedLevel_ = 0;
  // The most of a capture period recorded and not yet handed over, and the
  // least the playback device held in quiet learning.
  int64_t captureMost_ = 0;
  int64_t playbackLeast_ = std::numeric_limits<int64_t>::max();
  int64_t pendingCut_ = 0;
  int64_t pendingStretch_ = 0;
  // How much of the pending cut, and whether the pending stretch, evens
  // out drift (and not a fault).
  int64_t driftCut_ = 0;
  bool stretchIsDrift_ = false;
  // Samples cut (less those stretched) since the fit began: adding it back
  // to each reading gives the content as it would be without corrections.
  int64_t corrected_ = 0;
  double lastCorrectionMs_ = 0;
  // What had been written when the fault was cut: once the device has
  // finished beyond it, its position is measured after the fault.
  int64_t faultQueued_ = 0;
  int settleRounds_ = 0;
  // The readings of the content, to judge a drift by its trend and not by
  // one reading's jitter.
  LineFit fit_;
  int outliers_ = 0;  // readings off the trend in a row
  int faultCuts_ = 0;
  int driftCorrections_ = 0;
};

}  // namespace lumrio::audio
