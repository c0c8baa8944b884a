// The simulated sound card: the device calls, as winmm answers them, over the
// capture side (card_capture.cpp) and the speaker (card_playback.cpp).
// Returned buffers are posted to the window given at open time, as a
// CALLBACK_WINDOW device does. Misuse that a real driver would punish
// unpredictably is recorded as a violation.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "platform/headless/card.h"

namespace lumrio::platform::headless {

namespace {

constexpr MmResult kMmInvalParam = 11;  // MMSYSERR_INVALPARAM
constexpr uint32_t kCallbackTypeMask = 0x00070000;

bool Accepts(const WaveFormat& f) {
  return f.wFormatTag == 1 && f.nChannels == 1 && f.nSamplesPerSec == 22050 &&
         f.wBitsPerSample == 16 && f.nBlockAlign == 2 && f.nAvgBytesPerSec == 44100;
}

std::string Describe(const char* what, const void* header) {
  std::ostringstream s;
  s << what << " (header " << header << ")";
  return s.str();
}

template <typename Handle>
Handle MakeHandle(uintptr_t value) {
  return reinterpret_cast<Handle>(value);
}

}  // namespace

CardConditions RealisticConditions() {
  CardConditions c;
  c.periodMs = 10;
  c.playbackLatencyMs = 15;
  c.captureBufferMs = 100;
  return c;
}

// --- State: what both sides share ------------------------------------------

detail::Loop& SoundCard::State::Loop() {
  return owner.s_->loop;
}
CallLog& SoundCard::State::Log() {
  return owner.s_->log;
}
HeadlessMemory& SoundCard::State::Mem() {
  return owner.s_->mem;
}
Ticks SoundCard::State::Now() {
  return Loop().Now();
}

bool SoundCard::State::Live(const void* p, size_t bytes) {
  const char* c = static_cast<const char*>(p);
  return Mem().IsLive(c) && (bytes == 0 || Mem().IsLive(c + bytes - 1));
}

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
    Violation(Describe(("header size " + std::to_string(size) + " is too small").c_str(), header));
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

void SoundCard::State::MarkReturned(WaveHeader* header) {
  if (!Mem().IsLive(header)) {
    Violation(Describe("header freed while the device held it", header));
    return;
  }
  header->dwFlags = (header->dwFlags | kHeaderDone) & ~kHeaderInQueue;
}

// Hooked up at the first open: the memory service outlives the card's
// construction order, and nothing can be queued before a device is open.
void SoundCard::State::WatchFrees() {
  if (watchingFrees) return;
  watchingFrees = true;
  Mem().SetFreeObserver([this](const void* begin, size_t bytes) { OnFree(begin, bytes); });
}

void SoundCard::State::OnFree(const void* begin, size_t bytes) {
  const auto inside = [&](const void* p) {
    const auto* b = static_cast<const char*>(begin);
    const auto* c = static_cast<const char*>(p);
    return c >= b && c < b + std::max<size_t>(bytes, 1);
  };
  for (const InEntry& e : inQueue) {
    if (inside(e.header) || inside(e.data)) {
      Violation(Describe("memory of a queued capture buffer freed", e.header));
    }
  }
  for (const OutEntry& e : outQueue) {
    if (inside(e.header) || inside(e.data)) {
      Violation(Describe("memory of a playback block freed while the device held it", e.header));
    }
  }
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

// --- SoundCard ---------------------------------------------------------------

SoundCard::SoundCard(HeadlessPlatform& owner)
    : owner_(owner), s_(std::make_unique<State>(owner_)) {}

SoundCard::~SoundCard() = default;

void SoundCard::SetInput(std::function<int16_t(int64_t)> signal) {
  s_->input = std::move(signal);
  s_->traced = false;
}

int16_t SoundCard::Traced(int64_t n) {
  return static_cast<int16_t>(static_cast<int32_t>(n % 65536) - 32768);
}

void SoundCard::UseTracedInput() {
  s_->input = Traced;
  s_->traced = true;
}

void SoundCard::SetConditions(const CardConditions& conditions) {
  s_->conditions = conditions;
}
const CardConditions& SoundCard::Conditions() const {
  return s_->conditions;
}

void SoundCard::KeepSamples(bool keep) {
  s_->keepSamples = keep;
}

void SoundCard::StallPlayback(Ticks duration) {
  const Ticks now = s_->Now();
  AdvanceTo(now);
  s_->stalledUntil = std::max(s_->stalledUntil, now + duration);
}

void SoundCard::HoldProcess(Ticks duration) {
  const Ticks now = s_->Now();
  AdvanceTo(now);
  s_->processHeldUntil = std::max(s_->processHeldUntil, now + duration);
  owner_.HoldGui(duration);
}

void SoundCard::HoldCaptureMessages(bool hold) {
  s_->holdCapture = hold;
  if (hold) return;
  std::vector<WaveHeader*> burst;
  burst.swap(s_->held);
  for (WaveHeader* h : burst) {
    if (s_->in.window) s_->Loop().Post(s_->in.window, kMmWimData, h);
  }
}

void SoundCard::Unplug() {
  s_->AdvanceCapture(s_->Now());
  s_->AdvancePlayback(s_->Now());
  s_->unplugged = true;
}
void SoundCard::Replug() {
  s_->unplugged = false;
}
bool SoundCard::Unplugged() const {
  return s_->unplugged;
}

void SoundCard::SetDoneLatency(Ticks extra) {
  s_->doneLatency = extra;
}
void SoundCard::RefuseOutFormat(bool refuse) {
  s_->refuseOut = refuse;
}
void SoundCard::RefuseInFormat(bool refuse) {
  s_->refuseIn = refuse;
}

bool SoundCard::InOpen() const {
  return s_->in.handle != 0;
}
bool SoundCard::OutOpen() const {
  return s_->out.handle != 0;
}
bool SoundCard::InStarted() const {
  return s_->inStarted;
}
int SoundCard::InQueued() const {
  return static_cast<int>(s_->inQueue.size());
}
int SoundCard::OutQueued() const {
  return static_cast<int>(s_->outQueue.size());
}
uint32_t SoundCard::Volume() const {
  return s_->volume;
}
const std::vector<SoundCard::WrittenBlock>& SoundCard::Written() const {
  return s_->written;
}
const std::vector<SoundCard::CapturedBuffer>& SoundCard::Captured() const {
  return s_->captured;
}
int64_t SoundCard::OverrunSamples() const {
  return s_->overrun;
}
const std::vector<std::string>& SoundCard::Violations() const {
  return s_->violations;
}

// Each sample heard is put at the sample time nearest to when it was heard.
std::vector<int16_t> SoundCard::PlayedStream(int64_t fromSample, int64_t count) const {
  std::vector<int16_t> out(static_cast<size_t>(std::max<int64_t>(count, 0)), 0);
  for (const WrittenBlock& b : s_->written) {
    if (b.samples.empty()) continue;
    for (const PlaySegment& seg : b.segments) {
      for (int64_t i = 0; i < seg.count; ++i) {
        const double t = seg.start + static_cast<double>(i) * seg.ticksPerSample;
        const auto k = static_cast<int64_t>(std::llround(t / kTicksPerSample)) - fromSample;
        if (k < 0 || k >= count) continue;
        out[static_cast<size_t>(k)] = b.samples[static_cast<size_t>(seg.offset + i)];
      }
    }
  }
  return out;
}

std::vector<SoundCard::HeardRun> SoundCard::Heard() const {
  std::vector<HeardRun> runs;
  for (const WrittenBlock& b : s_->written) {
    const int64_t exactFrom = b.sourceEnd >= 0 ? b.exactFrom : b.length;
    for (const PlaySegment& seg : b.segments) {
      const int64_t end = seg.offset + seg.count;
      if (seg.offset < exactFrom) {
        const int64_t joint = std::min(end, exactFrom) - seg.offset;
        runs.push_back({seg.start, seg.ticksPerSample, joint, -1});
      }
      if (end > exactFrom) {
        const int64_t from = std::max(seg.offset, exactFrom);
        runs.push_back({seg.start + static_cast<double>(from - seg.offset) * seg.ticksPerSample,
                        seg.ticksPerSample, end - from, b.sourceEnd - (b.length - 1 - from)});
      }
    }
  }
  return runs;
}

double SoundCard::CaptureTime(int64_t n) const {
  return static_cast<double>(n) * s_->CaptureTicksPerSample();
}

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
    s_->Violation(Describe("waveInUnprepareHeader of a queued buffer", header));
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
    s_->Violation(Describe("waveInAddBuffer of a buffer already queued", header));
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
    s_->Violation(Describe("waveOutUnprepareHeader of a block still playing", header));
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
    s_->Violation(Describe("waveOutWrite of a block already playing", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  const uint32_t count = header->dwBufferLength / 2;
  std::vector<int16_t> samples(count, 0);
  if (s_->Live(header->lpData, count * sizeof(int16_t))) {
    std::memcpy(samples.data(), header->lpData, count * sizeof(int16_t));
  } else {
    s_->Violation(Describe("waveOutWrite of a block whose data is not allocated", header));
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

Ticks SoundCard::NextEventTime() const {
  const double next = std::min(s_->NextCaptureEvent(), s_->NextPlaybackEvent());
  if (next == std::numeric_limits<double>::infinity()) return -1;
  return static_cast<Ticks>(std::ceil(next - 1e-6));
}

void SoundCard::AdvanceTo(Ticks now) {
  s_->AdvanceCapture(now);
  s_->AdvancePlayback(now);
}

}  // namespace lumrio::platform::headless
