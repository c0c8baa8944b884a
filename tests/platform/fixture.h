// Shared set-up for the headless platform's tests: a platform with a form to
// receive device messages, and helpers to make buffers the way the program
// does (from the platform's own memory).
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/headless/platform.h"

namespace lumrio::platform::headless::testing {

inline WaveFormat PcmFormat() {
  WaveFormat f;
  f.wFormatTag = 1;
  f.nChannels = 1;
  f.nSamplesPerSec = 22050;
  f.wBitsPerSample = 16;
  f.nBlockAlign = 2;
  f.nAvgBytesPerSec = 44100;
  f.cbSize = 0;
  return f;
}

// A header and its sample buffer on the platform's heap.
struct Block {
  WaveHeader* header = nullptr;
  int16_t* samples = nullptr;
};

class PlatformTest : public ::testing::Test {
 protected:
  PlatformTest() {
    form = platform.Gui().CreateForm(FormDesc{});
    form->onWaveInData = [this](WaveHeader* h) { inMessages.push_back({h, platform.Now()}); };
    form->onWaveOutDone = [this](WaveHeader* h) { outMessages.push_back({h, platform.Now()}); };
  }

  Block MakeBlock(int samples, uintptr_t user = 0) {
    Block b;
    b.header = static_cast<WaveHeader*>(platform.Mem().HeapAlloc(sizeof(WaveHeader)));
    b.samples = static_cast<int16_t*>(
        platform.Mem().HeapAlloc(sizeof(int16_t) * static_cast<size_t>(samples)));
    *b.header = WaveHeader{};
    b.header->lpData = reinterpret_cast<char*>(b.samples);
    b.header->dwBufferLength = static_cast<uint32_t>(samples * 2);
    b.header->dwUser = user;
    return b;
  }
  void FreeBlock(const Block& b) {
    platform.Mem().HeapFree(b.samples);
    platform.Mem().HeapFree(b.header);
  }

  WaveInHandle OpenIn() {
    WaveInHandle h = nullptr;
    const WaveFormat f = PcmFormat();
    EXPECT_EQ(kMmNoError, audio().WaveInOpen(&h, 0, &f, reinterpret_cast<uintptr_t>(form->Handle()),
                                             0, kCallbackWindow));
    return h;
  }
  WaveOutHandle OpenOut() {
    WaveOutHandle h = nullptr;
    const WaveFormat f = PcmFormat();
    EXPECT_EQ(kMmNoError,
              audio().WaveOutOpen(&h, 0, &f, reinterpret_cast<uintptr_t>(form->Handle()), 0,
                                  kCallbackWindow));
    return h;
  }
  // Prepares and queues `count` capture buffers of `samples` samples each.
  std::vector<Block> QueueCapture(WaveInHandle h, int count, int samples) {
    std::vector<Block> blocks;
    for (int i = 0; i < count; ++i) {
      Block b = MakeBlock(samples, static_cast<uintptr_t>(i));
      EXPECT_EQ(kMmNoError, audio().WaveInPrepareHeader(h, b.header, kWaveHeaderSize));
      EXPECT_EQ(kMmNoError, audio().WaveInAddBuffer(h, b.header, kWaveHeaderSize));
      blocks.push_back(b);
    }
    return blocks;
  }
  Block WriteBlock(WaveOutHandle h, const std::vector<int16_t>& samples) {
    Block b = MakeBlock(static_cast<int>(samples.size()));
    std::copy(samples.begin(), samples.end(), b.samples);
    EXPECT_EQ(kMmNoError, audio().WaveOutPrepareHeader(h, b.header, kWaveHeaderSize));
    EXPECT_EQ(kMmNoError, audio().WaveOutWrite(h, b.header, kWaveHeaderSize));
    return b;
  }

  WaveAudio& audio() { return platform.Get().audio; }
  SoundCard& card() { return platform.Sound(); }

  struct Received {
    WaveHeader* header;
    Ticks time;
  };

  HeadlessPlatform platform;
  std::unique_ptr<Form> form;
  std::vector<Received> inMessages;
  std::vector<Received> outMessages;
};

}  // namespace lumrio::platform::headless::testing
