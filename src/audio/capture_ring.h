// The ring of capture buffers the engine keeps queued on the capture device.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"

namespace lumrio::audio {

// Buffers in the ring: the device goes on recording into the others while
// the program is held up, for up to 15 blocks, and no sound is lost.
inline constexpr int kRingSize = 16;

// One buffer of the capture ring.
struct RingEntry {
  platform::WaveHeader* header = nullptr;
  platform::GlobalHandle headerMemory = nullptr;
  platform::GlobalHandle dataMemory = nullptr;
  int16_t* data = nullptr;
  // Whether the device holds it (prepared and added), so that only the
  // entries it holds are waited for when the engine stops.
  bool queued = false;
};

// The capture ring: kRingSize buffers, each with its header and memory.
struct CaptureRing {
  std::array<RingEntry, kRingSize> entries{};

  RingEntry& operator[](int i) { return entries[static_cast<size_t>(i)]; }
  const RingEntry& operator[](int i) const { return entries[static_cast<size_t>(i)]; }
};

}  // namespace lumrio::audio
