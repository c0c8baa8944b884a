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
};

TEST_F(DelayMeterTest, CountsGoOnAcrossTheWrapOfTheDevicesPosition) {
  meter.Written(0xFFFFFF00u);
  meter.Written(0x200u);  // the count of written samples wraps as well
  devices.outPosition = 0xFFFFFF80u;
  auto before = meter.Read();
  ASSERT_TRUE(before);
  EXPECT_EQ(before->played, int64_t{0xFFFFFF80});
  EXPECT_EQ(before->queued, 0x180);
  devices.outPosition = 0x80u;
  auto after = meter.Read();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->played, (int64_t{1} << 32) + 0x80);
  EXPECT_EQ(after->queued, 0x80);
}

TEST_F(DelayMeterTest, APositionThatGoesBackIsNotBelievedUntilTheNextRun) {
  meter.Written(8000);
  devices.outPosition = 5000;
  ASSERT_TRUE(meter.Read());
  devices.outPosition = 4000;
  EXPECT_FALSE(meter.Read());
  devices.outPosition = 6000;
  EXPECT_FALSE(meter.Read()) << "one step back shows a count that cannot be trusted";
  meter.Restart(1000, nullptr, nullptr);
  meter.Written(8000);
  EXPECT_TRUE(meter.Read());
}

TEST_F(DelayMeterTest, AResetDeviceCountsFromZeroAndWhatItPlayedBeforeIsKept) {
  meter.Written(5000);
  devices.outPosition = 3000;
  ASSERT_TRUE(meter.Read());
  meter.PlaybackReset();
  meter.Written(1000);
  devices.outPosition = 200;
  auto reading = meter.Read();
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->played, 3200);
  EXPECT_EQ(reading->queued, 800);
}

TEST_F(DelayMeterTest, ADeviceThatCannotTellGivesNoReading) {
  devices.outTells = false;
  EXPECT_FALSE(meter.Read());
  devices.outTells = true;
  EXPECT_TRUE(meter.Read());
}

TEST_F(DelayMeterTest, TheCaptureWaitIsWhatWasRecordedSinceTheBlockTakenUp) {
  meter.Captured(1000);
  devices.inPosition = 1300;
  EXPECT_EQ(meter.Read()->waited, 300);
  // A capture count behind what was taken up, or beyond the whole ring,
  // counts in some other unit: no wait is believed.
  devices.inPosition = 900;
  EXPECT_EQ(meter.Read()->waited, 0);
  devices.inPosition = 1000 + 17 * 1000;
  EXPECT_EQ(meter.Read()->waited, 0);
}

}  // namespace
}  // namespace lumrio::audio
