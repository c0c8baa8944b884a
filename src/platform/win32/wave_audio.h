// Waveform audio over winmm: every call goes straight to the Windows function
// of the same name; only the records and handles change type on the way.
#pragma once

#include "platform/wave.h"

namespace lumrio::platform::win32 {

class WinmmAudio : public WaveAudio {
 public:
  MmResult WaveInOpen(WaveInHandle* handle, uint32_t device, const WaveFormat* format,
                      uintptr_t callback, uintptr_t instance, uint32_t flags) override;
  MmResult WaveOutOpen(WaveOutHandle* handle, uint32_t device, const WaveFormat* format,
                       uintptr_t callback, uintptr_t instance, uint32_t flags) override;

  MmResult WaveInPrepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveInUnprepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveInAddBuffer(WaveInHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveInStart(WaveInHandle h) override;
  MmResult WaveInReset(WaveInHandle h) override;
  MmResult WaveInClose(WaveInHandle h) override;
  MmResult WaveInGetPosition(WaveInHandle h, MmTime* time, uint32_t size) override;
  MmResult WaveOutGetPosition(WaveOutHandle h, MmTime* time, uint32_t size) override;

  MmResult WaveOutPrepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveOutUnprepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveOutWrite(WaveOutHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveOutReset(WaveOutHandle h) override;
  MmResult WaveOutClose(WaveOutHandle h) override;
  MmResult WaveOutSetVolume(WaveOutHandle h, uint32_t volume) override;
};

}  // namespace lumrio::platform::win32
