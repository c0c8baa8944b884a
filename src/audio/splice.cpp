// Crossfaded joins that shorten or lengthen a block of sound.
#include "audio/splice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace lumrio::audio {

namespace {

constexpr int32_t kCrossfadeSamples = 44;  // 2 ms at 22050 per second

// Sample i of a crossfade of `fade` samples from `from` into `to`: `from`
// weighs fully at the first sample and `to` at the last.
int16_t Blend(int16_t from, int16_t to, int32_t i, int32_t fade) {
  const double w = fade > 1 ? static_cast<double>(i) / static_cast<double>(fade - 1) : 1.0;
  const double v = static_cast<double>(from) * (1.0 - w) + static_cast<double>(to) * w;
  return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

}  // namespace

int32_t CrossfadeLength(int32_t blockLength) {
  return std::max(1, std::min(kCrossfadeSamples, blockLength / 4));
}

int32_t MaxSpliceLength(int32_t blockLength) {
  return std::max(0, blockLength - CrossfadeLength(blockLength));
}

int32_t CutFront(int16_t* block, int32_t length, int32_t count) {
  count = std::clamp(count, 0, length);
  if (count == 0) return length;
  const int32_t fade = CrossfadeLength(length);
  if (count + fade > length) {
    std::memmove(block, block + count, sizeof(int16_t) * static_cast<size_t>(length - count));
    return length - count;
  }
  for (int32_t i = 0; i < fade; ++i) block[i] = Blend(block[i], block[count + i], i, fade);
  std::memmove(block + fade, block + count + fade,
               sizeof(int16_t) * static_cast<size_t>(length - count - fade));
  return length - count;
}

int32_t Lengthen(int16_t* block, int32_t length, int32_t count) {
  count = std::clamp(count, 0, MaxSpliceLength(length));
  if (count == 0) return length;
  const int32_t fade = CrossfadeLength(length);
  // The block becomes x[0 .. count) · fade(x[count ..] into x[0 ..]) · x[fade ..).
  std::vector<int16_t> head(block, block + count + fade);
  std::memmove(block + count + fade, block + fade,
               sizeof(int16_t) * static_cast<size_t>(length - fade));
  for (int32_t i = 0; i < fade; ++i) block[count + i] = Blend(head[count + i], head[i], i, fade);
  return length + count;
}

}  // namespace lumrio::audio
