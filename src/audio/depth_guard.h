// Counts a nesting level for as long as it lives: the engine's start, stop
// and block handlers can run the message loop, and must know when one of
// them is already under way.
#pragma once

namespace lumrio::audio {

class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace lumrio::audio
