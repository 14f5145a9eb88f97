// Concurrency stress with the project's provider: threads on shared engines
// and on engines of their own encrypt, decrypt, sign, verify, add and remove
// signatures, include and remove public keys, empty the key cache and read
// result texts, all at once. Every result is checked exactly; a watchdog
// fails the test instead of letting a deadlock hang it.
#include "tests/stress/stress_support.h"

#include "engine/kestrel4_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using cestress::Pattern;
using cestress::TEngine;
using cestress::TKeyUser;

// Generous (the sanitizer and wine64 runs are several times slower) but
// below the test's own time-out, so a deadlock is reported as such.
constexpr std::chrono::seconds kWatchdogLimit{120};
constexpr int32_t kBlockDamaged = 4;      // the provider: MAC mismatch
constexpr int32_t kBlockNotForKey = 129;  // the provider: no loaded key can open it
constexpr int32_t kNoPublicKey = 117;     // the provider: key absent from the directory
constexpr int32_t kSignatureWrong = 1001; // a signature that does not check out

// Result texts a thread reads while the others work: library codes, engine
// codes and a signature verdict.
const std::vector<int32_t> kTextCodes = {0, 4, 6, 117, 131, -2, -11, -102, -113, 1001, 1002};

class EngineStressTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!cestress::ProviderWithKeyToolAvailable())
      GTEST_SKIP() << "the provider or its key tool is not built";
    Root.Install(cetest::Provider::Kestrel4);
    Root.SetAsRoot();
    ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, "0001", A));
    ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, "0002", B));
    for (int i = 0; i < 3; ++i)
      ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, "001" + std::to_string(i + 1), K[i]));
    for (auto [engine, user] : {std::pair{&EA, &A}, {&EB, &B}}) {
      ASSERT_NO_FATAL_FAILURE(engine->Configure(*user));
      // Removing keys needs the owner's key in slot 0.
      ASSERT_NO_FATAL_FAILURE(engine->Set(kParamUse0SlotForVerify, "Yes"));
      ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(*engine, A));
      ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(*engine, B));
    }
    for (int32_t code : kTextCodes)
      Texts[code] = cestress::ErrorText(EA.Handle(), code);
  }

  // An engine of the user beside the shared ones.
  static std::unique_ptr<TEngine> OwnEngine(const TKeyUser &user) {
    auto engine = std::make_unique<TEngine>();
    engine->Configure(user);
    return engine;
  }

  // One operation of a crypto thread, chosen by the thread's generator, on
  // the engines of A (a) and B (b). Every result is checked.
  void CryptoOperation(std::mt19937 &random, CE_HANDLE a, CE_HANDLE b) {
    const auto size = std::uniform_int_distribution<std::size_t>(1, 400)(random);
    const std::string data = Pattern(size, static_cast<uint32_t>(random()));
    const auto n = static_cast<int32_t>(size);
    switch (std::uniform_int_distribution<int>(0, 4)(random)) {
    case 0: { // A encrypts for B; B decrypts, A cannot
      std::string buffer = data + std::string(85, '\0');
      int32_t length = n;
      ASSERT_EQ(EncodeData(a, buffer.data(), &length, "0002"), 0);
      ASSERT_EQ(length, n + 85);
      const std::string block = buffer;
      int32_t wrongLength = length;
      char sender[256] = {};
      EXPECT_EQ(DecodeData(a, buffer.data(), &wrongLength, sender), kBlockNotForKey);
      EXPECT_EQ(wrongLength, length);
      EXPECT_EQ(buffer, block);
      ASSERT_EQ(DecodeData(b, buffer.data(), &length, sender), 0);
      EXPECT_EQ(length, n);
      EXPECT_EQ(buffer.substr(0, size), data);
      EXPECT_EQ(std::string(sender), A.EncodeUID);
      break;
    }
    case 1: { // B signs; A verifies the data and refuses changed data
      std::string signature(static_cast<std::size_t>(GetMaxSignatureLength(b)), '\0');
      int32_t signatureLength = 0;
      ASSERT_EQ(SignData(b, data.data(), n, signature.data(), &signatureLength, nullptr), 0);
      ASSERT_GT(signatureLength, 0);
      char signer[256] = {};
      EXPECT_EQ(VerifyData(a, data.data(), n, signature.data(), signatureLength, signer), 0);
      EXPECT_EQ(std::string(signer), B.SignUID);
      std::string changed = data;
      changed[size / 2] = static_cast<char>(changed[size / 2] ^ 0x10);
      EXPECT_EQ(VerifyData(a, changed.data(), n, signature.data(), signatureLength, signer),
                kSignatureWrong);
      break;
    }
    case 2: { // A signs in place; B takes the signature off again
      std::string buffer = data + std::string(static_cast<std::size_t>(GetMaxSignAddition(a)), '#');
      int32_t length = n;
      ASSERT_EQ(AddSign(a, buffer.data(), &length, nullptr), 0);
      ASSERT_GT(length, n);
      char signer[256] = {};
      ASSERT_EQ(RemoveSign(b, buffer.data(), &length, signer), 0);
      EXPECT_EQ(length, n);
      EXPECT_EQ(buffer.substr(0, size), data);
      EXPECT_EQ(std::string(signer), A.SignUID);
      break;
    }
    case 3: { // a damaged block stays as it was
      std::string buffer = data + std::string(85, '\0');
      int32_t length = n;
      ASSERT_EQ(EncodeData(a, buffer.data(), &length, "0002"), 0);
      const std::size_t at =
          std::uniform_int_distribution<std::size_t>(37 + 48, buffer.size() - 1)(random);
      buffer[at] = static_cast<char>(buffer[at] ^ 0x01);
      const std::string damaged = buffer;
      char sender[256] = {};
      EXPECT_EQ(DecodeData(b, buffer.data(), &length, sender), kBlockDamaged);
      EXPECT_EQ(length, n + 85);
      EXPECT_EQ(buffer, damaged);
      break;
    }
    default: { // texts while others work, and the key cache emptied under them
      for (int32_t code : kTextCodes)
        EXPECT_EQ(cestress::ErrorText(random() % 2 ? a : b, code), Texts[code]) << code;
      ClearCash(random() % 2 ? a : b);
      break;
    }
    }
  }

  // Includes and removes the key of `key` in the directory of the engine's
  // user, knowing at every step whether it is there; it ends included.
  void ChurnOperation(std::mt19937 &random, CE_HANDLE engine, const TKeyUser &key, bool &present) {
    if (std::uniform_int_distribution<int>(0, 1)(random) == 0) {
      EXPECT_EQ(IncludePublicEncodeKey(engine, key.EncodePublicFile().c_str()), 0);
      present = true;
    } else {
      EXPECT_EQ(RemoveCertificate(engine, key.EncodeUID.c_str()), present ? 0 : kNoPublicKey);
      present = false;
    }
    if (std::uniform_int_distribution<int>(0, 3)(random) == 0)
      ClearCash(engine);
  }

  cetest::TestRoot Root;
  TKeyUser A, B;
  TKeyUser K[3];
  TEngine EA, EB;
  std::map<int32_t, std::string> Texts;
};

// Runs the workers, each on a thread of its own, under a watchdog.
void RunAll(const std::vector<std::function<void()>> &workers, const char *what) {
  const cestress::TWatchdog watchdog(kWatchdogLimit, what);
  std::vector<std::thread> threads;
  for (const auto &worker : workers)
    threads.emplace_back(worker);
  for (auto &thread : threads)
    thread.join();
}

TEST_F(EngineStressTest, MixedOperationsOnSharedAndOwnEnginesAllSucceedAndNoUpdateIsLost) {
  constexpr int kCryptoOperations = 100;
  constexpr int kChurnOperations = 60;
  std::atomic<int> done{0};
  std::vector<std::function<void()>> workers;
  // Two threads on the shared engines.
  for (uint32_t seed : {1u, 2u})
    workers.emplace_back([&, seed] {
      std::mt19937 random(seed);
      for (int i = 0; i < kCryptoOperations && !HasFatalFailure(); ++i, ++done)
        CryptoOperation(random, EA.Handle(), EB.Handle());
    });
  // One thread on engines of its own.
  workers.emplace_back([&] {
    const auto a = OwnEngine(A);
    const auto b = OwnEngine(B);
    std::mt19937 random(3);
    for (int i = 0; i < kCryptoOperations && !HasFatalFailure(); ++i, ++done)
      CryptoOperation(random, a->Handle(), b->Handle());
  });
  // Key churn: K1 in A's directory through the shared engine of A, K2 and
  // K3 in B's directory through engines of their own.
  bool present[3] = {false, false, false};
  for (int k = 0; k < 3; ++k)
    workers.emplace_back([&, k] {
      std::unique_ptr<TEngine> own;
      CE_HANDLE engine = EA.Handle();
      if (k > 0) {
        own = OwnEngine(B);
        own->Set(kParamUse0SlotForVerify, "Yes");
        engine = own->Handle();
      }
      std::mt19937 random(10 + static_cast<uint32_t>(k));
      for (int i = 0; i < kChurnOperations; ++i, ++done)
        ChurnOperation(random, engine, K[k], present[k]);
      EXPECT_EQ(IncludePublicEncodeKey(engine, K[k].EncodePublicFile().c_str()), 0);
      present[k] = true;
    });
  RunAll(workers, "the mixed operations");
  EXPECT_EQ(done.load(), 3 * kCryptoOperations + 3 * kChurnOperations);

  // Every key churned ends included, in the right directory, exactly once.
  EXPECT_EQ(RemoveCertificate(EA.Handle(), K[0].EncodeUID.c_str()), 0);
  EXPECT_EQ(RemoveCertificate(EA.Handle(), K[0].EncodeUID.c_str()), kNoPublicKey);
  for (int k = 1; k < 3; ++k) {
    EXPECT_EQ(RemoveCertificate(EA.Handle(), K[k].EncodeUID.c_str()), kNoPublicKey);
    EXPECT_EQ(RemoveCertificate(EB.Handle(), K[k].EncodeUID.c_str()), 0);
    EXPECT_EQ(RemoveCertificate(EB.Handle(), K[k].EncodeUID.c_str()), kNoPublicKey);
  }
  // The directories are still in use: A encrypts for B once more.
  std::string data = Pattern(64, 99) + std::string(85, '\0');
  int32_t length = 64;
  ASSERT_EQ(EncodeData(EA.Handle(), data.data(), &length, "0002"), 0);
  char sender[256] = {};
  ASSERT_EQ(DecodeData(EB.Handle(), data.data(), &length, sender), 0);
  EXPECT_EQ(data.substr(0, 64), Pattern(64, 99));
}

TEST_F(EngineStressTest, ThreadsMeetingOnAFreshEngineShareItsBinding) {
  // The first operations of an engine, on several threads at once: the
  // binding they make and update is the same for all of them.
  TEngine fresh;
  fresh.Configure(A);
  // A's keys in the driver (through A's other engine), so A's directory can
  // be read for the report.
  ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(EA, B));
  constexpr int kThreads = 6;
  std::latch start(kThreads);
  std::vector<std::function<void()>> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      start.arrive_and_wait();
      if (t % 2 == 0) {
        std::string report(static_cast<std::size_t>(GetMaxReportSize(fresh.Handle())), '\0');
        EXPECT_EQ(GetReport(fresh.Handle(), B.EncodeUID.c_str(), report.data()), 0);
      } else {
        EXPECT_EQ(IncludePublicEncodeKey(fresh.Handle(), B.EncodePublicFile().c_str()), 0);
      }
    });
  RunAll(workers, "the first operations of an engine");
}

TEST_F(EngineStressTest, EnginesMadeAndFreedOnManyThreadsWhileTheyWork) {
  // Each thread makes engines of its own, works with them and frees them,
  // while the others do the same: engine lifetimes overlap with library work.
  constexpr int kThreads = 6;
  constexpr int kRounds = 10;
  std::atomic<int> roundTrips{0};
  std::vector<std::function<void()>> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const auto a = OwnEngine(A);
        const auto b = OwnEngine(B);
        const std::string data =
            Pattern(33 + static_cast<std::size_t>(t), static_cast<uint32_t>(t * 100 + round));
        std::string buffer = data + std::string(85, '\0');
        auto length = static_cast<int32_t>(data.size());
        ASSERT_EQ(EncodeData(a->Handle(), buffer.data(), &length, "0002"), 0);
        char sender[256] = {};
        ASSERT_EQ(DecodeData(b->Handle(), buffer.data(), &length, sender), 0);
        ASSERT_EQ(buffer.substr(0, data.size()), data);
        EXPECT_EQ(cestress::ErrorText(a->Handle(), 4), Texts[4]);
        ++roundTrips;
      }
    });
  RunAll(workers, "the engine lifetimes");
  EXPECT_EQ(roundTrips.load(), kThreads * kRounds);
}

} // namespace
