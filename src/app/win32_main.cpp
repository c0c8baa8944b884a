// The Windows entry point: the real platform under the program.
#include "app/app.h"
#include "dsp/filter.h"
#include "platform/win32/win32_platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  lumrio::dsp::EnsureExtendedPrecision();
  lumrio::platform::win32::Win32Platform platform(instance);
  return lumrio::app::RunLumrio(platform.Get());
}
