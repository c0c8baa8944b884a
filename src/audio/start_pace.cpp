// How far a playback device has fallen behind its pace since it began to
// play.
#include "audio/start_pace.h"

#include "audio/delay_tuning.h"
#include "audio/units.h"

namespace lumrio::audio {

int64_t StartPace::LostBy(int64_t nowMs, int64_t played) {
  if (beganMs_ < 0) beganMs_ = nowMs;
  const int64_t behind = SamplesIn(static_cast<double>(nowMs - beganMs_)) - played;
  Track(nowMs, played, behind);
  return known_ ? behind - startBehind_ : 0;
}

void StartPace::Track(int64_t nowMs, int64_t played, int64_t behind) {
  if (known_ || played <= 0) return;
  if (firstPlayedMs_ < 0) {
    firstPlayedMs_ = nowMs;
    firstPlayed_ = played;
    firstBehind_ = behind;
    return;
  }
  // The device reports its position a period at a time: the pace is read
  // over settleMs at least, and only a clearly slow one counts.
  if (nowMs - firstPlayedMs_ < kDelayTuning.settleMs) return;
  const double pace = static_cast<double>(played - firstPlayed_) /
                      static_cast<double>(SamplesIn(static_cast<double>(nowMs - firstPlayedMs_)));
  const double lostBefore = pace > 0 && pace < kDelayTuning.slowStartPace
                                ? static_cast<double>(firstPlayed_) * (1 / pace - 1)
                                : 0;
  startBehind_ = firstBehind_ - static_cast<int64_t>(lostBefore);
  known_ = true;
}

}  // namespace lumrio::audio
