// The rule that keeps the playback backlog at its usual level.
#include "audio/backlog_rule.h"

#include <algorithm>
#include <cstdlib>

namespace lumrio::audio {

namespace {

constexpr const DelayTuning& kTune = kDelayTuning;

int64_t Samples(double ms) {
  return SamplesIn(ms);
}

}  // namespace

void BacklogRule::Restart(int32_t blockLength) {
  *this = BacklogRule{};
  driftWindowMs_ =
      std::max<int64_t>(kTune.driftWindowMs,
                        static_cast<int64_t>(MsOf(int64_t{kTune.driftWindowBlocks} * blockLength)));
}

BacklogCorrection BacklogRule::Correction(int64_t nowMs, const PlaybackReading& reading) {
  uncertainty_ = reading.uncertainty;
  if (firstMs_ < 0) firstMs_ = nowMs;
  if (nowMs - firstMs_ < kTune.settleMs) return {};
  if (!learned_) {
    // A count kept a period at a time lags by up to a period, more at one
    // reading than at another: only more than that was lost.
    const int64_t lost = reading.lost > 2 * uncertainty_ ? reading.lost : 0;
    Learn(nowMs, reading.level - lost);
    return {};
  }
  recent_.push_back({nowMs, reading.level, reading.played});
  // Two readings at least, so that long blocks are judged on more than one.
  while (recent_.size() > 2 && recent_[1].ms < nowMs - driftWindowMs_) recent_.pop_front();
  NoteDisturbance(nowMs, reading.dry);
  BacklogCorrection correction{FaultCorrection(nowMs), PlanReason::kFault};
  if (correction.samples == 0) correction = {RecoveryCorrection(nowMs), PlanReason::kRecovery};
  if (correction.samples == 0) correction = {DriftCorrection(nowMs), PlanReason::kDrift};
  if (correction.samples == 0) return {};
  Corrected();
  return correction;
}

// A device that ran dry, or readings on the move, mark a disturbance: the
// level it leaves behind is set right as soon as it has held steady.
void BacklogRule::NoteDisturbance(int64_t nowMs, bool dry) {
  if (recent_.size() >= 2) {
    const Window w = Summary(nowMs - kTune.persistMs);
    // A device that pauses right after a cut may be one that needs more in
    // hand; only one that had played on at its pace since has stalled anew.
    if (AtPace(w) && Covers(kTune.persistMs)) playedOnSinceCut_ = true;
    if (!AtPace(w) && playedOnSinceCut_) stalledMs_ = nowMs;
    if (!Steady(w)) disturbedMs_ = nowMs;
  }
  if (dry) disturbedMs_ = dryMs_ = nowMs;
}

// Within kTune.recoveryMs of a disturbance, once the backlog has held steady for
// kTune.persistMs after it, any difference beyond the drift tolerance is put
// right at once, in full: a device restarted from dry, or a stale burst let
// through, leaves a level that drift rules would take seconds to mend.
int64_t BacklogRule::RecoveryCorrection(int64_t nowMs) {
  if (disturbedMs_ < 0 || nowMs - disturbedMs_ > kTune.recoveryMs) return 0;
  // Readings over kTune.persistMs since the disturbance, and since any
  // correction made meanwhile.
  if (nowMs - disturbedMs_ < kTune.persistMs || !Covers(kTune.persistMs)) return 0;
  // Steadiness is judged with the reading before as well: long blocks have
  // but one reading in kTune.persistMs.
  const int64_t since = std::max(nowMs - kTune.persistMs, disturbedMs_ + 1);
  if (!Steady(Summary(since))) return 0;
  int64_t sum = 0, count = 0;
  for (auto s = recent_.rbegin(); s != recent_.rend() && s->ms >= since; ++s) {
    sum += s->level;
    ++count;
  }
  if (count == 0) return 0;
  const int64_t excess = sum / count - usual_;
  if (std::abs(excess) <= Samples(kTune.driftToleranceMs)) return 0;
  return excess;
}

void BacklogRule::Corrected() {
  ++corrections_;
  recent_.clear();
}

void BacklogRule::Learn(int64_t nowMs, int64_t paced) {
  learnSum_ += paced;
  ++learnCount_;
  usual_ = learnSum_ / learnCount_;
  learned_ = nowMs - firstMs_ >= kTune.settleMs + std::max(kTune.learnMs, driftWindowMs_) &&
             learnCount_ >= kTune.leastLearnReadings;
}

// The readings from `sinceMs` on, or the newest two if fewer.
BacklogRule::Window BacklogRule::Summary(int64_t sinceMs) const {
  size_t from = recent_.size();
  while (from > 0 && recent_[from - 1].ms >= sinceMs) --from;
  from = std::min(from, recent_.size() - 2);
  Window w{.low = recent_[from].level, .high = recent_[from].level};
  int64_t sum = 0;
  for (size_t k = from; k < recent_.size(); ++k) {
    w.low = std::min(w.low, recent_[k].level);
    w.high = std::max(w.high, recent_[k].level);
    sum += recent_[k].level;
  }
  w.count = static_cast<int64_t>(recent_.size() - from);
  w.mean = sum / w.count;
  w.spanMs = recent_.back().ms - recent_[from].ms;
  w.played = recent_.back().played - recent_[from].played;
  return w;
}

// Whether the readings since the last correction reach back `ms`.
bool BacklogRule::Covers(int64_t ms) const {
  return recent_.size() >= 2 && recent_.back().ms - recent_.front().ms >= ms;
}

// A backlog still on the move (a stall under way, a late burst being caught
// up; more than the drift tolerance either way, and the readings'
// uncertainty) is left until it settles, and so is a device that has not
// played at its pace meanwhile (it is stalled, and will be behind by more).
bool BacklogRule::Steady(const Window& w) const {
  if (w.high - w.low > Samples(2 * kTune.driftToleranceMs) + uncertainty_) return false;
  return AtPace(w);
}

bool BacklogRule::AtPace(const Window& w) const {
  return w.played >= Samples(static_cast<double>(w.spanMs)) - Samples(kTune.paceSlackMs);
}

// A fault's backlog is measured on the newest kTune.persistMs, or the newest two
// readings of long blocks, none of them taken while the device restarted
// from dry (what it holds then is on its way to a level not yet known).
// Drift cannot bring a cut's backlog back within kTune.holdCheckMs: if it is
// back, the device itself keeps that much.
int64_t BacklogRule::FaultCorrection(int64_t nowMs) {
  if (!Covers(kTune.persistMs) || nowMs - dryMs_ < kTune.persistMs) return 0;
  const Window w = Summary(nowMs - kTune.persistMs);
  if (!Steady(w)) return 0;
  if (w.mean - usual_ <= Samples(kTune.faultMs)) return 0;
  // A device that stalled again since is at fault again; one that played on
  // and kept the same backlog needs it.
  const bool cutDidNotHold = lastCutMs_ >= 0 && nowMs - lastCutMs_ < kTune.holdCheckMs &&
                             stalledMs_ < lastCutMs_ &&
                             std::abs(w.mean - levelBeforeCut_) <= Samples(kTune.driftStepMs);
  if (cutDidNotHold) {
    usual_ = w.mean;
    lastCutMs_ = -1;
    return 0;
  }
  lastCutMs_ = nowMs;
  levelBeforeCut_ = w.mean;
  playedOnSinceCut_ = false;
  return w.mean - usual_;
}

// Below the usual level the device is about to run dry. A small usual level
// leaves little room, so the limit is half of it if that is less.
int64_t BacklogRule::DriftCorrection(int64_t nowMs) {
  if (lastDriftMs_ >= 0 && nowMs - lastDriftMs_ < kTune.driftEveryMs) return 0;
  if (!Covers(driftWindowMs_ * kTune.driftCoverTenths / 10)) return 0;
  const Window w = Summary(nowMs - driftWindowMs_);
  if (!Steady(w)) return 0;
  const int64_t excess = w.mean - usual_;
  const int64_t tolerance = Samples(kTune.driftToleranceMs);
  // The window's mean lags a step of the backlog (the sound server ran dry
  // for a period and played on later): how much to correct is read from
  // the newer half of the window as well, so that a step is taken back
  // whole instead of to within the tolerance, where the steps would pile up.
  // Long blocks, whose window holds but a dozen readings in a saw-tooth of a
  // period, are corrected by the whole window's mean alone.
  const bool readingsToSpare = driftWindowMs_ == kTune.driftWindowMs;
  const int64_t recent =
      readingsToSpare ? Summary(nowMs - driftWindowMs_ / 2).mean - usual_ : excess;
  int64_t correction = 0;
  if (excess > tolerance) {
    correction = std::min(std::max(excess, recent), Samples(kTune.driftStepMs));
  } else if (-excess > std::min(tolerance, usual_ / 2)) {
    correction = -std::min(-std::min(excess, recent), Samples(kTune.driftStepMs));
  }
  if (correction != 0) lastDriftMs_ = nowMs;
  return correction;
}

}  // namespace lumrio::audio
