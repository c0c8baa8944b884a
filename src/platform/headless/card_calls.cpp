// The simulated sound card's device calls, as winmm answers them: each is
// logged, may be made to fail, and checks its handle and header first, as a
// driver does. Returned buffers are posted to the window given at open time,
// as a CALLBACK_WINDOW device does. Misuse that a real driver would punish
// unpredictably is recorded as a violation.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/headless/card.h"

namespace lumrio::platform::headless {

namespace {

constexpr MmResult kMmInvalParam = 11;  // MMSYSERR_INVALPARAM
constexpr uint32_t kCallbackTypeMask = 0x00070000;

bool Accepts(const WaveFormat& f) {
  return f.wFormatTag == 1 && f.nChannels == 1 && f.nSamplesPerSec == 22050 &&
         f.wBitsPerSample == 16 && f.nBlockAlign == 2 && f.nAvgBytesPerSec == 44100;
}

template <typename Handle>
Handle MakeHandle(uintptr_t value) {
  return reinterpret_cast<Handle>(value);
}

}  // namespace

// --- What every call goes through ------------------------------------------

// Logs the call; returns the injected failure, if any.
std::optional<MmResult> SoundCard::State::Enter(Call& call) {
  const auto injected = Log().Enter(call);
  if (!injected) return std::nullopt;
  return static_cast<MmResult>(*injected);
}

MmResult SoundCard::State::Finish(const Call& call, MmResult result) {
  Log().SetResult(call, result);
  return result;
}

std::optional<MmResult> SoundCard::State::CheckHeader(const WaveHeader* header, uint32_t size) {
  if (!header) return kMmInvalParam;
  if (size < kWaveHeaderSize) {
    Violation(detail::Describe(("header size " + std::to_string(size) + " is too small").c_str(),
                               header));
    return kMmInvalParam;
  }
  return std::nullopt;
}

std::optional<MmResult> SoundCard::State::Reject(Call& call) {
  if (auto injected = Enter(call)) return injected;
  if (unplugged) return Finish(call, kMmNoDriver);
  return std::nullopt;
}

std::optional<MmResult> SoundCard::State::Reject(Call& call, const Device& dev, const void* h) {
  if (auto result = Reject(call)) return result;
  if (!Owns(dev, h)) return Finish(call, kMmInvalidHandle);
  return std::nullopt;
}

std::optional<MmResult> SoundCard::State::Reject(Call& call, const Device& dev, const void* h,
                                                 const WaveHeader* header, uint32_t size) {
  if (auto result = Reject(call, dev, h)) return result;
  if (auto bad = CheckHeader(header, size)) return Finish(call, *bad);
  return std::nullopt;
}

MmResult SoundCard::State::Open(Device& dev, uintptr_t* handleOut, uint32_t device,
                                const WaveFormat* format, uintptr_t callback, uint32_t flags,
                                bool refuse, uint32_t openMessage) {
  if (device != 0) return kMmBadDeviceId;
  if (!format) return kMmInvalParam;
  if (refuse || !Accepts(*format)) return kWaveBadFormat;
  if (flags & kWaveFormatQuery) return kMmNoError;
  if (!handleOut) return kMmInvalParam;
  if (dev.handle) return kMmAllocated;
  WatchFrees();
  dev.handle = nextHandle++;
  dev.window = (flags & kCallbackTypeMask) == kCallbackWindow
                   ? reinterpret_cast<WindowHandle>(callback)
                   : nullptr;
  *handleOut = dev.handle;
  if (dev.window) Loop().Post(dev.window, openMessage, nullptr);
  return kMmNoError;
}

// --- The calls ---------------------------------------------------------------

MmResult SoundCard::WaveInOpen(WaveInHandle* handle, uint32_t device, const WaveFormat* format,
                               uintptr_t callback, uintptr_t instance, uint32_t flags) {
  Call call{"waveInOpen",
            {reinterpret_cast<uintptr_t>(handle), device, reinterpret_cast<uintptr_t>(format),
             callback, instance, flags},
            {}};
  if (auto result = s_->Reject(call)) return *result;
  uintptr_t value = 0;
  const MmResult r = s_->Open(s_->in, handle ? &value : nullptr, device, format, callback, flags,
                              s_->refuseIn, detail::kMmWimOpen);
  if (r == kMmNoError && !(flags & kWaveFormatQuery)) *handle = MakeHandle<WaveInHandle>(value);
  return s_->Finish(call, r);
}

MmResult SoundCard::WaveOutOpen(WaveOutHandle* handle, uint32_t device, const WaveFormat* format,
                                uintptr_t callback, uintptr_t instance, uint32_t flags) {
  Call call{"waveOutOpen",
            {reinterpret_cast<uintptr_t>(handle), device, reinterpret_cast<uintptr_t>(format),
             callback, instance, flags},
            {}};
  if (auto result = s_->Reject(call)) return *result;
  uintptr_t value = 0;
  const MmResult r = s_->Open(s_->out, handle ? &value : nullptr, device, format, callback, flags,
                              s_->refuseOut, detail::kMmWomOpen);
  if (r == kMmNoError && !(flags & kWaveFormatQuery)) {
    *handle = MakeHandle<WaveOutHandle>(value);
    // A new stream: its periods count from now, and a slow start is its own.
    s_->outOpenedAt = s_->Now();
    s_->firstWriteAt = -1;
    s_->speakerBlock = s_->written.size();
    s_->speakerOffset = 0;
    s_->speakerTime = static_cast<double>(s_->Now());
    s_->positionBase = s_->playedTotal;
  }
  return s_->Finish(call, r);
}

namespace {

Call HeaderCall(const char* name, const void* h, const WaveHeader* header, uint32_t size) {
  return Call{
      name, {reinterpret_cast<uintptr_t>(h), reinterpret_cast<uintptr_t>(header), size}, {}};
}

}  // namespace

MmResult SoundCard::WaveInPrepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveInPrepareHeader", h, header, size);
  if (auto result = s_->Reject(call, s_->in, h, header, size)) return *result;
  header->dwFlags |= kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInUnprepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveInUnprepareHeader", h, header, size);
  if (auto result = s_->Reject(call, s_->in, h, header, size)) return *result;
  if (header->dwFlags & kHeaderInQueue) {
    s_->Violation(detail::Describe("waveInUnprepareHeader of a queued buffer", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  header->dwFlags &= ~kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInAddBuffer(WaveInHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveInAddBuffer", h, header, size);
  if (auto result = s_->Reject(call, s_->in, h, header, size)) return *result;
  if (!(header->dwFlags & kHeaderPrepared)) return s_->Finish(call, kWaveUnprepared);
  if (header->dwFlags & kHeaderInQueue) {
    s_->Violation(detail::Describe("waveInAddBuffer of a buffer already queued", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  header->dwFlags = (header->dwFlags & ~kHeaderDone) | kHeaderInQueue;
  header->dwBytesRecorded = 0;
  State::InEntry entry;
  entry.header = header;
  entry.data = header->lpData;
  entry.capacity = header->dwBufferLength / 2;
  s_->inQueue.push_back(std::move(entry));
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInStart(WaveInHandle h) {
  Call call{"waveInStart", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto result = s_->Reject(call, s_->in, h)) return *result;
  if (!s_->inStarted) s_->StartCapture(s_->Now());
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInReset(WaveInHandle h) {
  // Held messages model late delivery, not loss: whatever a reset does, what
  // was held is delivered now, or a drain waiting for it would wait for ever.
  if (s_->holdCapture) HoldCaptureMessages(false);
  Call call{"waveInReset", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto result = s_->Reject(call, s_->in, h)) return *result;
  s_->ResetCapture(s_->Now());
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInClose(WaveInHandle h) {
  Call call{"waveInClose", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged && State::Owns(s_->in, h)) {
    s_->inQueue.clear();  // the driver is gone: nothing held is ever handed back
    s_->in = {};
    s_->inStarted = false;
    return s_->Finish(call, kMmNoError);
  }
  if (!State::Owns(s_->in, h)) return s_->Finish(call, kMmInvalidHandle);
  if (!s_->inQueue.empty()) {
    s_->Violation("waveInClose while " + std::to_string(s_->inQueue.size()) +
                  " buffers are queued");
    return s_->Finish(call, kWaveStillPlaying);
  }
  if (s_->in.window) s_->Loop().Post(s_->in.window, detail::kMmWimClose, nullptr);
  s_->in = {};
  s_->inStarted = false;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInGetPosition(WaveInHandle h, MmTime* time, uint32_t size) {
  Call call{"waveInGetPosition",
            {reinterpret_cast<uintptr_t>(h), reinterpret_cast<uintptr_t>(time), size},
            {}};
  if (auto result = s_->Reject(call, s_->in, h)) return *result;
  if (!time || size < sizeof(MmTime)) return s_->Finish(call, kMmInvalParam);
  s_->AdvanceCapture(s_->Now());
  // Only samples are counted here; a driver answers a format it cannot give
  // with one it can.
  time->wType = kTimeSamples;
  time->sample = static_cast<uint32_t>(s_->delivered);
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutGetPosition(WaveOutHandle h, MmTime* time, uint32_t size) {
  Call call{"waveOutGetPosition",
            {reinterpret_cast<uintptr_t>(h), reinterpret_cast<uintptr_t>(time), size},
            {}};
  if (auto result = s_->Reject(call, s_->out, h)) return *result;
  if (!time || size < sizeof(MmTime)) return s_->Finish(call, kMmInvalParam);
  s_->AdvancePlayback(s_->Now());
  time->wType = kTimeSamples;
  time->sample = static_cast<uint32_t>(s_->Position(s_->Now()));
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutPrepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveOutPrepareHeader", h, header, size);
  if (auto result = s_->Reject(call, s_->out, h, header, size)) return *result;
  header->dwFlags |= kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutUnprepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveOutUnprepareHeader", h, header, size);
  if (auto result = s_->Reject(call, s_->out, h, header, size)) return *result;
  if (header->dwFlags & kHeaderInQueue) {
    s_->Violation(detail::Describe("waveOutUnprepareHeader of a block still playing", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  header->dwFlags &= ~kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutWrite(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveOutWrite", h, header, size);
  if (auto result = s_->Reject(call, s_->out, h, header, size)) return *result;
  if (!(header->dwFlags & kHeaderPrepared)) return s_->Finish(call, kWaveUnprepared);
  if (header->dwFlags & kHeaderInQueue) {
    s_->Violation(detail::Describe("waveOutWrite of a block already playing", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  const uint32_t count = header->dwBufferLength / 2;
  std::vector<int16_t> samples(count, 0);
  if (s_->Live(header->lpData, count * sizeof(int16_t))) {
    std::memcpy(samples.data(), header->lpData, count * sizeof(int16_t));
  } else {
    s_->Violation(detail::Describe("waveOutWrite of a block whose data is not allocated", header));
  }
  const Ticks now = s_->Now();
  s_->AdvancePlayback(now);
  header->dwFlags = (header->dwFlags & ~kHeaderDone) | kHeaderInQueue;
  s_->AddWritten(header, std::move(samples), now);
  s_->outQueue.push_back({header, header->lpData, count * 2, s_->written.size() - 1});
  s_->AdvancePlayback(now);  // an empty block has played at once
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutReset(WaveOutHandle h) {
  Call call{"waveOutReset", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto result = s_->Reject(call, s_->out, h)) return *result;
  s_->ResetPlayback(s_->Now());
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutClose(WaveOutHandle h) {
  Call call{"waveOutClose", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged && State::Owns(s_->out, h)) {
    s_->outQueue.clear();  // the driver is gone: nothing held is ever handed back
    s_->out = {};
    s_->speakerBlock = s_->written.size();
    s_->speakerOffset = 0;
    return s_->Finish(call, kMmNoError);
  }
  if (!State::Owns(s_->out, h)) return s_->Finish(call, kMmInvalidHandle);
  if (!s_->outQueue.empty()) {
    s_->Violation("waveOutClose while " + std::to_string(s_->outQueue.size()) +
                  " blocks are still playing");
    return s_->Finish(call, kWaveStillPlaying);
  }
  if (s_->out.window) s_->Loop().Post(s_->out.window, detail::kMmWomClose, nullptr);
  s_->out = {};
  s_->firstWriteAt = -1;
  return s_->Finish(call, kMmNoError);
}

// As on Windows, a null handle stands for device 0, so the volume can be set
// without an open device.
MmResult SoundCard::WaveOutSetVolume(WaveOutHandle h, uint32_t volume) {
  Call call{"waveOutSetVolume", {reinterpret_cast<uintptr_t>(h), volume}, {}};
  if (auto result = s_->Reject(call)) return *result;
  if (h && !State::Owns(s_->out, h)) return s_->Finish(call, kMmInvalidHandle);
  s_->volume = volume;
  return s_->Finish(call, kMmNoError);
}

}  // namespace lumrio::platform::headless
