// The engine's connection to the library: the binding made on first use,
// -113 and -114, the host callbacks, and the library's two contexts.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"

#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using cetest::DoubleRoot;
using cetest::Provider;
using cetest::TestRoot;

void CE_STDCALL FirstDeviceRequest(int32_t) {}
void CE_STDCALL SecondDeviceRequest(int32_t) {}
void CE_STDCALL PasswordRequest() {}

// The engine with its key directories set: the library receives them expanded.
void SetDirectories(TKestrel4Engine &engine) {
  engine.SetEngineRootPath("C:\\Bank");
  ASSERT_EQ(engine.SetCryptoParamValue(kParamPathToSecret, "%ZEVRoot%\\Secret"), 0);
  ASSERT_EQ(engine.SetCryptoParamValue(kParamPathToPublic, "D:\\Pub"), 0);
}

TEST(Connection, AMissingLibraryGives113AndNoBindingUntilItAppears) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TestRoot root;
  root.SetAsRoot();
  TKestrel4Engine engine;
  EXPECT_EQ(engine.GetCryptoAPI(), CE_ERR_LOAD_LIBRARY);
  EXPECT_EQ(engine.FKestrelDLL, nullptr);
  EXPECT_EQ(engine.InitCrypto(), CE_ERR_LOAD_LIBRARY);
  EXPECT_EQ(engine.InitSign(), CE_ERR_LOAD_LIBRARY);
  EXPECT_EQ(engine.FKestrelDLL, nullptr);
  EXPECT_FALSE(engine.FCryptoInitialized);
  EXPECT_FALSE(engine.FSignInitialized);

  root.Install(Provider::Minimal4);
  EXPECT_EQ(engine.GetCryptoAPI(), CE_OK);
  ASSERT_NE(engine.FKestrelDLL, nullptr);
  EXPECT_TRUE(engine.FKestrelDLL->FAllEntryPoints);
}

TEST(Connection, AMissingEntryPointGives114EveryTime) {
  TestRoot root;
  root.Install(Provider::WithoutGetAlias);
  root.SetAsRoot();
  TKestrel4Engine engine;
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(engine.GetCryptoAPI(), CE_ERR_ENTRY_POINTS);
    EXPECT_EQ(engine.FKestrelDLL, nullptr);
  }
  EXPECT_EQ(engine.InitCrypto(), CE_ERR_ENTRY_POINTS);
  EXPECT_EQ(engine.InitSign(), CE_ERR_ENTRY_POINTS);
  EXPECT_FALSE(engine.FCryptoInitialized);
  EXPECT_FALSE(engine.FSignInitialized);
}

TEST(Connection, TheBindingIsKeptAndGetsTheCallbacksAtEveryCall) {
  DoubleRoot root;
  TKestrel4Engine engine;
  engine.FTMRequestFunc = FirstDeviceRequest;
  ASSERT_EQ(engine.GetCryptoAPI(), CE_OK);
  TKestrelDLL *binding = engine.FKestrelDLL.get();
  ASSERT_NE(binding, nullptr);
  EXPECT_EQ(binding->FTMRequestFunc, FirstDeviceRequest);
  EXPECT_EQ(binding->FPasswordRequestFunc, nullptr);

  engine.FTMRequestFunc = SecondDeviceRequest;
  engine.SetPasswordRequestFunc(PasswordRequest);
  ASSERT_EQ(engine.GetCryptoAPI(), CE_OK);
  EXPECT_EQ(engine.FKestrelDLL.get(), binding);
  EXPECT_EQ(binding->FTMRequestFunc, SecondDeviceRequest);
  EXPECT_EQ(binding->FPasswordRequestFunc, PasswordRequest);

  engine.FTMRequestFunc = nullptr;
  ASSERT_EQ(engine.GetCryptoAPI(), CE_OK);
  EXPECT_EQ(binding->FTMRequestFunc, nullptr);
  EXPECT_TRUE(root.Double().Log().empty()) << "connecting calls no entry point";
}

TEST(Connection, ACallbackSetAfterTheFirstOperationIsUsedFromTheNext) {
  DoubleRoot root;
  TKestrel4Engine engine;
  std::array<char, 1024> text{};
  engine.GetCryptoErrorString(5, text.data()); // a library text: connects
  ASSERT_NE(engine.FKestrelDLL, nullptr);
  EXPECT_EQ(engine.FKestrelDLL->FTMRequestFunc, nullptr);

  engine.FTMRequestFunc = FirstDeviceRequest;
  engine.GetCryptoErrorString(5, text.data());
  ASSERT_NE(engine.FKestrelDLL, nullptr);
  EXPECT_EQ(engine.FKestrelDLL->FTMRequestFunc, FirstDeviceRequest);
}

TEST(Connection, ContextsOpenWithTheExpandedDirectoriesOnEveryCall) {
  DoubleRoot root;
  TKestrel4Engine engine;
  SetDirectories(engine);

  EXPECT_EQ(engine.InitCrypto(), CE_OK);
  EXPECT_TRUE(engine.FCryptoInitialized);
  EXPECT_EQ(engine.InitCrypto(), CE_OK); // opened again although already open
  EXPECT_EQ(engine.InitSign(), CE_OK);
  EXPECT_TRUE(engine.FSignInitialized);
  EXPECT_EQ(root.Double().Log(),
            (std::vector<std::string>{"CryptoInit(\"C:\\BANK\\SECRET\\\",\"D:\\Pub\\\")",
                                      "CryptoInit(\"C:\\BANK\\SECRET\\\",\"D:\\Pub\\\")",
                                      "SignInit(\"C:\\BANK\\SECRET\\\",\"D:\\Pub\\\")"}));
}

TEST(Connection, AFailedOpenPassesTheLibraryCodeAndLeavesTheContextClosed) {
  DoubleRoot root;
  TKestrel4Engine engine;
  root.Double().PushResult("CryptoInit", 11);
  root.Double().PushResult("SignInit", 65535);
  EXPECT_EQ(engine.InitCrypto(), 11);
  EXPECT_FALSE(engine.FCryptoInitialized);
  EXPECT_EQ(engine.InitSign(), 65535);
  EXPECT_FALSE(engine.FSignInitialized);

  engine.DoneCrypto();
  engine.DoneSign();
  EXPECT_FALSE(root.Double().WasCalled("CryptoDone"));
  EXPECT_FALSE(root.Double().WasCalled("SignDone"));
}

TEST(Connection, DoneClosesOnlyAnOpenContextAndAlwaysClearsTheFlag) {
  DoubleRoot root;
  TKestrel4Engine engine;
  engine.DoneCrypto();
  engine.DoneSign();
  EXPECT_TRUE(root.Double().Log().empty());

  ASSERT_EQ(engine.InitSign(), CE_OK);
  ASSERT_EQ(engine.InitCrypto(), CE_OK);
  root.Double().ClearLog();
  root.Double().PushResult("SignDone", 9); // the result is ignored
  engine.DoneSign();
  engine.DoneCrypto();
  engine.DoneCrypto();
  EXPECT_FALSE(engine.FCryptoInitialized);
  EXPECT_FALSE(engine.FSignInitialized);
  EXPECT_EQ(root.Double().Log(), (std::vector<std::string>{"SignDone()", "CryptoDone()"}));
}

TEST(Connection, DestroyingAnEngineThatRanNoOperationCallsNothing) {
  DoubleRoot root;
  { TKestrel4Engine engine; }
  {
    TKestrel4Engine connected;
    ASSERT_EQ(connected.GetCryptoAPI(), CE_OK);
  }
  EXPECT_TRUE(root.Double().Log().empty());
  EXPECT_NE(KestrelUnit().LoadedLibrary(), nullptr) << "the library stays loaded";
}

TEST(Connection, DestroyingAnEngineClosesTheOpenContextsCryptoFirst) {
  DoubleRoot root;
  {
    TKestrel4Engine engine;
    ASSERT_EQ(engine.InitSign(), CE_OK);
    ASSERT_EQ(engine.InitCrypto(), CE_OK);
    root.Double().ClearLog();
  }
  EXPECT_EQ(root.Double().Log(), (std::vector<std::string>{"CryptoDone()", "SignDone()"}));
}

// Every library operation, run on one engine.
struct Operation {
  const char *Name;
  std::function<int32_t(TKestrel4Engine &)> Run;
};

std::vector<Operation> LibraryOperations() {
  return {
      {"EncodeData",
       [](TKestrel4Engine &e) {
         std::vector<char> data(256, 'x');
         int32_t size = 5;
         return e.EncodeData(data.data(), &size, "0002");
       }},
      {"DecodeData",
       [](TKestrel4Engine &e) {
         std::vector<char> data(256, 'x');
         int32_t size = 100;
         std::array<char, 64> sender{};
         return e.DecodeData(data.data(), &size, sender.data());
       }},
      {"SignData",
       [](TKestrel4Engine &e) {
         std::vector<char> signature(4096);
         int32_t length = 0;
         return e.SignData("data", 4, signature.data(), &length, nullptr);
       }},
      {"VerifyData",
       [](TKestrel4Engine &e) {
         std::array<char, 64> signer{};
         return e.VerifyData("data", 4, "signature", 9, signer.data());
       }},
      {"AddSign",
       [](TKestrel4Engine &e) {
         std::vector<char> data(4096, 'x');
         int32_t length = 4;
         return e.AddSign(data.data(), &length, nullptr);
       }},
      {"RemoveSignature",
       [](TKestrel4Engine &e) {
         std::vector<char> data(4096, 'x');
         int32_t length = 100;
         std::array<char, 64> signer{};
         return e.RemoveSignature(data.data(), &length, signer.data());
       }},
  };
}

long CallCount(const std::vector<std::string> &log, const char *prefix) {
  return static_cast<long>(std::count_if(
      log.begin(), log.end(), [&](const std::string &line) { return line.rfind(prefix, 0) == 0; }));
}

struct Scenario {
  std::vector<const char *> FailingCalls; // answer 3
  bool ContextsOpen;                      // CryptoInit and SignInit succeed
};

TEST(Connection, BothContextsAreClosedAfterEveryOperation) {
  DoubleRoot root;
  TKestrel4Engine engine;
  ASSERT_EQ(engine.SetCryptoParamValue(kParamEncodeUID, "0001000001"), 0);
  ASSERT_EQ(engine.SetCryptoParamValue(kParamSignUID, "000100000001"), 0);
  // Each operation runs with a working library, with its main library call
  // failing, and with the library's contexts refusing to open.
  const std::vector<Scenario> scenarios = {
      {{}, true},
      {{"EnCryptMem", "DeCryptMem", "SignMemSeparateEx", "CheckMemSeparate", "SignMemEx",
        "check_mem_sign", "Del_Mem_Sign"},
       true},
      {{"CryptoInit", "SignInit"}, false},
  };
  for (const Scenario &scenario : scenarios) {
    long opened = 0;
    for (const Operation &operation : LibraryOperations()) {
      root.Double().Reset();
      for (const char *call : scenario.FailingCalls)
        root.Double().SetResult(call, 3);
      operation.Run(engine);
      EXPECT_FALSE(engine.FCryptoInitialized) << operation.Name;
      EXPECT_FALSE(engine.FSignInitialized) << operation.Name;

      const std::vector<std::string> log = root.Double().Log();
      const long inits = CallCount(log, "CryptoInit(") + CallCount(log, "SignInit(");
      const long dones = CallCount(log, "CryptoDone(") + CallCount(log, "SignDone(");
      EXPECT_EQ(dones, scenario.ContextsOpen ? inits : 0) << operation.Name;
      opened += inits;
    }
    EXPECT_EQ(opened, static_cast<long>(LibraryOperations().size())) << "every operation opens one";
  }
}

} // namespace
