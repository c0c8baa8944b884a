// The main window: its layout, the delay rule, and the delay, volume and
// band controls as a user works them.
#include "app/app_fixture.h"

namespace lumrio::app::testing {
namespace {

TEST(BlockLengthFor, StepsOfTenOrAHundredSamplesNeverBelow64) {
  EXPECT_EQ(BlockLengthFor(0, false), 64);
  EXPECT_EQ(BlockLengthFor(0, true), 64);
  EXPECT_EQ(BlockLengthFor(6, false), 64);
  EXPECT_EQ(BlockLengthFor(7, false), 70);
  EXPECT_EQ(BlockLengthFor(100, false), 1000);
  EXPECT_EQ(BlockLengthFor(100, true), 10000);
  EXPECT_EQ(BlockLengthFor(880, false), 8800);
  EXPECT_EQ(BlockLengthFor(880, true), 88000);
}

TEST(VolumeWord, BothChannelsFollowTheSlider) {
  EXPECT_EQ(VolumeWord(1), (64990u << 16) | 64990u);
  EXPECT_EQ(VolumeWord(3200), (33000u << 16) | 33000u);
  EXPECT_EQ(VolumeWord(6500), 0u);
}

class MainWindowTest : public AppTest {};

TEST_F(MainWindowTest, WindowAndControlsAreLaidOutAsDesigned) {
  Start();
  EXPECT_EQ(hp.Gui().ApplicationTitle(), "lumrio");
  EXPECT_TRUE(Form().Shown());
  EXPECT_EQ(w->PaintBox->Width(), 304);
  EXPECT_EQ(w->PaintBox->Height(), 77);
  EXPECT_EQ(w->DelayTrackBar->Parent(), w->DelayGroupBox);
  EXPECT_EQ(w->Slider3F->Parent(), w->EqGroupBox);
  EXPECT_EQ(w->Slider1F->Desc().hint, "1000 Hz Filter");
  EXPECT_EQ(w->Slider4F->Desc().hint, "8000 Hz Filter");
  EXPECT_EQ(w->bandLabels[2]->Caption(), "4k");
  EXPECT_EQ(w->bandLabels[3]->Caption(), "8k");
  EXPECT_EQ(w->VolumeTrackBar->Desc().hint, "Volume control");
  EXPECT_FALSE(w->VolumeTrackBar->Desc().tabStop);
  EXPECT_EQ(w->cb_X10Delay->Desc().caption, "x 10 Delay");
  EXPECT_EQ(w->cb_UseFilter->Desc().caption, "Equalizer");
  EXPECT_EQ(w->DelayTrackBar->Desc().pageSize, 44);
  EXPECT_EQ(w->VolumeTrackBar->Position(), 3200);
  // Start-up applied the delay rule.
  EXPECT_EQ(w->lb_0ms->Caption(), "0 ms");
  EXPECT_EQ(w->lb_1ms->Caption(), "200 ms");
  EXPECT_EQ(w->lb_2ms->Caption(), "400 ms");
  EXPECT_EQ(w->BlockLength(), 1000);
  EXPECT_FALSE(w->TrackTimer->Enabled());
}

TEST_F(MainWindowTest, SlidersGiveTheFocusStraightBack) {
  Start();
  for (platform::Slider* s : {w->DelayTrackBar, w->VolumeTrackBar, w->Slider2F}) {
    Form().GiveFocus(*s);
    EXPECT_NE(Form().Focused(), s);
  }
}

TEST_F(MainWindowTest, LinkOpensTheHomePage) {
  Start();
  w->lb_www->onClick();
  ASSERT_EQ(hp.Gui().ShellOpens().size(), 1u);
  EXPECT_EQ(hp.Gui().ShellOpens()[0], kHomePageUrl);
}

TEST_F(MainWindowTest, ADragRestartsOnce500msAfterTheRelease) {
  StartRunning();
  auto opens = [&] { return hp.Log().CountNamed("waveInOpen"); };
  const int before = opens();
  // Seven seconds of dragging, never resting 500 ms.
  for (int p = 101; p <= 170; ++p) {
    w->DelayTrackBar->NotifyUserChange(p);
    RunMs(100);
  }
  EXPECT_EQ(opens(), before);
  w->DelayTrackBar->NotifyUserChange(170);  // the release
  const hl::Ticks released = hp.Now();
  RunMs(499);
  EXPECT_EQ(opens(), before);
  EXPECT_EQ(w->BlockLength(), 1000);
  RunMs(2);
  EXPECT_EQ(opens(), before + 1);
  EXPECT_EQ(hp.Log().CallsNamed("waveInReset").back().time - released, 500 * hl::kTicksPerMs);
  EXPECT_EQ(w->BlockLength(), 1700);
  RunMs(3000);
  EXPECT_EQ(opens(), before + 1);
}

TEST_F(MainWindowTest, DelayExtremes) {
  StartRunning();
  Drag(w->DelayTrackBar, {0});
  RunMs(600);
  EXPECT_EQ(w->BlockLength(), 64);
  ASSERT_TRUE(hp.RunUntil([&] { return !w->Idle(); }, 1000 * hl::kTicksPerMs));
  Drag(w->DelayTrackBar, {880});
  RunMs(600);
  EXPECT_EQ(w->BlockLength(), 8800);
  ASSERT_TRUE(hp.RunUntil([&] { return !w->Idle(); }, 2000 * hl::kTicksPerMs));
  w->cb_X10Delay->NotifyUserClick(true);
  EXPECT_EQ(w->BlockLength(), 88000);
  EXPECT_EQ(w->lb_0ms->Caption(), "0 sec");
  EXPECT_EQ(w->lb_1ms->Caption(), "2 sec");
  EXPECT_EQ(w->lb_2ms->Caption(), "4 sec");
  ASSERT_TRUE(hp.RunUntil([&] { return !w->Idle(); }, 6000 * hl::kTicksPerMs));
  EXPECT_EQ(hp.Sound().Written().back().samples.size(), 88000u);
  Close();
  ExpectAllReturned();
}

TEST_F(MainWindowTest, MovesWhileIdleOnlyMoveTheControl) {
  Start();  // waiting for the first block: Idle
  Drag(w->DelayTrackBar, {300});
  w->cb_X10Delay->NotifyUserClick(true);
  Drag(w->VolumeTrackBar, {10});
  Drag(w->Slider1F, {0});
  EXPECT_FALSE(w->TrackTimer->Enabled());
  EXPECT_EQ(w->BlockLength(), 1000);
  EXPECT_EQ(w->lb_2ms->Caption(), "400 ms");
  EXPECT_EQ(hp.Log().CountNamed("waveOutSetVolume"), 0);
  RunMs(1000);
  EXPECT_EQ(hp.Log().CountNamed("waveInOpen"), 2);  // query and the one open
  // The positions are still what the close saves.
  Close();
  auto dword = [&](const char* name) {
    return hp.Reg().GetDword(platform::RegRoot::LocalMachine, kKey, name);
  };
  EXPECT_EQ(dword("Delay"), 300u);
  EXPECT_EQ(dword("X10"), 1u);
  EXPECT_EQ(dword("Volume"), 10u);
  EXPECT_EQ(dword("Equalizer1k"), 0u);
}

TEST_F(MainWindowTest, TickingX10DuringACountdownRestartsAtOnceAndOnlyOnce) {
  StartRunning();
  Drag(w->DelayTrackBar, {200});
  RunMs(100);
  ASSERT_TRUE(w->TrackTimer->Enabled());
  w->cb_X10Delay->NotifyUserClick(true);
  EXPECT_EQ(w->BlockLength(), 20000);
  EXPECT_FALSE(w->TrackTimer->Enabled());
  const int opens = hp.Log().CountNamed("waveInOpen");
  RunMs(3000);
  EXPECT_EQ(hp.Log().CountNamed("waveInOpen"), opens);
}

TEST_F(MainWindowTest, AClickDuringARestartDrainStartsNoSecondStop) {
  StartRunning();
  RunMs(300);
  // Let the box the user clicks arrive in the middle of the capture drain.
  bool clicked = false;
  w->Form().onWaveInData = [&](platform::WaveHeader* h) {
    if (w->Engine().Closing() && !clicked) {
      clicked = true;
      w->cb_X10Delay->NotifyUserClick(true);
    }
    w->MMWimData(h);
  };
  Drag(w->DelayTrackBar, {150});
  RunMs(600);
  ASSERT_TRUE(clicked);
  EXPECT_EQ(hp.Log().CountNamed("waveInReset"), 1);
  EXPECT_EQ(hp.MaxPumpDepth(), 1);
  // The restart under way read the box after its drain.
  EXPECT_EQ(w->BlockLength(), 15000);
  RunMs(1500);
  EXPECT_LE(hp.Log().CountNamed("waveInReset"), 2);
  Close();
  ExpectAllReturned();
}

TEST_F(MainWindowTest, APendingCountdownNeverRestartsDuringOrAfterTheClose) {
  StartRunning();
  Drag(w->DelayTrackBar, {250});
  RunMs(200);
  ASSERT_TRUE(w->TrackTimer->Enabled());
  // The playback drain takes a while: the countdown would fire inside it.
  hp.Sound().SetDoneLatency(800 * hl::kTicksPerMs);
  const int opens = hp.Log().CountNamed("waveInOpen");
  Close();
  RunMs(2000);
  EXPECT_EQ(hp.Log().CountNamed("waveInOpen"), opens);
  EXPECT_TRUE(Form().Destroyed());
  ExpectAllReturned();
}

TEST_F(MainWindowTest, ACloseDuringARestartDrainWaitsForItAndStaysStopped) {
  StartRunning();
  bool asked = false;
  w->Form().onWaveInData = [&](platform::WaveHeader* h) {
    w->MMWimData(h);
    if (w->Engine().Closing() && !asked) {
      asked = true;
      w->Form().Close();
    }
  };
  Drag(w->DelayTrackBar, {150});
  RunMs(600);
  ASSERT_TRUE(asked);
  EXPECT_TRUE(Form().Destroyed());
  EXPECT_EQ(hp.Log().CountNamed("waveInOpen"), 2);  // no restart after the stop
  ExpectAllReturned();
}

TEST_F(MainWindowTest, VolumeGoesToTheDeviceOnlyWhileRunning) {
  StartRunning();
  Drag(w->VolumeTrackBar, {1});
  EXPECT_EQ(hp.Sound().Volume(), VolumeWord(1));
  Drag(w->VolumeTrackBar, {6500});
  EXPECT_EQ(hp.Sound().Volume(), 0u);
  hp.Log().Inject({.name = "waveOutSetVolume", .result = platform::kMmError});
  Drag(w->VolumeTrackBar, {3200});
  EXPECT_EQ(Boxes().back(), "Error changing the Volume");
  EXPECT_EQ(w->VolumeTrackBar->Position(), 3200);
}

TEST_F(MainWindowTest, BandSliderRedesignsOnlyItsBand) {
  StartRunning();
  // Give every band some history.
  w->cb_UseFilter->NotifyUserClick(true);
  hp.Sound().SetInput([](int64_t n) { return static_cast<int16_t>((n % 50) * 300); });
  RunMs(200);
  const auto before2 = w->Bank().Filter(1)->History;
  Drag(w->Slider1F, {0});
  EXPECT_EQ(w->Bank().Filter(1)->History, before2);
  for (double h : w->Bank().Filter(0)->History) EXPECT_EQ(h, 0.0);
  // Gain 5 now: the centre tap is five times the gain-1 design.
  dsp::TFilter unit;
  unit.SetBand(1, 500, 1000);
  EXPECT_DOUBLE_EQ(w->Bank().Filter(0)->Coefficients[16], 5 * unit.Coefficients[16]);
}

TEST_F(MainWindowTest, EqualizerBoxIsReadOncePerBlock) {
  hp.Sound().SetInput([](int64_t n) { return static_cast<int16_t>(n % 2 ? 8000 : -8000); });
  StartRunning();
  RunMs(100);
  size_t seen = hp.Sound().Written().size();
  w->cb_UseFilter->NotifyUserClick(true);
  RunMs(200);
  const auto& written = hp.Sound().Written();
  const auto& captured = hp.Sound().Captured();
  ASSERT_GT(written.size(), seen + 2);
  for (size_t k = seen; k < written.size(); ++k) {
    EXPECT_NE(written[k].samples, captured[k].samples) << "block " << k << " was copied";
  }
}

TEST_F(MainWindowTest, UntickedBoxLeavesTheFiltersAlone) {
  hp.Sound().SetInput([](int64_t n) { return static_cast<int16_t>((n % 40) * 700); });
  StartRunning();
  RunMs(300);
  for (int band = 0; band < 4; ++band) {
    for (double h : w->Bank().Filter(band)->History) EXPECT_EQ(h, 0.0);
  }
}

TEST_F(MainWindowTest, BandHistoriesSurviveARestart) {
  hp.Sound().SetInput([](int64_t n) { return static_cast<int16_t>((n % 40) * 700); });
  StartRunning();
  w->cb_UseFilter->NotifyUserClick(true);
  RunMs(300);
  const auto before = w->Bank().Filter(2)->History;
  EXPECT_NE(before, decltype(before){});
  // A delay change stops and starts the engine; no block is equalized in
  // between, so the history is exactly what the last block left.
  Drag(w->DelayTrackBar, {120});
  ASSERT_TRUE(hp.RunUntil([&] { return w->BlockLength() == 1200; }, 1000 * hl::kTicksPerMs));
  EXPECT_EQ(w->Bank().Filter(2)->History, before);
}

TEST_F(MainWindowTest, LoadedPositionsDriveStartUp) {
  using platform::RegRoot;
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "Delay", 5000);
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "X10", 7);
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "Equalizer2k", 0);
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "Volume", 0);
  Start();
  EXPECT_EQ(w->DelayTrackBar->Position(), 880);
  EXPECT_TRUE(w->cb_X10Delay->Checked());
  EXPECT_EQ(w->BlockLength(), 88000);
  EXPECT_EQ(w->lb_2ms->Caption(), "4 sec");
  EXPECT_EQ(w->VolumeTrackBar->Position(), 1);
  EXPECT_EQ(hp.Log().CountNamed("waveOutSetVolume"), 0);
  dsp::TFilter gain5;
  gain5.SetBand(5, 1000, 2000);
  EXPECT_EQ(w->Bank().Filter(1)->Coefficients, gain5.Coefficients);
  EXPECT_EQ(hp.Reg().GetDword(RegRoot::LocalMachine, kKey, "Delay"), 5000u);
  Close();
  EXPECT_EQ(hp.Reg().GetDword(RegRoot::LocalMachine, kKey, "Delay"), 880u);
  EXPECT_EQ(hp.Reg().GetDword(RegRoot::LocalMachine, kKey, "X10"), 1u);
}

}  // namespace
}  // namespace lumrio::app::testing
