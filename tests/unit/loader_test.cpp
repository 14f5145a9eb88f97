// Loading the library once per process, the generation from its file
// version, and the entry points of a binding. Every TEST starts from a fresh
// module context, so the library starts unloaded in each.
#include "kestrel/kestrel_dll.h"

#include "support/exception_text.h"
#include "tests/support/kestrel_access.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

using cetest::Provider;
using cetest::TestRoot;
using Access = TKestrelDLLTestAccess;

struct LoaderTest : testing::Test {
  // The root with the provider in EXE, set as the module's root.
  void UseProvider(Provider provider) {
    root.Install(provider);
    root.SetAsRoot();
  }
  TestRoot root;
};

void ExpectGeneration(int32_t generation, int32_t keySize) {
  EXPECT_EQ(KestrelUnit().LoadedGeneration(), generation);
  EXPECT_EQ(KestrelUnit().LoadedPublicKeyFileSize(), keySize);
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
    EXPECT_EQ(Access::FInitKey(binding), nullptr);
    EXPECT_EQ(Access::FCryptoInit(binding), nullptr);
    EXPECT_EQ(Access::FDelOpenKey(binding), nullptr);
    EXPECT_EQ(KestrelUnit().LoadedLibrary(), nullptr);
    ExpectGeneration(4, 240);
  }
  root.Install(Provider::Minimal5);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FLoaded);
  EXPECT_TRUE(binding.FAllEntryPoints);
  EXPECT_NE(KestrelUnit().LoadedLibrary(), nullptr);
  ExpectGeneration(5, 304);
}

TEST_F(LoaderTest, AMissingEntryPointLeavesTheBindingIncomplete) {
  UseProvider(Provider::WithoutGetAlias);
  const TKestrelDLL binding(KestrelUnit());
  EXPECT_TRUE(binding.FLoaded);
  EXPECT_FALSE(binding.FAllEntryPoints);
  EXPECT_EQ(Access::FGetAlias(binding), nullptr);
  // The look-up goes on past the missing one.
  EXPECT_NE(Access::FExtractKey(binding), nullptr);
  EXPECT_NE(Access::FDelOpenKey(binding), nullptr);
}

TEST_F(LoaderTest, ASecondBindingNeitherReloadsNorProbesAgain) {
  UseProvider(Provider::Minimal5);
  platform::ModuleHandle first = nullptr;
  {
    const TKestrelDLL binding(KestrelUnit());
    first = KestrelUnit().LoadedLibrary();
    ExpectGeneration(5, 304);
  }
  // Had the probe run again, it would find version 5 once more.
  Access::SetLibraryGeneration(KestrelUnit(), 4, 240);

  const TKestrelDLL second(KestrelUnit());
  EXPECT_TRUE(second.FLoaded);
  EXPECT_TRUE(second.FAllEntryPoints);
  EXPECT_EQ(KestrelUnit().LoadedLibrary(), first);
  ExpectGeneration(4, 240);
}

TEST_F(LoaderTest, DestroyingEveryBindingLeavesTheLibraryLoaded) {
  CE_SKIP_IF_PROVIDER_PINNED();
  UseProvider(Provider::Minimal4);
  { const TKestrelDLL binding(KestrelUnit()); }
  EXPECT_NE(KestrelUnit().LoadedLibrary(), nullptr);
  EXPECT_EQ(platform::LoadedModule("kestrel.dll"), KestrelUnit().LoadedLibrary());
}

TEST_F(LoaderTest, EveryEntryPointIsBoundToItsOwnName) {
  UseProvider(Provider::Double);
  const TKestrelDLL b(KestrelUnit());
  cetest::RecordingDouble recorder(KestrelUnit().LoadedLibrary());
  ASSERT_TRUE(b.FAllEntryPoints);
  recorder.Reset();
  // Every entry point called once, in table order, with empty arguments.
  Access::FInitKey(b)(nullptr, nullptr);
  Access::FResetKeyEx(b)(nullptr, 0);
  Access::FGetDrvInfo(b)(nullptr, nullptr);
  Access::FFreeMemory(b)(nullptr);
  Access::FSignInit(b)(nullptr, nullptr);
  Access::FSignDone(b)();
  Access::FSignLogIn(b)(nullptr);
  Access::FSignLogOut(b)();
  Access::FDelSign(b)(nullptr, 0);
  Access::FSignFile(b)(nullptr, nullptr, nullptr);
  Access::Fcheck_file_sign(b)(nullptr, nullptr, nullptr);
  Access::FSignMem(b)(nullptr, nullptr);
  Access::FSignMemEx(b)(nullptr, nullptr, nullptr);
  Access::Fcheck_mem_sign(b)(nullptr, 0, nullptr, nullptr);
  Access::FDel_Mem_Sign(b)(nullptr, nullptr, 0);
  Access::FSignMemSeparate(b)(nullptr, 0, nullptr, nullptr);
  Access::FSignMemSeparateEx(b)(nullptr, 0, nullptr, nullptr, nullptr);
  Access::FCheckMemSeparate(b)(nullptr, 0, 0, nullptr, nullptr, nullptr);
  Access::FCryptoInit(b)(nullptr, nullptr);
  Access::FCryptoDone(b)();
  Access::FEnCryptFile(b)(nullptr, nullptr, 0, nullptr, nullptr);
  Access::FDeCryptFile(b)(nullptr, nullptr, 0);
  Access::FGetCryptKeysF(b)(nullptr, nullptr, nullptr);
  Access::FGetCryptKeysM(b)(nullptr, 0, nullptr, nullptr);
  Access::FDeCryptMem(b)(nullptr, nullptr, 0);
  Access::FEnCryptMem(b)(nullptr, 0, nullptr, 0, nullptr, nullptr);
  Access::FGetFileSenderID(b)(nullptr, nullptr);
  Access::FGetMemSenderID(b)(nullptr, 0, nullptr);
  Access::FAddOpenKey(b)(nullptr, nullptr, nullptr, 'E');
  Access::FGetAlias(b)(nullptr, nullptr);
  Access::FExtractKey(b)(nullptr, nullptr, nullptr);
  Access::FDelOpenKey(b)(nullptr, nullptr, nullptr, 'S');

  const std::vector<std::string> log = recorder.Log();
  ASSERT_EQ(log.size(), kestrel::kEntryPointNames.size());
  for (std::size_t i = 0; i < log.size(); ++i)
    EXPECT_EQ(log[i].substr(0, log[i].find('(')), kestrel::kEntryPointNames[i]) << "call " << i;
}

TEST_F(LoaderTest, ContextWrappersPassThePathsAndWidenTheResultWithoutSign) {
  UseProvider(Provider::Double);
  TKestrelDLL binding(KestrelUnit());
  cetest::RecordingDouble recorder(KestrelUnit().LoadedLibrary());
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
  cetest::RecordingDouble recorder(KestrelUnit().LoadedLibrary());
  Access::FSignInit(binding) = nullptr;
  EXPECT_THROW(binding.InitSign("a", "b"), EAssertionFailed);
  EXPECT_TRUE(recorder.Log().empty());
}

TEST(KestrelUnitTest, UnloadingTheUnitEmptiesTheCacheAndFreesTheLibrary) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TestRoot root;
  const std::string path = root.Install(Provider::Minimal4);
  {
    TKestrelUnit unit(RootPathUnit());
    Access::SetLibraryHandle(unit, platform::LoadLibraryFile(path));
    ASSERT_NE(unit.LoadedLibrary(), nullptr);
    unit.KeyCache.push_back({"0001000001", TKeyCacheEntry{}});
    unit.KeyCachePrimed = true;
    ASSERT_NE(platform::LoadedModule("kestrel.dll"), nullptr);
  }
  EXPECT_EQ(platform::LoadedModule("kestrel.dll"), nullptr);
}

} // namespace
