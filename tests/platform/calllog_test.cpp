// Failure injection: rules with skip, count and predicate, and seeded random
// failures with plausible codes.
#include "platform/headless/calllog.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/fixture.h"

namespace lumrio::platform::headless::testing {
namespace {

class InjectionTest : public PlatformTest {
 protected:
  // Tries to queue a prepared buffer `n` times; returns the results.
  std::vector<MmResult> Adds(int n) {
    WaveInHandle in = OpenIn();
    std::vector<MmResult> results;
    for (int i = 0; i < n; ++i) {
      Block b = MakeBlock(4);
      audio().WaveInPrepareHeader(in, b.header, kWaveHeaderSize);
      results.push_back(audio().WaveInAddBuffer(in, b.header, kWaveHeaderSize));
    }
    return results;
  }
};

TEST_F(InjectionTest, SkipThenCount) {
  platform.Log().Inject({.name = "waveInAddBuffer", .result = kMmNoMem, .skip = 2, .count = 2});
  const std::vector<MmResult> expected = {0, 0, kMmNoMem, kMmNoMem, 0};
  EXPECT_EQ(expected, Adds(5));
  EXPECT_EQ(3, card().InQueued());  // a failed call does nothing
  const auto logged = platform.Log().CallsNamed("waveInAddBuffer");
  ASSERT_EQ(5u, logged.size());
  EXPECT_EQ(kMmNoMem, logged[2].result);
}

TEST_F(InjectionTest, NegativeCountFailsForever) {
  platform.Log().Inject({.name = "waveInAddBuffer", .result = kMmError, .count = -1});
  for (MmResult r : Adds(4)) EXPECT_EQ(kMmError, r);
  EXPECT_EQ(0, card().InQueued());
}

TEST_F(InjectionTest, PredicateChoosesTheCalls) {
  WaveOutHandle out = OpenOut();
  platform.Log().Inject(
      {.name = "waveOutSetVolume", .result = kMmError, .count = -1, .when = [](const Call& c) {
         return c.args[1] == 0;
       }});
  EXPECT_EQ(kMmNoError, audio().WaveOutSetVolume(out, 7));
  EXPECT_EQ(kMmError, audio().WaveOutSetVolume(out, 0));
  EXPECT_EQ(7u, card().Volume());
}

TEST_F(InjectionTest, InjectedOpenLeavesTheDeviceClosed) {
  platform.Log().Inject({.name = "waveInOpen", .result = kMmAllocated});
  WaveInHandle h = nullptr;
  const WaveFormat f = PcmFormat();
  EXPECT_EQ(kMmAllocated, audio().WaveInOpen(&h, 0, &f, 0, 0, kCallbackWindow));
  EXPECT_EQ(nullptr, h);
  EXPECT_FALSE(card().InOpen());
  EXPECT_EQ(kMmInvalidHandle, audio().WaveInStart(h));
}

TEST_F(InjectionTest, BoxesAndFreesNeverFail) {
  for (const char* name : {"MessageBox", "ErrorBox", "HeapFree", "GlobalFree"}) {
    platform.Log().Inject({.name = name, .result = 1, .count = -1});
  }
  platform.Log().InjectRandomly(1, 1.0);
  platform.Gui().MessageBox("a");
  platform.Gui().ErrorBox("b");
  EXPECT_EQ(1u, platform.Gui().MessageBoxes().size());
  EXPECT_EQ(1u, platform.Gui().ErrorBoxes().size());
  platform.Log().ClearInjections();
  void* p = platform.Mem().HeapAlloc(8);
  platform.Log().InjectRandomly(1, 1.0);
  platform.Mem().HeapFree(p);
  EXPECT_EQ(0, platform.Mem().LiveHeapBlocks());
}

TEST_F(InjectionTest, RandomFailuresAreSeededAndPlausible) {
  auto run = [](uint64_t seed) {
    HeadlessPlatform p;
    p.Log().InjectRandomly(seed, 0.5);
    std::vector<uint64_t> results;
    for (int i = 0; i < 64; ++i) {
      WaveOutHandle h = nullptr;
      const WaveFormat f = PcmFormat();
      results.push_back(p.Get().audio.WaveOutOpen(&h, 0, &f, 0, 0, kWaveFormatQuery));
      results.push_back(reinterpret_cast<uintptr_t>(p.Get().memory.HeapAlloc(4)) != 0);
    }
    return results;
  };
  const auto a = run(7);
  EXPECT_EQ(a, run(7));
  EXPECT_NE(a, run(8));
  const std::set<uint64_t> openCodes = {kMmNoError, kMmAllocated, kMmNoDriver, kMmNoMem,
                                        kMmBadDeviceId};
  int failures = 0;
  for (size_t i = 0; i < a.size(); i += 2) {
    EXPECT_TRUE(openCodes.contains(a[i])) << a[i];
    failures += a[i] != kMmNoError;
  }
  EXPECT_GT(failures, 0);
  EXPECT_LT(failures, 64);
}

TEST_F(InjectionTest, CallsCarryTheVirtualTime) {
  platform.RunForMs(5);
  platform.Mem().HeapAlloc(1);
  EXPECT_EQ(5 * kTicksPerMs, platform.Log().CallsNamed("HeapAlloc")[0].time);
}

}  // namespace
}  // namespace lumrio::platform::headless::testing
