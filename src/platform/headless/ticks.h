// The headless platform's virtual clock: the unit every timed event, logged
// call and device model of the platform is measured in.
#pragma once

#include <cstdint>

namespace lumrio::platform::headless {

// Virtual time in ticks of 1/441000 s: 441 ticks per millisecond and exactly
// 20 ticks per sample at 22050 samples per second.
using Ticks = int64_t;
inline constexpr Ticks kTicksPerMs = 441;
inline constexpr Ticks kTicksPerSample = 20;

}  // namespace lumrio::platform::headless
