// A running Lumrio on the headless platform, for tests of the main window and
// the engine as a user and a sound card see them.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/main_window.h"
#include "platform/headless/platform.h"

namespace lumrio::app::testing {

namespace hl = platform::headless;

inline constexpr const char* kKey = "Software\\Quibex\\Lumrio";

class AppTest : public ::testing::Test {
 protected:
  hl::HeadlessPlatform hp;
  std::unique_ptr<Tw_Main> w;

  // What RunLumrio does, minus the endless loop.
  void Start() {
    hp.Gui().SetApplicationTitle(kApplicationTitle);
    w = std::make_unique<Tw_Main>(hp.Get());
    w->FormCreate();
    w->Form().Show();
  }
  void RunMs(double ms) { hp.RunForMs(ms); }
  // Starts and runs until the first block has been processed.
  void StartRunning() {
    Start();
    ASSERT_TRUE(hp.RunUntil([&] { return !w->Idle(); }, 2000 * hl::kTicksPerMs));
  }
  void Close() { w->Form().Close(); }
  const std::vector<std::string>& Boxes() { return hp.Gui().MessageBoxes(); }
  hl::HeadlessForm& Form() { return *hp.Gui().MainForm(); }

  // A user's drag: one notification per step, then the release repeating
  // the last position.
  static void Drag(platform::Slider* s, std::initializer_list<int> steps) {
    int last = s->Position();
    for (int p : steps) {
      s->NotifyUserChange(p);
      last = p;
    }
    s->NotifyUserChange(last);
  }

  void ExpectAllReturned() {
    EXPECT_EQ(w->Engine().InQueued(), 0);
    EXPECT_EQ(w->Engine().OutQueued(), 0);
    EXPECT_EQ(hp.Mem().LiveGlobalBlocks(), 0);
    EXPECT_EQ(hp.Mem().LiveHeapBlocks(), 0);
    EXPECT_EQ(w->Engine().WaveInHandle(), nullptr);
    EXPECT_EQ(w->Engine().WaveOutHandle(), nullptr);
    EXPECT_EQ(w->Engine().ScopePoints(), nullptr);
    EXPECT_TRUE(w->Idle());
    EXPECT_TRUE(hp.Sound().Violations().empty());
    EXPECT_TRUE(hp.Mem().Violations().empty());
  }
};

}  // namespace lumrio::app::testing
