// The delay engine's device life cycle and block pipeline.
//
// Everything runs on the GUI thread: the devices notify by window message,
// and the only places where other messages can be handled in the middle of
// the engine's work are the drain loops of StopAudio and the failure boxes.
#include "audio/engine.h"

#include <algorithm>
#include <cstring>

#include "audio/splice.h"

namespace lumrio::audio {

using platform::kMmNoError;
using platform::kWaveHeaderSize;
using platform::WaveHeader;

namespace {

constexpr uint32_t kDevice = 0;

}  // namespace

platform::WaveFormat MakeWaveFormat() {
  platform::WaveFormat f;
  f.wFormatTag = 1;  // PCM
  f.nChannels = 1;
  f.nSamplesPerSec = kSampleRate;
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<uint16_t>(f.wBitsPerSample / 8 * f.nChannels);
  f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
  f.cbSize = 0;
  return f;
}

Engine::Engine(platform::Platform& platform, EngineHost& host) : platform_(platform), host_(host) {}

Engine::~Engine() = default;

bool Engine::CheckFormat() {
  auto& audio = platform_.audio;
  if (audio.WaveOutOpen(nullptr, kDevice, &format_, 0, 0, platform::kWaveFormatQuery) !=
      kMmNoError) {
    host_.ShowMessage("Play format not supported.");
    return false;
  }
  if (audio.WaveInOpen(nullptr, kDevice, &format_, 0, 0, platform::kWaveFormatQuery) !=
      kMmNoError) {
    host_.ShowMessage("Record format not supported.");
    return false;
  }
  return true;
}

// A device that fails on every block would otherwise raise a box per block,
// each one the moment the previous is closed, and the user could never get
// to the close box. So within one run of the engine each text is shown once.
void Engine::Report(const std::string& text) {
  if (!reportedThisRun_.insert(text).second) return;
  host_.ShowMessage(text);
}

void Engine::StartAudio() {
  state_ = EngineState::Starting;
  reportedThisRun_.clear();
  auto& audio = platform_.audio;
  const auto window = reinterpret_cast<uintptr_t>(host_.NotifyWindow());

  if (audio.WaveOutOpen(&waveOut_, kDevice, &format_, window, 0, platform::kCallbackWindow) !=
      kMmNoError) {
    waveOut_ = nullptr;
    Report("Problem creating play handle.");
  }
  if (audio.WaveInOpen(&waveIn_, kDevice, &format_, window, 0, platform::kCallbackWindow) !=
      kMmNoError) {
    waveIn_ = nullptr;
    Report("Problem creating record handle.");
  }

  inQueued_ = 0;
  const auto bytes =
      static_cast<uint32_t>(format_.nBlockAlign) * static_cast<uint32_t>(blockLength_);
  for (int i = 0; i < kRingSize; ++i) {
    if (AllocateRingEntry(i, bytes)) QueueRingEntry(i, bytes);
  }

  scopePoints_ = static_cast<platform::Point*>(
      platform_.memory.HeapAlloc(sizeof(platform::Point) * static_cast<size_t>(blockLength_)));

  meter_.Restart(blockLength_, waveIn_, waveOut_);
  rule_.Restart(meter_.NowMs(), blockLength_);
  if (audio.WaveInStart(waveIn_) != kMmNoError) Report("Start error.");

  outQueued_ = 0;
  closing_ = false;
  state_ = EngineState::Running;
}

// Allocates and locks entry i's header and sample buffer; on any failure
// undoes what was done and leaves the entry out of the ring for this run.
bool Engine::AllocateRingEntry(int i, uint32_t bytes) {
  auto& mem = platform_.memory;
  ring_[i].headerMemory = mem.GlobalAlloc(platform::kGmemFixed, kWaveHeaderSize);
  if (ring_[i].headerMemory) {
    ring_[i].header = static_cast<WaveHeader*>(mem.GlobalLock(ring_[i].headerMemory));
  }
  if (ring_[i].header) {
    ring_[i].dataMemory = mem.GlobalAlloc(platform::kGmemFixed, bytes);
  }
  if (ring_[i].dataMemory) {
    ring_[i].data = static_cast<int16_t*>(mem.GlobalLock(ring_[i].dataMemory));
  }
  if (ring_[i].data) return true;
  FreeRingEntry(i);
  return false;
}

// Prepares entry i and hands it to the capture device. Only a buffer the
// device really holds is counted in InQueued: a refused one would never come
// back and would hold up the drain of StopAudio for ever.
void Engine::QueueRingEntry(int i, uint32_t bytes) {
  WaveHeader* header = ring_[i].header;
  // Fixed global memory is not zeroed; the device must not see stale fields.
  std::memset(header, 0, kWaveHeaderSize);
  header->lpData = reinterpret_cast<char*>(ring_[i].data);
  header->dwBufferLength = bytes;
  header->dwFlags = 0;
  header->dwUser = static_cast<uintptr_t>(i);

  // A failed prepare does not end the sequence: the add is tried all the
  // same and reports its own failure. Only an add that took the buffer
  // counts.
  auto& audio = platform_.audio;
  const bool prepared = audio.WaveInPrepareHeader(waveIn_, header, kWaveHeaderSize) == kMmNoError;
  if (!prepared) Report("In Prepare error.");
  if (audio.WaveInAddBuffer(waveIn_, header, kWaveHeaderSize) != kMmNoError) {
    Report("Add buffer error.");
    if (prepared) audio.WaveInUnprepareHeader(waveIn_, header, kWaveHeaderSize);
    return;
  }
  ring_[i].queued = true;
  ++inQueued_;
}

void Engine::FreeRingEntry(int i) {
  auto& mem = platform_.memory;
  if (ring_[i].dataMemory) {
    if (ring_[i].data) mem.GlobalUnlock(ring_[i].dataMemory);
    mem.GlobalFree(ring_[i].dataMemory);
  }
  if (ring_[i].headerMemory) {
    if (ring_[i].header) mem.GlobalUnlock(ring_[i].headerMemory);
    mem.GlobalFree(ring_[i].headerMemory);
  }
  ring_[i] = RingEntry{};
}

void Engine::StopAudio() {
  state_ = EngineState::Stopping;
  StopCapture();
  StopPlayback();
  platform_.memory.HeapFree(scopePoints_);
  scopePoints_ = nullptr;
  idle_ = true;
  state_ = EngineState::Stopped;
}

// Runs the message loop until `count` is 0, or gives up when nothing has come
// back for kDrainPatienceMs. Between messages it sleeps: a device that is
// slow to hand its buffers back must not cost a core.
bool Engine::Drain(const int32_t& count) {
  auto& ui = platform_.ui;
  int32_t last = count;
  int64_t since = ui.Milliseconds();
  while (count != 0) {
    host_.PumpMessages();
    const int64_t now = ui.Milliseconds();
    if (count != last) {
      last = count;
      since = now;
    } else if (now - since >= kDrainPatienceMs) {
      return false;
    }
    if (count != 0) WaitForMessages(since);
  }
  return true;
}

// Sleeps until a message arrives or the patience counted from `sinceMs` runs
// out, whichever comes first.
void Engine::WaitForMessages(int64_t sinceMs) {
  auto& ui = platform_.ui;
  const int64_t left = kDrainPatienceMs - (ui.Milliseconds() - sinceMs);
  if (left > 0) ui.WaitForMessage(left);
}

// The capture side stops first, so that no new playback block is made while
// the playback side drains.
void Engine::StopCapture() {
  auto& audio = platform_.audio;
  audio.WaveInReset(waveIn_);
  closing_ = true;
  if (Drain(inQueued_)) {
    for (int i = 0; i < kRingSize; ++i) FreeRingEntry(i);
    audio.WaveInClose(waveIn_);
  } else if (audio.WaveInClose(waveIn_) == kMmNoError) {
    // A closed device holds nothing any more: the buffers can go.
    for (int i = 0; i < kRingSize; ++i) FreeRingEntry(i);
  } else {
    // The device still holds some buffers and may yet write into them: leave
    // those allocated (a small leak beats memory corruption), free the rest.
    for (int i = 0; i < kRingSize; ++i) {
      if (ring_[i].queued) {
        ring_[i] = RingEntry{};
      } else {
        FreeRingEntry(i);
      }
    }
  }
  inQueued_ = 0;
  waveIn_ = nullptr;
}

void Engine::StopPlayback() {
  auto& audio = platform_.audio;
  audio.WaveOutReset(waveOut_);
  const bool drained = Drain(outQueued_);
  const bool closed = audio.WaveOutClose(waveOut_) == kMmNoError;
  if (!drained && closed) {
    for (WaveHeader* header : inFlight_) {
      platform_.memory.HeapFree(header->lpData);
      platform_.memory.HeapFree(header);
    }
  }
  // Blocks of a device that could not even be closed are left to it.
  inFlight_.clear();
  outQueued_ = 0;
  waveOut_ = nullptr;
}

// The ring entry a returned header names, or -1 for a header that is not a
// queued buffer of the current ring.
int Engine::RingIndexOf(const WaveHeader* header) const {
  if (!header) return -1;
  const uintptr_t i = header->dwUser;
  if (i >= kRingSize) return -1;
  const int index = static_cast<int>(i);
  if (ring_[index].header != header || !ring_[index].queued) return -1;
  return index;
}

// The device no longer holds this buffer and will not get it back.
void Engine::TakeOutOfService(int i) {
  platform_.audio.WaveInUnprepareHeader(waveIn_, ring_[i].header, kWaveHeaderSize);
  ring_[i].queued = false;
  --inQueued_;
}

void Engine::MMWimData(WaveHeader* header) {
  const int i = RingIndexOf(header);
  if (i < 0) return;

  if (closing_) {
    if (platform_.audio.WaveInUnprepareHeader(waveIn_, ring_[i].header, kWaveHeaderSize) !=
        kMmNoError) {
      Report("In Unprepare error.");
    }
    ring_[i].queued = false;
    --inQueued_;
    return;
  }

  meter_.Captured(header->dwBytesRecorded / format_.nBlockAlign);
  const BlockPlan plan = rule_.Plan(meter_.Read(FullBuffersAfter(i)));
  // Queue the buffer again before reading it: the device fills the other 15
  // first, so its samples stay intact for the rest of this handler. If the
  // device refuses it, it is out of service; counting it would make the stop
  // wait for a buffer that never comes back.
  if (platform_.audio.WaveInAddBuffer(waveIn_, header, kWaveHeaderSize) != kMmNoError) {
    TakeOutOfService(i);
  }
  const int16_t* captured = ring_[i].data;
  if (plan.resetPlayback) ResetPlayback();
  if (plan.play) WriteBlock(captured, plan);
  if (scopePoints_) host_.MapScope(captured, scopePoints_, blockLength_);
  idle_ = false;
  host_.BlockProcessed();
}

// Full capture buffers behind entry i: the device fills its buffers in the
// order they were queued, which is ring order, so these hold what was
// recorded since.
int Engine::FullBuffersAfter(int i) const {
  int full = 0;
  for (int step = 1; step < kRingSize; ++step) {
    const int next = (i + step) % kRingSize;
    if (!ring_[next].queued) continue;
    if ((ring_[next].header->dwFlags & platform::kHeaderDone) == 0) break;
    ++full;
  }
  return full;
}

// Drops what the playback device holds: its blocks come back as played, and
// its position starts again from 0.
void Engine::ResetPlayback() {
  if (platform_.audio.WaveOutReset(waveOut_) != kMmNoError) return;
  meter_.PlaybackReset();
}

// Makes a playback block from the captured samples, shortened or lengthened
// as the plan says, and writes it. A block that cannot be allocated is
// skipped; one the device refuses is freed at once and not counted, so it
// neither leaks nor holds up the stop.
void Engine::WriteBlock(const int16_t* captured, const BlockPlan& plan) {
  auto& mem = platform_.memory;
  auto& audio = platform_.audio;
  const size_t capacity =
      static_cast<size_t>(format_.nBlockAlign) * static_cast<size_t>(blockLength_ + plan.added);

  auto* samples = static_cast<int16_t*>(mem.HeapAlloc(capacity));
  if (!samples) return;
  auto* header = static_cast<WaveHeader*>(mem.HeapAlloc(kWaveHeaderSize));
  if (!header) {
    mem.HeapFree(samples);
    return;
  }
  host_.FillPlayback(captured, samples, blockLength_);
  int32_t length = blockLength_;
  if (plan.cut > 0) length = CutFront(samples, length, plan.cut);
  if (plan.added > 0) length = Lengthen(samples, length, plan.added);

  std::memset(header, 0, kWaveHeaderSize);
  header->lpData = reinterpret_cast<char*>(samples);
  header->dwBufferLength =
      static_cast<uint32_t>(format_.nBlockAlign) * static_cast<uint32_t>(length);
  header->dwFlags = 0;

  // As on the capture side, a failed prepare is followed by the write,
  // which reports its own failure; only a block the device took counts.
  const bool prepared = audio.WaveOutPrepareHeader(waveOut_, header, kWaveHeaderSize) == kMmNoError;
  if (!prepared) Report("Out Prepare error.");
  bool written = false;
  if (audio.WaveOutWrite(waveOut_, header, kWaveHeaderSize) != kMmNoError) {
    if (prepared) audio.WaveOutUnprepareHeader(waveOut_, header, kWaveHeaderSize);
    Report("Wave out error.");
  } else {
    written = true;
    meter_.Written(static_cast<uint32_t>(length));
    inFlight_.insert(header);
    ++outQueued_;
  }
  if (!written) {
    mem.HeapFree(samples);
    mem.HeapFree(header);
  }
}

void Engine::MMWomDone(WaveHeader* header) {
  if (!header) return;
  if (!closing_) meter_.PeriodEnded();
  if (platform_.audio.WaveOutUnprepareHeader(waveOut_, header, kWaveHeaderSize) != kMmNoError) {
    Report("Out Unprepare error.");
  }
  if (outQueued_ > 0 && inFlight_.erase(header) > 0) {
    platform_.memory.HeapFree(header->lpData);
    platform_.memory.HeapFree(header);
    --outQueued_;
  }
}

}  // namespace lumrio::audio
