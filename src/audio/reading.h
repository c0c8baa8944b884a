// What the delay meter reads when a captured block is taken up: all the
// delay rule knows of the devices.
#pragma once

#include <cstdint>
#include <optional>

#include "audio/units.h"

namespace lumrio::audio {

// Where the sound is on its way to the ear, by the playback device's count.
struct PlaybackReading {
  // Samples between the newest sound recorded and the sound heard: how long
  // the block waited on the capture side, and what the playback device
  // holds less what it has played unseen. This is the level the rule keeps.
  int64_t level = 0;
  // The playback device had nothing left in hand.
  bool dry = false;
  // Samples the device has played since the run began: its pace is judged
  // from these.
  int64_t played = 0;
  // Samples the device has fallen behind its pace since it began to play,
  // beyond the lead it began with (a slow start, a stall); 0 until its
  // starting pace is known.
  int64_t lost = 0;
  // How far off the level may be: a device that counts a period at a time
  // is off by up to a period.
  int64_t uncertainty = SamplesIn(kPeriodMs);
};

struct Reading {
  // When the block was taken up, by the sound clock (milliseconds).
  int64_t atMs = 0;
  // Full capture buffers behind it: what was recorded since.
  int waiting = 0;
  // A block has been written to the playback device in this run.
  bool playbackBegun = false;
  // Nothing if the playback device cannot tell where it is; the rule then
  // goes by the clock alone.
  std::optional<PlaybackReading> playback;
};

}  // namespace lumrio::audio
