// The headless platform: a runnable model of the sound card, the window
// system, memory and the registry on a virtual clock, for fast deterministic
// tests. Every service call is logged with its arguments and can be made to
// fail with a chosen result.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace lumrio::platform::headless {

// Virtual time in ticks of 1/441000 s: 441 ticks per millisecond and exactly
// 20 ticks per sample at 22050 samples per second.
using Ticks = int64_t;
inline constexpr Ticks kTicksPerMs = 441;
inline constexpr Ticks kTicksPerSample = 20;

// One logged service call. `args` holds the arguments as integers (pointers
// and handles by address); `result` the value returned.
struct Call {
  std::string name;  // the Windows name: "waveInOpen", "GlobalAlloc", "RegSetValueExA", ...
  std::vector<uintptr_t> args;
  std::string text{};  // string argument, if any (value name, key path)
  uint64_t result = 0;
  Ticks time = 0;
  uint64_t seq = 0;  // set by CallLog::Enter: identifies the record for SetResult
};

// Makes chosen calls fail. A rule matches calls by name (and optional
// predicate); it lets `skip` matching calls through, then fails the next
// `count` (-1: all) with `result`.
struct FailureRule {
  std::string name;
  uint64_t result = 1;
  int skip = 0;
  int count = 1;
  std::function<bool(const Call&)> when{};  // empty: every call of that name
};

class CallLog {
 public:
  void Inject(FailureRule rule);
  // Fail every call (of any injectable name) with probability p, seeded; the
  // result is a plausible failure code for that call.
  void InjectRandomly(uint64_t seed, double probability);
  void ClearInjections();

  // Records the call and returns the injected result, if a rule fires.
  std::optional<uint64_t> Enter(Call& call);
  // Stores the result of a call entered earlier (when it was not injected).
  void SetResult(const Call& call, uint64_t result);
  // The time source stamped on every call (the platform's virtual clock).
  void SetClock(std::function<Ticks()> clock) { clock_ = std::move(clock); }
  // Calls that are logged but never fail (message boxes, frees).
  static bool Injectable(const std::string& name);

  // Long runs turn the record off; injected failures still fire.
  void SetRecording(bool record) { recording_ = record; }

  const std::vector<Call>& Calls() const { return calls_; }
  std::vector<Call> CallsNamed(const std::string& name) const;
  int CountNamed(const std::string& name) const;
  void Clear() { calls_.clear(); }

 private:
  struct Rule {
    FailureRule rule;
    int seen = 0;
    int fired = 0;
  };
  std::vector<Call> calls_;
  bool recording_ = true;
  std::vector<Rule> rules_;
  std::optional<uint64_t> randomSeed_;
  double randomProbability_ = 0;
  uint64_t rngState_ = 0;
  std::function<Ticks()> clock_;
  uint64_t nextSeq_ = 1;
  std::optional<uint64_t> RandomFailure(const std::string& name);
  double NextRandom();
};

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

// Counts every block; checks frees and locks.
class HeadlessMemory : public Memory {
 public:
  explicit HeadlessMemory(CallLog& log);
  ~HeadlessMemory() override;
  GlobalHandle GlobalAlloc(uint32_t flags, size_t bytes) override;
  void* GlobalLock(GlobalHandle h) override;
  bool GlobalUnlock(GlobalHandle h) override;
  GlobalHandle GlobalFree(GlobalHandle h) override;
  void* HeapAlloc(size_t bytes) override;
  void HeapFree(void* block) override;

  int LiveGlobalBlocks() const;
  int LiveHeapBlocks() const;
  size_t LiveBytes() const;
  // True while `p` lies inside a live global or heap block.
  bool IsLive(const void* p) const;
  const std::vector<std::string>& Violations() const;  // double frees, unknown pointers
  // Told of every block about to be freed, so that a device can notice its
  // buffers being freed under it.
  void SetFreeObserver(std::function<void(const void* begin, size_t bytes)> observer);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// In-memory registry with both roots.
class HeadlessRegistry : public Registry {
 public:
  explicit HeadlessRegistry(CallLog& log);
  ~HeadlessRegistry() override;
  RegResult CreateKey(RegRoot root, const std::string& subKey, uint32_t access,
                      RegKey* key) override;
  RegResult QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                       uint32_t* size) override;
  RegResult SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                     uint32_t size) override;
  RegResult CloseKey(RegKey key) override;

  struct Value {
    uint32_t type = kRegDword;
    std::vector<uint8_t> data;
  };
  // Direct access for tests (path without leading backslash, case-insensitive).
  void Put(RegRoot root, const std::string& path, const std::string& name, Value value);
  void PutDword(RegRoot root, const std::string& path, const std::string& name, uint32_t v);
  std::optional<Value> Get(RegRoot root, const std::string& path, const std::string& name) const;
  std::optional<uint32_t> GetDword(RegRoot root, const std::string& path,
                                   const std::string& name) const;
  void Erase(RegRoot root, const std::string& path, const std::string& name);
  bool KeyExists(RegRoot root, const std::string& path) const;
  // Make CreateKey with full access under `root` fail with kRegAccessDenied,
  // as Windows does for a standard user under HKEY_LOCAL_MACHINE.
  void DenyFullAccess(RegRoot root, bool deny);
  int OpenKeys() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// One recorded canvas operation, with the canvas state it was drawn in.
struct CanvasOp {
  enum class Kind { FillRect, Rectangle, MoveTo, LineTo, TextOut, Polyline } kind;
  RectEdges rect{};           // FillRect, Rectangle
  int x = 0, y = 0;           // MoveTo, LineTo, TextOut
  std::string text;           // TextOut
  std::vector<Point> points;  // Polyline
  Color brush{};
  BrushStyle brushStyle = BrushStyle::Solid;
  Color pen{};
  FontDesc font{};
  RectEdges clip{};
};

class RecordingCanvas : public Canvas {
 public:
  explicit RecordingCanvas(RectEdges clip);
  void SetBrush(Color color, BrushStyle style) override;
  void SetPen(Color color) override;
  void SetFont(const FontDesc& font) override;
  RectEdges ClipRect() override;
  void FillRect(const RectEdges& r) override;
  void Rectangle(const RectEdges& r) override;
  void MoveTo(int x, int y) override;
  void LineTo(int x, int y) override;
  // A fixed-pitch model of "MS Sans Serif" 8 pt: kCharWidth pixels a character.
  int TextWidth(const std::string& text) override;
  void TextOut(int x, int y, const std::string& text) override;
  void Polyline(const Point* points, int count) override;

  static constexpr int kCharWidth = 5;
  const std::vector<CanvasOp>& Ops() const { return ops_; }

 private:
  void Record(CanvasOp op);  // stamps the current state onto the op
  std::vector<CanvasOp> ops_;
  Color brush_{};
  BrushStyle brushStyle_ = BrushStyle::Solid;
  Color pen_{};
  FontDesc font_{};
  RectEdges clip_;
};

class HeadlessForm;

class HeadlessUi : public Ui {
 public:
  explicit HeadlessUi(HeadlessPlatform& owner);
  ~HeadlessUi() override;

  void SetApplicationTitle(const std::string& title) override;
  std::unique_ptr<Form> CreateForm(const FormDesc& desc) override;
  void ProcessMessages() override;
  void WaitForMessage(int64_t timeoutMs) override;
  int64_t Milliseconds() override;  // the virtual clock
  double ClockMs() override;
  void Run() override;  // runs the virtual clock until the form is destroyed (bounded)
  void MessageBox(const std::string& text) override;
  void ErrorBox(const std::string& text) override;
  void ShellOpen(WindowHandle owner, const std::string& url) override;

  const std::string& ApplicationTitle() const;
  // Every message box and error box shown, in order.
  const std::vector<std::string>& MessageBoxes() const;
  const std::vector<std::string>& ErrorBoxes() const;
  int OpenBoxes() const;     // boxes open right now
  int MaxOpenBoxes() const;  // the most ever open at once
  // While a box is open, keep the message loop running for this much virtual
  // time before the user presses OK (0: the box returns at once, pumping
  // only what is pending).
  void SetBoxPumpTime(Ticks t);
  const std::vector<std::string>& ShellOpens() const;
  // How often the program has pumped the message loop (ProcessMessages) and
  // waited for a message (WaitForMessage).
  int64_t Pumps() const;
  int64_t Waits() const;

  // The form created last (null before), for tests.
  HeadlessForm* MainForm() const;
  // Run() gives up after this much virtual time if the form is still open
  // (default: ten minutes).
  void SetRunLimit(Ticks limit);
  // The n-th window of the next form cannot be created (0: the form itself,
  // 1: its first control, ...; -1: none fails).
  void FailCreation(int window);

 private:
  struct State;
  HeadlessPlatform& owner_;
  std::unique_ptr<State> s_;
  friend class HeadlessPlatform;
  friend class HeadlessForm;
};

// The headless form: controls keep their state; tests drive them through the
// controls' Notify* calls and through these.
class HeadlessForm : public Form {
 public:
  // Posts a repaint of part of the paint box (box coordinates); it is handled
  // by the next ProcessMessages / RunFor.
  virtual void InvalidatePaintBox(PaintBox& box, RectEdges area) = 0;
  // The canvas of the last Draw on any paint box (null before).
  virtual RecordingCanvas* LastCanvas() = 0;
  // Every canvas drawn on so far, oldest first.
  virtual const std::vector<std::unique_ptr<RecordingCanvas>>& Canvases() const = 0;
  virtual bool Shown() const = 0;
  virtual bool Destroyed() const = 0;
  virtual Control* Focused() const = 0;
  virtual void GiveFocus(
      Control& control) = 0;  // as a mouse click would; runs the slider's onEnter
  // All controls in creation order, for inspection.
  virtual std::vector<Control*> AllControls() const = 0;
  virtual std::vector<Timer*> Timers() const = 0;
  // The user's session ends (logoff, shutdown): runs onEndSession.
  virtual void EndSession() = 0;

  // Canvases() keeps only the most recent kKeptCanvases canvases, so that a
  // long run (a redraw per captured block) does not grow without bound;
  // DrawCount() counts every Draw ever made.
  static constexpr size_t kKeptCanvases = 256;
  virtual int64_t DrawCount() const = 0;
  virtual const FormDesc& Desc() const = 0;
  virtual const std::vector<ShapeDesc>& Shapes() const = 0;
  virtual const std::vector<PictureDesc>& Pictures() const = 0;
};

// Owns every headless service and the virtual clock.
class HeadlessPlatform {
 public:
  HeadlessPlatform();
  ~HeadlessPlatform();

  Platform& Get();
  CallLog& Log();
  SoundCard& Sound();
  HeadlessMemory& Mem();
  HeadlessRegistry& Reg();
  HeadlessUi& Gui();

  Ticks Now() const;
  // Moves the clock forward, delivering device messages and timer ticks at
  // their times and dispatching them as the application's message loop does.
  void RunFor(Ticks t);
  void RunForMs(double ms) { RunFor(static_cast<Ticks>(ms * kTicksPerMs)); }
  // Runs until `done` is true or `limit` has passed; returns `done()`.
  bool RunUntil(const std::function<bool()>& done, Ticks limit);
  // The GUI thread is held up for `duration` from now (a slow paint, a busy
  // machine): no message is handled meanwhile; the devices go on.
  void HoldGui(Ticks duration);

  // Deepest nesting of ProcessMessages seen, and whether a loop that kept
  // pumping an empty queue hit the hang guard (60 s of virtual time).
  int MaxPumpDepth() const;
  bool HangDetected() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
  friend class SoundCard;
  friend class HeadlessUi;
};

}  // namespace lumrio::platform::headless
