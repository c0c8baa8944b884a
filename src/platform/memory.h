// Memory service: fixed global memory for the capture ring (it stays locked
// while the device owns it) and the general heap for playback blocks. Behind
// the platform so that tests can count every allocation and make any fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumrio::platform {

struct GlobalBlock;
using GlobalHandle = GlobalBlock*;  // null: allocation failed / no block

inline constexpr uint32_t kGmemFixed = 0x0000;

class Memory {
 public:
  virtual ~Memory() = default;

  virtual GlobalHandle GlobalAlloc(uint32_t flags, size_t bytes) = 0;  // null on failure
  virtual void* GlobalLock(GlobalHandle h) = 0;                        // null on failure
  virtual bool GlobalUnlock(GlobalHandle h) = 0;
  virtual GlobalHandle GlobalFree(GlobalHandle h) = 0;  // null on success, as on Windows

  virtual void* HeapAlloc(size_t bytes) = 0;  // null on failure
  virtual void HeapFree(void* block) = 0;     // null is ignored
};

}  // namespace lumrio::platform
