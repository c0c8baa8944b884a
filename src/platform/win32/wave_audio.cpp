// Waveform audio over winmm.
#include "platform/win32/wave_audio.h"

#include <cstddef>

#include "platform/win32/win.h"

namespace lumrio::platform::win32 {
namespace {

// The device keeps and fills the very header the engine allocated, so the
// portable record must be WAVEHDR byte for byte.
static_assert(sizeof(WaveHeader) == sizeof(WAVEHDR));
static_assert(offsetof(WaveHeader, lpData) == offsetof(WAVEHDR, lpData));
static_assert(offsetof(WaveHeader, dwBufferLength) == offsetof(WAVEHDR, dwBufferLength));
static_assert(offsetof(WaveHeader, dwBytesRecorded) == offsetof(WAVEHDR, dwBytesRecorded));
static_assert(offsetof(WaveHeader, dwUser) == offsetof(WAVEHDR, dwUser));
static_assert(offsetof(WaveHeader, dwFlags) == offsetof(WAVEHDR, dwFlags));
static_assert(offsetof(WaveHeader, dwLoops) == offsetof(WAVEHDR, dwLoops));
static_assert(offsetof(WaveHeader, lpNext) == offsetof(WAVEHDR, lpNext));
static_assert(offsetof(WaveHeader, reserved) == offsetof(WAVEHDR, reserved));
#ifndef _WIN64
static_assert(sizeof(WAVEHDR) == 32);
#endif

static_assert(sizeof(MmTime) == sizeof(MMTIME));
static_assert(offsetof(MmTime, sample) == offsetof(MMTIME, u.sample));
static_assert(kTimeSamples == TIME_SAMPLES);

static_assert(kWaveFormatQuery == WAVE_FORMAT_QUERY);
static_assert(kCallbackWindow == CALLBACK_WINDOW);
static_assert(kMmWimData == MM_WIM_DATA && kMmWomDone == MM_WOM_DONE);
static_assert(kHeaderDone == WHDR_DONE && kHeaderPrepared == WHDR_PREPARED &&
              kHeaderInQueue == WHDR_INQUEUE);

LPWAVEHDR Native(WaveHeader* header) {
  return reinterpret_cast<LPWAVEHDR>(header);
}
HWAVEIN Native(WaveInHandle h) {
  return reinterpret_cast<HWAVEIN>(h);
}
HWAVEOUT Native(WaveOutHandle h) {
  return reinterpret_cast<HWAVEOUT>(h);
}

// WAVEFORMATEX is byte-packed, the portable record is not: copy by field.
WAVEFORMATEX Native(const WaveFormat& format) {
  WAVEFORMATEX native{};
  native.wFormatTag = format.wFormatTag;
  native.nChannels = format.nChannels;
  native.nSamplesPerSec = format.nSamplesPerSec;
  native.nAvgBytesPerSec = format.nAvgBytesPerSec;
  native.nBlockAlign = format.nBlockAlign;
  native.wBitsPerSample = format.wBitsPerSample;
  native.cbSize = format.cbSize;
  return native;
}

}  // namespace

MmResult WinmmAudio::WaveInOpen(WaveInHandle* handle, uint32_t device, const WaveFormat* format,
                                uintptr_t callback, uintptr_t instance, uint32_t flags) {
  WAVEFORMATEX native = Native(*format);
  HWAVEIN opened = nullptr;
  const MMRESULT result =
      ::waveInOpen(handle ? &opened : nullptr, device, &native, callback, instance, flags);
  if (handle) *handle = reinterpret_cast<WaveInHandle>(opened);
  return result;
}

MmResult WinmmAudio::WaveOutOpen(WaveOutHandle* handle, uint32_t device, const WaveFormat* format,
                                 uintptr_t callback, uintptr_t instance, uint32_t flags) {
  WAVEFORMATEX native = Native(*format);
  HWAVEOUT opened = nullptr;
  const MMRESULT result =
      ::waveOutOpen(handle ? &opened : nullptr, device, &native, callback, instance, flags);
  if (handle) *handle = reinterpret_cast<WaveOutHandle>(opened);
  return result;
}

MmResult WinmmAudio::WaveInPrepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) {
  return ::waveInPrepareHeader(Native(h), Native(header), size);
}

MmResult WinmmAudio::WaveInUnprepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) {
  return ::waveInUnprepareHeader(Native(h), Native(header), size);
}

MmResult WinmmAudio::WaveInAddBuffer(WaveInHandle h, WaveHeader* header, uint32_t size) {
  return ::waveInAddBuffer(Native(h), Native(header), size);
}

MmResult WinmmAudio::WaveInStart(WaveInHandle h) {
  return ::waveInStart(Native(h));
}
MmResult WinmmAudio::WaveInReset(WaveInHandle h) {
  return ::waveInReset(Native(h));
}
MmResult WinmmAudio::WaveInClose(WaveInHandle h) {
  return ::waveInClose(Native(h));
}
MmResult WinmmAudio::WaveInGetPosition(WaveInHandle h, MmTime* time, uint32_t size) {
  return ::waveInGetPosition(Native(h), reinterpret_cast<LPMMTIME>(time), size);
}
MmResult WinmmAudio::WaveOutGetPosition(WaveOutHandle h, MmTime* time, uint32_t size) {
  return ::waveOutGetPosition(Native(h), reinterpret_cast<LPMMTIME>(time), size);
}

MmResult WinmmAudio::WaveOutPrepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  return ::waveOutPrepareHeader(Native(h), Native(header), size);
}

MmResult WinmmAudio::WaveOutUnprepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  return ::waveOutUnprepareHeader(Native(h), Native(header), size);
}

MmResult WinmmAudio::WaveOutWrite(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  return ::waveOutWrite(Native(h), Native(header), size);
}

MmResult WinmmAudio::WaveOutReset(WaveOutHandle h) {
  return ::waveOutReset(Native(h));
}
MmResult WinmmAudio::WaveOutClose(WaveOutHandle h) {
  return ::waveOutClose(Native(h));
}

MmResult WinmmAudio::WaveOutSetVolume(WaveOutHandle h, uint32_t volume) {
  return ::waveOutSetVolume(Native(h), volume);
}

}  // namespace lumrio::platform::win32
