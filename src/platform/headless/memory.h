// The headless memory service: real allocations with every block counted and
// every free checked.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/headless/calllog.h"
#include "platform/platform.h"

namespace lumrio::platform::headless {

// Counts every block; checks frees and locks.
class HeadlessMemory : public Memory {
 public:
  explicit HeadlessMemory(CallLog& log);
  ~HeadlessMemory() override;
  GlobalHandle GlobalAlloc(uint32_t flags, size_t bytes) override;
  void* GlobalLock(GlobalHandle h) override;
  bool GlobalUnlock(GlobalHandle h) override;
  GlobalHandle GlobalFree(GlobalHandle h) override;
  void* HeapAlloc(size_t bytes) override;
  void HeapFree(void* block) override;

  int LiveGlobalBlocks() const;
  int LiveHeapBlocks() const;
  size_t LiveBytes() const;
  // True while `p` lies inside a live global or heap block.
  bool IsLive(const void* p) const;
  const std::vector<std::string>& Violations() const;  // double frees, unknown pointers
  // Told of every block about to be freed, so that a device can notice its
  // buffers being freed under it.
  void SetFreeObserver(std::function<void(const void* begin, size_t bytes)> observer);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace lumrio::platform::headless
