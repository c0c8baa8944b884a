// The win32 platform bundle.
#include "platform/win32/win32_platform.h"

namespace lumrio::platform::win32 {

Win32Platform::Win32Platform(HINSTANCE instance)
    : ui_(instance), platform_{ui_, audio_, memory_, registry_} {}

}  // namespace lumrio::platform::win32
