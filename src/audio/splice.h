// Joins that shorten or lengthen a block of sound without a click.
//
// The delay is corrected by taking a few milliseconds out of the sound, or
// by playing a few again. Done abruptly, either leaves a step in the
// waveform that is heard as a click; here the two sides of the join are
// crossfaded over a short stretch instead. Both joins keep the block's first
// sample (it follows on from the block written before) and its last (the
// next block follows on from it).
#pragma once

#include <cstdint>

namespace lumrio::audio {

// The length of the crossfade at a join in a block of `blockLength`
// samples: 2 ms, or a quarter of a short block.
int32_t CrossfadeLength(int32_t blockLength);

// The most a join can take out of, or add to, a block of `blockLength`
// samples with a full crossfade.
int32_t MaxSpliceLength(int32_t blockLength);

// Takes `count` samples out of the block, in place, right after its start:
// the block's first samples fade into those `count` further on. A cut too
// long to crossfade drops the first `count` samples outright. Answers the
// new length.
int32_t CutFront(int16_t* block, int32_t length, int32_t count);

// Plays `count` samples of the block twice, in place (the buffer must hold
// length + count samples): after its first `count + crossfade` samples it
// fades back to its start and plays on from there. Answers the new length.
// `count` must not exceed MaxSpliceLength(length).
int32_t Lengthen(int16_t* block, int32_t length, int32_t count);

}  // namespace lumrio::audio
