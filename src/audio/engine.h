// The delay engine: opens the capture and playback devices, keeps a ring of
// 16 capture buffers queued, turns every captured block into a playback
// block, and stops in order (capture first, then playback), returning every
// buffer before anything is freed. The delay the user hears is BlockLength.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>

#include "audio/capture_ring.h"
#include "audio/delay_meter.h"
#include "audio/delay_rule.h"
#include "audio/units.h"
#include "platform/platform.h"

namespace lumrio::audio {

// How long a stop waits for a device that hands nothing back before it gives
// the device up (a driver that has gone away never returns its buffers).
inline constexpr int64_t kDrainPatienceMs = 2000;

// Where the engine is in its life cycle. Starting and Stopping run the
// message loop (failure boxes, drains), so a stop or a restart must not begin
// while the engine is in either of them.
enum class EngineState { Stopped, Starting, Running, Stopping };

// Mono, 16-bit PCM at 22050 samples per second, filled in field order.
platform::WaveFormat MakeWaveFormat();

// What the engine needs from the window that owns it.
class EngineHost {
 public:
  virtual ~EngineHost() = default;
  virtual platform::WindowHandle NotifyWindow() = 0;
  // A modal message box; the engine decides when a report is due.
  virtual void ShowMessage(const std::string& text) = 0;
  // Let the application handle its pending messages.
  virtual void PumpMessages() = 0;
  // Makes the playback block from a captured one (a copy or the equalizer's
  // output); called once per block.
  virtual void FillPlayback(const int16_t* captured, int16_t* playback, int count) = 0;
  // Maps the captured samples to scope points; called once per block.
  virtual void MapScope(const int16_t* captured, platform::Point* points, int count) = 0;
  // A block has been processed: the scope is due for a redraw.
  virtual void BlockProcessed() = 0;
};

class Engine {
 public:
  Engine(platform::Platform& platform, EngineHost& host);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Format check: asks both devices whether they take the format. On a
  // refusal shows its message and answers false.
  bool CheckFormat();

  void StartAudio();
  void StopAudio();
  void MMWimData(platform::WaveHeader* header);
  void MMWomDone(platform::WaveHeader* header);

  EngineState State() const { return state_; }
  // True while StartAudio or StopAudio runs: a stop or restart begun inside
  // one would free buffers the outer one is still using. (A block handler
  // runs the message loop only inside a failure box, which the window knows
  // of.)
  bool Busy() const { return state_ == EngineState::Starting || state_ == EngineState::Stopping; }

  // State, read by the window and by tests.
  platform::WaveInHandle WaveInHandle() const { return waveIn_; }
  platform::WaveOutHandle WaveOutHandle() const { return waveOut_; }
  const platform::WaveFormat& Format() const { return format_; }
  const CaptureRing& Ring() const { return ring_; }
  bool Closing() const { return closing_; }
  int32_t InQueued() const { return inQueued_; }
  int32_t OutQueued() const { return outQueued_; }
  int32_t BlockLength() const { return blockLength_; }
  void SetBlockLength(int32_t samples) { blockLength_ = samples; }
  const platform::Point* ScopePoints() const { return scopePoints_; }
  // True until a captured block of the present run has been processed, and
  // again from the end of every stop.
  bool Idle() const { return idle_; }
  const DelayRule& Rule() const { return rule_; }

 private:
  void Report(const std::string& text);
  bool AllocateRingEntry(int i, uint32_t bytes);
  void QueueRingEntry(int i, uint32_t bytes);
  void FreeRingEntry(int i);
  void TakeOutOfService(int i);
  int RingIndexOf(const platform::WaveHeader* header) const;
  void WriteBlock(const int16_t* captured, const BlockPlan& plan);
  int FullBuffersAfter(int i) const;
  void ResetPlayback();
  bool Drain(const int32_t& count);
  void WaitForMessages(int64_t sinceMs);
  void StopCapture();
  void StopPlayback();

  platform::Platform& platform_;
  EngineHost& host_;

  platform::WaveInHandle waveIn_ = nullptr;
  platform::WaveOutHandle waveOut_ = nullptr;
  platform::WaveFormat format_ = MakeWaveFormat();
  CaptureRing ring_;
  bool closing_ = false;
  int32_t inQueued_ = 0;
  int32_t outQueued_ = 0;
  int32_t blockLength_ = 0;
  platform::Point* scopePoints_ = nullptr;
  // The playback blocks the device holds, so that a returned header is
  // freed only if it is one of ours, and blocks of a device that had to be
  // given up can still be freed once it is closed.
  std::unordered_set<platform::WaveHeader*> inFlight_;
  bool idle_ = true;

  EngineState state_ = EngineState::Stopped;
  DelayRule rule_;               // how much of each captured block of this run is played
  DelayMeter meter_{platform_};  // where the sound is, by the devices' counts
  std::set<std::string> reportedThisRun_;
};

}  // namespace lumrio::audio
