// The simulated card's misbehaviours, each on its own: clocks that disagree,
// sound handed over a period at a time, a driver buffer that overflows, a
// held GUI thread, a held process, a playback that starts slowly or runs dry,
// and the record of which captured sample was heard when.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>

#include "platform/fixture.h"
#include "platform/headless/soundcard.h"
#include "platform/headless/ticks.h"

namespace lumrio::platform::headless::testing {
namespace {

constexpr int64_t kRate = 22050;

int16_t Tone(int64_t n) {
  return static_cast<int16_t>(n % 200 < 100 ? 8000 : -8000);
}

class CardConditionsTest : public PlatformTest {
 protected:
  CardConditionsTest() { card().SetInput(Tone); }

  // A capture loop as the program runs it: every returned buffer is queued
  // again at once.
  WaveInHandle StartLoopedCapture(int buffers, int samples) {
    WaveInHandle in = OpenIn();
    form->onWaveInData = [this, in](WaveHeader* h) {
      inMessages.push_back({h, platform.Now()});
      audio().WaveInAddBuffer(in, h, kWaveHeaderSize);
    };
    QueueCapture(in, buffers, samples);
    EXPECT_EQ(kMmNoError, audio().WaveInStart(in));
    return in;
  }

  int64_t CapturedSamples() {
    int64_t total = 0;
    for (const auto& b : card().Captured()) total += b.length;
    return total;
  }

  static Ticks Ms(double ms) { return static_cast<Ticks>(ms * kTicksPerMs); }

  int64_t PlayThroughUnderruns(bool positionCountsPadding);

  int64_t OutPosition(WaveOutHandle out) {
    MmTime time;
    EXPECT_EQ(kMmNoError, audio().WaveOutGetPosition(out, &time, sizeof time));
    EXPECT_EQ(kTimeSamples, time.wType);
    return time.sample;
  }
};

TEST_F(CardConditionsTest, EachSideRunsOnItsOwnClock) {
  CardConditions c;
  c.capturePpm = 2000;
  c.playbackPpm = -2000;
  card().SetConditions(c);
  StartLoopedCapture(16, 50);
  WaveOutHandle out = OpenOut();
  // Ten seconds of sound at the nominal rate, written at once.
  WriteBlock(out, std::vector<int16_t>(static_cast<size_t>(10 * kRate), 1000));
  platform.RunForMs(11000);

  // The microphone records 0.2 % more than the nominal rate in 11 s...
  const double expected = 11.0 * kRate * 1.002;
  EXPECT_NEAR(static_cast<double>(CapturedSamples()), expected, 50 + 1);
  EXPECT_NEAR(card().CaptureTime(kRate), 1000.0 * kTicksPerMs / 1.002, 1.0);
  // ...and the speaker takes 0.2 % longer than nominal to play 10 s.
  ASSERT_EQ(1u, outMessages.size());
  EXPECT_NEAR(static_cast<double>(outMessages[0].time), 10000.0 * kTicksPerMs / 0.998,
              2.0 * kTicksPerMs);
}

TEST_F(CardConditionsTest, CaptureIsHandedOverAPeriodAtATime) {
  CardConditions c;
  c.periodMs = 10;
  card().SetConditions(c);
  StartLoopedCapture(16, 64);
  platform.RunForMs(500);

  std::vector<Ticks> times;
  for (const auto& m : inMessages) times.push_back(m.time);
  const std::set<Ticks> distinct(times.begin(), times.end());
  // 220.5 samples a period: three or four 64-sample buffers arrive together.
  EXPECT_NEAR(static_cast<double>(distinct.size()), 50, 1);
  for (Ticks t : distinct) {
    const auto together = std::count(times.begin(), times.end(), t);
    EXPECT_TRUE(together == 3 || together == 4) << together << " at " << t;
  }
  Ticks previous = -1;
  for (Ticks t : distinct) {
    if (previous >= 0) {
      EXPECT_NEAR(static_cast<double>(t - previous), 10.0 * kTicksPerMs, kTicksPerSample);
    }
    previous = t;
  }
}

TEST_F(CardConditionsTest, TheDriverKeepsOnlyItsBufferWhileNoBufferIsQueued) {
  CardConditions c;
  c.captureBufferMs = 100;
  card().SetConditions(c);
  WaveInHandle in = OpenIn();
  QueueCapture(in, 1, 100);
  audio().WaveInStart(in);
  platform.RunForMs(1000);
  ASSERT_EQ(1u, card().Captured().size());

  // What came after the one buffer: the newest 100 ms are kept, the rest lost.
  const int64_t recorded = kRate;  // 1 s at the nominal clock
  const int64_t kept = kRate / 10;
  EXPECT_NEAR(static_cast<double>(card().OverrunSamples()),
              static_cast<double>(recorded - 100 - kept), 2);
  QueueCapture(in, 1, 100);
  platform.RunForMs(1);
  ASSERT_EQ(2u, card().Captured().size());
  EXPECT_NEAR(static_cast<double>(card().Captured()[1].firstSample),
              static_cast<double>(recorded - kept), 2);
}

TEST_F(CardConditionsTest, AHeldGuiThreadGetsTheBlocksOfTheHoldAsOneBurst) {
  StartLoopedCapture(16, 1000);
  platform.RunForMs(200);
  const size_t before = inMessages.size();
  platform.HoldGui(Ms(300));
  platform.RunForMs(299);
  EXPECT_EQ(before, inMessages.size()) << "a message was handled while the GUI thread was held";
  platform.RunForMs(2);

  // About 300 ms of blocks of 45 ms arrive at the same moment, none lost:
  // the device went on recording into the buffers it held.
  const auto burst =
      std::count_if(inMessages.begin() + static_cast<std::ptrdiff_t>(before), inMessages.end(),
                    [&](const Received& m) { return m.time == inMessages.back().time; });
  EXPECT_GE(burst, 6);
  EXPECT_EQ(0, card().OverrunSamples());
}

TEST_F(CardConditionsTest, AHeldProcessLosesWhatTheDriverCannotKeepAndIsSilent) {
  card().SetConditions(RealisticConditions());  // 10 ms periods, 100 ms kept
  StartLoopedCapture(16, 1000);
  WaveOutHandle out = OpenOut();
  platform.RunForMs(500);
  // Three seconds of sound queued for playback, then the process stops for 1 s.
  WriteBlock(out, std::vector<int16_t>(static_cast<size_t>(3 * kRate), 5000));
  platform.RunForMs(500);
  const size_t before = inMessages.size();
  const int64_t heldFrom = platform.Now() / kTicksPerSample;
  card().HoldProcess(Ms(1000));
  platform.RunForMs(990);
  EXPECT_EQ(before, inMessages.size());

  // The speaker was silent through the hold...
  const auto during = card().PlayedStream(heldFrom + kRate / 50, kRate - kRate / 25);
  EXPECT_TRUE(std::all_of(during.begin(), during.end(), [](int16_t s) { return s == 0; }));
  // ...and of the second of input, only the driver's 100 ms was kept.
  platform.RunForMs(100);
  EXPECT_NEAR(static_cast<double>(card().OverrunSamples()), 0.9 * kRate, 0.01 * kRate);
  // Afterwards the speaker plays on.
  platform.RunForMs(200);
  const auto after = card().PlayedStream(heldFrom + kRate + kRate / 20, kRate / 10);
  EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](int16_t s) { return s == 5000; }));
}

TEST_F(CardConditionsTest, APlaybackThatRunsDryIsSilentUntilTheNextWriteIsHeard) {
  CardConditions c;
  c.playbackLatencyMs = 15;
  card().SetConditions(c);
  WaveOutHandle out = OpenOut();
  WriteBlock(out, std::vector<int16_t>(1000, 700));
  platform.RunForMs(100);
  const int64_t secondAt = platform.Now() / kTicksPerSample;
  WriteBlock(out, std::vector<int16_t>(1000, 900));
  platform.RunForMs(200);

  const auto stream = card().PlayedStream(0, secondAt + 2000);
  const auto first = std::find(stream.begin(), stream.end(), 700) - stream.begin();
  const auto second = std::find(stream.begin(), stream.end(), 900) - stream.begin();
  const int64_t latency = 15 * kRate / 1000;
  EXPECT_NEAR(static_cast<double>(first), static_cast<double>(latency), 1);
  EXPECT_NEAR(static_cast<double>(second), static_cast<double>(secondAt + latency), 1);
  // Between the two: the underrun, silence.
  EXPECT_TRUE(std::all_of(stream.begin() + first + 1000, stream.begin() + second,
                          [](int16_t s) { return s == 0; }));
}

TEST_F(CardConditionsTest, AStreamThatStartsSlowlyKeepsItsBacklog) {
  CardConditions c;
  c.slowStartMs = 1000;
  c.slowStartRate = 2.0 / 3.0;
  card().SetConditions(c);
  WaveOutHandle out = OpenOut();
  for (int i = 0; i < 4; ++i)
    WriteBlock(out, std::vector<int16_t>(static_cast<size_t>(kRate / 2), 100));
  platform.RunForMs(3000);

  // The first second plays two thirds of a second of sound; the rest at
  // full speed: 2 s of sound take 2 1/3 s.
  ASSERT_EQ(4u, outMessages.size());
  EXPECT_NEAR(static_cast<double>(outMessages[0].time), 750.0 * kTicksPerMs, 2.0 * kTicksPerMs);
  EXPECT_NEAR(static_cast<double>(outMessages[3].time), 2333.3 * kTicksPerMs, 2.0 * kTicksPerMs);
}

TEST_F(CardConditionsTest, TheCapturePositionCountsWhatWasPutIntoBuffersSinceTheStart) {
  CardConditions c;
  c.periodMs = 10;
  card().SetConditions(c);
  WaveInHandle in = StartLoopedCapture(16, 100);
  platform.RunForMs(105);
  MmTime time;
  ASSERT_EQ(kMmNoError, audio().WaveInGetPosition(in, &time, sizeof time));
  EXPECT_EQ(kTimeSamples, time.wType);
  // Ten periods handed over: 2205 samples, whatever the buffers' size.
  EXPECT_NEAR(2205, static_cast<double>(time.sample), 1);
  ASSERT_EQ(kMmNoError, audio().WaveInReset(in));
  ASSERT_EQ(kMmNoError, audio().WaveInGetPosition(in, &time, sizeof time));
  EXPECT_EQ(0u, time.sample);
}

TEST_F(CardConditionsTest, ThePlaybackPositionCountsWhatWasPlayedSinceTheOpenOrAReset) {
  WaveOutHandle out = OpenOut();
  platform.RunForMs(50);
  EXPECT_EQ(0, OutPosition(out));
  WriteBlock(out, std::vector<int16_t>(1000, 1));
  platform.RunFor(441 * kTicksPerSample);
  EXPECT_NEAR(441, static_cast<double>(OutPosition(out)), 1);
  platform.RunForMs(100);
  EXPECT_EQ(1000, OutPosition(out)) << "a dry device stays where it ran out";
  WriteBlock(out, std::vector<int16_t>(1000, 1));
  platform.RunFor(500 * kTicksPerSample);
  EXPECT_NEAR(1500, static_cast<double>(OutPosition(out)), 1);
  ASSERT_EQ(kMmNoError, audio().WaveOutReset(out));
  EXPECT_EQ(0, OutPosition(out));
  // A stopped process plays nothing, so the position stands still.
  WriteBlock(out, std::vector<int16_t>(5000, 1));
  platform.RunFor(100 * kTicksPerSample);
  card().HoldProcess(Ms(50));
  const int64_t held = OutPosition(out);
  platform.RunForMs(40);
  EXPECT_EQ(held, OutPosition(out));
}

// Two seconds of one value and then another, played through a sound server
// that underruns every 300 ms or so. Answers the playback position after
// one second.
int64_t CardConditionsTest::PlayThroughUnderruns(bool positionCountsPadding) {
  CardConditions c;
  c.underrunEveryMs = 300;
  c.underrunGapMs = 10;
  c.underrunSeed = 7;
  c.positionCountsPadding = positionCountsPadding;
  card().SetConditions(c);
  WaveOutHandle out = OpenOut();
  WriteBlock(out, std::vector<int16_t>(static_cast<size_t>(2 * kRate), 700));
  WriteBlock(out, std::vector<int16_t>(1000, 900));
  platform.RunForMs(1000);
  const int64_t position = OutPosition(out);
  platform.RunForMs(1500);
  return position;
}

// Padding put in before tick t, in samples.
int64_t PaddedBefore(const SoundCard& card, double t) {
  int64_t padded = 0;
  for (const auto& p : card.Paddings()) padded += p.start < t ? p.samples : 0;
  return padded;
}

// An underrun leaves a gap of silence, and everything after it comes out
// that much later, for good.
TEST_F(CardConditionsTest, AnUnderrunPutsAGapIntoTheSoundThatStaysInTheDelay) {
  PlayThroughUnderruns(false);
  const auto stream = card().PlayedStream(0, 3 * kRate);
  const auto second = std::find(stream.begin(), stream.end(), 900) - stream.begin();
  const double secondAt = static_cast<double>(second) * static_cast<double>(kTicksPerSample);
  const int64_t padded = PaddedBefore(card(), secondAt);
  ASSERT_GE(card().Paddings().size(), 3u);
  // Each gap is whole samples of the speaker's clock: a sample either way.
  const auto pads = static_cast<double>(card().Paddings().size());
  EXPECT_NEAR(static_cast<double>(second), static_cast<double>(2 * kRate + padded), pads);
  EXPECT_NEAR(static_cast<double>(std::count(stream.begin(), stream.begin() + second, 0)),
              static_cast<double>(padded), pads);
  for (const auto& p : card().Paddings()) EXPECT_NEAR(220.5, static_cast<double>(p.samples), 1);
}

// A driver that counts its padding as played (Wine's PulseAudio one) hides
// the gap from written - position; one that does not (its ALSA driver)
// shows it.
TEST_F(CardConditionsTest, ThePositionCountsAnUnderrunsPaddingOrShowsItAsBacklog) {
  const int64_t shown = PlayThroughUnderruns(false);
  const int64_t padded = PaddedBefore(card(), 1000.0 * kTicksPerMs);
  ASSERT_GT(padded, 0);
  EXPECT_NEAR(static_cast<double>(kRate - padded), static_cast<double>(shown), 2);
}

TEST_F(CardConditionsTest, APositionThatCountsPaddingMovesAsIfNothingWasLate) {
  const int64_t hidden = PlayThroughUnderruns(true);
  ASSERT_GT(PaddedBefore(card(), 1000.0 * kTicksPerMs), 0);
  EXPECT_NEAR(static_cast<double>(kRate), static_cast<double>(hidden), 2);
}

TEST_F(CardConditionsTest, ThePlaybackPositionMovesAPeriodAtATime) {
  CardConditions c;
  c.periodMs = 10;
  card().SetConditions(c);
  WaveOutHandle out = OpenOut();
  WriteBlock(out, std::vector<int16_t>(static_cast<size_t>(kRate), 1));
  std::set<int64_t> seen;
  for (int ms = 0; ms < 300; ++ms) {
    platform.RunForMs(1);
    seen.insert(OutPosition(out));
  }
  // A step of 220 or 221 samples (10 ms) each period, and nothing between.
  EXPECT_NEAR(static_cast<double>(seen.size()), 30, 1);
  int64_t previous = -1;
  for (int64_t position : seen) {
    if (previous > 0) {
      EXPECT_NEAR(static_cast<double>(position - previous), 220.5, 1);
    }
    previous = position;
  }
}

TEST_F(CardConditionsTest, TheTracedInputTellsWhichCapturedSampleWasHeardWhen) {
  card().UseTracedInput();
  WaveInHandle in = OpenIn();
  WaveOutHandle out = OpenOut();
  // A bare loop: every captured block is written as it is.
  form->onWaveInData = [&](WaveHeader* h) {
    const auto* samples = reinterpret_cast<const int16_t*>(h->lpData);
    WriteBlock(out, std::vector<int16_t>(samples, samples + 1000));
    audio().WaveInAddBuffer(in, h, kWaveHeaderSize);
  };
  QueueCapture(in, 4, 1000);
  audio().WaveInStart(in);
  platform.RunForMs(1000);

  const auto heard = card().Heard();
  ASSERT_GE(heard.size(), 15u);
  int64_t next = heard.front().firstIndex;
  for (const auto& run : heard) {
    ASSERT_EQ(next, run.firstIndex) << "the loop played every captured sample once, in order";
    // Each sample is heard one block after it was recorded.
    EXPECT_NEAR(run.start - card().CaptureTime(run.firstIndex), 1000.0 * kTicksPerSample,
                kTicksPerSample);
    next = run.firstIndex + run.count;
  }
}

}  // namespace
}  // namespace lumrio::platform::headless::testing
