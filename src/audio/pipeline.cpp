// The delay engine's block pipeline: what happens to every captured block,
// and to every played block the device hands back.
#include <algorithm>
#include <cstring>

#include "audio/depth_guard.h"
#include "audio/engine.h"

namespace lumrio::audio {

using platform::kMmNoError;
using platform::kWaveHeaderSize;
using platform::WaveHeader;

namespace {

// The device sets a header's done flag from its own thread, before it posts
// the message: read the flag afresh each time.
bool IsDone(const WaveHeader* header) {
  return (*static_cast<const volatile uint32_t*>(&header->dwFlags) & platform::kHeaderDone) != 0;
}

}  // namespace

// The ring entry a returned header names, or -1 for a header that is not a
// queued buffer of the current ring.
int Engine::RingIndexOf(const WaveHeader* header) const {
  if (!header) return -1;
  const uintptr_t i = header->dwUser;
  if (i >= kRingSize) return -1;
  const int index = static_cast<int>(i);
  if (ring_.headers[index] != header || !ring_.queued[index]) return -1;
  return index;
}

// The device no longer holds this buffer and will not get it back.
void Engine::TakeOutOfService(int i) {
  platform_.audio.WaveInUnprepareHeader(waveIn_, ring_.headers[i], kWaveHeaderSize);
  ring_.queued[i] = false;
  --inQueued_;
}

void Engine::MMWimData(WaveHeader* header) {
  const int i = RingIndexOf(header);
  if (i < 0) return;

  if (closing_) {
    if (platform_.audio.WaveInUnprepareHeader(waveIn_, ring_.headers[i], kWaveHeaderSize) !=
        kMmNoError) {
      Report("In Unprepare error.");
    }
    ring_.queued[i] = false;
    --inQueued_;
    return;
  }

  DepthGuard guard(handlerDepth_);
  const int64_t waiting = FullBuffersAfter(i);
  // Queue the buffer again before reading it: the device fills the other 15
  // first, so its samples stay intact for the rest of this handler. If the
  // device refuses it, it is out of service; counting it would make the stop
  // wait for a buffer that never comes back.
  if (platform_.audio.WaveInAddBuffer(waveIn_, header, kWaveHeaderSize) != kMmNoError) {
    TakeOutOfService(i);
  }
  const int16_t* captured = ring_.data[i];
  taken_ += blockLength_;
  WriteBlock(captured, latency_.PlayCount(Read(waiting)));
  if (scopePoints_) host_.MapScope(captured, scopePoints_, blockLength_);
  idle_ = false;
  host_.BlockProcessed();
}

// Samples already captured after entry i's: the device fills its buffers in
// the order they were queued, which is ring order, so the done ones that
// follow it hold what was recorded since.
int64_t Engine::FullBuffersAfter(int i) const {
  int64_t full = 0;
  for (int step = 1; step < kRingSize; ++step) {
    const int next = (i + step) % kRingSize;
    if (!ring_.queued[static_cast<size_t>(next)]) continue;
    if (!IsDone(ring_.headers[next])) break;
    ++full;
  }
  return full * blockLength_;
}

// How far the playback device has played, from its done flags and the
// clock.
int64_t Engine::Played(double nowMs) {
  int64_t finished = queued_;
  int64_t oldest = queued_;
  for (const InFlight& block : inFlight_) {
    if (!IsDone(block.header)) {
      finished = block.start;
      oldest = block.end;
      break;
    }
  }
  return playbackClock_.At(nowMs, finished, oldest, queued_);
}

// How much the capture device has recorded, at least the `full` samples of
// the buffers it has filled: it counts what it has put into buffers, the
// start of the next included, which a sound system that hands sound over a
// period at a time has filled with the rest of the period. It is read as a
// buffer arrives, so the count is as fresh as the buffer; a device that
// cannot say counts the full buffers alone.
int64_t Engine::Recorded(int64_t full) {
  platform::MmTime time;
  time.wType = platform::kTimeSamples;
  if (platform_.audio.WaveInGetPosition(waveIn_, &time, sizeof time) != kMmNoError ||
      time.wType != platform::kTimeSamples) {
    return full;
  }
  // The position is 32 bits of samples; only its distance from `full`
  // counts, and it is never less.
  const auto beyond = static_cast<int32_t>(time.sample - static_cast<uint32_t>(full));
  return full + std::clamp(beyond, 0, blockLength_);
}

// How much sound the pipe holds now: `waiting` captured samples not yet
// taken, and what the playback device has not yet played.
PipeReading Engine::Read(int64_t waiting) {
  PipeReading r;
  r.nowMs = platform_.ui.ClockMs();
  r.arrived = Recorded(taken_ + waiting);
  r.taken = taken_;
  r.queued = queued_;
  r.played = Played(r.nowMs);
  r.settled = playbackClock_.Settled();
  r.finished = playbackClock_.Finished();
  return r;
}

// Makes the playback block from the captured samples and writes `play`
// samples of it (the whole block, unless the delay rule says otherwise). A
// block that cannot be allocated is skipped; one the device refuses is freed
// at once and not counted, so it neither leaks nor holds up the stop.
void Engine::WriteBlock(const int16_t* captured, int32_t play) {
  auto& mem = platform_.memory;
  const int32_t room = std::max(blockLength_, play);
  auto* samples = static_cast<int16_t*>(
      mem.HeapAlloc(static_cast<size_t>(format_.nBlockAlign) * static_cast<size_t>(room)));
  if (!samples) return;
  auto* header = play > 0 ? static_cast<WaveHeader*>(mem.HeapAlloc(kWaveHeaderSize)) : nullptr;
  if (play > 0 && !header) {
    mem.HeapFree(samples);
    return;
  }
  // Every captured sample goes through the fill, played or not, so that
  // the equalizer's filters run on without a jump.
  host_.FillPlayback(captured, samples + Splicer::BlockOffset(blockLength_, play), blockLength_);
  const int32_t count = splicer_.Compose(samples, blockLength_, play);
  if (count > 0 && Write(header, samples, count)) return;
  mem.HeapFree(samples);
  if (header) mem.HeapFree(header);
}

// Prepares and writes a block of `count` samples; true if the device took it.
bool Engine::Write(WaveHeader* header, int16_t* samples, int32_t count) {
  std::memset(header, 0, kWaveHeaderSize);
  header->lpData = reinterpret_cast<char*>(samples);
  header->dwBufferLength = static_cast<uint32_t>(format_.nBlockAlign) * static_cast<uint32_t>(count);
  header->dwFlags = 0;

  auto& audio = platform_.audio;
  if (audio.WaveOutPrepareHeader(waveOut_, header, kWaveHeaderSize) != kMmNoError) {
    Report("Out Prepare error.");
    return false;
  }
  if (audio.WaveOutWrite(waveOut_, header, kWaveHeaderSize) != kMmNoError) {
    audio.WaveOutUnprepareHeader(waveOut_, header, kWaveHeaderSize);
    Report("Wave out error.");
    return false;
  }
  const bool deviceWasIdle = std::all_of(inFlight_.begin(), inFlight_.end(),
                                         [](const InFlight& b) { return IsDone(b.header); });
  playbackClock_.Written(queued_, platform_.ui.ClockMs(), deviceWasIdle);
  inFlight_.push_back({header, queued_, queued_ + count});
  queued_ += count;
  ++outQueued_;
  return true;
}

void Engine::MMWomDone(WaveHeader* header) {
  if (!header) return;
  DepthGuard guard(handlerDepth_);
  if (platform_.audio.WaveOutUnprepareHeader(waveOut_, header, kWaveHeaderSize) != kMmNoError) {
    Report("Out Unprepare error.");
  }
  if (outQueued_ <= 0) return;
  const auto it = std::find_if(inFlight_.begin(), inFlight_.end(),
                               [header](const InFlight& b) { return b.header == header; });
  if (it == inFlight_.end()) return;
  // The device has just finished this block: the moment to note where it is.
  Played(platform_.ui.ClockMs());
  inFlight_.erase(it);
  platform_.memory.HeapFree(header->lpData);
  platform_.memory.HeapFree(header);
  --outQueued_;
}

}  // namespace lumrio::audio
