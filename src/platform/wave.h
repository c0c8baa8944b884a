// Waveform-audio service: the calls the delay engine makes on the sound card,
// shaped like the Windows waveIn/waveOut API so that the win32 implementation
// is a thin pass-through and the headless one can be checked call by call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumrio::platform {

using MmResult = uint32_t;

// Result codes, numerically equal to the Windows ones.
inline constexpr MmResult kMmNoError = 0;
inline constexpr MmResult kMmError = 1;
inline constexpr MmResult kMmBadDeviceId = 2;
inline constexpr MmResult kMmAllocated = 4;
inline constexpr MmResult kMmInvalidHandle = 5;
inline constexpr MmResult kMmNoDriver = 6;
inline constexpr MmResult kMmNoMem = 7;
inline constexpr MmResult kWaveBadFormat = 32;
inline constexpr MmResult kWaveStillPlaying = 33;
inline constexpr MmResult kWaveUnprepared = 34;

// Open flags.
inline constexpr uint32_t kWaveFormatQuery = 0x0001;
inline constexpr uint32_t kCallbackWindow = 0x00010000;

// Header flags, as the device sets them.
inline constexpr uint32_t kHeaderDone = 0x01;
inline constexpr uint32_t kHeaderPrepared = 0x02;
inline constexpr uint32_t kHeaderInQueue = 0x10;

// Time formats of a device position.
inline constexpr uint32_t kTimeSamples = 0x0002;

// Window messages that carry a returned header in their LParam.
inline constexpr uint32_t kMmWomDone = 0x3BD;
inline constexpr uint32_t kMmWimData = 0x3C0;

// The PCM format record (WAVEFORMATEX's fields, in its order).
struct WaveFormat {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

// Layout-identical to WAVEHDR (32 bytes on 32-bit Windows, 48 on 64-bit): the
// win32 implementation hands these straight to the device.
struct WaveHeader {
  char* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uintptr_t dwUser;
  uint32_t dwFlags;
  uint32_t dwLoops;
  WaveHeader* lpNext;
  uintptr_t reserved;
};

inline constexpr uint32_t kWaveHeaderSize = sizeof(WaveHeader);

// Layout-identical to MMTIME: a format tag and an 8-byte union, of which only
// the sample count is used.
struct MmTime {
  uint32_t wType = kTimeSamples;
  uint32_t sample = 0;
  uint32_t unused = 0;
};

// Opaque device handles; null is "no device".
struct WaveInDevice;
struct WaveOutDevice;
using WaveInHandle = WaveInDevice*;
using WaveOutHandle = WaveOutDevice*;

// Opaque window handle, used as the notification target of the opens.
struct NativeWindow;
using WindowHandle = NativeWindow*;

// Devices notify by posting kMmWimData / kMmWomDone to the window given at
// open time; the window's owner receives them through Form::onWaveInData and
// Form::onWaveOutDone, on the GUI thread, one at a time.
class WaveAudio {
 public:
  virtual ~WaveAudio() = default;

  // waveInOpen / waveOutOpen. With kWaveFormatQuery, handle may be null and
  // nothing is opened. With kCallbackWindow, callback is a WindowHandle.
  virtual MmResult WaveInOpen(WaveInHandle* handle, uint32_t device, const WaveFormat* format,
                              uintptr_t callback, uintptr_t instance, uint32_t flags) = 0;
  virtual MmResult WaveOutOpen(WaveOutHandle* handle, uint32_t device, const WaveFormat* format,
                               uintptr_t callback, uintptr_t instance, uint32_t flags) = 0;

  virtual MmResult WaveInPrepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) = 0;
  virtual MmResult WaveInUnprepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) = 0;
  virtual MmResult WaveInAddBuffer(WaveInHandle h, WaveHeader* header, uint32_t size) = 0;
  virtual MmResult WaveInStart(WaveInHandle h) = 0;
  virtual MmResult WaveInReset(WaveInHandle h) = 0;
  virtual MmResult WaveInClose(WaveInHandle h) = 0;
  // waveInGetPosition: how much the device has put into buffers since it
  // started (in the format asked for, if the device can give it).
  virtual MmResult WaveInGetPosition(WaveInHandle h, MmTime* time, uint32_t size) = 0;

  virtual MmResult WaveOutPrepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) = 0;
  virtual MmResult WaveOutUnprepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) = 0;
  virtual MmResult WaveOutWrite(WaveOutHandle h, WaveHeader* header, uint32_t size) = 0;
  virtual MmResult WaveOutReset(WaveOutHandle h) = 0;
  virtual MmResult WaveOutClose(WaveOutHandle h) = 0;
  // waveOutGetPosition: how much the device has played since it was opened
  // or last reset (in the format asked for, if the device can give it).
  virtual MmResult WaveOutGetPosition(WaveOutHandle h, MmTime* time, uint32_t size) = 0;
  virtual MmResult WaveOutSetVolume(WaveOutHandle h, uint32_t volume) = 0;
};

}  // namespace lumrio::platform
