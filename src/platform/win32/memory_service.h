// Memory over the Windows global-memory and process-heap functions.
#pragma once

#include "platform/memory.h"

namespace lumrio::platform::win32 {

class WindowsMemory : public Memory {
 public:
  GlobalHandle GlobalAlloc(uint32_t flags, size_t bytes) override;
  void* GlobalLock(GlobalHandle h) override;
  bool GlobalUnlock(GlobalHandle h) override;
  GlobalHandle GlobalFree(GlobalHandle h) override;

  void* HeapAlloc(size_t bytes) override;
  void HeapFree(void* block) override;
};

}  // namespace lumrio::platform::win32
