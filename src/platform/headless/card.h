// Internals of the simulated sound card, shared by its sources: the capture
// side (card_capture.cpp), the speaker (card_playback.cpp), the device calls
// (card_calls.cpp) and the controls and inspection (soundcard.cpp). Not part
// of the platform's public surface.
#pragma once

#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/headless/loop.h"

namespace lumrio::platform::headless {

namespace detail {

// The text of a violation that concerns one header.
std::string Describe(const char* what, const void* header);

}  // namespace detail

struct SoundCard::State {
  explicit State(HeadlessPlatform& o) : owner(o) {}

  struct Device {
    uintptr_t handle = 0;  // 0: closed
    WindowHandle window = nullptr;
  };

  // A queued capture buffer. Pointer and length are taken when it is queued,
  // as a driver does, so the card never reads a header the program freed.
  struct InEntry {
    WaveHeader* header = nullptr;
    char* data = nullptr;
    uint32_t capacity = 0;  // samples
    int64_t filled = 0;
    int64_t firstSample = -1;
    std::vector<int16_t> samples;
    bool reported = false;
  };

  // A written block the device still holds.
  struct OutEntry {
    WaveHeader* header;
    const char* data;
    uint32_t bytes;
    size_t written;      // index into `written`
    double doneAt = -1;  // when it is marked done and handed back (-1: not played yet)
  };

  HeadlessPlatform& owner;
  CardConditions conditions;
  std::vector<std::string> violations;
  uint32_t volume = 0xFFFFFFFF;
  uintptr_t nextHandle = 0x7000;
  bool refuseOut = false, refuseIn = false;
  bool unplugged = false;
  bool watchingFrees = false;
  bool keepSamples = true;
  bool traced = false;
  // The whole process is stopped until then: neither side of the card is fed.
  Ticks processHeldUntil = -1;
  Device in, out;

  // Capture. Input sample n is recorded at n ticks-per-sample of the capture
  // clock; the device hands over what it has recorded a period at a time.
  std::function<int16_t(int64_t)> input;
  bool holdCapture = false;
  std::vector<WaveHeader*> held;
  bool inStarted = false;
  int64_t firstIndex = 0;   // the first sample recorded after the start
  int64_t pulledTo = 0;     // recorded and handed to the driver so far
  int64_t pendingFrom = 0;  // the first of those not yet in a buffer (nor lost)
  Ticks pulledAt = 0;       // when the driver last took what was recorded
  int64_t delivered = 0;    // put into buffers since the start
  std::deque<InEntry> inQueue;
  std::vector<CapturedBuffer> captured;
  int64_t overrun = 0;

  // Playback. The speaker plays the written blocks in order at the playback
  // clock; it is resolved up to `speakerTime`.
  std::deque<OutEntry> outQueue;
  std::vector<WrittenBlock> written;
  size_t speakerBlock = 0;    // the block the speaker is at (written.size(): none)
  int64_t speakerOffset = 0;  // samples of it played
  double speakerTime = 0;     // ticks
  bool segmentOpen = false;
  Ticks stalledUntil = -1;
  Ticks outOpenedAt = 0;
  Ticks firstWriteAt = -1;
  Ticks doneLatency = 0;
  // Samples the speaker has played in all, and that count when the stream
  // was last opened or reset (its position counts from there).
  int64_t playedTotal = 0;
  int64_t positionBase = 0;
  // Underruns of the sound server: the next one (ticks; infinite: none),
  // the draw of the ones after it, and the silences put in so far.
  double nextUnderrunAt = std::numeric_limits<double>::infinity();
  std::mt19937 underrunDraw;
  std::vector<SoundCard::Padding> paddings;

  detail::Loop& Loop();
  CallLog& Log();
  HeadlessMemory& Mem();
  Ticks Now();

  void Violation(std::string text) { violations.push_back(std::move(text)); }
  bool Live(const void* p, size_t bytes);
  std::optional<MmResult> Enter(Call& call);
  MmResult Finish(const Call& call, MmResult result);
  std::optional<MmResult> CheckHeader(const WaveHeader* header, uint32_t size);
  // The checks a device call makes before it acts, in the order the driver
  // makes them: an injected failure, a card that has been pulled, a handle
  // that is not the device's, a bad header. Each returns the result the call
  // ends with, or nothing when it may go on.
  std::optional<MmResult> Reject(Call& call);
  std::optional<MmResult> Reject(Call& call, const Device& dev, const void* h);
  std::optional<MmResult> Reject(Call& call, const Device& dev, const void* h,
                                 const WaveHeader* header, uint32_t size);
  static bool Owns(const Device& dev, const void* h) {
    return h && reinterpret_cast<uintptr_t>(h) == dev.handle;
  }
  void MarkReturned(WaveHeader* header);
  void WatchFrees();
  void OnFree(const void* begin, size_t bytes);
  MmResult Open(Device& dev, uintptr_t* handleOut, uint32_t device, const WaveFormat* format,
                uintptr_t callback, uint32_t flags, bool refuse, uint32_t openMessage);
  bool ProcessHeld(double t) const { return t < static_cast<double>(processHeldUntil); }

  // card_capture.cpp
  double CaptureTicksPerSample() const;
  int64_t CaptureLimit(Ticks now) const;
  int64_t KeptSamples() const;
  void StartCapture(Ticks now);
  void AdvanceCapture(Ticks now);
  void Pull(int64_t to);
  void Fill(InEntry& e, int64_t count);
  void ReturnCapture(InEntry& e);
  void DeliverCapture(WaveHeader* header);
  void ResetCapture(Ticks now);
  double NextCaptureEvent() const;

  // card_playback.cpp
  double PlaybackTicksPerSample(double t) const;
  double NextPlaybackBoundary(double t) const;
  double LastPlaybackBoundary(double t) const;
  double DoneTime(double end) const;
  double FirstSampleTime(Ticks writeTime) const;
  void AddWritten(WaveHeader* header, std::vector<int16_t> samples, Ticks now);
  void AdvancePlayback(Ticks now);
  void ResolveSpeaker(double now);
  void OpenSegment(WrittenBlock& b, double tps);
  void CloseSegment();
  void FinishBlock(WrittenBlock& b);
  void PostDone(Ticks now);
  void ResetPlayback(Ticks now);
  void ArmUnderruns();
  void DrawNextUnderrun(double after);
  void Underrun(double at);
  int64_t PaddingCountedBy(double t) const;
  int64_t PlayedBy(double t) const;
  int64_t Position(Ticks now) const;
  double NextPlaybackEvent() const;
  void Trace(WrittenBlock& b) const;
};

}  // namespace lumrio::platform::headless
