// Where the sound is between the microphone and the ear, as the devices
// tell it.
#include "audio/delay_meter.h"

#include <algorithm>

#include "audio/capture_ring.h"

namespace lumrio::audio {

void DelayMeter::Restart(int32_t blockLength, platform::WaveInHandle waveIn,
                         platform::WaveOutHandle waveOut) {
  waveIn_ = waveIn;
  waveOut_ = waveOut;
  blockLength_ = blockLength;
  played_.Restart(blockLength);
  startPace_ = StartPace{};
  samplesWritten_ = 0;
  playbackBegun_ = false;
  samplesCaptured_ = 0;
  lastPosition_ = 0;
  playedBefore_ = 0;
  positionTrusted_ = true;
}

void DelayMeter::PlaybackReset() {
  playedBefore_ += lastPosition_;
  lastPosition_ = 0;
  samplesWritten_ = 0;
  played_.Forget();
}

Reading DelayMeter::Read(int waiting) {
  const double nowMs = platform_.ui.ClockMs();
  Reading reading{.atMs = static_cast<int64_t>(nowMs),
                  .waiting = waiting,
                  .playbackBegun = playbackBegun_,
                  .playback = PlaybackPosition(nowMs)};
  if (reading.playback) {
    reading.playback->level += CapturedSince();
    // Its pace counts from the first reading after the first write.
    if (playbackBegun_) {
      reading.playback->lost = startPace_.LostBy(reading.atMs, reading.playback->played);
    }
  }
  return reading;
}

// Its position is a 32-bit count of samples that wraps; so do the counts
// made from it. A position that goes back otherwise is not to be trusted for
// the rest of the run (a driver that counts in some other unit, say).
std::optional<PlaybackReading> DelayMeter::PlaybackPosition(double nowMs) {
  platform::MmTime time;
  time.wType = platform::kTimeSamples;
  if (!positionTrusted_ ||
      platform_.audio.WaveOutGetPosition(waveOut_, &time, sizeof time) != platform::kMmNoError ||
      time.wType != platform::kTimeSamples) {
    return std::nullopt;
  }
  if (time.sample < lastPosition_) {
    const bool wrapped = lastPosition_ >= 0x80000000U && time.sample < 0x80000000U;
    if (!wrapped) {
      positionTrusted_ = false;
      return std::nullopt;
    }
    playedBefore_ += int64_t{1} << 32;
  }
  lastPosition_ = time.sample;
  const int64_t played = playedBefore_ + time.sample;
  // What the device holds, less what it has played since its count was
  // last kept (see PlayedEstimate).
  const int64_t queued = std::max<int32_t>(0, static_cast<int32_t>(samplesWritten_ - time.sample));
  const int64_t unseen = played_.At(nowMs, played) - played;
  const int64_t inHand = std::max<int64_t>(0, queued - unseen);
  return PlaybackReading{.level = inHand, .dry = inHand == 0, .played = played};
}

// How much the capture device has recorded since the end of the block just
// taken up: how long that block waited to be taken up. It waits longer when
// it ends early in the device's period, and that part of the delay moves with
// where blocks end in the periods. 0 if the device cannot tell.
int64_t DelayMeter::CapturedSince() {
  platform::MmTime time;
  time.wType = platform::kTimeSamples;
  if (platform_.audio.WaveInGetPosition(waveIn_, &time, sizeof time) != platform::kMmNoError ||
      time.wType != platform::kTimeSamples) {
    return 0;
  }
  // Both counts wrap at 32 bits; a device that counts otherwise is not
  // believed beyond a ring of blocks.
  const auto since = static_cast<int32_t>(time.sample - samplesCaptured_);
  return since < 0 || since > kRingSize * blockLength_ ? 0 : since;
}

}  // namespace lumrio::audio
