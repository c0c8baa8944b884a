// Resource identifiers shared by the window code and the resource script.
#pragma once

#define LUMRIO_IDI_MAIN 1
#define LUMRIO_IDB_MICROPHONE 101

namespace lumrio::app {
inline constexpr int kIconMain = LUMRIO_IDI_MAIN;
inline constexpr int kBitmapMicrophone = LUMRIO_IDB_MICROPHONE;
}  // namespace lumrio::app
