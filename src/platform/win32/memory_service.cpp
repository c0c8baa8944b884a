// Memory over the Windows global-memory and process-heap functions.
#include "platform/win32/memory_service.h"

#include "platform/win32/win.h"

namespace lumrio::platform::win32 {
namespace {

static_assert(kGmemFixed == GMEM_FIXED);

HGLOBAL Native(GlobalHandle h) {
  return reinterpret_cast<HGLOBAL>(h);
}
GlobalHandle Portable(HGLOBAL h) {
  return reinterpret_cast<GlobalHandle>(h);
}

}  // namespace

GlobalHandle WindowsMemory::GlobalAlloc(uint32_t flags, size_t bytes) {
  return Portable(::GlobalAlloc(flags, bytes));
}

void* WindowsMemory::GlobalLock(GlobalHandle h) {
  return ::GlobalLock(Native(h));
}

// As on Windows: true while the block is still locked.
bool WindowsMemory::GlobalUnlock(GlobalHandle h) {
  return ::GlobalUnlock(Native(h)) != FALSE;
}

GlobalHandle WindowsMemory::GlobalFree(GlobalHandle h) {
  return Portable(::GlobalFree(Native(h)));
}

void* WindowsMemory::HeapAlloc(size_t bytes) {
  return ::HeapAlloc(::GetProcessHeap(), 0, bytes);
}

void WindowsMemory::HeapFree(void* block) {
  if (block) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace lumrio::platform::win32
