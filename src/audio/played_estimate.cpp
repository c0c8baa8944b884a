// What the playback device has played by now.
#include "audio/played_estimate.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace lumrio::audio {

namespace {

constexpr double kSamplesPerMs = ExactSamplesIn(1);

}  // namespace

void PlayedEstimate::Restart(int32_t blockLength) {
  readings_.clear();
  const double blockMs = static_cast<double>(blockLength) / kSamplesPerMs;
  carryMs_ =
      std::min(static_cast<double>(kMostCarryMs), std::max(kCarryMs, kCarryBlocks * blockMs));
}

int64_t PlayedEstimate::At(double nowMs, int64_t played) {
  while (!readings_.empty() && readings_.front().ms < nowMs - carryMs_) readings_.pop_front();
  // A reading carried more than a period beyond the count was taken while
  // the device stood (before a restarted stream was heard, in a stall): it
  // tells nothing from then on, and neither does any before it.
  const double most = static_cast<double>(played) + kPeriodMs * kSamplesPerMs;
  double best = static_cast<double>(played);
  for (size_t k = readings_.size(); k-- > 0;) {
    const double carried =
        static_cast<double>(readings_[k].played) + (nowMs - readings_[k].ms) * kSamplesPerMs;
    if (carried > most) {
      readings_.erase(readings_.begin(), readings_.begin() + static_cast<std::ptrdiff_t>(k) + 1);
      break;
    }
    best = std::max(best, carried);
  }
  // A device that has not kept its pace over the readings kept (one that
  // starts slowly) is not carried forward at that pace.
  const bool atPace =
      readings_.empty() || static_cast<double>(played - readings_.front().played) >=
                               (nowMs - readings_.front().ms - kPeriodMs) * kSamplesPerMs;
  readings_.push_back({nowMs, played});
  return atPace ? static_cast<int64_t>(std::floor(best)) : played;
}

}  // namespace lumrio::audio
