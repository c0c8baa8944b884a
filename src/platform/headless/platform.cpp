// The headless platform: owns the services and the virtual clock and wires
// them together.
#include "platform/headless/loop.h"

namespace lumrio::platform::headless {

HeadlessPlatform::State::State(HeadlessPlatform& owner)
    : mem(log), reg(log), sound(owner), loop(sound), ui(owner), bundle{ui, sound, mem, reg} {
  log.SetClock([this] { return loop.Now(); });
}

HeadlessPlatform::HeadlessPlatform() : s_(std::make_unique<State>(*this)) {}
HeadlessPlatform::~HeadlessPlatform() = default;

Platform& HeadlessPlatform::Get() {
  return s_->bundle;
}
CallLog& HeadlessPlatform::Log() {
  return s_->log;
}
SoundCard& HeadlessPlatform::Sound() {
  return s_->sound;
}
HeadlessMemory& HeadlessPlatform::Mem() {
  return s_->mem;
}
HeadlessRegistry& HeadlessPlatform::Reg() {
  return s_->reg;
}
HeadlessUi& HeadlessPlatform::Gui() {
  return s_->ui;
}

Ticks HeadlessPlatform::Now() const {
  return s_->loop.Now();
}
void HeadlessPlatform::RunFor(Ticks t) {
  s_->loop.RunUntil(nullptr, t);
}

bool HeadlessPlatform::RunUntil(const std::function<bool()>& done, Ticks limit) {
  return s_->loop.RunUntil(done, limit);
}

void HeadlessPlatform::HoldGui(Ticks duration) {
  s_->loop.HoldDispatch(s_->loop.Now() + duration);
}

int HeadlessPlatform::MaxPumpDepth() const {
  return s_->loop.MaxPumpDepth();
}
bool HeadlessPlatform::HangDetected() const {
  return s_->loop.HangDetected();
}

}  // namespace lumrio::platform::headless
