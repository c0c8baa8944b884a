// The headless message loop on its virtual clock. Messages are handled in
// the order GetMessage hands them out: posted messages first, then paints,
// then timer ticks.
#include "platform/headless/loop.h"

#include <stdexcept>

namespace lumrio::platform::headless::detail {

namespace {

class DepthGuard {
 public:
  DepthGuard(int& depth, int& maxDepth) : depth_(depth) {
    ++depth_;
    if (depth_ > maxDepth) maxDepth = depth_;
  }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
};

Ticks Earliest(Ticks a, Ticks b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

}  // namespace

WindowHandle Loop::Register(Window& window) {
  const auto handle = reinterpret_cast<WindowHandle>(nextWindowId_);
  nextWindowId_ += 0x10;
  windows_[handle] = &window;
  return handle;
}

void Loop::Unregister(WindowHandle handle) {
  windows_.erase(handle);
}

void Loop::Post(WindowHandle window, uint32_t message, WaveHeader* header) {
  posted_.push_back({window, message, header});
}

Window* Loop::Find(WindowHandle handle) const {
  const auto it = windows_.find(handle);
  return it == windows_.end() ? nullptr : it->second;
}

bool Loop::DispatchOne() {
  if (Held()) return false;
  if (!posted_.empty()) {
    const PostedMessage m = posted_.front();
    posted_.pop_front();
    pumpedWithoutMessage_ = 0;
    // A message for a window that no longer exists is dropped, as Windows does.
    if (Window* w = Find(m.window)) w->DeliverWaveMessage(m.message, m.header);
    return true;
  }
  // The handler may create or destroy windows, so nothing is touched after it.
  for (auto& [handle, w] : windows_) {
    if (w->HasPendingPaint()) {
      w->DispatchPaint();
      return true;
    }
  }
  for (auto& [handle, w] : windows_) {
    if (w->HasPendingTimer()) {
      w->DispatchTimer();
      return true;
    }
  }
  return false;
}

void Loop::DispatchPending() {
  while (DispatchOne()) {
  }
}

bool Loop::AnythingPending() const {
  if (Held()) return false;
  if (!posted_.empty()) return true;
  for (const auto& [handle, w] : windows_) {
    if (w->HasPendingPaint() || w->HasPendingTimer()) return true;
  }
  return false;
}

Ticks Loop::NextEventTime() const {
  Ticks next = sound_.NextEventTime();
  if (Held()) next = Earliest(next, heldUntil_);
  for (const auto& [handle, w] : windows_) next = Earliest(next, w->NextTimerDue());
  return next;
}

void Loop::AdvanceTo(Ticks target) {
  Ticks handled = -1;
  for (;;) {
    const Ticks e = NextEventTime();
    if (e < 0 || e > target || e <= handled) break;
    now_ = std::max(now_, e);
    sound_.AdvanceTo(now_);
    for (auto& [handle, w] : windows_) w->MarkDueTimers(now_);
    handled = now_;
  }
  now_ = std::max(now_, target);
  sound_.AdvanceTo(now_);
  for (auto& [handle, w] : windows_) w->MarkDueTimers(now_);
}

// A busy-wait loop burns real time: with nothing to do, the clock moves on by
// a millisecond, so that a loop waiting for a device makes progress.
void Loop::ProcessMessages() {
  DepthGuard depth(depth_, maxDepth_);
  ++pumps_;
  if (!AnythingPending()) PassIdleTime(now_ + kTicksPerMs);
  DispatchPending();
}

void Loop::WaitForMessage(Ticks timeout) {
  ++waits_;
  if (AnythingPending() || timeout <= 0) return;
  const Ticks end = now_ + timeout;
  const Ticks next = NextEventTime();
  PassIdleTime(next < 0 || next > end ? end : std::max(next, now_ + 1));
}

// Time that passes with nothing to handle counts towards the hang limit.
void Loop::PassIdleTime(Ticks until) {
  const Ticks from = now_;
  AdvanceTo(until);
  pumpedWithoutMessage_ += now_ - from;
  if (pumpedWithoutMessage_ > kHangLimit) {
    hang_ = true;
    pumpedWithoutMessage_ = 0;
    throw std::runtime_error(
        "message loop pumped for 60 s of virtual time without receiving a device message");
  }
}

bool Loop::RunUntil(const std::function<bool()>& done, Ticks limit) {
  const Ticks end = now_ + std::max<Ticks>(limit, 0);
  for (;;) {
    DispatchPending();
    if (done && done()) return true;
    if (now_ >= end) return false;
    const Ticks e = NextEventTime();
    AdvanceTo(e < 0 || e > end ? end : std::max(e, now_ + 1));
  }
}

}  // namespace lumrio::platform::headless::detail
