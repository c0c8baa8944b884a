// How far a playback device fell behind its pace since it began: its
// latency at the start is a lead it needs, what it loses after is lost.
#include "audio/start_pace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace lumrio::audio {
namespace {

constexpr double kRate = 22050.0;

// Reads every 10 ms a device that is heard `latencyMs` after the first
// write, plays at `slowRate` of its speed until `slowUntilMs` and at full
// speed after, and counts a period at a time. Answers the last loss read.
int64_t LostAfter(double latencyMs, double slowUntilMs, double slowRate, double untilMs) {
  StartPace pace;
  int64_t lost = 0;
  for (double t = 0; t <= untilMs; t += 10) {
    const double slow = std::clamp(std::min(t, slowUntilMs) - latencyMs, 0.0, slowUntilMs);
    const double fast = std::max(0.0, t - std::max(latencyMs, slowUntilMs));
    const auto played = static_cast<int64_t>((slow * slowRate + fast) * kRate / 1000);
    lost = pace.LostBy(static_cast<int64_t>(t), played);
  }
  return lost;
}

TEST(StartPace, TheLatencyADeviceBeganWithIsNotLost) {
  for (const double latencyMs : {15.0, 100.0, 400.0}) {
    EXPECT_NEAR(static_cast<double>(LostAfter(latencyMs, 0, 1, 10'000)), 0, 10 * kRate / 1000)
        << latencyMs;
  }
}

// At half speed for its first second the device loses 485 ms of its pace
// after a 30 ms latency; the latency itself is not lost.
TEST(StartPace, ASlowStartIsLostButNotTheLatency) {
  const double lost = static_cast<double>(LostAfter(30, 1'000, 0.5, 10'000));
  EXPECT_NEAR(lost, 485 * kRate / 1000, 15 * kRate / 1000);
}

}  // namespace
}  // namespace lumrio::audio
