// Internals shared by the headless platform's sources: the virtual clock and
// the message queue (the "loop"), and the interface through which the loop
// reaches the windows. Not part of the platform's public surface.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "platform/headless/platform.h"

namespace lumrio::platform::headless::detail {

// Window messages the headless devices post besides the two data messages;
// they reach the window but have no handler in a form.
inline constexpr uint32_t kMmWomOpen = 0x3BB;
inline constexpr uint32_t kMmWomClose = 0x3BC;
inline constexpr uint32_t kMmWimOpen = 0x3BE;
inline constexpr uint32_t kMmWimClose = 0x3BF;
// A close posted to the window (WM_CLOSE).
inline constexpr uint32_t kWmClose = 0x0010;

// A nested message loop that has pumped this long without a device message
// is taken to be waiting for something that will never come.
inline constexpr Ticks kHangLimit = 60 * 1000 * kTicksPerMs;

// What the loop needs of a window: device messages, paints and timers.
class Window {
 public:
  virtual ~Window() = default;
  virtual void DeliverWaveMessage(uint32_t message, WaveHeader* header) = 0;
  virtual bool HasPendingPaint() const = 0;
  virtual void DispatchPaint() = 0;
  // Earliest time at which one of the window's timers falls due (-1: none).
  virtual Ticks NextTimerDue() const = 0;
  // Marks every timer due at `now` as having a WM_TIMER pending.
  virtual void MarkDueTimers(Ticks now) = 0;
  virtual bool HasPendingTimer() const = 0;
  virtual void DispatchTimer() = 0;
};

struct PostedMessage {
  WindowHandle window;
  uint32_t message;
  WaveHeader* header;
};

// The clock and the queue. Time only moves forward through AdvanceTo, which
// stops at every device event and timer expiry on the way so that messages
// are posted at their own times.
class Loop {
 public:
  explicit Loop(SoundCard& sound) : sound_(sound) {}

  Ticks Now() const { return now_; }

  WindowHandle Register(Window& window);
  void Unregister(WindowHandle handle);

  void Post(WindowHandle window, uint32_t message, WaveHeader* header);

  // Dispatches one pending message: posted messages first, then paints, then
  // timers, as GetMessage orders them. False when nothing is pending.
  bool DispatchOne();
  void DispatchPending();
  bool AnythingPending() const;

  void AdvanceTo(Ticks target);
  // Earliest device event or timer expiry after now (-1: none).
  Ticks NextEventTime() const;

  // The application's ProcessMessages.
  void ProcessMessages();
  // The application's WaitForMessage: the clock moves on to the next event,
  // or by `timeout` if that comes first.
  void WaitForMessage(Ticks timeout);
  int64_t Pumps() const { return pumps_; }
  int64_t Waits() const { return waits_; }
  bool RunUntil(const std::function<bool()>& done, Ticks limit);

  int MaxPumpDepth() const { return maxDepth_; }
  bool HangDetected() const { return hang_; }

  // Nothing is dispatched before `until` (the GUI thread is held up).
  void HoldDispatch(Ticks until) { heldUntil_ = std::max(heldUntil_, until); }
  bool Held() const { return now_ < heldUntil_; }

 private:
  Window* Find(WindowHandle handle) const;
  void PassIdleTime(Ticks until);

  SoundCard& sound_;
  Ticks now_ = 0;
  std::deque<PostedMessage> posted_;
  std::map<WindowHandle, Window*> windows_;
  uintptr_t nextWindowId_ = 0x10010;
  int depth_ = 0;
  int maxDepth_ = 0;
  bool hang_ = false;
  Ticks pumpedWithoutMessage_ = 0;
  int64_t pumps_ = 0;
  int64_t waits_ = 0;
  Ticks heldUntil_ = 0;
};

}  // namespace lumrio::platform::headless::detail

namespace lumrio::platform::headless {

// Everything the platform owns. Members are destroyed in reverse order: the
// windows' services go before the devices, the devices before the memory.
struct HeadlessPlatform::State {
  explicit State(HeadlessPlatform& owner);
  CallLog log;
  HeadlessMemory mem;
  HeadlessRegistry reg;
  SoundCard sound;
  detail::Loop loop;
  HeadlessUi ui;
  Platform bundle;
};

}  // namespace lumrio::platform::headless
