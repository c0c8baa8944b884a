// What the playback device has played, reckoned from a position that counts
// a period at a time: read at the end of a period and carried forward, it
// tells the count at any moment to within a millisecond, where the position
// alone lags by up to a period.
#include "audio/played_estimate.h"

#include <gtest/gtest.h>

#include <cmath>

namespace lumrio::audio {
namespace {

constexpr double kPerMs = 22.05;
constexpr double kPeriodMs = 10;

// A device that plays from 0 ms at its own clock (`ppm` against the
// system's) and counts a period at a time; it may stall.
struct Device {
  double ppm = 0;
  double stalledFrom = 1e18;
  double stalledFor = 0;

  double PlayingMs(double t) const {
    if (t < stalledFrom) return t;
    return std::max(stalledFrom, t - stalledFor);
  }
  int64_t True(double t) const {
    return static_cast<int64_t>(PlayingMs(t) * kPerMs * (1 + ppm * 1e-6));
  }
  int64_t Counted(double t) const { return True(std::floor(t / kPeriodMs) * kPeriodMs); }
};

// Blocks of 1000 samples arrive 7.3 ms into a period, always, as when the
// capture's periods keep step with the playback's; the device hands a
// played block back at each period's end.
TEST(PlayedEstimate, ReadingsAtPeriodEndsTellWhereTheDeviceIsBetweenThem) {
  for (const double ppm : {0.0, 2000.0, -2000.0}) {
    const Device d{.ppm = ppm};
    PlayedEstimate e;
    e.Restart(1000);
    double worstRaw = 0, worstEstimate = 0;
    for (double t = 0; t < 60'000; t += kPeriodMs) {
      e.At(t, d.Counted(t));
      const double arrival = t + 7.3;
      const auto truth = static_cast<double>(d.True(arrival));
      const auto raw = static_cast<double>(d.Counted(arrival));
      worstRaw = std::max(worstRaw, truth - raw);
      worstEstimate = std::max(
          worstEstimate, std::abs(truth - static_cast<double>(e.At(arrival, d.Counted(arrival)))));
    }
    EXPECT_GT(worstRaw, 7 * kPerMs) << ppm;       // the position alone lags
    EXPECT_LE(worstEstimate, 1 * kPerMs) << ppm;  // the estimate does not
  }
}

// A stalled device plays nothing however long a reading is carried forward:
// the estimate never runs more than a period ahead of what the device
// plays, and once it plays on, the readings from before the stall no
// longer count.
TEST(PlayedEstimate, AStallIsNotCarriedOver) {
  const Device d{.stalledFrom = 1'000, .stalledFor = 500};
  PlayedEstimate e;
  e.Restart(1000);
  for (double t = 0; t < 3'000; t += 5) {
    const int64_t counted = d.Counted(t);
    const int64_t estimate = e.At(t, counted);
    ASSERT_GE(estimate, counted) << t;
    ASSERT_LE(estimate, d.True(t) + static_cast<int64_t>(kPeriodMs * kPerMs)) << t;
    if (t > 1'520) {
      ASSERT_LE(estimate, d.True(t) + static_cast<int64_t>(kPerMs)) << t;
    }
  }
}

// After the device dropped what it held, earlier readings tell nothing;
// nor do readings taken while a restarted stream was not yet heard (15 ms
// here): as soon as it plays, the estimate follows it.
TEST(PlayedEstimate, AReadingTakenBeforeTheDevicePlaysIsNotCarried) {
  PlayedEstimate e;
  e.Restart(1000);
  EXPECT_EQ(e.At(0, 0), 0);
  EXPECT_EQ(e.At(5, 0), static_cast<int64_t>(5 * kPerMs));  // carried forward
  e.Forget();
  EXPECT_EQ(e.At(6, 0), 0);
  // The restarted stream is heard from 21 ms; its count moves at 31 ms.
  const auto truth = [](double t) { return static_cast<int64_t>(std::max(0.0, t - 21) * kPerMs); };
  for (double t = 7; t < 200; t += 2) {
    const int64_t counted = truth(std::floor((t - 1) / kPeriodMs) * kPeriodMs + 1);
    const int64_t estimate = e.At(t, counted);
    ASSERT_LE(estimate, truth(t) + static_cast<int64_t>(kPeriodMs * kPerMs)) << t;
    if (t > 45) {
      ASSERT_LE(std::abs(estimate - truth(t)), static_cast<int64_t>(kPerMs)) << t;
    }
  }
}

// A reading is carried a quarter of a second, or a block and a half of long
// blocks, which come back that seldom.
TEST(PlayedEstimate, LongBlocksCarryReadingsLonger) {
  for (const int32_t block : {1000, 88'000}) {
    PlayedEstimate e;
    e.Restart(block);
    e.At(100, 2205);
    const auto counted = static_cast<int64_t>(1'500 * kPerMs) - 150;
    const int64_t expected = block == 1000 ? counted : static_cast<int64_t>(1'500 * kPerMs);
    EXPECT_EQ(e.At(1'500, counted), expected) << block;
  }
}

}  // namespace
}  // namespace lumrio::audio
