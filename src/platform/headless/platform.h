// The headless platform: owns every headless service and the virtual clock
// that drives them.
#pragma once

#include <functional>
#include <memory>

#include "platform/headless/calllog.h"
#include "platform/headless/memory.h"
#include "platform/headless/registry.h"
#include "platform/headless/soundcard.h"
#include "platform/headless/ticks.h"
#include "platform/headless/ui.h"
#include "platform/platform.h"

namespace lumrio::platform::headless {

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
