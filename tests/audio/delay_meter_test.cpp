// The meter's reckoning of the devices' counts: the 32-bit wrap, a position
// that goes back, a reset of the playback device, and how long a captured
// block waited.
#include "audio/delay_meter.h"

#include <gtest/gtest.h>

#include "platform/headless/platform.h"

namespace lumrio::audio {
namespace {

using platform::MmResult;
using platform::MmTime;
using platform::WaveHeader;
using platform::WaveInHandle;
using platform::WaveOutHandle;

constexpr MmResult kOk = platform::kMmNoError;
constexpr MmResult kFailed = 1;

// Devices whose positions the test sets; every other call succeeds.
class ScriptedDevices : public platform::WaveAudio {
 public:
  uint32_t outPosition = 0;
  uint32_t inPosition = 0;
  bool outTells = true;

  MmResult WaveInGetPosition(WaveInHandle, MmTime* time, uint32_t) override {
    return Tell(time, inPosition, true);
  }
  MmResult WaveOutGetPosition(WaveOutHandle, MmTime* time, uint32_t) override {
    return Tell(time, outPosition, outTells);
  }

  MmResult WaveInOpen(WaveInHandle*, uint32_t, const platform::WaveFormat*, uintptr_t, uintptr_t,
                      uint32_t) override {
    return kOk;
  }
  MmResult WaveOutOpen(WaveOutHandle*, uint32_t, const platform::WaveFormat*, uintptr_t, uintptr_t,
                       uint32_t) override {
    return kOk;
  }
  MmResult WaveInPrepareHeader(WaveInHandle, WaveHeader*, uint32_t) override { return kOk; }
  MmResult WaveInUnprepareHeader(WaveInHandle, WaveHeader*, uint32_t) override { return kOk; }
  MmResult WaveInAddBuffer(WaveInHandle, WaveHeader*, uint32_t) override { return kOk; }
  MmResult WaveInStart(WaveInHandle) override { return kOk; }
  MmResult WaveInReset(WaveInHandle) override { return kOk; }
  MmResult WaveInClose(WaveInHandle) override { return kOk; }
  MmResult WaveOutPrepareHeader(WaveOutHandle, WaveHeader*, uint32_t) override { return kOk; }
  MmResult WaveOutUnprepareHeader(WaveOutHandle, WaveHeader*, uint32_t) override { return kOk; }
  MmResult WaveOutWrite(WaveOutHandle, WaveHeader*, uint32_t) override { return kOk; }
  MmResult WaveOutReset(WaveOutHandle) override { return kOk; }
  MmResult WaveOutClose(WaveOutHandle) override { return kOk; }
  MmResult WaveOutSetVolume(WaveOutHandle, uint32_t) override { return kOk; }

 private:
  static MmResult Tell(MmTime* time, uint32_t position, bool tells) {
    if (!tells) return kFailed;
    time->wType = platform::kTimeSamples;
    time->sample = position;
    return kOk;
  }
};

class DelayMeterTest : public ::testing::Test {
 protected:
  DelayMeterTest() { meter.Restart(1000, nullptr, nullptr); }

  platform::headless::HeadlessPlatform hp;
  ScriptedDevices devices;
  platform::Platform platform{hp.Gui(), devices, hp.Mem(), hp.Reg()};
  DelayMeter meter{platform};

  std::optional<PlaybackReading> Playback() { return meter.Read(0).playback; }
};

TEST_F(DelayMeterTest, CountsGoOnAcrossTheWrapOfTheDevicesPosition) {
  meter.Written(0xFFFFFF00u);
  meter.Written(0x200u);  // the count of written samples wraps as well
  devices.outPosition = 0xFFFFFF80u;
  auto before = Playback();
  ASSERT_TRUE(before);
  EXPECT_EQ(before->played, int64_t{0xFFFFFF80});
  EXPECT_EQ(before->level, 0x180);
  devices.outPosition = 0x80u;
  auto after = Playback();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->played, (int64_t{1} << 32) + 0x80);
  EXPECT_EQ(after->level, 0x80);
}

TEST_F(DelayMeterTest, APositionThatGoesBackIsNotBelievedUntilTheNextRun) {
  meter.Written(8000);
  devices.outPosition = 5000;
  ASSERT_TRUE(Playback());
  devices.outPosition = 4000;
  EXPECT_FALSE(Playback());
  devices.outPosition = 6000;
  EXPECT_FALSE(Playback()) << "one step back shows a count that cannot be trusted";
  meter.Restart(1000, nullptr, nullptr);
  meter.Written(8000);
  EXPECT_TRUE(Playback());
}

TEST_F(DelayMeterTest, AResetDeviceCountsFromZeroAndWhatItPlayedBeforeIsKept) {
  meter.Written(5000);
  devices.outPosition = 3000;
  ASSERT_TRUE(Playback());
  meter.PlaybackReset();
  meter.Written(1000);
  devices.outPosition = 200;
  auto reading = Playback();
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->played, 3200);
  EXPECT_EQ(reading->level, 800);
}

TEST_F(DelayMeterTest, ADeviceThatCannotTellGivesNoReading) {
  devices.outTells = false;
  EXPECT_FALSE(Playback());
  devices.outTells = true;
  EXPECT_TRUE(Playback());
}

TEST_F(DelayMeterTest, ARunBeginsOnItsFirstWriteAndADeviceWithNothingInHandIsDry) {
  EXPECT_FALSE(meter.Read(0).playbackBegun);
  meter.Written(500);
  devices.outPosition = 500;
  const Reading reading = meter.Read(3);
  EXPECT_TRUE(reading.playbackBegun);
  EXPECT_EQ(reading.waiting, 3);
  ASSERT_TRUE(reading.playback);
  EXPECT_TRUE(reading.playback->dry);
  meter.PlaybackReset();
  EXPECT_TRUE(meter.Read(0).playbackBegun) << "a reset does not start the run again";
  meter.Restart(1000, nullptr, nullptr);
  EXPECT_FALSE(meter.Read(0).playbackBegun);
}

// The level is what lies between the newest sound recorded and the sound
// heard: here the device holds nothing, and it is the capture wait alone.
TEST_F(DelayMeterTest, TheCaptureWaitIsWhatWasRecordedSinceTheBlockTakenUp) {
  meter.Captured(1000);
  devices.inPosition = 1300;
  EXPECT_EQ(Playback()->level, 300);
  // A capture count behind what was taken up, or beyond the whole ring,
  // counts in some other unit: no wait is believed.
  devices.inPosition = 900;
  EXPECT_EQ(Playback()->level, 0);
  devices.inPosition = 1000 + 17 * 1000;
  EXPECT_EQ(Playback()->level, 0);
}

}  // namespace
}  // namespace lumrio::audio
