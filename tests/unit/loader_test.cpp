// Loading the library once per process, the generation from its file
// version, and the entry points of a binding. Every TEST starts from a fresh
// module context, so the library starts unloaded in each.
#include "kestrel/kestrel_dll.h"

#include "support/exception_text.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

using cetest::Provider;
using cetest::TestRoot;

struct LoaderTest : testing::Test {
  // The root with the provider in EXE, set as the module's root.
  void UseProvider(Provider provider) {
    root.Install(provider);
    root.SetAsRoot();
  }
  TestRoot root;
};

void ExpectGeneration(int32_t generation, int32_t keySize) {
  EXPECT_EQ(KestrelUnit().LibraryGeneration, generation);
  EXPECT_EQ(KestrelUnit().PublicKeyFileSize, keySize);
}

TEST_F(LoaderTest, AVersion4LibraryIsGeneration4With240ByteKeys) {
  UseProvider(Provider::Minimal4);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FLoaded);
  EXPECT_TRUE(binding.FAllEntryPoints);
  ExpectGeneration(4, 240);
}

TEST_F(LoaderTest, AVersion5LibraryIsGeneration5With304ByteKeys) {
  UseProvider(Provider::Minimal5);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FAllEntryPoints);
  ExpectGeneration(5, 304);
}

TEST_F(LoaderTest, AVersionAbove5IsGeneration5Too) {
  UseProvider(Provider::Double5); // file version 5.1
  const TKestrelDLL binding(KestrelUnit());
  ExpectGeneration(5, 304);
}

TEST_F(LoaderTest, TheProjectsGeneration4ProviderIsTold) {
  if (!cetest::ProviderAvailable(Provider::Kestrel4))
    GTEST_SKIP() << "the project's provider is not built";
  UseProvider(Provider::Kestrel4);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FAllEntryPoints);
  ExpectGeneration(4, 240);
}

TEST_F(LoaderTest, TheProjectsGeneration5ProviderIsTold) {
  if (!cetest::ProviderAvailable(Provider::Kestrel5))
    GTEST_SKIP() << "the project's provider is not built";
  UseProvider(Provider::Kestrel5);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FAllEntryPoints);
  ExpectGeneration(5, 304);
}

TEST_F(LoaderTest, AMissingLibraryLeavesNothingBehindAndIsRetriedLater) {
  CE_SKIP_IF_PROVIDER_PINNED();
  root.SetAsRoot();
  {
    const TKestrelDLL binding(KestrelUnit());
    EXPECT_FALSE(binding.FLoaded);
    EXPECT_FALSE(binding.FAllEntryPoints);
    EXPECT_EQ(binding.FInitKey, nullptr);
    EXPECT_EQ(binding.FCryptoInit, nullptr);
    EXPECT_EQ(binding.FDelOpenKey, nullptr);
    EXPECT_EQ(KestrelUnit().LibraryHandle, nullptr);
    ExpectGeneration(4, 240);
  }
  root.Install(Provider::Minimal5);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FLoaded);
  EXPECT_TRUE(binding.FAllEntryPoints);
  EXPECT_NE(KestrelUnit().LibraryHandle, nullptr);
  ExpectGeneration(5, 304);
}

TEST_F(LoaderTest, AMissingEntryPointLeavesTheBindingIncomplete) {
  UseProvider(Provider::WithoutGetAlias);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FLoaded);
  EXPECT_FALSE(binding.FAllEntryPoints);
  EXPECT_EQ(binding.FGetAlias, nullptr);
  // The look-up goes on past the missing one.
  EXPECT_NE(binding.FExtractKey, nullptr);
  EXPECT_NE(binding.FDelOpenKey, nullptr);
}

TEST_F(LoaderTest, ASecondBindingNeitherReloadsNorProbesAgain) {
  UseProvider(Provider::Minimal5);
  platform::ModuleHandle first = nullptr;
  {
    const TKestrelDLL binding(KestrelUnit());
    first = KestrelUnit().LibraryHandle;
    ExpectGeneration(5, 304);
  }
  // Had the probe run again, it would find version 5 once more.
  KestrelUnit().LibraryGeneration = 4;
  KestrelUnit().PublicKeyFileSize = 240;

  const TKestrelDLL second(KestrelUnit());
  EXPECT_TRUE(second.FLoaded);
  EXPECT_TRUE(second.FAllEntryPoints);
  EXPECT_EQ(KestrelUnit().LibraryHandle, first);
  ExpectGeneration(4, 240);
}

TEST_F(LoaderTest, DestroyingEveryBindingLeavesTheLibraryLoaded) {
  CE_SKIP_IF_PROVIDER_PINNED();
  UseProvider(Provider::Minimal4);
  { const TKestrelDLL binding(KestrelUnit()); }
  EXPECT_NE(KestrelUnit().LibraryHandle, nullptr);
  EXPECT_EQ(platform::LoadedModule("kestrel.dll"), KestrelUnit().LibraryHandle);
}

TEST_F(LoaderTest, EveryEntryPointIsBoundToItsOwnName) {
  UseProvider(Provider::Double);
  const TKestrelDLL b(KestrelUnit());
  cetest::RecordingDouble recorder(KestrelUnit().LibraryHandle);
  ASSERT_TRUE(b.FAllEntryPoints);
  recorder.Reset();
  // Every entry point called once, in table order, with empty arguments.
  b.FInitKey(nullptr, nullptr);
  b.FResetKeyEx(nullptr, 0);
  b.FGetDrvInfo(nullptr, nullptr);
  b.FFreeMemory(nullptr);
  b.FSignInit(nullptr, nullptr);
  b.FSignDone();
  b.FSignLogIn(nullptr);
  b.FSignLogOut();
  b.FDelSign(nullptr, 0);
  b.FSignFile(nullptr, nullptr, nullptr);
  b.Fcheck_file_sign(nullptr, nullptr, nullptr);
  b.FSignMem(nullptr, nullptr);
  b.FSignMemEx(nullptr, nullptr, nullptr);
  b.Fcheck_mem_sign(nullptr, 0, nullptr, nullptr);
  b.FDel_Mem_Sign(nullptr, nullptr, 0);
  b.FSignMemSeparate(nullptr, 0, nullptr, nullptr);
  b.FSignMemSeparateEx(nullptr, 0, nullptr, nullptr, nullptr);
  b.FCheckMemSeparate(nullptr, 0, 0, nullptr, nullptr, nullptr);
  b.FCryptoInit(nullptr, nullptr);
  b.FCryptoDone();
  b.FEnCryptFile(nullptr, nullptr, 0, nullptr, nullptr);
  b.FDeCryptFile(nullptr, nullptr, 0);
  b.FGetCryptKeysF(nullptr, nullptr, nullptr);
  b.FGetCryptKeysM(nullptr, 0, nullptr, nullptr);
  b.FDeCryptMem(nullptr, nullptr, 0);
  b.FEnCryptMem(nullptr, 0, nullptr, 0, nullptr, nullptr);
  b.FGetFileSenderID(nullptr, nullptr);
  b.FGetMemSenderID(nullptr, 0, nullptr);
  b.FAddOpenKey(nullptr, nullptr, nullptr, 'E');
  b.FGetAlias(nullptr, nullptr);
  b.FExtractKey(nullptr, nullptr, nullptr);
  b.FDelOpenKey(nullptr, nullptr, nullptr, 'S');

  const std::vector<std::string> log = recorder.Log();
  ASSERT_EQ(log.size(), kestrel::kEntryPointNames.size());
  for (std::size_t i = 0; i < log.size(); ++i)
    EXPECT_EQ(log[i].substr(0, log[i].find('(')), kestrel::kEntryPointNames[i]) << "call " << i;
}

TEST_F(LoaderTest, ContextWrappersPassThePathsAndWidenTheResultWithoutSign) {
  UseProvider(Provider::Double);
  TKestrelDLL binding(KestrelUnit());
  cetest::RecordingDouble recorder(KestrelUnit().LibraryHandle);
  recorder.PushResult("CryptoInit", 0xFFFF);
  recorder.PushResult("SignDone", 0x8001);

  EXPECT_EQ(binding.InitCrypto("C:\\KEYS\\", "C:\\PUB\\"), 65535);
  EXPECT_EQ(binding.InitSign("A:\\", "B:\\"), 0);
  EXPECT_EQ(binding.DoneSign(), 0x8001);
  EXPECT_EQ(binding.DoneCrypto(), 0);
  EXPECT_EQ(recorder.Log(), (std::vector<std::string>{"CryptoInit(\"C:\\KEYS\\\",\"C:\\PUB\\\")",
                                                      "SignInit(\"A:\\\",\"B:\\\")", "SignDone()",
                                                      "CryptoDone()"}));
}

TEST_F(LoaderTest, ContextWrappersAssertWhenTheLibraryOrTheEntryPointIsMissing) {
  CE_SKIP_IF_PROVIDER_PINNED();
  root.SetAsRoot();
  TKestrelDLL unloaded(KestrelUnit());
  EXPECT_THROW(unloaded.InitCrypto("a", "b"), EAssertionFailed);
  EXPECT_THROW(unloaded.DoneCrypto(), EAssertionFailed);
  EXPECT_THROW(unloaded.InitSign("a", "b"), EAssertionFailed);
  EXPECT_THROW(unloaded.DoneSign(), EAssertionFailed);

  root.Install(Provider::Double);
  TKestrelDLL binding(KestrelUnit());
  cetest::RecordingDouble recorder(KestrelUnit().LibraryHandle);
  binding.FSignInit = nullptr;
  EXPECT_THROW(binding.InitSign("a", "b"), EAssertionFailed);
  EXPECT_TRUE(recorder.Log().empty());
}

TEST(KestrelUnitTest, UnloadingTheUnitEmptiesTheCacheAndFreesTheLibrary) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TestRoot root;
  const std::string path = root.Install(Provider::Minimal4);
  {
    TKestrelUnit unit(RootPathUnit());
    unit.LibraryHandle = platform::LoadLibraryFile(path);
    ASSERT_NE(unit.LibraryHandle, nullptr);
    unit.KeyCache.push_back({"0001000001", TKeyCacheEntry{}});
    unit.KeyCachePrimed = true;
    ASSERT_NE(platform::LoadedModule("kestrel.dll"), nullptr);
  }
  EXPECT_EQ(platform::LoadedModule("kestrel.dll"), nullptr);
}

} // namespace
