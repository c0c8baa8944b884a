// Headless memory: counting, liveness and the checks on frees.
#include "platform/headless/memory.h"

#include <gtest/gtest.h>

#include <cstring>

namespace lumrio::platform::headless::testing {
namespace {

class MemoryTest : public ::testing::Test {
 protected:
  CallLog log;
  HeadlessMemory mem{log};
};

TEST_F(MemoryTest, GlobalBlocksAreUsableAndCounted) {
  GlobalHandle h = mem.GlobalAlloc(kGmemFixed, 2000);
  ASSERT_NE(nullptr, h);
  auto* p = static_cast<char*>(mem.GlobalLock(h));
  ASSERT_NE(nullptr, p);
  std::memset(p, 0x5A, 2000);
  EXPECT_TRUE(mem.IsLive(p + 1999));
  EXPECT_FALSE(mem.IsLive(p + 2000));
  EXPECT_EQ(1, mem.LiveGlobalBlocks());
  EXPECT_EQ(2000u, mem.LiveBytes());
  EXPECT_FALSE(mem.GlobalUnlock(h));  // no lock left
  EXPECT_EQ(nullptr, mem.GlobalFree(h));
  EXPECT_EQ(0, mem.LiveGlobalBlocks());
  EXPECT_FALSE(mem.IsLive(p));
  EXPECT_TRUE(mem.Violations().empty());
}

TEST_F(MemoryTest, HeapBlocksAreCountedApartFromGlobalOnes) {
  void* a = mem.HeapAlloc(32);
  void* b = mem.HeapAlloc(64);
  GlobalHandle g = mem.GlobalAlloc(kGmemFixed, 8);
  EXPECT_EQ(2, mem.LiveHeapBlocks());
  EXPECT_EQ(1, mem.LiveGlobalBlocks());
  EXPECT_EQ(104u, mem.LiveBytes());
  mem.HeapFree(a);
  mem.HeapFree(nullptr);  // ignored
  EXPECT_EQ(1, mem.LiveHeapBlocks());
  mem.HeapFree(b);
  mem.GlobalFree(g);
  EXPECT_EQ(0u, mem.LiveBytes());
  EXPECT_TRUE(mem.Violations().empty());
}

TEST_F(MemoryTest, DoubleAndUnknownFreesAreViolations) {
  void* a = mem.HeapAlloc(16);
  mem.HeapFree(a);
  mem.HeapFree(a);
  int local = 0;
  mem.HeapFree(&local);
  GlobalHandle g = mem.GlobalAlloc(kGmemFixed, 16);
  EXPECT_EQ(nullptr, mem.GlobalFree(g));
  EXPECT_EQ(g, mem.GlobalFree(g));  // fails, as Windows does: the handle comes back
  ASSERT_EQ(3u, mem.Violations().size());
  EXPECT_NE(std::string::npos, mem.Violations()[0].find("twice"));
  EXPECT_NE(std::string::npos, mem.Violations()[1].find("unknown"));
}

TEST_F(MemoryTest, AHeapBlockIsNotAGlobalOne) {
  void* a = mem.HeapAlloc(16);
  EXPECT_EQ(nullptr, mem.GlobalLock(reinterpret_cast<GlobalHandle>(a)));
  EXPECT_EQ(1u, mem.Violations().size());
  mem.HeapFree(a);
}

TEST_F(MemoryTest, InjectedFailuresAllocateNothingAndFreesNeverFail) {
  log.Inject({.name = "HeapAlloc", .result = 0});
  log.Inject({.name = "GlobalLock", .result = 0});
  log.Inject({.name = "HeapFree", .result = 1, .count = -1});
  EXPECT_EQ(nullptr, mem.HeapAlloc(16));
  EXPECT_EQ(0, mem.LiveHeapBlocks());
  GlobalHandle g = mem.GlobalAlloc(kGmemFixed, 16);
  EXPECT_EQ(nullptr, mem.GlobalLock(g));
  void* b = mem.HeapAlloc(16);
  mem.HeapFree(b);
  EXPECT_EQ(0, mem.LiveHeapBlocks());
  mem.GlobalFree(g);
}

TEST_F(MemoryTest, EveryCallIsLoggedWithItsResult) {
  GlobalHandle g = mem.GlobalAlloc(kGmemFixed, 100);
  void* p = mem.GlobalLock(g);
  const auto allocs = log.CallsNamed("GlobalAlloc");
  ASSERT_EQ(1u, allocs.size());
  EXPECT_EQ((std::vector<uintptr_t>{kGmemFixed, 100}), allocs[0].args);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(g), allocs[0].result);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p), log.CallsNamed("GlobalLock")[0].result);
  mem.GlobalUnlock(g);
  mem.GlobalFree(g);
  EXPECT_EQ(4u, log.Calls().size());
}

TEST_F(MemoryTest, FreeObserverSeesEveryBlockBeforeItGoes) {
  std::vector<std::pair<const void*, size_t>> seen;
  mem.SetFreeObserver([&](const void* p, size_t n) { seen.emplace_back(p, n); });
  void* a = mem.HeapAlloc(24);
  mem.HeapFree(a);
  mem.HeapFree(a);  // a double free frees nothing
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(a, seen[0].first);
  EXPECT_EQ(24u, seen[0].second);
}

}  // namespace
}  // namespace lumrio::platform::headless::testing
