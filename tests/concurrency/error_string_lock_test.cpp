// GetCryptoErrorString and the module-wide EngineLock: the engine's own texts
// are answered while another thread holds the lock; texts that need the
// library wait for it.
#include "engine/kestrel4_engine.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Holds EngineLock on a thread of its own until Release().
class TLockHolder {
public:
  TLockHolder()
      : FThread([this] {
          std::unique_lock lock(EngineLock());
          {
            std::lock_guard guard(FMutex);
            FHeld = true;
          }
          FChanged.notify_all();
          std::unique_lock wait(FMutex);
          FChanged.wait(wait, [this] { return FReleased; });
        }) {
    std::unique_lock wait(FMutex);
    FChanged.wait(wait, [this] { return FHeld; });
  }
  ~TLockHolder() {
    Release();
    FThread.join();
  }
  void Release() {
    {
      std::lock_guard guard(FMutex);
      FReleased = true;
    }
    FChanged.notify_all();
  }

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FHeld = false;
  bool FReleased = false;
  std::thread FThread;
};

// Runs GetCryptoErrorString on a thread of its own.
class TTextRequest {
public:
  TTextRequest(TKestrel4Engine &engine, int32_t code)
      : FBuffer(255, 'x'), FThread([this, &engine, code] {
          engine.GetCryptoErrorString(code, FBuffer.data());
          {
            std::lock_guard guard(FMutex);
            FDone = true;
          }
          FChanged.notify_all();
        }) {}
  ~TTextRequest() { FThread.join(); }
  bool WaitDone(std::chrono::milliseconds limit) {
    std::unique_lock wait(FMutex);
    return FChanged.wait_for(wait, limit, [this] { return FDone; });
  }
  std::string Text() const { return FBuffer.c_str(); }

private:
  std::string FBuffer;
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FDone = false;
  std::thread FThread;
};

TEST(ErrorStringLock, EngineTextsDoNotWaitForTheLock) {
  TKestrel4Engine engine;
  TLockHolder holder;
  TTextRequest request(engine, -112);
  const bool done = request.WaitDone(std::chrono::seconds(30));
  holder.Release();
  EXPECT_TRUE(done);
  request.WaitDone(std::chrono::hours(1));
  EXPECT_EQ(request.Text(), "Parameters index out of bounds.");
}

TEST(ErrorStringLock, LibraryTextsWaitForTheLock) {
  TKestrel4Engine engine;
  TLockHolder holder;
  TTextRequest request(engine, 7);
  EXPECT_FALSE(request.WaitDone(std::chrono::milliseconds(200)));
  holder.Release();
  EXPECT_TRUE(request.WaitDone(std::chrono::seconds(30)));
  EXPECT_FALSE(request.Text().empty());
}

} // namespace
