// Encryption, decryption and signatures of several engines on several
// threads: EngineLock lets one library call run at a time, every operation
// succeeds, and nothing stays locked or open afterwards.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "kestrel/key_identifiers.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRounds = 4;

void Configure(TKestrel4Engine &engine) {
  ASSERT_EQ(engine.SetCryptoParamValue(kParamEncodeUID, "0001000001"), 0);
  ASSERT_EQ(engine.SetCryptoParamValue(kParamSignUID, "000100000101"), 0);
}

TEST(KeyOperationsConcurrency, OperationsOfSeveralEnginesNeverOverlapInTheLibrary) {
  cetest::DoubleRoot root;
  root.Double().SetCallDelay(5); // widens the window in which calls could overlap
  root.Double().SetStatuses("CheckMemSeparate", {{"000100000101", 0}});
  root.Double().SetStatuses("check_mem_sign", {{"000100000101", 0}});
  root.Double().SetOutput("GetMemSenderID", "0002000001");
  root.Double().SetOutput("SignMemSeparateEx", "SIGNATURE");

  std::vector<TKestrel4Engine> engines(4);
  for (auto &engine : engines)
    Configure(engine);
  std::atomic<int> failures{0};
  const auto check = [&](int32_t result) {
    if (result != 0)
      ++failures;
  };

  const std::vector<std::function<void(TKestrel4Engine &)>> work = {
      [&](TKestrel4Engine &engine) {
        std::vector<char> data(64 + kestrel::EncryptedBlockOverhead(2), 'd');
        int32_t size = 64;
        check(engine.EncodeData(data.data(), &size, "0002;0003"));
      },
      [&](TKestrel4Engine &engine) {
        std::vector<char> data(200, 'e');
        int32_t size = 200;
        char sender[255];
        check(engine.DecodeData(data.data(), &size, sender));
      },
      [&](TKestrel4Engine &engine) {
        const std::string data = "data";
        char signature[255];
        int32_t length = 0;
        char signer[255];
        check(engine.SignData(data.data(), 4, signature, &length, nullptr));
        check(engine.VerifyData(data.data(), 4, signature, length, signer));
      },
      [&](TKestrel4Engine &engine) {
        std::vector<char> block(10 + 353, 'b');
        int32_t length = 10;
        char signer[255];
        check(engine.AddSign(block.data(), &length, nullptr));
        check(engine.RemoveSignature(block.data(), &length, signer));
      },
  };

  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < engines.size(); ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round)
        work[i](engines[i]);
    });
  for (auto &thread : threads)
    thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(root.Double().MaxConcurrentCalls(), 1);
  EXPECT_EQ(root.Double().CallsOf("EnCryptMem").size(), static_cast<std::size_t>(kRounds));
  EXPECT_EQ(root.Double().CallsOf("Del_Mem_Sign").size(), static_cast<std::size_t>(kRounds));
  EXPECT_EQ(root.Double().OutstandingAllocations(), 0);
  EXPECT_TRUE(EngineLock().try_lock());
  EngineLock().unlock();
  for (const auto &engine : engines) {
    EXPECT_FALSE(engine.FCryptoInitialized);
    EXPECT_FALSE(engine.FSignInitialized);
  }
}

} // namespace
