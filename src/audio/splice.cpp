// Joining played blocks without clicks.
#include "audio/splice.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lumrio::audio {

namespace {

void Copy(int16_t* to, const int16_t* from, int32_t count) {
  std::memmove(to, from, static_cast<size_t>(std::max<int32_t>(count, 0)) * sizeof(int16_t));
}

}  // namespace

void Crossfade(const int16_t* a, const int16_t* b, int32_t length, int16_t* out) {
  for (int32_t i = 0; i < length; ++i) {
    // The weights run from just inside 1 to just inside 0, so neither end
    // repeats a sample of the other side.
    const double in = (i + 0.5) / length;
    out[i] = static_cast<int16_t>(std::lround(a[i] * (1.0 - in) + b[i] * in));
  }
}

void Splicer::Reset() {
  historyLength_ = 0;
  followingLength_ = 0;
  joinPending_ = false;
}

int32_t Splicer::BlockOffset(int32_t count, int32_t play) {
  return std::max<int32_t>(play - count, 0);
}

int32_t Splicer::Compose(int16_t* buffer, int32_t count, int32_t play) {
  if (play <= 0) {
    KeepFollowing(buffer, count);
    return 0;
  }
  if (play > count) return Stretch(buffer, count, play - count);
  if (play == count && !joinPending_) {
    Remember(buffer, count);
    return count;
  }
  return Cut(buffer, count, play);
}

void Splicer::Remember(const int16_t* samples, int32_t count) {
  const int32_t keep = std::min(count, kHistory);
  const int32_t shift = std::min(historyLength_, kHistory - keep);
  Copy(history_.data(), history_.data() + historyLength_ - shift, shift);
  Copy(history_.data() + shift, samples + count - keep, keep);
  historyLength_ = shift + keep;
}

// A block left out entirely: if it is the first since something was played,
// its start is what followed that, and the next join fades out of it.
void Splicer::KeepFollowing(const int16_t* block, int32_t count) {
  if (joinPending_ || historyLength_ == 0) return;
  followingLength_ = std::min(count, kFade);
  Copy(following_.data(), block, followingLength_);
  joinPending_ = true;
}

// Plays the newest `play` samples of the block. The sound that would have
// followed the last one played (the start of this block, or of the first
// block left out) fades into them. Nothing is faded at the start of a run.
int32_t Splicer::Cut(int16_t* buffer, int32_t count, int32_t play) {
  std::array<int16_t, kFade> start{};
  const int16_t* following = following_.data();
  int32_t available = followingLength_;
  if (!joinPending_) {
    available = std::min(count, kFade);
    Copy(start.data(), buffer, available);
    following = start.data();
  }
  Copy(buffer, buffer + (count - play), play);
  const int32_t fade = historyLength_ == 0 ? 0 : std::min({kFade, play, available});
  Crossfade(following, buffer, fade, buffer);
  joinPending_ = false;
  Remember(buffer, play);
  return play;
}

// Plays the block with the `stretch` samples before it played again: the
// stream jumps back by `stretch`, fading from the block's start into the
// replayed sound, and goes on from there through the whole block.
int32_t Splicer::Stretch(int16_t* buffer, int32_t count, int32_t stretch) {
  if (historyLength_ == 0) {
    // Nothing has been played: what goes before the block is silence.
    std::fill(buffer, buffer + stretch, int16_t{0});
    Remember(buffer, count + stretch);
    return count + stretch;
  }
  int16_t* block = buffer + stretch;
  const int32_t fade = std::min({kFade, count, historyLength_});
  const int32_t allowed =
      joinPending_ ? 0 : std::clamp(std::min(stretch, historyLength_ - fade), 0, kMaxStretch);
  if (allowed < stretch) {
    Copy(buffer + allowed, block, count);
    block = buffer + allowed;
    stretch = allowed;
  }
  if (stretch == 0) return Compose(buffer, count, count);
  std::array<int16_t, kFade> start{};
  Copy(start.data(), block, fade);
  // Sample k of the result is sample k - stretch of the stream that the
  // history and the block make: the history for k < stretch, the block (in
  // place already) from there on.
  const int16_t* replayed = history_.data() + historyLength_ - stretch;
  for (int32_t k = 0; k < stretch; ++k) buffer[k] = replayed[k];
  Crossfade(start.data(), buffer, fade, buffer);
  Remember(buffer, count + stretch);
  return count + stretch;
}

}  // namespace lumrio::audio
