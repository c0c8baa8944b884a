// Everything the subsystems may ask of the outside world, in one bundle.
#pragma once

#include "platform/controls.h"
#include "platform/memory.h"
#include "platform/registry.h"
#include "platform/wave.h"

namespace lumrio::platform {

struct Platform {
  Ui& ui;
  WaveAudio& audio;
  Memory& memory;
  Registry& registry;
};

}  // namespace lumrio::platform
