// What the delay rule says about one captured block, and why.
#pragma once

#include <cstdint>

namespace lumrio::audio {

enum class PlanReason {
  kOnTime,    // played whole: nothing to put right
  kAtStart,   // dropped: older than the start's cushion, in the first burst
  kStale,     // dropped: it arrived too late to be played
  kFault,     // a backlog a stall or a slow stream left, cut at once
  kRecovery,  // the level a disturbance left, put right once it held steady
  kDrift,     // a step against clocks that disagree, crossfaded
};

struct BlockPlan {
  bool play = true;            // false: the block is dropped whole
  bool resetPlayback = false;  // what the playback device holds is dropped first
  int32_t cut = 0;             // samples taken out right after its start
  int32_t added = 0;           // samples played twice (a lengthened block)
  PlanReason reason = PlanReason::kOnTime;
};

}  // namespace lumrio::audio
