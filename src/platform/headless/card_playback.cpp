// The simulated card's speaker. It plays the written blocks in order on its
// own clock, back to back while there is sound to play. When it has run dry,
// a new block is heard from the next period on, plus the sound system's
// latency. A stalled feeding thread, a held process or an underrun of the
// sound server leaves it silent while the sound waits. A block it has finished is marked done, and
// handed back, at the end of the period in which it finished.
#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/headless/card.h"

namespace lumrio::platform::headless {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

}  // namespace

double SoundCard::State::PlaybackTicksPerSample(double t) const {
  double tps = static_cast<double>(kTicksPerSample) / (1 + conditions.playbackPpm * 1e-6);
  const double slowUntil =
      static_cast<double>(firstWriteAt) + conditions.slowStartMs * static_cast<double>(kTicksPerMs);
  if (firstWriteAt >= 0 && t < slowUntil && conditions.slowStartRate > 0) {
    tps /= conditions.slowStartRate;
  }
  return tps;
}

double SoundCard::State::NextPlaybackBoundary(double t) const {
  if (conditions.periodMs <= 0) return t;
  const double period =
      conditions.periodMs * static_cast<double>(kTicksPerMs) / (1 + conditions.playbackPpm * 1e-6);
  const double opened = static_cast<double>(outOpenedAt);
  return opened + std::ceil((t - opened) / period - 1e-9) * period;
}

double SoundCard::State::DoneTime(double end) const {
  double t = NextPlaybackBoundary(end);
  if (ProcessHeld(t)) t = NextPlaybackBoundary(static_cast<double>(processHeldUntil));
  return t + static_cast<double>(doneLatency);
}

// When the first sample of a block written to a device that has run dry is
// heard.
double SoundCard::State::FirstSampleTime(Ticks writeTime) const {
  const double t =
      conditions.periodMs > 0
          ? NextPlaybackBoundary(static_cast<double>(writeTime))
          : std::ceil(static_cast<double>(writeTime) / kTicksPerSample) * kTicksPerSample;
  return t + conditions.playbackLatencyMs * static_cast<double>(kTicksPerMs);
}

void SoundCard::State::AddWritten(WaveHeader* header, std::vector<int16_t> samples, Ticks now) {
  WrittenBlock b;
  b.header = header;
  b.writeTime = now;
  b.length = static_cast<int64_t>(samples.size());
  // Whether the device has run dry is a matter of what it has played by
  // now, not of when it was last asked.
  ResolveSpeaker(static_cast<double>(now));
  const bool dry = speakerBlock >= written.size();
  b.earliest = dry ? FirstSampleTime(now) : static_cast<double>(now);
  if (dry) speakerTime = std::max(speakerTime, static_cast<double>(now));
  if (firstWriteAt < 0) firstWriteAt = now;
  b.samples = std::move(samples);
  Trace(b);
  if (!keepSamples) b.samples = {};
  written.push_back(std::move(b));
}

void SoundCard::State::AdvancePlayback(Ticks now) {
  while (nextUnderrunAt <= static_cast<double>(now)) {
    const double at = nextUnderrunAt;
    ResolveSpeaker(at);
    Underrun(at);
  }
  ResolveSpeaker(static_cast<double>(now));
  PostDone(now);
}

void SoundCard::State::ArmUnderruns() {
  underrunDraw.seed(conditions.underrunSeed);
  nextUnderrunAt = kNever;
  if (conditions.underrunEveryMs <= 0 || conditions.underrunGapMs <= 0) return;
  DrawNextUnderrun(static_cast<double>(Now()));
}

void SoundCard::State::DrawNextUnderrun(double after) {
  std::uniform_real_distribution<double> spacing(0.5, 1.5);
  nextUnderrunAt =
      after + spacing(underrunDraw) * conditions.underrunEveryMs * static_cast<double>(kTicksPerMs);
}

// The feeder was late at `at`: a speaker that was playing falls silent for
// the gap, and the sound behind it comes out that much later. The next
// underrun is drawn.
void SoundCard::State::Underrun(double at) {
  DrawNextUnderrun(at);
  if (unplugged || speakerBlock >= written.size()) return;
  const double silentUntil =
      std::max({written[speakerBlock].earliest, static_cast<double>(stalledUntil),
                static_cast<double>(processHeldUntil)});
  if (at < silentUntil) return;
  const double gap = conditions.underrunGapMs * static_cast<double>(kTicksPerMs);
  stalledUntil = std::max(stalledUntil, static_cast<Ticks>(std::ceil(at + gap)));
  paddings.push_back({at, std::llround(gap / PlaybackTicksPerSample(at))});
}

// The silence a driver that counts its padding as played has counted by t.
int64_t SoundCard::State::PaddingCountedBy(double t) const {
  if (!conditions.positionCountsPadding) return 0;
  int64_t counted = 0;
  for (const SoundCard::Padding& p : paddings) {
    if (t <= p.start) continue;
    const auto heard = static_cast<int64_t>((t - p.start) / PlaybackTicksPerSample(p.start));
    counted += std::min(p.samples, heard);
  }
  return counted;
}

void SoundCard::State::OpenSegment(WrittenBlock& b, double tps) {
  b.segments.push_back({speakerTime, speakerOffset, 0, tps});
  if (b.playStart < 0) b.playStart = static_cast<Ticks>(std::ceil(speakerTime - 1e-6));
  segmentOpen = true;
}

void SoundCard::State::CloseSegment() {
  segmentOpen = false;
}

// Plays on up to `now`.
void SoundCard::State::ResolveSpeaker(double now) {
  if (unplugged) return;
  for (;;) {
    if (speakerBlock >= written.size()) {
      CloseSegment();
      speakerTime = std::max(speakerTime, now);
      return;
    }
    WrittenBlock& b = written[speakerBlock];
    if (speakerOffset >= b.length) {
      FinishBlock(b);
      continue;
    }
    const double silentUntil = std::max(
        {b.earliest, static_cast<double>(stalledUntil), static_cast<double>(processHeldUntil)});
    if (speakerTime < silentUntil) {
      CloseSegment();
      if (now <= silentUntil) {
        speakerTime = std::max(speakerTime, now);
        return;
      }
      speakerTime = silentUntil;
      continue;
    }
    if (speakerTime >= now) return;
    const double tps = PlaybackTicksPerSample(speakerTime);
    if (!segmentOpen || b.segments.back().ticksPerSample != tps) {
      CloseSegment();
      OpenSegment(b, tps);
    }
    double limit = now;
    if (PlaybackTicksPerSample(now) != tps) {
      limit = std::min(now, static_cast<double>(firstWriteAt) +
                                conditions.slowStartMs * static_cast<double>(kTicksPerMs));
    }
    const double end = speakerTime + static_cast<double>(b.length - speakerOffset) * tps;
    if (end <= limit) {
      playedTotal += b.length - speakerOffset;
      speakerOffset = b.length;
      speakerTime = end;
      b.segments.back().count = speakerOffset - b.segments.back().offset;
      CloseSegment();
      FinishBlock(b);
      continue;
    }
    const auto n = static_cast<int64_t>(std::floor((limit - speakerTime) / tps));
    playedTotal += n;
    speakerOffset += n;
    speakerTime += static_cast<double>(n) * tps;
    b.segments.back().count = speakerOffset - b.segments.back().offset;
    if (limit >= now) return;
    // The speed changes here.
    CloseSegment();
    speakerTime = limit;
  }
}

// The block's last sample has been heard: it is marked done at the end of
// the period.
void SoundCard::State::FinishBlock(WrittenBlock& b) {
  for (OutEntry& e : outQueue) {
    if (e.written != speakerBlock) continue;
    e.doneAt = DoneTime(speakerTime);
    if (!Live(e.data, e.bytes) || !Mem().IsLive(e.header)) {
      Violation("playback block freed before it had played");
    }
    break;
  }
  (void)b;
  ++speakerBlock;
  speakerOffset = 0;
  segmentOpen = false;
}

void SoundCard::State::PostDone(Ticks now) {
  if (ProcessHeld(static_cast<double>(now))) return;
  while (!outQueue.empty() && outQueue.front().doneAt >= 0 &&
         outQueue.front().doneAt <= static_cast<double>(now)) {
    const OutEntry e = outQueue.front();
    outQueue.pop_front();
    MarkReturned(e.header);
    if (out.window) Loop().Post(out.window, kMmWomDone, e.header);
  }
}

// waveOutReset: the block playing stops where it is, and every block is
// handed back at once.
void SoundCard::State::ResetPlayback(Ticks now) {
  ResolveSpeaker(static_cast<double>(now));
  CloseSegment();
  for (size_t k = speakerBlock; k < written.size(); ++k) written[k].cutAt = now;
  speakerBlock = written.size();
  speakerOffset = 0;
  speakerTime = std::max(speakerTime, static_cast<double>(now));
  // A padding under way ends with the stream it was in.
  for (SoundCard::Padding& p : paddings) {
    const double t = static_cast<double>(now);
    if (t > p.start) {
      p.samples = std::min(p.samples,
                           static_cast<int64_t>((t - p.start) / PlaybackTicksPerSample(p.start)));
    }
  }
  positionBase = playedTotal + PaddingCountedBy(static_cast<double>(now));
  std::deque<OutEntry> queued;
  queued.swap(outQueue);
  for (const OutEntry& e : queued) {
    MarkReturned(e.header);
    if (out.window) Loop().Post(out.window, kMmWomDone, e.header);
  }
}

// Samples played by time t, from what the speaker has played so far (t no
// later than the time it is resolved to): the segments heard after t, newest
// first, are taken off the total.
int64_t SoundCard::State::PlayedBy(double t) const {
  int64_t played = playedTotal;
  for (size_t k = written.size(); k-- > 0;) {
    const WrittenBlock& b = written[k];
    for (auto seg = b.segments.rbegin(); seg != b.segments.rend(); ++seg) {
      const double end = seg->start + static_cast<double>(seg->count) * seg->ticksPerSample;
      if (end <= t) return played;
      const double heard = std::max(0.0, std::ceil((t - seg->start) / seg->ticksPerSample - 1e-9));
      played -= seg->count - std::min(seg->count, static_cast<int64_t>(heard));
    }
  }
  return played;
}

// The end of the last period at or before t.
double SoundCard::State::LastPlaybackBoundary(double t) const {
  if (conditions.periodMs <= 0) return t;
  const double period =
      conditions.periodMs * static_cast<double>(kTicksPerMs) / (1 + conditions.playbackPpm * 1e-6);
  return NextPlaybackBoundary(t + 1e-6) - period;
}

// What the device reports as played: a sound system counts a period at a
// time, so the count is that of the last period's end.
int64_t SoundCard::State::Position(Ticks now) const {
  const double boundary = LastPlaybackBoundary(static_cast<double>(now));
  return std::max<int64_t>(0, PlayedBy(boundary) + PaddingCountedBy(boundary) - positionBase);
}

double SoundCard::State::NextPlaybackEvent() const {
  double next = nextUnderrunAt;
  if (!outQueue.empty() && outQueue.front().doneAt >= 0) {
    next = std::max(outQueue.front().doneAt, static_cast<double>(processHeldUntil));
  }
  if (unplugged || speakerBlock >= written.size()) return next;
  const WrittenBlock& b = written[speakerBlock];
  const double silentUntil = std::max(
      {b.earliest, static_cast<double>(stalledUntil), static_cast<double>(processHeldUntil)});
  if (speakerTime < silentUntil) return std::min(next, silentUntil);
  const double tps = PlaybackTicksPerSample(speakerTime);
  double end = speakerTime + static_cast<double>(b.length - speakerOffset) * tps;
  const double slowUntil =
      static_cast<double>(firstWriteAt) + conditions.slowStartMs * static_cast<double>(kTicksPerMs);
  if (speakerTime < slowUntil && firstWriteAt >= 0) end = std::min(end, slowUntil);
  return std::min(next, end);
}

// With the traced input, finds which captured sample the block ends with
// (the newest buffers handed back whose last sample it is), and from where
// on it is that sound exactly.
void SoundCard::State::Trace(WrittenBlock& b) const {
  const auto m = static_cast<int64_t>(b.samples.size());
  if (!traced || m == 0) return;
  const int16_t* s = b.samples.data();
  const size_t look = std::min<size_t>(captured.size(), 64);
  for (size_t k = 0; k < look; ++k) {
    const CapturedBuffer& c = captured[captured.size() - 1 - k];
    const int64_t last = c.firstSample + c.length - 1;
    if (Traced(last) != s[m - 1] || (m > 1 && c.length > 1 && Traced(last - 1) != s[m - 2])) {
      continue;
    }
    int64_t j = m - 1;
    while (j >= 0 && s[j] == Traced(last - (m - 1 - j))) --j;
    b.sourceEnd = last;
    b.exactFrom = j + 1;
    return;
  }
}

}  // namespace lumrio::platform::headless
