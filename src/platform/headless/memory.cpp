// Headless memory: real allocations, so that the program can use them, with
// every block counted and every free checked. A fixed global block's handle
// is its address, as with GMEM_FIXED on Windows.
#include "platform/headless/memory.h"

#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace lumrio::platform::headless {

namespace {

std::string Hex(const void* p) {
  std::ostringstream s;
  s << p;
  return s.str();
}

}  // namespace

struct HeadlessMemory::State {
  explicit State(CallLog& l) : log(l) {}

  struct Block {
    std::unique_ptr<std::byte[]> data;
    size_t bytes = 0;
    bool global = false;
    int locks = 0;
  };

  CallLog& log;
  std::map<uintptr_t, Block> blocks;  // by address
  std::set<uintptr_t> freed;          // addresses freed and not handed out again
  std::vector<std::string> violations;
  std::function<void(const void*, size_t)> freeObserver;

  uintptr_t Allocate(size_t bytes, bool global) {
    Block b{std::make_unique<std::byte[]>(std::max<size_t>(bytes, 1)), bytes, global, 0};
    const auto address = reinterpret_cast<uintptr_t>(b.data.get());
    blocks.emplace(address, std::move(b));
    freed.erase(address);
    return address;
  }

  // False (with a violation) for a double free or an address never handed out.
  bool Release(uintptr_t address, bool global, const char* what) {
    const auto it = blocks.find(address);
    if (it == blocks.end() || it->second.global != global) {
      const void* p = reinterpret_cast<const void*>(address);
      violations.push_back(std::string(what) +
                           (freed.contains(address) ? " twice: " : " of unknown block: ") + Hex(p));
      return false;
    }
    if (freeObserver) freeObserver(it->second.data.get(), it->second.bytes);
    blocks.erase(it);
    freed.insert(address);
    return true;
  }

  Block* FindGlobal(GlobalHandle h) {
    const auto it = blocks.find(reinterpret_cast<uintptr_t>(h));
    return it != blocks.end() && it->second.global ? &it->second : nullptr;
  }

  int Count(bool global) const {
    int n = 0;
    for (const auto& [address, block] : blocks) n += block.global == global ? 1 : 0;
    return n;
  }
};

HeadlessMemory::HeadlessMemory(CallLog& log) : s_(std::make_unique<State>(log)) {}

// Leftover blocks are freed with the owner (the unique_ptrs), so that a test
// that forgot them is reported by its own checks, not by the leak checker.
HeadlessMemory::~HeadlessMemory() = default;

GlobalHandle HeadlessMemory::GlobalAlloc(uint32_t flags, size_t bytes) {
  Call call{"GlobalAlloc", {flags, bytes}, {}};
  if (s_->log.Enter(call)) return nullptr;
  const uintptr_t address = s_->Allocate(bytes, true);
  s_->log.SetResult(call, address);
  return reinterpret_cast<GlobalHandle>(address);
}

void* HeadlessMemory::GlobalLock(GlobalHandle h) {
  Call call{"GlobalLock", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (s_->log.Enter(call)) return nullptr;
  State::Block* block = s_->FindGlobal(h);
  if (!block) {
    s_->violations.push_back("GlobalLock of unknown block: " + Hex(h));
    return nullptr;
  }
  ++block->locks;
  s_->log.SetResult(call, reinterpret_cast<uintptr_t>(block->data.get()));
  return block->data.get();
}

// As on Windows: true while the block stays locked after this unlock.
bool HeadlessMemory::GlobalUnlock(GlobalHandle h) {
  Call call{"GlobalUnlock", {reinterpret_cast<uintptr_t>(h)}, {}};
  if (s_->log.Enter(call)) return false;
  State::Block* block = s_->FindGlobal(h);
  if (!block) {
    s_->violations.push_back("GlobalUnlock of unknown block: " + Hex(h));
    return false;
  }
  if (block->locks > 0) --block->locks;
  const bool stillLocked = block->locks > 0;
  s_->log.SetResult(call, stillLocked ? 1 : 0);
  return stillLocked;
}

GlobalHandle HeadlessMemory::GlobalFree(GlobalHandle h) {
  Call call{"GlobalFree", {reinterpret_cast<uintptr_t>(h)}, {}};
  s_->log.Enter(call);
  if (!s_->Release(reinterpret_cast<uintptr_t>(h), true, "GlobalFree")) {
    s_->log.SetResult(call, reinterpret_cast<uintptr_t>(h));
    return h;
  }
  return nullptr;
}

void* HeadlessMemory::HeapAlloc(size_t bytes) {
  Call call{"HeapAlloc", {bytes}, {}};
  if (s_->log.Enter(call)) return nullptr;
  const uintptr_t address = s_->Allocate(bytes, false);
  s_->log.SetResult(call, address);
  return reinterpret_cast<void*>(address);
}

void HeadlessMemory::HeapFree(void* block) {
  Call call{"HeapFree", {reinterpret_cast<uintptr_t>(block)}, {}};
  s_->log.Enter(call);
  if (!block) return;
  const bool ok = s_->Release(reinterpret_cast<uintptr_t>(block), false, "HeapFree");
  s_->log.SetResult(call, ok ? 1 : 0);
}

int HeadlessMemory::LiveGlobalBlocks() const {
  return s_->Count(true);
}
int HeadlessMemory::LiveHeapBlocks() const {
  return s_->Count(false);
}

size_t HeadlessMemory::LiveBytes() const {
  size_t total = 0;
  for (const auto& [address, block] : s_->blocks) total += block.bytes;
  return total;
}

bool HeadlessMemory::IsLive(const void* p) const {
  const auto address = reinterpret_cast<uintptr_t>(p);
  auto it = s_->blocks.upper_bound(address);
  if (it == s_->blocks.begin()) return false;
  --it;
  return address < it->first + std::max<size_t>(it->second.bytes, 1);
}

const std::vector<std::string>& HeadlessMemory::Violations() const {
  return s_->violations;
}

void HeadlessMemory::SetFreeObserver(std::function<void(const void*, size_t)> observer) {
  s_->freeObserver = std::move(observer);
}

}  // namespace lumrio::platform::headless
