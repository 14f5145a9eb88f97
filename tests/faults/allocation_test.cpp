// Allocation failure inside every operation with the project's provider: the
// first, second, third ... allocation of the operation fails in turn until
// the operation needs no more. Each time the operation either still gives a
// right result or reports a failure (-102 with its exception text, or the
// library's "not enough memory"), leaves the host's buffers as they were,
// holds no lock and no open context, leaks nothing, and the next operation
// succeeds.
#include "tests/faults/failing_allocator.h"
#include "tests/stress/stress_support.h"

#include "engine/kestrel4_engine.h"
#include "tests/support/module_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using cestress::Pattern;
using cestress::TEngine;
using cestress::TKeyUser;

// What an operation may write: a buffer, its length and a second buffer.
struct THost {
  std::string Buffer;
  int32_t Length = 0;
  std::string Output;
  int32_t OutLength = 0;
};

// The buffer and its length, which no failure may change.
bool SameData(const THost &a, const THost &b) {
  return a.Buffer == b.Buffer && a.Length == b.Length;
}

struct TCase {
  const char *Name;
  const char *Captured; // the operation's name in a text it captured
  const TEngine *Engine;
  std::function<THost()> Host;
  std::function<int32_t(THost &)> Run;
  // Checks the outcome of a successful run (allocations work again here).
  std::function<void(const THost &)> ExpectRight;
};

class AllocationTest : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    if (!cestress::ProviderWithKeyToolAvailable())
      GTEST_SKIP() << "the provider or its key tool is not built";
    Root.Install(cetest::Provider::Kestrel4);
    Root.SetAsRoot();
    ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, "0001", A));
    ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, "0002", B));
    for (auto [engine, user] : {std::pair{&EA, &A}, {&EB, &B}}) {
      ASSERT_NO_FATAL_FAILURE(engine->Configure(*user));
      ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(*engine, A));
      ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(*engine, B));
    }
    // Blocks, signatures and texts made once, for the operations that read them.
    Block = Plain + std::string(85, '\0');
    int32_t length = static_cast<int32_t>(Plain.size());
    ASSERT_EQ(EncodeData(EA.Handle(), Block.data(), &length, "0002"), 0);
    Signature.assign(255, '\0');
    int32_t signatureLength = 0;
    ASSERT_EQ(SignData(EB.Handle(), Plain.data(), static_cast<int32_t>(Plain.size()),
                       Signature.data(), &signatureLength, nullptr),
              0);
    Signature.resize(static_cast<std::size_t>(signatureLength));
    Signed = Plain + std::string(static_cast<std::size_t>(GetMaxSignAddition(EA.Handle())), '#');
    SignedLength = static_cast<int32_t>(Plain.size());
    ASSERT_EQ(AddSign(EA.Handle(), Signed.data(), &SignedLength, nullptr), 0);
    LibraryText = cestress::ErrorText(EA.Handle(), 4);
    ASSERT_FALSE(LibraryText.empty());
    BKeyFile = B.EncodePublicFile();
  }

  std::vector<TCase> Cases() {
    const auto plainHost = [this] {
      THost host;
      host.Buffer = Plain + std::string(300, '#');
      host.Length = static_cast<int32_t>(Plain.size());
      host.Output.assign(255, '#');
      return host;
    };
    const int32_t n = static_cast<int32_t>(Plain.size());
    return {
        {"EncodeData", "EncodeData", &EA, plainHost,
         [this](THost &h) { return EncodeData(EA.Handle(), h.Buffer.data(), &h.Length, "0002"); },
         [this, n](const THost &h) {
           EXPECT_EQ(h.Length, n + 85);
           std::string block = h.Buffer;
           int32_t length = h.Length;
           char sender[256] = {};
           EXPECT_EQ(DecodeData(EB.Handle(), block.data(), &length, sender), 0);
           EXPECT_EQ(block.substr(0, Plain.size()), Plain);
         }},
        {"DecodeData", "DecodeData", &EB,
         [this] {
           THost host;
           host.Buffer = Block;
           host.Length = static_cast<int32_t>(Block.size());
           host.Output.assign(255, '#');
           return host;
         },
         [this](THost &h) {
           return DecodeData(EB.Handle(), h.Buffer.data(), &h.Length, h.Output.data());
         },
         [this, n](const THost &h) {
           EXPECT_EQ(h.Length, n);
           EXPECT_EQ(h.Buffer.substr(0, Plain.size()), Plain);
           EXPECT_STREQ(h.Output.c_str(), A.EncodeUID.c_str());
         }},
        {"SignData", "SignData", &EB, plainHost,
         [this](THost &h) {
           return SignData(EB.Handle(), h.Buffer.data(), h.Length, h.Output.data(), &h.OutLength,
                           nullptr);
         },
         [this](const THost &h) {
           char signer[256] = {};
           EXPECT_EQ(VerifyData(EA.Handle(), h.Buffer.data(), h.Length, h.Output.data(),
                                h.OutLength, signer),
                     0);
         }},
        {"VerifyData", "VerifyData", &EA, plainHost,
         [this](THost &h) {
           return VerifyData(EA.Handle(), h.Buffer.data(), h.Length, Signature.data(),
                             static_cast<int32_t>(Signature.size()), h.Output.data());
         },
         [this](const THost &h) { EXPECT_STREQ(h.Output.c_str(), B.SignUID.c_str()); }},
        {"AddSign", "AddSign", &EA, plainHost,
         [this](THost &h) { return AddSign(EA.Handle(), h.Buffer.data(), &h.Length, nullptr); },
         [this](const THost &h) {
           std::string block = h.Buffer;
           int32_t length = h.Length;
           char signer[256] = {};
           EXPECT_EQ(RemoveSign(EB.Handle(), block.data(), &length, signer), 0);
           EXPECT_EQ(block.substr(0, Plain.size()), Plain);
         }},
        {"RemoveSign", "RemoveSignature", &EB,
         [this] {
           THost host;
           host.Buffer = Signed;
           host.Length = SignedLength;
           host.Output.assign(255, '#');
           return host;
         },
         [this](THost &h) {
           return RemoveSign(EB.Handle(), h.Buffer.data(), &h.Length, h.Output.data());
         },
         [this, n](const THost &h) {
           EXPECT_EQ(h.Length, n);
           EXPECT_STREQ(h.Output.c_str(), A.SignUID.c_str());
         }},
        {"IncludePublicEncodeKey", "IncludePublicEncodeKey", &EA, plainHost,
         [this](THost &) { return IncludePublicEncodeKey(EA.Handle(), BKeyFile.c_str()); },
         [](const THost &) {}},
        {"GetReport", "GetReport", &EA,
         [] {
           THost host;
           host.Buffer.assign(8192, '\0');
           return host;
         },
         [this](THost &h) { return GetReport(EA.Handle(), B.EncodeUID.c_str(), h.Buffer.data()); },
         [this](const THost &h) {
           EXPECT_NE(std::string(h.Buffer.c_str()).find(B.EncodeUID), std::string::npos);
         }},
    };
  }

  void ExpectIdle(const std::string &what) {
    bool locked = false;
    std::thread other([&] {
      locked = EngineLock().try_lock();
      if (locked)
        EngineLock().unlock();
    });
    other.join();
    EXPECT_TRUE(locked) << what << ": EngineLock is still held";
    for (const TEngine *engine : {&EA, &EB}) {
      const auto *e = static_cast<const TKestrel4Engine *>(engine->Handle());
      EXPECT_FALSE(e->FCryptoInitialized) << what;
      EXPECT_FALSE(e->FSignInitialized) << what;
    }
  }

  cetest::TestRoot Root;
  TKeyUser A, B;
  TEngine EA, EB;
  const std::string Plain = Pattern(200, 7);
  std::string Block, Signature, Signed, LibraryText, BKeyFile;
  int32_t SignedLength = 0;
};

TEST_P(AllocationTest, EveryAllocationOfTheOperationFailsInTurn) {
  std::vector<TCase> cases = Cases();
  const auto found =
      std::find_if(cases.begin(), cases.end(), [](const TCase &c) { return c.Name == GetParam(); });
  ASSERT_NE(found, cases.end());
  const TCase &operation = *found;

  // Before each run the engine holds a text of its own: an exception the
  // operation captures replaces it, one that reaches the export leaves it.
  auto *engine = const_cast<TKestrel4Engine *>(
      static_cast<const TKestrel4Engine *>(operation.Engine->Handle()));
  const std::string stale = "stale " + std::string(200, 'x');
  const std::string captured =
      std::string("TKestrel4Engine.") + operation.Captured + ": std::bad_alloc: std::bad_alloc";
  const std::string opening = "An exception in the function. ";
  const auto runRight = [&] {
    THost host = operation.Host();
    ASSERT_EQ(operation.Run(host), 0);
    operation.ExpectRight(host);
  };
  // The state a successful run leaves: key cache, texts, library state. The
  // provider keeps a checked directory only once its file has not changed
  // for a moment; the directories were written just now.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  engine->FLastException.SetText(stale);
  ASSERT_NO_FATAL_FAILURE(runRight());
  ASSERT_NO_FATAL_FAILURE(runRight());
  ExpectIdle("before");
  cestress::ErrorText(operation.Engine->Handle(), -102); // its reader slot in the text's lock
  const int64_t live = cealloc::LiveAllocations();

  // One run with the nth allocation failing; false when the operation
  // needed fewer allocations.
  const auto failAt = [&](int64_t nth) {
    const std::string what = std::string(operation.Name) + ", allocation " + std::to_string(nth);
    THost host = operation.Host();
    const THost before = host;
    engine->FLastException.SetText(stale);
    cealloc::FailAllocation(nth);
    const int32_t result = operation.Run(host);
    const bool failed = cealloc::AllocationFailed();
    cealloc::FailAllocation(0);
    if (!failed) {
      EXPECT_EQ(result, 0) << what;
      return false;
    }
    if (result == 0) {
      operation.ExpectRight(host); // a failure it could do without
    } else {
      // The sender of a block may be named although decrypting it failed.
      const bool sameOutput =
          operation.Name == std::string("DecodeData") || host.Output == before.Output;
      EXPECT_TRUE(SameData(host, before) && sameOutput)
          << what << ": the host's buffers changed (result " << result << ")";
      if (result == -102) {
        const std::string text = cestress::ErrorText(operation.Engine->Handle(), -102);
        EXPECT_TRUE(text == opening + captured || text == opening + stale) << what << ": " << text;
      }
    }
    ExpectIdle(what);
    engine->FLastException.SetText(stale);
    runRight();
    return true;
  };
  int64_t injected = 0;
  for (int64_t nth = 1; failAt(nth); ++nth) {
    ++injected;
    EXPECT_EQ(cealloc::LiveAllocations(), live)
        << operation.Name << ", allocation " << nth << ": allocations leaked";
    if (HasFailure())
      break; // one broken allocation is enough to read
  }
  EXPECT_GT(injected, 0);
  RecordProperty("faults_injected", static_cast<int>(injected));
}

TEST_F(AllocationTest, ATextRequestGivesTheWholeTextOrNothing) {
  // A library code's text: the request waits for the library and may
  // allocate; whatever fails, the host's buffer holds the text or is empty.
  std::string buffer(static_cast<std::size_t>(GetMaxErrorStringLength(EA.Handle())) + 1, '#');
  GetCryptoErrorString(EA.Handle(), 4, buffer.data());
  const int64_t live = cealloc::LiveAllocations();
  int64_t injected = 0;
  for (int64_t nth = 1;; ++nth) {
    std::fill(buffer.begin(), buffer.end(), '#');
    cealloc::FailAllocation(nth);
    GetCryptoErrorString(EA.Handle(), 4, buffer.data());
    const bool failed = cealloc::AllocationFailed();
    cealloc::FailAllocation(0);
    const std::string text = buffer.c_str();
    if (!failed) {
      EXPECT_EQ(text, LibraryText);
      break;
    }
    ++injected;
    EXPECT_TRUE(text == LibraryText || text.empty()) << "allocation " << nth << ": " << text;
    EXPECT_EQ(cealloc::LiveAllocations(), live) << "allocation " << nth << ": leaked";
  }
  EXPECT_GT(injected, 0);
  RecordProperty("faults_injected", static_cast<int>(injected));
}

std::string CaseName(const ::testing::TestParamInfo<std::string> &info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Operations, AllocationTest,
                         ::testing::Values("EncodeData", "DecodeData", "SignData", "VerifyData",
                                           "AddSign", "RemoveSign", "IncludePublicEncodeKey",
                                           "GetReport"),
                         CaseName);

} // namespace
