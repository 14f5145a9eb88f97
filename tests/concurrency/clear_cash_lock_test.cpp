// ClearCash empties the module's key cache under KeyCacheLock and only then
// waits for EngineLock: the two locks are never held together, so emptying
// the cache does not wait for a library operation in progress.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Polls until the key cache is empty, taking KeyCacheLock only when it is
// free; false when that does not happen within a generous bound.
bool CacheEmptiedWithLockFree() {
  TKestrelUnit &unit = KestrelUnit();
  const auto giveUp = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < giveUp) {
    std::unique_lock lock(unit.KeyCacheLock, std::try_to_lock);
    if (lock.owns_lock() && unit.KeyCache.empty())
      return true;
    lock = {};
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(ClearCashLocks, TheCacheIsEmptiedWhileALibraryOperationHoldsEngineLock) {
  {
    std::lock_guard lock(KestrelUnit().KeyCacheLock);
    KestrelUnit().KeyCache.emplace_back("000100000001", TKeyCacheEntry{});
    KestrelUnit().KeyCache.emplace_back("0001000000", TKeyCacheEntry{});
  }
  TKestrel4Engine engine; // finds no library: its connection attempt fails quietly
  std::atomic<bool> finished{false};

  std::unique_lock engineLock(EngineLock());
  std::thread clearing([&] {
    engine.ClearCash();
    finished = true;
  });

  // The cache empties and KeyCacheLock is free again although EngineLock is
  // held here; ClearCash itself still waits for EngineLock.
  EXPECT_TRUE(CacheEmptiedWithLockFree());
  EXPECT_FALSE(finished);

  engineLock.unlock();
  clearing.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(engine.FKestrelDLL, nullptr);
}

} // namespace
