// The simulated sound card: capture timing and order, resets, playback
// timing, format refusal and the device contract checks.
#include "platform/headless/soundcard.h"

#include <gtest/gtest.h>

#include "platform/fixture.h"
#include "platform/headless/ticks.h"

namespace lumrio::platform::headless::testing {
namespace {

int16_t Ramp(int64_t n) {
  return static_cast<int16_t>(n % 20000 - 10000);
}

class CaptureTest : public PlatformTest {
 protected:
  CaptureTest() { card().SetInput(Ramp); }
};

TEST_F(CaptureTest, FillsBuffersInQueueOrderAndPostsEachWhenFull) {
  WaveInHandle in = OpenIn();
  auto blocks = QueueCapture(in, 3, 100);
  ASSERT_EQ(kMmNoError, audio().WaveInStart(in));
  platform.RunFor(250 * kTicksPerSample);
  ASSERT_EQ(2u, inMessages.size());
  platform.RunFor(100 * kTicksPerSample);
  ASSERT_EQ(3u, inMessages.size());
  for (size_t k = 0; k < 3; ++k) {
    const WaveHeader* h = inMessages[k].header;
    EXPECT_EQ(blocks[k].header, h);
    EXPECT_EQ(static_cast<Ticks>(k + 1) * 100 * kTicksPerSample, inMessages[k].time);
    EXPECT_EQ(200u, h->dwBytesRecorded);
    EXPECT_TRUE(h->dwFlags & kHeaderDone);
    EXPECT_FALSE(h->dwFlags & kHeaderInQueue);
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(Ramp(static_cast<int64_t>(k) * 100 + i), blocks[k].samples[i]);
    }
  }
  ASSERT_EQ(3u, card().Captured().size());
  EXPECT_EQ(200, card().Captured()[2].firstSample);
  EXPECT_EQ(0, card().InQueued());
}

TEST_F(CaptureTest, FirstSampleIsTheFirstAfterStart) {
  WaveInHandle in = OpenIn();
  QueueCapture(in, 1, 10);
  platform.RunFor(7);  // between sample 0 and sample 1
  ASSERT_EQ(kMmNoError, audio().WaveInStart(in));
  platform.RunFor(20 * kTicksPerSample);
  ASSERT_EQ(1u, inMessages.size());
  EXPECT_EQ(1, card().Captured()[0].firstSample);
  EXPECT_EQ(11 * kTicksPerSample, inMessages[0].time);
}

TEST_F(CaptureTest, RequeuedBufferIsFilledAfterTheOthers) {
  WaveInHandle in = OpenIn();
  auto blocks = QueueCapture(in, 2, 50);
  form->onWaveInData = [&](WaveHeader* h) {
    inMessages.push_back({h, platform.Now()});
    audio().WaveInAddBuffer(in, h, kWaveHeaderSize);
  };
  audio().WaveInStart(in);
  platform.RunFor(200 * kTicksPerSample);
  ASSERT_EQ(4u, inMessages.size());
  EXPECT_EQ(blocks[0].header, inMessages[2].header);
  EXPECT_EQ(blocks[1].header, inMessages[3].header);
  EXPECT_EQ(150, card().Captured()[3].firstSample);
  EXPECT_EQ(0, card().OverrunSamples());
}

TEST_F(CaptureTest, SamplesWithNoBufferQueuedAreLost) {
  WaveInHandle in = OpenIn();
  QueueCapture(in, 1, 100);
  audio().WaveInStart(in);
  platform.RunFor(300 * kTicksPerSample);
  EXPECT_EQ(200, card().OverrunSamples());
  auto late = QueueCapture(in, 1, 100);
  platform.RunFor(100 * kTicksPerSample);
  ASSERT_EQ(2u, card().Captured().size());
  EXPECT_EQ(300, card().Captured()[1].firstSample);
  EXPECT_EQ(Ramp(300), late[0].samples[0]);
}

TEST_F(CaptureTest, ResetHandsBackEveryQueuedBufferInOrder) {
  WaveInHandle in = OpenIn();
  auto blocks = QueueCapture(in, 4, 100);
  audio().WaveInStart(in);
  platform.RunFor(150 * kTicksPerSample);
  ASSERT_EQ(1u, inMessages.size());
  ASSERT_EQ(kMmNoError, audio().WaveInReset(in));
  EXPECT_FALSE(card().InStarted());
  EXPECT_EQ(0, card().InQueued());
  platform.Gui().ProcessMessages();
  ASSERT_EQ(4u, inMessages.size());
  for (size_t k = 1; k < 4; ++k) EXPECT_EQ(blocks[k].header, inMessages[k].header);
  EXPECT_EQ(100u, blocks[1].header->dwBytesRecorded);  // half full
  EXPECT_EQ(0u, blocks[2].header->dwBytesRecorded);
  EXPECT_TRUE(blocks[3].header->dwFlags & kHeaderDone);
  // Capture has stopped: nothing more arrives.
  platform.RunFor(1000 * kTicksPerSample);
  EXPECT_EQ(4u, inMessages.size());
}

TEST_F(CaptureTest, HeldMessagesArriveAsOneBurst) {
  WaveInHandle in = OpenIn();
  QueueCapture(in, 3, 100);
  audio().WaveInStart(in);
  card().HoldCaptureMessages(true);
  platform.RunFor(300 * kTicksPerSample);
  EXPECT_TRUE(inMessages.empty());
  card().HoldCaptureMessages(false);
  platform.RunFor(1);
  EXPECT_EQ(3u, inMessages.size());
}

class PlaybackTest : public PlatformTest {};

TEST_F(PlaybackTest, BlocksPlayBackToBackAndReturnInWriteOrder) {
  WaveOutHandle out = OpenOut();
  const Block a = WriteBlock(out, std::vector<int16_t>(100, 1));
  const Block b = WriteBlock(out, std::vector<int16_t>(50, 2));
  EXPECT_EQ(2, card().OutQueued());
  platform.RunFor(149 * kTicksPerSample);
  ASSERT_EQ(1u, outMessages.size());
  EXPECT_EQ(a.header, outMessages[0].header);
  EXPECT_EQ(100 * kTicksPerSample, outMessages[0].time);
  platform.RunFor(kTicksPerSample);
  ASSERT_EQ(2u, outMessages.size());
  EXPECT_EQ(b.header, outMessages[1].header);
  EXPECT_EQ(150 * kTicksPerSample, outMessages[1].time);
  EXPECT_TRUE(b.header->dwFlags & kHeaderDone);
  EXPECT_EQ(0, card().OutQueued());
}

TEST_F(PlaybackTest, DoneLatencyDelaysOnlyTheMessage) {
  WaveOutHandle out = OpenOut();
  card().SetDoneLatency(30 * kTicksPerMs);
  WriteBlock(out, std::vector<int16_t>(100, 1));
  WriteBlock(out, std::vector<int16_t>(100, 2));
  platform.RunFor(100 * kTicksPerMs);
  ASSERT_EQ(2u, outMessages.size());
  EXPECT_EQ(2000 + 30 * kTicksPerMs, outMessages[0].time);
  EXPECT_EQ(4000 + 30 * kTicksPerMs, outMessages[1].time);
  EXPECT_EQ(2000, card().Written()[1].playStart);
}

TEST_F(PlaybackTest, PlayedStreamHasSilenceBetweenBlocks) {
  WaveOutHandle out = OpenOut();
  WriteBlock(out, {5, 6, 7});
  platform.RunFor(10 * kTicksPerSample);
  WriteBlock(out, {8, 9});
  platform.RunFor(10 * kTicksPerSample);
  const std::vector<int16_t> expected = {5, 6, 7, 0, 0, 0, 0, 0, 0, 0, 8, 9, 0, 0};
  EXPECT_EQ(expected, card().PlayedStream(0, 14));
  EXPECT_EQ(10 * kTicksPerSample, card().Written()[1].writeTime);
}

TEST_F(PlaybackTest, ResetReturnsEveryBlockAtOnceAndCutsThePlayingOne) {
  WaveOutHandle out = OpenOut();
  const Block a = WriteBlock(out, std::vector<int16_t>(100, 1));
  const Block b = WriteBlock(out, std::vector<int16_t>(100, 2));
  platform.RunFor(40 * kTicksPerSample);
  ASSERT_EQ(kMmNoError, audio().WaveOutReset(out));
  EXPECT_EQ(0, card().OutQueued());
  platform.Gui().ProcessMessages();
  ASSERT_EQ(2u, outMessages.size());
  EXPECT_EQ(a.header, outMessages[0].header);
  EXPECT_EQ(b.header, outMessages[1].header);
  EXPECT_EQ(40 * kTicksPerSample, outMessages[1].time);
  const auto played = card().PlayedStream(0, 200);
  EXPECT_EQ(1, played[39]);
  EXPECT_EQ(0, played[40]);
  EXPECT_EQ(0, played[150]);
  EXPECT_EQ(kMmNoError, audio().WaveOutClose(out));
}

TEST_F(PlaybackTest, VolumeIsStored) {
  WaveOutHandle out = OpenOut();
  EXPECT_EQ(kMmNoError, audio().WaveOutSetVolume(out, 0x12345678));
  EXPECT_EQ(0x12345678u, card().Volume());
}

class FormatTest : public PlatformTest {};

TEST_F(FormatTest, QueryAnswersWithoutOpening) {
  const WaveFormat f = PcmFormat();
  EXPECT_EQ(kMmNoError, audio().WaveOutOpen(nullptr, 0, &f, 0, 0, kWaveFormatQuery));
  EXPECT_EQ(kMmNoError, audio().WaveInOpen(nullptr, 0, &f, 0, 0, kWaveFormatQuery));
  EXPECT_FALSE(card().OutOpen());
  EXPECT_FALSE(card().InOpen());
}

TEST_F(FormatTest, RefusesOtherFormatsDevicesAndWhenTold) {
  WaveFormat stereo = PcmFormat();
  stereo.nChannels = 2;
  EXPECT_EQ(kWaveBadFormat, audio().WaveOutOpen(nullptr, 0, &stereo, 0, 0, kWaveFormatQuery));
  const WaveFormat f = PcmFormat();
  EXPECT_EQ(kMmBadDeviceId, audio().WaveInOpen(nullptr, 1, &f, 0, 0, kWaveFormatQuery));
  card().RefuseOutFormat(true);
  EXPECT_EQ(kWaveBadFormat, audio().WaveOutOpen(nullptr, 0, &f, 0, 0, kWaveFormatQuery));
  WaveOutHandle h = nullptr;
  EXPECT_EQ(kWaveBadFormat, audio().WaveOutOpen(&h, 0, &f, 0, 0, kCallbackWindow));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(kMmNoError, audio().WaveInOpen(nullptr, 0, &f, 0, 0, kWaveFormatQuery));
  card().RefuseInFormat(true);
  EXPECT_EQ(kWaveBadFormat, audio().WaveInOpen(nullptr, 0, &f, 0, 0, kWaveFormatQuery));
}

class ContractTest : public PlatformTest {};

TEST_F(ContractTest, CleanUseHasNoViolations) {
  WaveInHandle in = OpenIn();
  auto blocks = QueueCapture(in, 2, 10);
  audio().WaveInStart(in);
  platform.RunFor(15 * kTicksPerSample);
  audio().WaveInReset(in);
  platform.Gui().ProcessMessages();
  for (const Block& b : blocks) {
    EXPECT_EQ(kMmNoError, audio().WaveInUnprepareHeader(in, b.header, kWaveHeaderSize));
    FreeBlock(b);
  }
  EXPECT_EQ(kMmNoError, audio().WaveInClose(in));
  EXPECT_TRUE(card().Violations().empty());
  EXPECT_TRUE(platform.Mem().Violations().empty());
}

TEST_F(ContractTest, AddingAQueuedBufferIsRefused) {
  WaveInHandle in = OpenIn();
  auto blocks = QueueCapture(in, 1, 10);
  EXPECT_EQ(kWaveStillPlaying, audio().WaveInAddBuffer(in, blocks[0].header, kWaveHeaderSize));
  EXPECT_EQ(1, card().InQueued());
  EXPECT_EQ(1u, card().Violations().size());
}

TEST_F(ContractTest, UnpreparedBufferIsRefusedWithoutHarm) {
  WaveInHandle in = OpenIn();
  Block b = MakeBlock(10);
  EXPECT_EQ(kWaveUnprepared, audio().WaveInAddBuffer(in, b.header, kWaveHeaderSize));
  WaveOutHandle out = OpenOut();
  EXPECT_EQ(kWaveUnprepared, audio().WaveOutWrite(out, b.header, kWaveHeaderSize));
  EXPECT_EQ(0, card().InQueued());
  EXPECT_EQ(0, card().OutQueued());
}

TEST_F(ContractTest, UnprepareWhileQueuedIsRefused) {
  WaveInHandle in = OpenIn();
  auto blocks = QueueCapture(in, 1, 10);
  EXPECT_EQ(kWaveStillPlaying,
            audio().WaveInUnprepareHeader(in, blocks[0].header, kWaveHeaderSize));
  WaveOutHandle out = OpenOut();
  const Block b = WriteBlock(out, {1, 2, 3});
  EXPECT_EQ(kWaveStillPlaying, audio().WaveOutUnprepareHeader(out, b.header, kWaveHeaderSize));
  EXPECT_EQ(2u, card().Violations().size());
  EXPECT_TRUE(b.header->dwFlags & kHeaderPrepared);
}

TEST_F(ContractTest, BufferFreedWhileQueuedIsReportedAndNotWritten) {
  card().SetInput(Ramp);
  WaveInHandle in = OpenIn();
  auto blocks = QueueCapture(in, 1, 10);
  FreeBlock(blocks[0]);
  EXPECT_FALSE(card().Violations().empty());
  const size_t atFree = card().Violations().size();
  audio().WaveInStart(in);
  platform.RunFor(20 * kTicksPerSample);  // would write into freed memory
  EXPECT_GT(card().Violations().size(), atFree);
}

TEST_F(ContractTest, BlockFreedBeforeItHasPlayedIsReported) {
  WaveOutHandle out = OpenOut();
  const Block b = WriteBlock(out, std::vector<int16_t>(100, 3));
  platform.Mem().HeapFree(b.samples);
  platform.RunFor(200 * kTicksPerSample);
  EXPECT_GE(card().Violations().size(), 2u);  // at the free and when it has played
}

TEST_F(ContractTest, CloseWithBuffersQueuedFailsAndHandleDiesAtClose) {
  WaveInHandle in = OpenIn();
  QueueCapture(in, 1, 10);
  EXPECT_EQ(kWaveStillPlaying, audio().WaveInClose(in));
  EXPECT_TRUE(card().InOpen());
  audio().WaveInReset(in);
  EXPECT_EQ(kMmNoError, audio().WaveInClose(in));
  EXPECT_FALSE(card().InOpen());
  EXPECT_EQ(kMmInvalidHandle, audio().WaveInStart(in));
  EXPECT_EQ(1u, card().Violations().size());
}

TEST_F(ContractTest, AHeaderSizeShortOfTheRecordIsRefused) {
  WaveInHandle in = OpenIn();
  Block b = MakeBlock(10);
  const uint32_t shortSize = kWaveHeaderSize - 1;
  EXPECT_NE(kMmNoError, audio().WaveInPrepareHeader(in, b.header, shortSize));
  EXPECT_FALSE(b.header->dwFlags & kHeaderPrepared);
  EXPECT_EQ(1u, card().Violations().size());
}

TEST_F(ContractTest, VolumeOfDeviceZeroNeedsNoOpenDevice) {
  EXPECT_EQ(kMmNoError, audio().WaveOutSetVolume(nullptr, 0x00010001));
  EXPECT_EQ(0x00010001u, card().Volume());
  WaveOutHandle out = OpenOut();
  audio().WaveOutClose(out);
  EXPECT_EQ(kMmInvalidHandle, audio().WaveOutSetVolume(out, 5));
}

TEST_F(ContractTest, SecondOpenOfADeviceIsRefused) {
  OpenOut();
  WaveOutHandle second = nullptr;
  const WaveFormat f = PcmFormat();
  EXPECT_EQ(kMmAllocated, audio().WaveOutOpen(&second, 0, &f, 0, 0, kCallbackWindow));
}

}  // namespace
}  // namespace lumrio::platform::headless::testing
