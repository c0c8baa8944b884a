// The simulated card's capture side. The device records on its own clock;
// at the end of every period it hands what it recorded to the driver, which
// fills the queued buffers in the order they were queued and returns each as
// it fills. What finds no buffer waits in the driver's buffer, and what does
// not fit there is lost, oldest first.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/headless/card.h"

namespace lumrio::platform::headless {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

}  // namespace

double SoundCard::State::CaptureTicksPerSample() const {
  return static_cast<double>(kTicksPerSample) / (1 + conditions.capturePpm * 1e-6);
}

// How far the device has handed over by `now`: everything recorded, or, with
// periods, up to the end of the last period that has ended. A period that
// ended while the process was held is handed over with the next one.
int64_t SoundCard::State::CaptureLimit(Ticks now) const {
  const double tps = CaptureTicksPerSample();
  const auto recorded = static_cast<int64_t>(std::floor(static_cast<double>(now) / tps));
  if (ProcessHeld(static_cast<double>(now))) return pulledTo;
  if (conditions.periodMs <= 0) return std::max(recorded, pulledTo);
  const double period = conditions.periodMs * kTicksPerMs / tps;  // samples
  const auto periods =
      static_cast<int64_t>(std::floor(static_cast<double>(recorded - firstIndex) / period + 1e-9));
  const int64_t limit =
      firstIndex + static_cast<int64_t>(std::floor(static_cast<double>(periods) * period + 1e-9));
  if (static_cast<double>(limit) * tps < static_cast<double>(processHeldUntil)) return pulledTo;
  return std::max(limit, pulledTo);
}

int64_t SoundCard::State::KeptSamples() const {
  return std::llround(conditions.captureBufferMs * kTicksPerMs / CaptureTicksPerSample());
}

void SoundCard::State::StartCapture(Ticks now) {
  inStarted = true;
  const double tps = CaptureTicksPerSample();
  firstIndex = static_cast<int64_t>(std::ceil(static_cast<double>(now) / tps - 1e-9));
  pulledTo = pendingFrom = firstIndex;
  pulledAt = now;
  delivered = 0;
}

void SoundCard::State::AdvanceCapture(Ticks now) {
  if (!inStarted || unplugged) return;
  const int64_t limit = CaptureLimit(now);
  if (limit > pulledTo && pulledAt < processHeldUntil) {
    // The process was held: what was recorded meanwhile waited in the
    // driver's buffer, and only as much as that holds is left of it.
    const auto room = std::max<int64_t>(
        KeptSamples(), std::llround(conditions.periodMs * kTicksPerMs / CaptureTicksPerSample()));
    const int64_t lost = limit - pendingFrom - room;
    if (lost > 0) {
      overrun += lost;
      pendingFrom += lost;
    }
  }
  if (limit > pulledTo) pulledAt = now;
  // Without periods the driver hands over at once, also what it kept while
  // no buffer was queued; with them it waits for the end of a period.
  const bool kept = conditions.periodMs <= 0 && pendingFrom < pulledTo && !inQueue.empty();
  if (limit > pulledTo || kept) Pull(limit);
}

void SoundCard::State::Pull(int64_t to) {
  pulledTo = to;
  while (pendingFrom < pulledTo && !inQueue.empty()) {
    InEntry& e = inQueue.front();
    Fill(e, std::min<int64_t>(e.capacity - e.filled, pulledTo - pendingFrom));
    if (e.filled < e.capacity) return;
    InEntry full = std::move(e);
    inQueue.pop_front();
    ReturnCapture(full);
  }
  // A buffer of no length is full as soon as it reaches the front.
  while (!inQueue.empty() && inQueue.front().capacity == 0) {
    InEntry empty = std::move(inQueue.front());
    inQueue.pop_front();
    ReturnCapture(empty);
  }
  const int64_t lost = pulledTo - pendingFrom - KeptSamples();
  if (lost > 0) {
    overrun += lost;
    pendingFrom += lost;
  }
}

void SoundCard::State::Fill(InEntry& e, int64_t count) {
  if (e.firstSample < 0) e.firstSample = pendingFrom;
  const int64_t offset = e.filled;
  std::vector<int16_t> chunk(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    chunk[static_cast<size_t>(i)] = input ? input(pendingFrom + i) : int16_t{0};
  }
  pendingFrom += count;
  delivered += count;
  e.filled += count;
  if (keepSamples) e.samples.insert(e.samples.end(), chunk.begin(), chunk.end());
  if (!Live(e.data, e.capacity * sizeof(int16_t)) || !Mem().IsLive(e.header)) {
    if (!e.reported) Violation("capture buffer freed while queued");
    e.reported = true;
    return;
  }
  std::memcpy(e.data + offset * static_cast<int64_t>(sizeof(int16_t)), chunk.data(),
              static_cast<size_t>(count) * sizeof(int16_t));
}

// Hands a capture buffer back with what it holds so far.
void SoundCard::State::ReturnCapture(InEntry& e) {
  if (Mem().IsLive(e.header)) {
    e.header->dwBytesRecorded =
        static_cast<uint32_t>(e.filled * static_cast<int64_t>(sizeof(int16_t)));
  }
  MarkReturned(e.header);
  if (e.filled > 0) captured.push_back({e.header, e.firstSample, e.filled, std::move(e.samples)});
  DeliverCapture(e.header);
}

void SoundCard::State::DeliverCapture(WaveHeader* header) {
  if (holdCapture) {
    held.push_back(header);
  } else if (in.window) {
    Loop().Post(in.window, kMmWimData, header);
  }
}

void SoundCard::State::ResetCapture(Ticks now) {
  AdvanceCapture(now);
  inStarted = false;
  std::deque<InEntry> queued;
  queued.swap(inQueue);
  for (InEntry& e : queued) ReturnCapture(e);
  pendingFrom = pulledTo;
  delivered = 0;  // the position starts again from the next waveInStart
}

// When the front buffer fills: at the end of the period in which the sound
// it lacks has been recorded (or of the first period after a hold).
double SoundCard::State::NextCaptureEvent() const {
  if (!inStarted || inQueue.empty() || unplugged) return kNever;
  const InEntry& e = inQueue.front();
  const int64_t wanted = pendingFrom + (e.capacity - e.filled);
  const double tps = CaptureTicksPerSample();
  double t = 0;
  if (conditions.periodMs <= 0) {
    // The driver has it already, or it comes sample by sample.
    t = wanted <= pulledTo ? static_cast<double>(owner.Now()) : static_cast<double>(wanted) * tps;
  } else {
    // The end of the period in which it has been recorded, and at least the
    // end of the next period (what the driver has already goes in then).
    const double period = conditions.periodMs * kTicksPerMs / tps;
    const double needed = std::ceil(static_cast<double>(wanted - firstIndex) / period - 1e-9);
    const double next = std::floor(static_cast<double>(pulledTo - firstIndex) / period + 1e-9) + 1;
    t = std::floor(static_cast<double>(firstIndex) + std::max(needed, next) * period + 1e-9) * tps;
  }
  return std::max(t, static_cast<double>(processHeldUntil));
}

}  // namespace lumrio::platform::headless
