// The window's life cycle: start-up that fails, closes that are put off and
// taken up again from the message loop, the end of the user's session, and
// failure reports that arrive while a box is open.
#include <algorithm>

#include "app/app.h"
#include "app/app_fixture.h"

namespace lumrio::app::testing {
namespace {

using platform::kMmError;

class LifeCycleTest : public AppTest {
 protected:
  std::optional<uint32_t> Stored(const char* name) {
    return hp.Reg().GetDword(platform::RegRoot::LocalMachine, kKey, name);
  }
  int Count(const std::string& text) {
    return static_cast<int>(std::count(Boxes().begin(), Boxes().end(), text));
  }
};

TEST_F(LifeCycleTest, AWindowThatCannotBeCreatedEndsTheProgramWithABox) {
  for (int failing : {0, 1, 7, 19}) {  // the form, its first, a middle and its last control
    hl::HeadlessPlatform machine;
    machine.Gui().FailCreation(failing);
    EXPECT_EQ(RunLumrio(machine.Get()), 1) << "window " << failing;
    EXPECT_EQ(machine.Gui().ErrorBoxes(), std::vector<std::string>{"Error creating window"});
    EXPECT_EQ(machine.Gui().ApplicationTitle(), "lumrio");
    EXPECT_EQ(machine.Log().CountNamed("waveOutOpen"), 0);
    EXPECT_EQ(machine.Mem().LiveHeapBlocks(), 0);
    EXPECT_EQ(machine.Mem().LiveGlobalBlocks(), 0);
  }
}

// The close asked for while "Error changing the Volume" is open must not run
// inside the slider's handler when the box closes: the slider would go on
// with a destroyed window.
TEST_F(LifeCycleTest, ACloseUnderAVolumeBoxRunsFromTheLoopNotFromTheSlider) {
  StartRunning();
  hp.Gui().SetBoxPumpTime(200 * hl::kTicksPerMs);
  hp.Log().Inject({.name = "waveOutSetVolume", .result = kMmError, .count = 1});
  Form().PostClose();  // the user's click on the close box, handled by the box's loop
  w->VolumeTrackBar->NotifyUserChange(1000);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Error changing the Volume"});
  // The handler has returned with the window still whole.
  EXPECT_EQ(w->State(), WindowState::ClosePutOff);
  EXPECT_FALSE(Form().Destroyed());
  EXPECT_EQ(hp.Log().CountNamed("waveInReset"), 0);
  RunMs(1);
  EXPECT_TRUE(Form().Destroyed());
  EXPECT_EQ(w->State(), WindowState::Destroyed);
  EXPECT_EQ(Stored("Volume"), 1000u);
  ExpectAllReturned();
}

TEST_F(LifeCycleTest, ACloseDuringStartUpIsTakenUpOnceItEnds) {
  hp.Log().Inject({.name = "waveInStart", .result = kMmError, .count = 1});
  hp.Gui().SetBoxPumpTime(100 * hl::kTicksPerMs);
  hp.Gui().SetApplicationTitle(kApplicationTitle);
  w = std::make_unique<Tw_Main>(hp.Get());
  Form().PostClose();  // handled by the loop of the "Start error." box
  w->FormCreate();
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Start error."});
  EXPECT_EQ(w->State(), WindowState::ClosePutOff);
  RunMs(1);
  EXPECT_TRUE(Form().Destroyed());
  EXPECT_EQ(Stored("Delay"), 100u);
}

// A failure first raised while another box is open used to be marked as
// shown and then dropped: it was never seen.
TEST_F(LifeCycleTest, AFailureUnderAnOpenBoxIsShownOnceWhenItCloses) {
  StartRunning();
  hp.Gui().SetBoxPumpTime(500 * hl::kTicksPerMs);
  hp.Log().Inject({.name = "waveOutWrite", .result = kMmError, .count = 1});
  hp.Log().Inject({.name = "waveOutUnprepareHeader", .result = kMmError, .count = -1});
  RunMs(2000);
  EXPECT_EQ(Count("Wave out error."), 1);
  EXPECT_EQ(Count("Out Unprepare error."), 1);
  EXPECT_EQ(hp.Gui().MaxOpenBoxes(), 1);
  EXPECT_GT(hp.Log().CountNamed("waveOutUnprepareHeader"), 20);
  Close();
  EXPECT_TRUE(Form().Destroyed());
}

TEST_F(LifeCycleTest, TheEndOfTheSessionStopsAndSavesAsACloseDoes) {
  StartRunning();
  w->cb_X10Delay->NotifyUserClick(true);
  ASSERT_TRUE(hp.RunUntil([&] { return !w->Idle(); }, 2000 * hl::kTicksPerMs));
  Form().EndSession();
  EXPECT_EQ(Stored("X10"), 1u);
  EXPECT_TRUE(Form().Destroyed());
  ExpectAllReturned();
}

// Inside the close's own drain the close cannot start again; the settings
// are saved there and then, since the process ends with the session.
TEST_F(LifeCycleTest, TheEndOfTheSessionDuringTheCloseDrainSavesAtOnce) {
  StartRunning();
  w->cb_X10Delay->NotifyUserClick(true);
  ASSERT_TRUE(hp.RunUntil([&] { return !w->Idle(); }, 2000 * hl::kTicksPerMs));
  hp.Sound().Unplug();  // the close's drains wait out their patience
  std::optional<uint32_t> storedInside;
  WindowState stateInside = WindowState::Running;
  platform::Timer* session = Form().AddTimer(100, true);
  session->onTimer = [&] {
    session->SetEnabled(false);
    stateInside = w->State();
    Form().EndSession();
    storedInside = Stored("X10");
  };
  Close();
  EXPECT_EQ(stateInside, WindowState::Closing);
  EXPECT_EQ(storedInside, 1u);
  EXPECT_TRUE(Form().Destroyed());
}

}  // namespace
}  // namespace lumrio::app::testing
