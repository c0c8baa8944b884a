// A device's position (in samples) against the system clock, from reports
// that are never ahead of it: a capture device counts what it has put into
// buffers, which it does a period at a time; a playback device is seen to
// have finished a block only once it has marked it done, a period at a time
// and later still when its thread is late. A line fitted through the reports
// gives the device's pace on its own clock; moved up until no report lies
// above it, it follows the reports that came soonest, and so the device
// itself.
//
// A report well behind the line means the device stopped for a while (it
// was held up, it ran dry, it lost input): the line starts again from there.
#pragma once

#include "audio/line_fit.h"

namespace lumrio::audio {

class DeviceClock {
 public:
  void Reset();
  // The device was at `position` or further at `nowMs`.
  void Report(double nowMs, double position);
  // Whether there are reports to go by.
  bool Known() const { return line_.Count() > 0; }
  // Where the device is at `nowMs`: on the line once two reports span some
  // time, otherwise on from the last report at the nominal rate.
  double At(double nowMs) const;

 private:
  LineFit line_;
  double lastMs_ = 0;
  double last_ = 0;
  double lift_ = 0;  // how far the line is moved up to lie on the reports
};

}  // namespace lumrio::audio
