// The first load of the library raced by several threads: LoadLock lets one
// of them load and probe it, and every binding comes out complete.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"

#include "tests/support/kestrel_access.h"
#include "tests/support/module_state.h"
#include "tests/support/test_root.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;

// Runs body on kThreads threads released together.
template <typename Body> void RunTogether(Body body) {
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0)
        std::this_thread::yield();
      body(i);
    });
  for (auto &thread : threads)
    thread.join();
}

TEST(LoaderConcurrency, BindingsMadeAtOnceShareOneLoadAndOneProbe) {
  cetest::TestRoot root;
  root.Install(cetest::Provider::Minimal5);
  root.SetAsRoot();

  std::vector<std::unique_ptr<TKestrelDLL>> bindings(kThreads);
  RunTogether([&](int i) {
    bindings[static_cast<std::size_t>(i)] = std::make_unique<TKestrelDLL>(KestrelUnit());
  });

  for (const auto &binding : bindings) {
    EXPECT_TRUE(binding->FLoaded);
    EXPECT_TRUE(binding->FAllEntryPoints);
    EXPECT_EQ(TKestrelDLLTestAccess::FCryptoInit(*binding),
              TKestrelDLLTestAccess::FCryptoInit(*bindings.front()));
  }
  EXPECT_EQ(KestrelUnit().LoadedGeneration(), 5);
  EXPECT_EQ(KestrelUnit().LoadedPublicKeyFileSize(), 304);
}

TEST(LoaderConcurrency, EnginesConnectAtOnceWithoutEngineLock) {
  cetest::TestRoot root;
  root.Install(cetest::Provider::Minimal4);
  root.SetAsRoot();

  std::vector<TKestrel4Engine> engines(kThreads);
  std::vector<int32_t> results(kThreads, -1);
  RunTogether([&](int i) {
    const auto index = static_cast<std::size_t>(i);
    results[index] = engines[index].GetCryptoAPI();
  });

  for (std::size_t i = 0; i < engines.size(); ++i) {
    EXPECT_EQ(results[i], CE_OK);
    ASSERT_NE(engines[i].FKestrelDLL, nullptr);
    EXPECT_TRUE(engines[i].FKestrelDLL->FAllEntryPoints);
  }
  EXPECT_EQ(KestrelUnit().LoadedGeneration(), 4);
}

} // namespace
