// The delay engine on the simulated sound card: start, the block pipeline,
// the two drains of a stop, and what happens when the devices refuse things.
#include <algorithm>
#include <set>

#include "app/app_fixture.h"

namespace lumrio::app::testing {
namespace {

using platform::kMmError;

// A ramp with both extremes of the sample range sprinkled in.
int16_t Ramp(int64_t n) {
  if (n % 7 == 0) return 32767;
  if (n % 11 == 0) return -32768;
  return static_cast<int16_t>((n * 997) % 65536 - 32768);
}

class EngineTest : public AppTest {};

TEST_F(EngineTest, RefusedPlaybackFormatLeavesAnInertClosableWindow) {
  hp.Sound().RefuseOutFormat(true);
  Start();
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Play format not supported."});
  EXPECT_EQ(hp.Log().CountNamed("waveInOpen"), 0);  // the recorder is not even asked
  EXPECT_EQ(w->BlockLength(), 0);
  EXPECT_EQ(w->lb_0ms->Caption(), "0 ms");
  EXPECT_EQ(w->lb_1ms->Caption(), "0 ms");
  EXPECT_EQ(w->Bank().Filter(0), nullptr);

  Drag(w->DelayTrackBar, {300, 400});
  w->cb_X10Delay->NotifyUserClick(true);
  RunMs(2000);
  EXPECT_FALSE(w->TrackTimer->Enabled());
  EXPECT_EQ(w->BlockLength(), 0);
  EXPECT_EQ(hp.Log().CountNamed("waveOutSetVolume"), 0);

  Close();
  EXPECT_TRUE(Form().Destroyed());
  EXPECT_EQ(hp.Log().CountNamed("waveInReset"), 0);
  EXPECT_FALSE(hp.Reg().KeyExists(platform::RegRoot::LocalMachine, kKey));
}

TEST_F(EngineTest, RefusedRecordingFormatIsReportedAfterPlaybackWasAsked) {
  hp.Sound().RefuseInFormat(true);
  Start();
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Record format not supported."});
  const auto opens = hp.Log().CallsNamed("waveOutOpen");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].args.back(), platform::kWaveFormatQuery);
  EXPECT_EQ(w->Bank().Filter(0), nullptr);
  Close();
  EXPECT_TRUE(Form().Destroyed());
}

TEST_F(EngineTest, StartQueuesTheWholeRingInOrder) {
  Start();
  const auto& e = w->Engine();
  EXPECT_EQ(e.InQueued(), 16);
  EXPECT_EQ(e.OutQueued(), 0);
  EXPECT_EQ(e.BlockLength(), 1000);
  EXPECT_TRUE(w->Idle());
  EXPECT_EQ(hp.Sound().InQueued(), 16);
  for (int i = 0; i < 16; ++i) {
    const auto* h = e.Ring()[i].header;
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->dwUser, static_cast<uintptr_t>(i));
    EXPECT_EQ(h->dwBufferLength, 2000u);
  }
  const auto adds = hp.Log().CallsNamed("waveInAddBuffer");
  ASSERT_EQ(adds.size(), 16u);
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(adds[i].args[1], reinterpret_cast<uintptr_t>(e.Ring()[static_cast<int>(i)].header));
  }
  // Both opens go to device 0 with window notification.
  for (const char* name : {"waveOutOpen", "waveInOpen"}) {
    const auto opens = hp.Log().CallsNamed(name);
    ASSERT_EQ(opens.size(), 2u);  // the format query, then the open
    EXPECT_EQ(opens[1].args[1], 0u);
    EXPECT_EQ(opens[1].args.back(), platform::kCallbackWindow);
  }
}

TEST_F(EngineTest, EveryBlockIsPlayedUnchangedOneBlockLater) {
  hp.Sound().SetInput(Ramp);
  Start();
  RunMs(1000);
  const auto& written = hp.Sound().Written();
  const auto& captured = hp.Sound().Captured();
  ASSERT_GE(written.size(), 15u);
  ASSERT_GE(captured.size(), written.size());
  bool sawMin = false, sawMax = false;
  for (size_t k = 0; k < written.size(); ++k) {
    ASSERT_EQ(written[k].samples, captured[k].samples) << "block " << k;
    // Written as soon as the block is full: its first sample is a block old.
    EXPECT_EQ(written[k].writeTime, (captured[k].firstSample + 1000) * hl::kTicksPerSample);
    sawMin |= std::count(written[k].samples.begin(), written[k].samples.end(), -32768) > 0;
    sawMax |= std::count(written[k].samples.begin(), written[k].samples.end(), 32767) > 0;
  }
  EXPECT_TRUE(sawMin);
  EXPECT_TRUE(sawMax);
  // Consecutive blocks are consecutive input.
  for (size_t k = 1; k < written.size(); ++k) {
    EXPECT_EQ(captured[k].firstSample, captured[k - 1].firstSample + 1000);
  }
  EXPECT_FALSE(w->Idle());
  EXPECT_EQ(hp.Sound().OverrunSamples(), 0);
}

TEST_F(EngineTest, StopDrainsCaptureThenPlaybackAndReturnsEverything) {
  StartRunning();
  RunMs(300);
  hp.Log().Clear();
  const size_t writtenBefore = hp.Sound().Written().size();
  Close();
  ExpectAllReturned();

  const auto& calls = hp.Log().Calls();
  auto at = [&](const std::string& name) {
    return std::find_if(calls.begin(), calls.end(), [&](auto& c) { return c.name == name; }) -
           calls.begin();
  };
  EXPECT_LT(at("waveInReset"), at("waveInClose"));
  EXPECT_LT(at("waveInClose"), at("waveOutReset"));
  EXPECT_LT(at("waveOutReset"), at("waveOutClose"));
  // The closing branch: one unprepare per ring buffer, nothing queued again,
  // no block made.
  EXPECT_EQ(hp.Log().CountNamed("waveInUnprepareHeader"), 16);
  EXPECT_EQ(hp.Log().CountNamed("waveInAddBuffer"), 0);
  EXPECT_EQ(hp.Log().CountNamed("waveOutWrite"), 0);
  EXPECT_EQ(hp.Sound().Written().size(), writtenBefore);
  EXPECT_FALSE(hp.Sound().InOpen());
  EXPECT_FALSE(hp.Sound().OutOpen());
}

TEST_F(EngineTest, ClosingBranchDoesNotRedraw) {
  StartRunning();
  const int64_t draws = Form().DrawCount();
  w->Engine().StopAudio();
  EXPECT_EQ(Form().DrawCount(), draws);
  ExpectAllReturned();
}

TEST_F(EngineTest, PlaybackDoneWithNothingCountedFreesNothing) {
  StartRunning();
  w->Engine().StopAudio();
  platform::WaveHeader stray{};
  const int frees = hp.Log().CountNamed("HeapFree");
  w->MMWomDone(&stray);
  EXPECT_EQ(hp.Log().CountNamed("HeapFree"), frees);
  EXPECT_GT(hp.Log().CountNamed("waveOutUnprepareHeader"), 0);
  EXPECT_EQ(w->Engine().OutQueued(), 0);
}

TEST_F(EngineTest, CloseBeforeTheFirstBlockLeavesTheDevicesAloneAndSaves) {
  Start();
  // Moved while Idle: nothing reaches the device, and only the close can
  // store the new position.
  w->VolumeTrackBar->NotifyUserChange(4100);
  ASSERT_NE(hp.Reg().GetDword(platform::RegRoot::LocalMachine, kKey, "Volume"), 4100u);
  Close();
  EXPECT_EQ(hp.Log().CountNamed("waveInReset"), 0);
  EXPECT_EQ(hp.Log().CountNamed("waveOutReset"), 0);
  EXPECT_EQ(hp.Log().CountNamed("waveOutSetVolume"), 0);
  EXPECT_TRUE(Form().Destroyed());
  EXPECT_EQ(hp.Reg().GetDword(platform::RegRoot::LocalMachine, kKey, "Volume"), 4100u);
  EXPECT_EQ(hp.Reg().GetDword(platform::RegRoot::LocalMachine, kKey, "Delay"), 100u);
}

TEST_F(EngineTest, RefusedRingBuffersDoNotHoldUpTheStop) {
  hp.Log().Inject({.name = "waveInPrepareHeader", .result = kMmError, .skip = 2, .count = 2});
  hp.Log().Inject({.name = "waveInAddBuffer", .result = kMmError, .skip = 7, .count = 1});
  StartRunning();
  EXPECT_EQ(w->Engine().InQueued(), 13);
  EXPECT_EQ(hp.Sound().InQueued(), 13);
  // A failed prepare goes on to the add, which the device refuses and
  // reports in turn; each text once per run, each box on its own.
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"In Prepare error.", "Add buffer error."}));
  const auto adds = hp.Log().CallsNamed("waveInAddBuffer");
  ASSERT_GE(adds.size(), 16u);
  EXPECT_EQ(adds[2].args[1], reinterpret_cast<uintptr_t>(w->Engine().Ring()[2].header));
  RunMs(500);
  Close();
  EXPECT_FALSE(hp.HangDetected());
  ExpectAllReturned();
}

TEST_F(EngineTest, RefusedPlaybackBlocksAreFreedAtOnce) {
  hp.Log().Inject({.name = "waveOutWrite", .result = kMmError, .skip = 3, .count = 4});
  hp.Log().Inject({.name = "waveOutPrepareHeader", .result = kMmError, .skip = 10, .count = 2});
  StartRunning();
  RunMs(800);
  EXPECT_EQ(w->Engine().OutQueued(), hp.Sound().OutQueued());
  // Sample buffer and header of each block the device holds, plus the scope.
  EXPECT_EQ(hp.Mem().LiveHeapBlocks(), 2 * hp.Sound().OutQueued() + 1);
  EXPECT_EQ(std::count(Boxes().begin(), Boxes().end(), "Wave out error."), 1);
  EXPECT_EQ(std::count(Boxes().begin(), Boxes().end(), "Out Prepare error."), 1);
  Close();
  ExpectAllReturned();
}

TEST_F(EngineTest, AFailedPlaybackPrepareIsFollowedByTheWriteAndItsMessage) {
  hp.Log().Inject({.name = "waveOutPrepareHeader", .result = kMmError, .skip = 0, .count = 1});
  StartRunning();
  RunMs(300);
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"Out Prepare error.", "Wave out error."}));
  const auto writes = hp.Log().CallsNamed("waveOutWrite");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].result, platform::kWaveUnprepared);
  // The refused block was freed, and the ones after it play.
  EXPECT_EQ(w->Engine().OutQueued(), hp.Sound().OutQueued());
  EXPECT_EQ(hp.Mem().LiveHeapBlocks(), 2 * hp.Sound().OutQueued() + 1);
  Close();
  ExpectAllReturned();
}

TEST_F(EngineTest, FailureBoxesNeverNest) {
  hp.Gui().SetBoxPumpTime(300 * hl::kTicksPerMs);  // the user takes a while to press OK
  hp.Log().Inject({.name = "waveOutWrite", .result = kMmError, .skip = 0, .count = -1});
  hp.Log().Inject({.name = "waveInUnprepareHeader", .result = kMmError, .skip = 0, .count = -1});
  StartRunning();
  RunMs(2000);
  EXPECT_EQ(hp.Gui().MaxOpenBoxes(), 1);
  Close();
  EXPECT_EQ(hp.Gui().MaxOpenBoxes(), 1);
  EXPECT_TRUE(Form().Destroyed());
  EXPECT_EQ(w->Engine().InQueued(), 0);
  EXPECT_EQ(hp.Mem().LiveHeapBlocks(), 0);
}

TEST_F(EngineTest, FailedAllocationsAreSurvived) {
  hp.Log().Inject({.name = "GlobalAlloc", .result = 0, .skip = 3, .count = 1});
  hp.Log().Inject({.name = "GlobalLock", .result = 0, .skip = 8, .count = 1});
  StartRunning();
  EXPECT_EQ(w->Engine().InQueued(), 14);
  hp.Log().Inject({.name = "HeapAlloc", .result = 0, .skip = 0, .count = 3});
  RunMs(500);
  Close();
  ExpectAllReturned();
}

TEST_F(EngineTest, MissingScopeArrayOnlyLosesTheTrace) {
  // HeapAlloc calls at start-up: the scope array is the first.
  hp.Log().Inject({.name = "HeapAlloc", .result = 0, .skip = 0, .count = 1});
  StartRunning();
  EXPECT_EQ(w->Engine().ScopePoints(), nullptr);
  RunMs(200);
  EXPECT_FALSE(hp.Sound().Written().empty());
  Close();
  ExpectAllReturned();
}

TEST_F(EngineTest, FailedRequeueTakesTheBufferOutOfService) {
  StartRunning();
  hp.Log().Inject({.name = "waveInAddBuffer", .result = kMmError, .skip = 0, .count = 2});
  RunMs(300);
  EXPECT_EQ(w->Engine().InQueued(), 14);
  EXPECT_EQ(hp.Sound().InQueued(), 14);
  Close();
  EXPECT_FALSE(hp.HangDetected());
  ExpectAllReturned();
}

TEST_F(EngineTest, AnUnpluggedCardIsGivenUpWithoutAHang) {
  StartRunning();
  RunMs(300);
  hp.Sound().Unplug();
  RunMs(300);
  const hl::Ticks asked = hp.Now();
  const int64_t pumps = hp.Gui().Pumps();
  Close();
  EXPECT_FALSE(hp.HangDetected());
  EXPECT_TRUE(Form().Destroyed());
  // Each drain waited its patience once, no longer, and slept while it
  // waited: a loop that spun would have pumped once a millisecond.
  EXPECT_LE(hp.Now() - asked, 2 * (audio::kDrainPatienceMs + 10) * hl::kTicksPerMs);
  EXPECT_LT(hp.Gui().Pumps() - pumps, 50);
  EXPECT_GT(hp.Gui().Waits(), 0);
  ExpectAllReturned();  // the closes succeeded, so everything could be freed
}

TEST_F(EngineTest, BuffersOfACardThatCannotBeClosedAreLeftToIt) {
  StartRunning();
  hp.Sound().Unplug();
  hp.Log().Inject({.name = "waveInClose", .result = platform::kMmError, .count = -1});
  Close();
  EXPECT_TRUE(Form().Destroyed());
  EXPECT_TRUE(hp.Sound().Violations().empty());
  EXPECT_TRUE(hp.Mem().Violations().empty());
  // The device still holds its 16 buffers: header and data of each stay.
  EXPECT_EQ(hp.Mem().LiveGlobalBlocks(), 32);
  EXPECT_EQ(hp.Mem().LiveHeapBlocks(), 0);
}

TEST_F(EngineTest, RestartNeverHandsOldBuffersToTheNewDevices) {
  StartRunning();
  RunMs(200);
  Drag(w->DelayTrackBar, {150, 200});
  RunMs(600);  // the countdown fires, the engine restarts with 2000 samples
  ASSERT_EQ(w->BlockLength(), 2000);
  RunMs(1000);
  const auto opens = hp.Log().CallsNamed("waveInOpen");
  ASSERT_EQ(opens.size(), 3u);
  const hl::Ticks restart = opens[2].time;
  for (const auto& c : hp.Sound().Captured()) {
    if (hl::Ticks(c.firstSample) * hl::kTicksPerSample >= restart) {
      EXPECT_EQ(c.samples.size(), 2000u);
    }
  }
  for (const auto& b : hp.Sound().Written()) {
    EXPECT_EQ(b.samples.size(), b.writeTime > restart ? 2000u : 1000u);
  }
  Close();
  ExpectAllReturned();
}

}  // namespace
}  // namespace lumrio::app::testing
