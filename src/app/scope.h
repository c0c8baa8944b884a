// The scope: a black panel with a green frame and grid, the delay in
// milliseconds, and the waveform of the latest captured block in yellow.
// Drawing is a pure function of the view it is given.
#pragma once

#include <cstdint>
#include <string>

#include "platform/canvas.h"

namespace lumrio::app {

struct ScopeView {
  int width = 0;
  int height = 0;
  int32_t blockLength = 0;
  bool idle = true;
  const platform::Point* points = nullptr;  // blockLength points, or null
};

inline constexpr platform::Color kScopeBackground{0, 0, 0};
inline constexpr platform::Color kScopeGrid{0, 128, 0};
inline constexpr platform::Color kScopeText{0, 255, 0};
inline constexpr platform::Color kScopeTrace{255, 255, 0};

// The box's own font: "MS Sans Serif", 11 pixels high, lime green.
platform::FontDesc ScopeFont();

// The delay of a block in whole milliseconds (45 for 1000 samples).
int DelayMilliseconds(int32_t blockLength);
std::string DelayText(int32_t blockLength);

void DrawScope(platform::Canvas& canvas, const ScopeView& view);

// Maps captured samples to points of a width x height box: x spreads the
// block over the box, y puts silence in the middle and positive samples above.
void MapScopePoints(const int16_t* samples, int count, int width, int height,
                    platform::Point* points);

}  // namespace lumrio::app
