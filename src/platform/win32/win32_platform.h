// The win32 platform: every service of the platform contract over the real
// Windows API, bundled for the program's entry point.
#pragma once

#include "platform/platform.h"
#include "platform/win32/memory_service.h"
#include "platform/win32/registry_service.h"
#include "platform/win32/ui.h"
#include "platform/win32/wave_audio.h"
#include "platform/win32/win.h"

namespace lumrio::platform::win32 {

class Win32Platform {
 public:
  explicit Win32Platform(HINSTANCE instance);
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  platform::Platform& Get() { return platform_; }

 private:
  WindowsUi ui_;
  WinmmAudio audio_;
  WindowsMemory memory_;
  WindowsRegistry registry_;
  platform::Platform platform_;
};

}  // namespace lumrio::platform::win32
