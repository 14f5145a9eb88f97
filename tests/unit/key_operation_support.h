// Shared pieces of the tests of the operations on the user's own key
// (encryption, decryption, detached and attached signatures).
#pragma once

#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace keyop_test {

// The user's keys as the double's tests name them.
inline const std::string kEncodeUID = "0001000001";
inline const std::string kSignUID = "000100000101";

// Another thread can take EngineLock, and no library context is left open.
inline void ExpectEngineIdle(const TKestrel4Engine &engine) {
  bool locked = false;
  std::thread other([&] {
    locked = EngineLock().try_lock();
    if (locked)
      EngineLock().unlock();
  });
  other.join();
  EXPECT_TRUE(locked) << "EngineLock is still held";
  EXPECT_FALSE(engine.FCryptoInitialized);
  EXPECT_FALSE(engine.FSignInitialized);
}

// The host's key-device request window: every call in order, with its time.
struct TRequests {
  std::vector<int32_t> States;
  std::vector<std::chrono::steady_clock::time_point> Times;
};
inline TRequests &Requests() {
  static TRequests requests;
  return requests;
}
inline const bool kFreshRequestsPerTest =
    cetest::ResetBeforeEachTest([] { Requests() = TRequests{}; });
inline void CE_STDCALL RecordRequest(int32_t state) {
  Requests().States.push_back(state);
  Requests().Times.push_back(std::chrono::steady_clock::now());
}

// Sets a parameter, failing the test when the engine refuses it.
inline void Set(TKestrel4Engine &engine, int32_t param, const std::string &value) {
  ASSERT_EQ(engine.SetCryptoParamValue(param, value.c_str()), 0);
}

} // namespace keyop_test
