// Joins the blocks the engine plays into one stream. A block played whole
// after the one before it is passed on as it is. Where the delay rule leaves
// out the oldest part of the sound, or plays a short stretch twice, the two
// sides of the join are crossfaded over a few milliseconds, so the join is
// not heard as a click.
#pragma once

#include <array>
#include <cstdint>

namespace lumrio::audio {

class Splicer {
 public:
  // Samples kept of what was played last, for a stretch to replay.
  static constexpr int32_t kHistory = 4096;
  // Length of a crossfade (5.8 ms).
  static constexpr int32_t kFade = 128;
  // The longest stretch that can be played twice.
  static constexpr int32_t kMaxStretch = kHistory - kFade;

  // A new run: nothing has been played yet.
  void Reset();

  // Where a block of `count` samples goes in a buffer that is to hold `play`
  // samples of it: further in by the length of a stretch.
  static int32_t BlockOffset(int32_t count, int32_t play);

  // `buffer` holds a block of `count` samples at BlockOffset, with room for
  // max(count, play) samples. Rewrites it in place as the samples to play,
  // from buffer[0], and returns how many there are: all of the block, its
  // newest `play` samples, or the block with the `play - count` samples
  // played before it played again (fewer than asked if so much has not been
  // played yet). 0 leaves the block out.
  int32_t Compose(int16_t* buffer, int32_t count, int32_t play);

 private:
  void Remember(const int16_t* samples, int32_t count);
  void KeepFollowing(const int16_t* block, int32_t count);
  int32_t Cut(int16_t* buffer, int32_t count, int32_t play);
  int32_t Stretch(int16_t* buffer, int32_t count, int32_t stretch);

  // The newest samples played, oldest first.
  std::array<int16_t, kHistory> history_{};
  int32_t historyLength_ = 0;
  // When whole blocks were left out, the sound that followed the last one
  // played: the next join fades out of it.
  std::array<int16_t, kFade> following_{};
  int32_t followingLength_ = 0;
  bool joinPending_ = false;
};

// out[i] = a[i] fading out, b[i] fading in, over `length` samples. `out` may
// be `b`.
void Crossfade(const int16_t* a, const int16_t* b, int32_t length, int16_t* out);

}  // namespace lumrio::audio
