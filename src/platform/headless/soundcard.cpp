// The simulated sound card: the controls tests use to make it misbehave, what
// they inspect afterwards, and what its sides share. The device calls are in
// card_calls.cpp, over the capture side (card_capture.cpp) and the speaker
// (card_playback.cpp).
#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "platform/headless/card.h"

namespace lumrio::platform::headless {

namespace detail {

std::string Describe(const char* what, const void* header) {
  std::ostringstream s;
  s << what << " (header " << header << ")";
  return s.str();
}

}  // namespace detail

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

void SoundCard::State::MarkReturned(WaveHeader* header) {
  if (!Mem().IsLive(header)) {
    Violation(detail::Describe("header freed while the device held it", header));
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
      Violation(detail::Describe("memory of a queued capture buffer freed", e.header));
    }
  }
  for (const OutEntry& e : outQueue) {
    if (inside(e.header) || inside(e.data)) {
      Violation(
          detail::Describe("memory of a playback block freed while the device held it", e.header));
    }
  }
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
  s_->ArmUnderruns();
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

const std::vector<SoundCard::Padding>& SoundCard::Paddings() const {
  return s_->paddings;
}

double SoundCard::CaptureTime(int64_t n) const {
  return static_cast<double>(n) * s_->CaptureTicksPerSample();
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
