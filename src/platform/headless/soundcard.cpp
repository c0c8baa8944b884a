// The simulated sound card. Capture runs off the virtual clock at 22050
// samples per second into the buffers in the order they were queued;
// playback plays the written blocks back to back. Returned buffers are posted
// to the window given at open time, as a CALLBACK_WINDOW device does. Misuse
// that a real driver would punish unpredictably is recorded as a violation.
#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <sstream>

#include "platform/headless/loop.h"

namespace lumrio::platform::headless {

namespace {

constexpr MmResult kMmInvalParam = 11;  // MMSYSERR_INVALPARAM
constexpr uint32_t kCallbackTypeMask = 0x00070000;
constexpr Ticks kNever = std::numeric_limits<Ticks>::max();

bool Accepts(const WaveFormat& f) {
  return f.wFormatTag == 1 && f.nChannels == 1 && f.nSamplesPerSec == 22050 &&
         f.wBitsPerSample == 16 && f.nBlockAlign == 2 && f.nAvgBytesPerSec == 44100;
}

Ticks CeilToSample(Ticks t) {
  return (t + kTicksPerSample - 1) / kTicksPerSample * kTicksPerSample;
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

struct SoundCard::State {
  explicit State(HeadlessPlatform& o) : owner(o) {}

  // A queued capture buffer. Pointer and length are taken when it is queued,
  // as a driver does, so the card never reads a header the program freed.
  struct InEntry {
    WaveHeader* header;
    char* data;
    uint32_t capacity;  // samples
    std::vector<int16_t> samples;
    int64_t firstSample = -1;
    bool reported = false;
  };
  struct OutEntry {
    WaveHeader* header;
    const char* data;
    uint32_t bytes;
    size_t written;  // index into `written`
    Ticks end;
    bool played = false;
  };
  struct Device {
    uintptr_t handle = 0;  // 0: closed
    WindowHandle window = nullptr;
  };

  HeadlessPlatform& owner;
  std::function<int16_t(int64_t)> input;
  bool holdCapture = false;
  std::vector<WaveHeader*> held;
  Ticks doneLatency = 0;
  bool refuseOut = false, refuseIn = false;
  std::vector<WrittenBlock> written;
  std::vector<CapturedBuffer> captured;
  int64_t overrun = 0;
  std::vector<std::string> violations;
  uint32_t volume = 0xFFFFFFFF;
  uintptr_t nextHandle = 0x7000;

  Device in, out;
  bool inStarted = false;
  int64_t nextSample = 0;
  std::deque<InEntry> inQueue;
  std::deque<OutEntry> outQueue;
  Ticks outBusyUntil = 0;
  bool watchingFrees = false;
  bool unplugged = false;

  detail::Loop& Loop() { return owner.s_->loop; }
  CallLog& Log() { return owner.s_->log; }
  HeadlessMemory& Mem() { return owner.s_->mem; }
  Ticks Now() { return Loop().Now(); }

  void Violation(std::string text) { violations.push_back(std::move(text)); }

  bool Live(const void* p, size_t bytes) {
    const char* c = static_cast<const char*>(p);
    return Mem().IsLive(c) && (bytes == 0 || Mem().IsLive(c + bytes - 1));
  }

  // Logs the call; returns the injected failure, if any.
  std::optional<MmResult> Enter(Call& call) {
    const auto injected = Log().Enter(call);
    if (!injected) return std::nullopt;
    return static_cast<MmResult>(*injected);
  }
  MmResult Finish(const Call& call, MmResult result) {
    Log().SetResult(call, result);
    return result;
  }

  std::optional<MmResult> CheckHeader(const WaveHeader* header, uint32_t size) {
    if (!header) return kMmInvalParam;
    if (size < kWaveHeaderSize) {
      Violation(
          Describe(("header size " + std::to_string(size) + " is too small").c_str(), header));
      return kMmInvalParam;
    }
    return std::nullopt;
  }

  void MarkReturned(WaveHeader* header) {
    if (!Mem().IsLive(header)) {
      Violation(Describe("header freed while the device held it", header));
      return;
    }
    header->dwFlags = (header->dwFlags | kHeaderDone) & ~kHeaderInQueue;
  }

  void DeliverCapture(WaveHeader* header) {
    if (holdCapture) {
      held.push_back(header);
    } else if (in.window) {
      Loop().Post(in.window, kMmWimData, header);
    }
  }

  // Hands a capture buffer back with what it holds so far.
  void ReturnCapture(InEntry& e) {
    if (Mem().IsLive(e.header)) {
      e.header->dwBytesRecorded = static_cast<uint32_t>(e.samples.size() * sizeof(int16_t));
    }
    MarkReturned(e.header);
    if (!e.samples.empty()) captured.push_back({e.header, e.firstSample, std::move(e.samples)});
    DeliverCapture(e.header);
  }

  void Fill(InEntry& e, int64_t count) {
    if (e.firstSample < 0) e.firstSample = nextSample;
    const size_t offset = e.samples.size();
    for (int64_t i = 0; i < count; ++i)
      e.samples.push_back(input ? input(nextSample + i) : int16_t{0});
    nextSample += count;
    if (!Live(e.data, e.capacity * sizeof(int16_t)) || !Mem().IsLive(e.header)) {
      if (!e.reported) Violation(Describe("capture buffer freed while queued", e.header));
      e.reported = true;
      return;
    }
    std::memcpy(e.data + offset * sizeof(int16_t), e.samples.data() + offset,
                static_cast<size_t>(count) * sizeof(int16_t));
  }

  void AdvanceCapture(Ticks now) {
    if (!inStarted || unplugged) return;
    const int64_t limit = now / kTicksPerSample;  // samples [0, limit) have arrived
    while (nextSample < limit || (!inQueue.empty() && inQueue.front().capacity == 0)) {
      if (inQueue.empty()) {
        overrun += limit - nextSample;
        nextSample = limit;
        return;
      }
      InEntry& e = inQueue.front();
      const int64_t room =
          static_cast<int64_t>(e.capacity) - static_cast<int64_t>(e.samples.size());
      Fill(e, std::min(room, limit - nextSample));
      if (e.samples.size() < e.capacity) return;
      InEntry full = std::move(e);
      inQueue.pop_front();
      ReturnCapture(full);
    }
  }

  Ticks NextCaptureEvent() const {
    if (!inStarted || inQueue.empty() || unplugged) return kNever;
    const InEntry& e = inQueue.front();
    const auto missing = static_cast<int64_t>(e.capacity) - static_cast<int64_t>(e.samples.size());
    return (nextSample + missing) * kTicksPerSample;
  }

  void ReturnPlayback(OutEntry& e) {
    MarkReturned(e.header);
    if (out.window) Loop().Post(out.window, kMmWomDone, e.header);
  }

  void AdvancePlayback(Ticks now) {
    if (unplugged) return;
    for (OutEntry& e : outQueue) {
      if (e.played || e.end > now) continue;
      e.played = true;
      if (!Live(e.data, e.bytes) || !Mem().IsLive(e.header)) {
        Violation(Describe("playback block freed before it had played", e.header));
      }
    }
    while (!outQueue.empty() && outQueue.front().played &&
           outQueue.front().end + doneLatency <= now) {
      OutEntry e = outQueue.front();
      outQueue.pop_front();
      ReturnPlayback(e);
    }
  }

  Ticks NextPlaybackEvent() const {
    Ticks next = kNever;
    if (unplugged) return next;
    if (!outQueue.empty() && outQueue.front().played) next = outQueue.front().end + doneLatency;
    for (const OutEntry& e : outQueue) {
      if (!e.played) return std::min(next, e.end);
    }
    return next;
  }

  // Hooked up at the first open: the memory service outlives the card's
  // construction order, and nothing can be queued before a device is open.
  void WatchFrees() {
    if (watchingFrees) return;
    watchingFrees = true;
    Mem().SetFreeObserver([this](const void* begin, size_t bytes) { OnFree(begin, bytes); });
  }

  void OnFree(const void* begin, size_t bytes) {
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

  MmResult Open(Device& dev, uintptr_t* handleOut, uint32_t device, const WaveFormat* format,
                uintptr_t callback, uint32_t flags, bool refuse, uint32_t openMessage) {
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
};

SoundCard::SoundCard(HeadlessPlatform& owner)
    : owner_(owner), s_(std::make_unique<State>(owner_)) {}

SoundCard::~SoundCard() = default;

void SoundCard::SetInput(std::function<int16_t(int64_t)> signal) {
  s_->input = std::move(signal);
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

std::vector<int16_t> SoundCard::PlayedStream(int64_t fromSample, int64_t count) const {
  std::vector<int16_t> out(static_cast<size_t>(std::max<int64_t>(count, 0)), 0);
  for (const WrittenBlock& b : s_->written) {
    const int64_t start = b.playStart / kTicksPerSample;
    int64_t length = static_cast<int64_t>(b.samples.size());
    if (b.cutAt >= 0)
      length = std::clamp<int64_t>((b.cutAt - b.playStart) / kTicksPerSample, 0, length);
    const int64_t lo = std::max(start, fromSample);
    const int64_t hi = std::min(start + length, fromSample + count);
    for (int64_t k = lo; k < hi; ++k) {
      out[static_cast<size_t>(k - fromSample)] = b.samples[static_cast<size_t>(k - start)];
    }
  }
  return out;
}

MmResult SoundCard::WaveInOpen(WaveInHandle* handle, uint32_t device, const WaveFormat* format,
                               uintptr_t callback, uintptr_t instance, uint32_t flags) {
  Call call{"waveInOpen",
            {reinterpret_cast<uintptr_t>(handle), device, reinterpret_cast<uintptr_t>(format),
             callback, instance, flags},
            {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
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
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  uintptr_t value = 0;
  const MmResult r = s_->Open(s_->out, handle ? &value : nullptr, device, format, callback, flags,
                              s_->refuseOut, detail::kMmWomOpen);
  if (r == kMmNoError && !(flags & kWaveFormatQuery)) *handle = MakeHandle<WaveOutHandle>(value);
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
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->in.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (auto bad = s_->CheckHeader(header, size)) return s_->Finish(call, *bad);
  header->dwFlags |= kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInUnprepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveInUnprepareHeader", h, header, size);
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->in.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (auto bad = s_->CheckHeader(header, size)) return s_->Finish(call, *bad);
  if (header->dwFlags & kHeaderInQueue) {
    s_->Violation(Describe("waveInUnprepareHeader of a queued buffer", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  header->dwFlags &= ~kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInAddBuffer(WaveInHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveInAddBuffer", h, header, size);
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->in.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (auto bad = s_->CheckHeader(header, size)) return s_->Finish(call, *bad);
  if (!(header->dwFlags & kHeaderPrepared)) return s_->Finish(call, kWaveUnprepared);
  if (header->dwFlags & kHeaderInQueue) {
    s_->Violation(Describe("waveInAddBuffer of a buffer already queued", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  header->dwFlags = (header->dwFlags & ~kHeaderDone) | kHeaderInQueue;
  header->dwBytesRecorded = 0;
  s_->inQueue.push_back({header, header->lpData, header->dwBufferLength / 2, {}, -1, false});
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInStart(WaveInHandle h) {
  Call call{"waveInStart", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->in.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (!s_->inStarted) {
    s_->inStarted = true;
    s_->nextSample = CeilToSample(s_->Now()) / kTicksPerSample;
  }
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInReset(WaveInHandle h) {
  // Held messages model late delivery, not loss: whatever a reset does, what
  // was held is delivered now, or a drain waiting for it would wait for ever.
  if (s_->holdCapture) HoldCaptureMessages(false);
  Call call{"waveInReset", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->in.handle)
    return s_->Finish(call, kMmInvalidHandle);
  s_->AdvanceCapture(s_->Now());
  s_->inStarted = false;
  std::deque<State::InEntry> queued;
  queued.swap(s_->inQueue);
  for (State::InEntry& e : queued) s_->ReturnCapture(e);
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveInClose(WaveInHandle h) {
  Call call{"waveInClose", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged && h && reinterpret_cast<uintptr_t>(h) == s_->in.handle) {
    s_->inQueue.clear();  // the driver is gone: nothing held is ever handed back
    s_->in = {};
    s_->inStarted = false;
    return s_->Finish(call, kMmNoError);
  }
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->in.handle)
    return s_->Finish(call, kMmInvalidHandle);
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

MmResult SoundCard::WaveOutPrepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveOutPrepareHeader", h, header, size);
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->out.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (auto bad = s_->CheckHeader(header, size)) return s_->Finish(call, *bad);
  header->dwFlags |= kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutUnprepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveOutUnprepareHeader", h, header, size);
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->out.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (auto bad = s_->CheckHeader(header, size)) return s_->Finish(call, *bad);
  if (header->dwFlags & kHeaderInQueue) {
    s_->Violation(Describe("waveOutUnprepareHeader of a block still playing", header));
    return s_->Finish(call, kWaveStillPlaying);
  }
  header->dwFlags &= ~kHeaderPrepared;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutWrite(WaveOutHandle h, WaveHeader* header, uint32_t size) {
  Call call = HeaderCall("waveOutWrite", h, header, size);
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->out.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (auto bad = s_->CheckHeader(header, size)) return s_->Finish(call, *bad);
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
  const Ticks start = std::max(CeilToSample(now), s_->outBusyUntil);
  const Ticks end = start + static_cast<Ticks>(count) * kTicksPerSample;
  s_->outBusyUntil = end;
  header->dwFlags = (header->dwFlags & ~kHeaderDone) | kHeaderInQueue;
  s_->written.push_back({header, std::move(samples), now, start});
  s_->outQueue.push_back({header, header->lpData, count * 2, s_->written.size() - 1, end, false});
  s_->AdvancePlayback(now);  // an empty block has played at once
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutReset(WaveOutHandle h) {
  Call call{"waveOutReset", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->out.handle)
    return s_->Finish(call, kMmInvalidHandle);
  const Ticks now = s_->Now();
  s_->AdvancePlayback(now);
  std::deque<State::OutEntry> queued;
  queued.swap(s_->outQueue);
  for (State::OutEntry& e : queued) {
    if (!e.played) s_->written[e.written].cutAt = std::max(now, s_->written[e.written].playStart);
    s_->ReturnPlayback(e);
  }
  s_->outBusyUntil = 0;
  return s_->Finish(call, kMmNoError);
}

MmResult SoundCard::WaveOutClose(WaveOutHandle h) {
  Call call{"waveOutClose", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged && h && reinterpret_cast<uintptr_t>(h) == s_->out.handle) {
    s_->outQueue.clear();  // the driver is gone: nothing held is ever handed back
    s_->out = {};
    s_->outBusyUntil = 0;
    return s_->Finish(call, kMmNoError);
  }
  if (!h || reinterpret_cast<uintptr_t>(h) != s_->out.handle)
    return s_->Finish(call, kMmInvalidHandle);
  if (!s_->outQueue.empty()) {
    s_->Violation("waveOutClose while " + std::to_string(s_->outQueue.size()) +
                  " blocks are still playing");
    return s_->Finish(call, kWaveStillPlaying);
  }
  if (s_->out.window) s_->Loop().Post(s_->out.window, detail::kMmWomClose, nullptr);
  s_->out = {};
  return s_->Finish(call, kMmNoError);
}

// As on Windows, a null handle stands for device 0, so the volume can be set
// without an open device.
MmResult SoundCard::WaveOutSetVolume(WaveOutHandle h, uint32_t volume) {
  Call call{"waveOutSetVolume", {reinterpret_cast<uintptr_t>(h), volume}, {}};
  if (auto f = s_->Enter(call)) return *f;
  if (s_->unplugged) return s_->Finish(call, kMmNoDriver);
  if (h && reinterpret_cast<uintptr_t>(h) != s_->out.handle)
    return s_->Finish(call, kMmInvalidHandle);
  s_->volume = volume;
  return s_->Finish(call, kMmNoError);
}

Ticks SoundCard::NextEventTime() const {
  const Ticks next = std::min(s_->NextCaptureEvent(), s_->NextPlaybackEvent());
  return next == kNever ? -1 : next;
}

void SoundCard::AdvanceTo(Ticks now) {
  s_->AdvanceCapture(now);
  s_->AdvancePlayback(now);
}

}  // namespace lumrio::platform::headless
