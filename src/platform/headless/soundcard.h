// The simulated sound card of the headless platform, and the conditions under
// which it misbehaves as real devices do.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/headless/ticks.h"
#include "platform/platform.h"

namespace lumrio::platform::headless {

class HeadlessPlatform;

// How the simulated card misbehaves, as real devices do. The defaults make
// an ideal card: one clock for both sides, capture handed over sample by
// sample, playback that starts the moment it is written.
struct CardConditions {
  // Each side's clock against the system's, in parts per million (a USB
  // microphone and a built-in headphone output differ by 100 to 2000).
  double capturePpm = 0;
  double playbackPpm = 0;
  // The sound system's period: capture is handed over, and played blocks
  // are marked done, only at the end of each period (0: at once).
  double periodMs = 0;
  // From a write on a device that has run dry to its first sample heard.
  double playbackLatencyMs = 0;
  // Captured sound the driver keeps while no buffer is queued (or the
  // process is held); beyond it the oldest is lost.
  double captureBufferMs = 0;
  // A playback stream that starts slowly: for this long after its first
  // write it plays at `slowStartRate` of its speed, as a sound server does
  // whose sink was asleep.
  double slowStartMs = 0;
  double slowStartRate = 1;
  // A sound server fed once a period by a driver thread that is now and
  // then late, as Wine's are: the server's small queue runs dry, and the
  // speaker plays `underrunGapMs` of silence before the sound goes on,
  // later for good. Underruns come 0.5 to 1.5 times `underrunEveryMs` apart
  // (0: never), drawn from `underrunSeed`, and only while sound is playing.
  double underrunEveryMs = 0;
  double underrunGapMs = 0;
  uint32_t underrunSeed = 1;
  // Whether the position counts that silence as played: Wine's PulseAudio
  // driver does (the padding sits in a ring of its own that its position
  // does not show, so written - position never sees the step); its ALSA
  // driver does not (the step shows as a larger backlog).
  bool positionCountsPadding = false;
};

// A sound system like Wine's on PulseAudio: 10 ms periods, a driver buffer
// of 100 ms, a period and a half before a dry device is heard again.
CardConditions RealisticConditions();

// Simulated sound card: device 0 in each direction, accepting only mono
// 16-bit PCM at 22050 samples per second unless told otherwise.
class SoundCard : public WaveAudio {
 public:
  explicit SoundCard(HeadlessPlatform& owner);
  ~SoundCard() override;

  // The microphone: sample n is the signal at time n / 22050 s of the
  // capture clock, from clock 0.
  void SetInput(std::function<int16_t(int64_t n)> signal);
  // A signal whose every sample tells its own index (a sawtooth over the
  // whole range, 65536 samples long), so that the card can tell which
  // captured sample each played one is: see Heard().
  void UseTracedInput();
  static int16_t Traced(int64_t n);

  void SetConditions(const CardConditions& conditions);
  const CardConditions& Conditions() const;

  // Delivery timing of capture notifications: while held, full buffers are
  // kept back; releasing posts all of them at once (a burst).
  void HoldCaptureMessages(bool hold);
  // Extra latency before MM_WOM_DONE is posted after a block has played.
  void SetDoneLatency(Ticks extra);
  // From now on the device's own feeding thread is late by `duration`: the
  // speaker is silent, and what was written waits.
  void StallPlayback(Ticks duration);
  // The whole process is stopped for `duration` (as by SIGSTOP): no message
  // is handled, the device is not fed and hands nothing over; the sound
  // server keeps recording into the driver buffer, and the speaker is silent.
  void HoldProcess(Ticks duration);

  // Takes the card away as a pulled USB plug does: nothing more is captured,
  // played or handed back; every call but a close fails with kMmNoDriver; a
  // close succeeds and drops whatever the device still held. Replug() brings
  // it back for new opens.
  void Unplug();
  void Replug();
  bool Unplugged() const;

  // Refuse the format (query and open) in one direction.
  void RefuseOutFormat(bool refuse);
  void RefuseInFormat(bool refuse);

  // Whether written and captured blocks keep copies of their samples (long
  // runs turn it off; what Heard() needs is kept anyway).
  void KeepSamples(bool keep);

  // A stretch of a played block that the speaker played without a break.
  struct PlaySegment {
    double start;           // ticks, when its first sample was heard
    int64_t offset;         // its first sample within the block
    int64_t count;          // samples
    double ticksPerSample;  // at the playback clock
  };
  struct WrittenBlock {
    WaveHeader* header = nullptr;
    std::vector<int16_t> samples;  // copied at write time (if kept)
    Ticks writeTime = 0;
    Ticks playStart = -1;  // when its first sample was heard (-1: not yet)
    Ticks cutAt = -1;      // when waveOutReset stopped it before its end (-1: it was not)
    int64_t length = 0;
    std::vector<PlaySegment> segments;
    double earliest = 0;  // it cannot start before this (a write to a dry device)
    // With the traced input: the captured sample its last sample is, and
    // the first sample from which on it is exactly the captured sound
    // (before it, a join the program made). -1: not captured sound.
    int64_t sourceEnd = -1;
    int64_t exactFrom = -1;
  };
  struct CapturedBuffer {
    WaveHeader* header;
    int64_t firstSample;  // input index of its first sample
    int64_t length;
    std::vector<int16_t> samples;  // if kept
  };
  // A stretch of sound the speaker played, with the traced input: captured
  // sample `firstIndex` onwards, heard from `start`. A join the program made
  // (a crossfade, a replayed stretch) has firstIndex -1.
  struct HeardRun {
    double start;
    double ticksPerSample;
    int64_t count;
    int64_t firstIndex;
  };

  // Inspection.
  bool InOpen() const;
  bool OutOpen() const;
  bool InStarted() const;
  int InQueued() const;   // buffers the capture device holds now
  int OutQueued() const;  // blocks the playback device holds now (written, not yet returned)
  uint32_t Volume() const;
  const std::vector<WrittenBlock>& Written() const;
  const std::vector<CapturedBuffer>& Captured() const;  // every buffer filled, in order
  // The played stream: sample k is what the speaker plays at time k / 22050 s
  // (silence where nothing plays).
  std::vector<int16_t> PlayedStream(int64_t fromSample, int64_t count) const;
  int64_t OverrunSamples() const;  // input lost because no buffer was queued
  // Everything heard so far, in the order it was heard.
  std::vector<HeardRun> Heard() const;
  // When input sample n was recorded, in ticks of the system clock.
  // The silences an underrun put into the played sound: when each began
  // (ticks) and how many samples long it is.
  struct Padding {
    double start;
    int64_t samples;
  };
  const std::vector<Padding>& Paddings() const;
  double CaptureTime(int64_t n) const;

  // Violations of the device contract seen so far (a header added twice,
  // unprepared while queued, data freed while the device held it, ...),
  // as readable texts. Empty when the program behaved.
  const std::vector<std::string>& Violations() const;

  // WaveAudio.
  MmResult WaveInOpen(WaveInHandle* handle, uint32_t device, const WaveFormat* format,
                      uintptr_t callback, uintptr_t instance, uint32_t flags) override;
  MmResult WaveOutOpen(WaveOutHandle* handle, uint32_t device, const WaveFormat* format,
                       uintptr_t callback, uintptr_t instance, uint32_t flags) override;
  MmResult WaveInPrepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveInUnprepareHeader(WaveInHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveInAddBuffer(WaveInHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveInStart(WaveInHandle h) override;
  MmResult WaveInReset(WaveInHandle h) override;
  MmResult WaveInClose(WaveInHandle h) override;
  MmResult WaveInGetPosition(WaveInHandle h, MmTime* time, uint32_t size) override;
  MmResult WaveOutGetPosition(WaveOutHandle h, MmTime* time, uint32_t size) override;
  MmResult WaveOutPrepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveOutUnprepareHeader(WaveOutHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveOutWrite(WaveOutHandle h, WaveHeader* header, uint32_t size) override;
  MmResult WaveOutReset(WaveOutHandle h) override;
  MmResult WaveOutClose(WaveOutHandle h) override;
  MmResult WaveOutSetVolume(WaveOutHandle h, uint32_t volume) override;

  // Called by the platform as the clock moves.
  Ticks NextEventTime() const;  // -1: none
  void AdvanceTo(Ticks now);

 private:
  struct State;
  HeadlessPlatform& owner_;
  std::unique_ptr<State> s_;
};

}  // namespace lumrio::platform::headless
