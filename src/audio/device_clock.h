// A device's position (in samples) against the system clock, from reports
// that are never ahead of it: a playback device is seen to have finished a
// block only once it has marked it done, a period at a time and later still
// when its thread is late.
//
// The position is a line. Its slope, the device's pace on its own clock, is
// fitted through the reports of the last half minute, over which the
// lateness of single reports evens out; until then it is the nominal rate.
// The line is then moved up until no recent report lies above it, so that
// it follows the reports that came soonest, and so the device itself. Until
// there are a few reports to go by, the position is taken to be a report's
// typical lateness ahead of the last one.
//
// A report well behind the line means the device stopped for a while (it
// was held up, it ran dry, it lost input): the line starts again from there.
#pragma once

#include <deque>

#include "audio/line_fit.h"

namespace lumrio::audio {

class DeviceClock {
 public:
  // `typicalLagMs`: how late a report is on average (half a period for a
  // device that reports a period at a time).
  explicit DeviceClock(double typicalLagMs = 0) : typicalLagMs_(typicalLagMs) {}

  void Reset();
  // The device was at `position` or further at `nowMs`.
  void Report(double nowMs, double position);
  // Whether there are reports to go by.
  bool Known() const { return !recent_.empty(); }
  // Where the device is at `nowMs`.
  double At(double nowMs) const;

 private:
  struct Point {
    double t, position;
  };
  double Slope() const;

  double typicalLagMs_;
  LineFit pace_;               // the reports of the last half minute
  std::deque<Point> recent_;   // the newest reports, for the lift
  double lift_ = 0;            // the line's value at t = 0 of recent_.back()
};

}  // namespace lumrio::audio
