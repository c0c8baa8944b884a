// Entry into the program once a platform exists: sets the application title,
// creates the main window and runs the message loop until it has closed.
#pragma once

#include "platform/platform.h"

namespace lumrio::app {

int RunLumrio(platform::Platform& platform);

}  // namespace lumrio::app
