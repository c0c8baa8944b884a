// The message loop on the virtual clock: dispatch order, timers, the busy
// wait of ProcessMessages, the hang guard and modal boxes.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/fixture.h"
#include "platform/headless/ticks.h"
#include "platform/headless/ui.h"

namespace lumrio::platform::headless::testing {
namespace {

class LoopTest : public PlatformTest {
 protected:
  HeadlessForm& Hf() { return *platform.Gui().MainForm(); }
};

TEST_F(LoopTest, TimerFiresEveryIntervalWhileEnabled) {
  Timer* t = form->AddTimer(100, true);
  std::vector<Ticks> fired;
  t->onTimer = [&] { fired.push_back(platform.Now()); };
  platform.RunForMs(350);
  EXPECT_EQ((std::vector<Ticks>{100 * kTicksPerMs, 200 * kTicksPerMs, 300 * kTicksPerMs}), fired);
  t->SetEnabled(false);
  platform.RunForMs(500);
  EXPECT_EQ(3u, fired.size());
}

TEST_F(LoopTest, DisableThenEnableRestartsTheCountdown) {
  Timer* t = form->AddTimer(500, false);
  int fired = 0;
  t->onTimer = [&] {
    ++fired;
    t->SetEnabled(false);  // one-shot
  };
  t->SetEnabled(true);
  platform.RunForMs(400);
  t->SetEnabled(false);
  t->SetEnabled(true);  // restarted at 400 ms: due at 900 ms
  platform.RunForMs(499);
  EXPECT_EQ(0, fired);
  platform.RunForMs(1);
  EXPECT_EQ(1, fired);
  platform.RunForMs(2000);
  EXPECT_EQ(1, fired);
  // Enabling an enabled timer does not restart it.
  t->SetEnabled(true);
  platform.RunForMs(300);
  t->SetEnabled(true);
  platform.RunForMs(200);
  EXPECT_EQ(2, fired);
}

TEST_F(LoopTest, PostedMessagesComeBeforePaintsAndPaintsBeforeTimers) {
  form->Show();
  PaintBox* box = form->AddPaintBox(nullptr, {0, 0, 10, 10});
  WaveOutHandle out = OpenOut();
  platform.RunFor(0);  // the first paint and the open notification
  std::vector<std::string> order;
  box->onPaint = [&] { order.push_back("paint"); };
  Timer* t = form->AddTimer(1, true);
  t->onTimer = [&] {
    order.push_back("timer");
    t->SetEnabled(false);
  };
  form->onWaveOutDone = [&](WaveHeader*) {
    order.push_back("done");
    Hf().InvalidatePaintBox(*box, {0, 0, 5, 5});
  };
  WriteBlock(out, std::vector<int16_t>(22, 0));  // 1 ms long, due with the timer
  platform.RunForMs(1);
  EXPECT_EQ((std::vector<std::string>{"done", "paint", "timer"}), order);
}

TEST_F(LoopTest, ProcessMessagesWaitsAMillisecondOnlyWhenIdle) {
  platform.Gui().ProcessMessages();
  EXPECT_EQ(kTicksPerMs, platform.Now());
  form->Show();
  PaintBox* box = form->AddPaintBox(nullptr, {0, 0, 10, 10});
  int paints = 0;
  box->onPaint = [&] { ++paints; };
  platform.Gui().ProcessMessages();  // the first paint is pending: no wait
  EXPECT_EQ(1, paints);
  EXPECT_EQ(kTicksPerMs, platform.Now());
}

TEST_F(LoopTest, DrainLoopProgressesUntilTheDeviceAnswers) {
  WaveInHandle in = OpenIn();
  QueueCapture(in, 1, 441);  // 20 ms of samples
  audio().WaveInStart(in);
  platform.Gui().ProcessMessages();  // the open notification
  inMessages.clear();
  while (inMessages.empty()) platform.Gui().ProcessMessages();
  EXPECT_EQ(20 * kTicksPerMs, platform.Now());
  EXPECT_EQ(20 * kTicksPerMs, inMessages[0].time);
}

TEST_F(LoopTest, HangGuardStopsALoopThatWaitsForNothing) {
  form->AddTimer(100, true)->onTimer = [] {};  // ticks do not count as progress
  bool threw = false;
  form->onWaveOutDone = [&](WaveHeader*) {
    try {
      for (;;) platform.Gui().ProcessMessages();
    } catch (const std::runtime_error&) {
      threw = true;
    }
  };
  WaveOutHandle out = OpenOut();
  WriteBlock(out, {1});
  platform.RunForMs(1);
  EXPECT_TRUE(threw);
  EXPECT_TRUE(platform.HangDetected());
  EXPECT_GE(platform.Now(), 60 * 1000 * kTicksPerMs);
  EXPECT_LE(platform.Now(), 61 * 1000 * kTicksPerMs);
  EXPECT_EQ(1, platform.MaxPumpDepth());
}

TEST_F(LoopTest, NestedPumpingIsMeasured) {
  int depth = 0;
  form->onWaveOutDone = [&](WaveHeader*) {
    if (++depth < 3) platform.Gui().ProcessMessages();
  };
  WaveOutHandle out = OpenOut();
  for (int i = 0; i < 3; ++i) WriteBlock(out, {1});
  platform.RunForMs(1);
  EXPECT_EQ(2, platform.MaxPumpDepth());
  EXPECT_FALSE(platform.HangDetected());
}

TEST_F(LoopTest, MessagesForADestroyedWindowAreDropped) {
  WaveOutHandle out = OpenOut();
  WriteBlock(out, {1, 2});
  form->Close();
  platform.RunForMs(1);
  EXPECT_TRUE(outMessages.empty());
  EXPECT_EQ(0, card().OutQueued());
}

TEST_F(LoopTest, RunUntilStopsWhenDoneOrAtTheLimit) {
  Timer* t = form->AddTimer(10, true);
  int fired = 0;
  t->onTimer = [&] { ++fired; };
  EXPECT_TRUE(platform.RunUntil([&] { return fired == 3; }, 1000 * kTicksPerMs));
  EXPECT_EQ(30 * kTicksPerMs, platform.Now());
  EXPECT_FALSE(platform.RunUntil([] { return false; }, 5 * kTicksPerMs));
  EXPECT_EQ(35 * kTicksPerMs, platform.Now());
}

TEST_F(LoopTest, RunEndsWhenTheFormIsDestroyed) {
  form->AddTimer(250, true)->onTimer = [&] { form->Close(); };
  platform.Gui().Run();
  EXPECT_TRUE(Hf().Destroyed());
  EXPECT_EQ(250 * kTicksPerMs, platform.Now());
}

class BoxTest : public LoopTest {};

TEST_F(BoxTest, BoxesAreRecordedAndCounted) {
  int nested = 0;
  form->onWaveOutDone = [&](WaveHeader*) {
    ++nested;
    platform.Gui().MessageBox("Wave out error.");
  };
  WaveOutHandle out = OpenOut();
  WriteBlock(out, {1});
  WriteBlock(out, {2});
  audio().WaveOutReset(out);
  platform.RunForMs(1);
  // Both blocks are back when the first box opens: its loop handles the second.
  EXPECT_EQ(2, nested);
  EXPECT_EQ(2, platform.Gui().MaxOpenBoxes());
  EXPECT_EQ(0, platform.Gui().OpenBoxes());
  EXPECT_EQ((std::vector<std::string>{"Wave out error.", "Wave out error."}),
            platform.Gui().MessageBoxes());
  EXPECT_EQ(2, platform.Log().CountNamed("MessageBox"));
}

TEST_F(BoxTest, ABoxWithPumpTimeRunsTheClockWhileOpen) {
  platform.Gui().SetBoxPumpTime(100 * kTicksPerMs);
  WaveOutHandle out = OpenOut();
  WriteBlock(out, std::vector<int16_t>(441, 0));  // done at 20 ms
  platform.Gui().ErrorBox("Registry error");
  EXPECT_EQ(100 * kTicksPerMs, platform.Now());
  ASSERT_EQ(1u, outMessages.size());
  EXPECT_EQ(20 * kTicksPerMs, outMessages[0].time);
  EXPECT_EQ(std::vector<std::string>{"Registry error"}, platform.Gui().ErrorBoxes());
}

TEST_F(BoxTest, ABoxWithoutPumpTimeHandlesOnlyWhatIsPending) {
  WaveOutHandle out = OpenOut();
  WriteBlock(out, std::vector<int16_t>(441, 0));
  platform.Gui().MessageBox("x");
  EXPECT_EQ(0, platform.Now());
  EXPECT_TRUE(outMessages.empty());
}

}  // namespace
}  // namespace lumrio::platform::headless::testing
