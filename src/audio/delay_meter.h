// Where the sound is between the microphone and the ear, as the devices
// tell it: the playback device's position, reckoned past its 32-bit wrap and
// between the periods it counts in, and how long each captured block waited
// before it was taken up. The engine tells it what it writes, takes up and
// drops; the delay rules get their readings from here alone.
#pragma once

#include <cstdint>
#include <optional>

#include "audio/played_estimate.h"
#include "audio/reading.h"
#include "audio/start_pace.h"
#include "platform/platform.h"

namespace lumrio::audio {

class DelayMeter {
 public:
  explicit DelayMeter(platform::Platform& platform) : platform_(platform) {}

  // A new run of blocks of `blockLength` samples on these devices.
  void Restart(int32_t blockLength, platform::WaveInHandle waveIn, platform::WaveOutHandle waveOut);
  // A capture buffer of `samples` was taken up.
  void Captured(uint32_t samples) { samplesCaptured_ += samples; }
  // The playback device took a block of `samples`.
  void Written(uint32_t samples) {
    samplesWritten_ += samples;
    playbackBegun_ = true;
  }
  // The playback device dropped what it held; its position starts from 0.
  void PlaybackReset();

  // The clock the readings are taken by. The delay rule compares it with
  // sample counts: it is the fine clock, not the one that moves in steps of
  // 10 to 16 ms.
  int64_t NowMs() const { return static_cast<int64_t>(platform_.ui.ClockMs()); }
  // The reading for the block just taken up, with `waiting` full capture
  // buffers behind it.
  Reading Read(int waiting);
  // A played block came back just after the device's period ended: its
  // count then is the truest it gives (see PlayedEstimate).
  void PeriodEnded() { PlaybackPosition(platform_.ui.ClockMs()); }

 private:
  // The playback device's position as of `nowMs`, or nothing if it cannot
  // tell where it is.
  std::optional<PlaybackReading> PlaybackPosition(double nowMs);
  int64_t CapturedSince();

  platform::Platform& platform_;
  platform::WaveInHandle waveIn_ = nullptr;
  platform::WaveOutHandle waveOut_ = nullptr;
  int32_t blockLength_ = 0;
  // Samples written to the playback device since it was opened or last
  // reset, modulo 2^32 as the device counts its position.
  uint32_t samplesWritten_ = 0;
  bool playbackBegun_ = false;    // a block was written in this run
  uint32_t samplesCaptured_ = 0;  // in the capture buffers taken up this run
  uint32_t lastPosition_ = 0;
  int64_t playedBefore_ = 0;  // by the wraps and resets of its position
  bool positionTrusted_ = true;
  PlayedEstimate played_;  // what the playback device has played, by its readings
  StartPace startPace_;    // how far it fell behind its pace since it began
};

}  // namespace lumrio::audio
