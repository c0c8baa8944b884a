// The headless platform: a runnable model of the sound card, the window
// system, memory and the registry on a virtual clock, for fast deterministic
// tests. Every service call is logged with its arguments and can be made to
// fail with a chosen result. This header gathers the platform's parts for code that uses several of
// them; code that needs one includes that part's own header.
#pragma once

#include "platform/headless/calllog.h"
#include "platform/headless/canvas.h"
#include "platform/headless/memory.h"
#include "platform/headless/platform.h"
#include "platform/headless/registry.h"
#include "platform/headless/soundcard.h"
#include "platform/headless/ticks.h"
#include "platform/headless/ui.h"
