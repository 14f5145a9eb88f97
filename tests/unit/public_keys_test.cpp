// Public key management against the call-recording double loaded as the
// library: the order of the checks of the directory calls, what reaches the
// library, and the engine operations around them.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "platform/platform.h"
#include "tests/support/kestrel_access.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using cetest::Provider;
using cetest::RecordingDouble;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char *kOwnSign = "000100000001";   // 12 characters
constexpr const char *kOwnEncode = "0001000000";   // 10 characters
constexpr const char *kOtherSign = "000200000001"; // a correspondent's keys
constexpr const char *kOtherEncode = "0002000000";

std::string Block(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(i % 256);
  return bytes;
}

// A temporary directory with the files and directories a test needs, in the
// module's path form.
class TTempDir : public cetest::TempDirectory {
public:
  std::string Sub(const std::string &name) const { return PathOf(name); }
  // A file of `size` bytes 0, 1, 2, ... (mod 256).
  std::string File(const std::string &name, std::size_t size) const {
    const std::string bytes = Block(size);
    std::ofstream(platform::NativePath(PathOf(name)), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(size));
    return PathOf(name);
  }
  std::string Dir(const std::string &name) const {
    fs::create_directories(platform::NativePath(PathOf(name)));
    return PathOf(name);
  }
};

// Position of the first call of that name in the double's log, or -1.
int CallIndex(const RecordingDouble &log, const std::string &name) {
  const auto names = log.CallNames();
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == name)
      return static_cast<int>(i);
  return -1;
}

// An entry point has the library's calling convention, which a lambda lacks
// on 32-bit Windows. A C++ exception cannot leave a library built on its own
// (32-bit Windows unwinds each with its own runtime), so the raising entry
// point is a function of the test put into the binding.
kestrel::Result KESTREL_STDCALL AddOpenKeyThatRaises(const char *, const void *, const char *,
                                                     char) {
  throw std::runtime_error("disk gone");
}

// --- the binding's directory calls -----------------------------------------

class DirectoryCallsTest : public ::testing::Test {
protected:
  // Loads the double of that generation under a fresh root and binds it.
  void Load(Provider provider = Provider::Double) {
    FRoot.emplace(provider);
    FBinding = std::make_unique<TKestrelDLL>(KestrelUnit());
    ASSERT_TRUE(FBinding->FAllEntryPoints);
  }
  RecordingDouble &Double() { return FRoot->Double(); }
  std::vector<std::string> CallNames() { return Double().CallNames(); }

  TTempDir FTemp;
  std::optional<cetest::DoubleRoot> FRoot;
  std::unique_ptr<TKestrelDLL> FBinding;
};

TEST_F(DirectoryCallsTest, AddPublicKeyChecksInOrderBeforeTouchingTheLibrary) {
  CE_SKIP_IF_PROVIDER_PINNED();
  const std::string key = FTemp.File("a.key", 240);
  const std::string dir = FTemp.Dir("pub");
  const std::string noFile = FTemp.Sub("missing.key");
  const std::string noDir = FTemp.Sub("missing");
  {
    // No library loaded: -1 before anything else, even with every argument bad.
    TKestrelDLL unloaded(KestrelUnit());
    EXPECT_EQ(unloaded.AddPublicKey(noFile, noDir, "short", 7), -1);
  }
  Load();
  // A missing file comes before a missing directory, which comes before a
  // wrong owner key number.
  EXPECT_EQ(FBinding->AddPublicKey(noFile, noDir, "short", 7), -8);
  EXPECT_EQ(FBinding->AddPublicKey(key, noDir, "short", 7), -9);
  EXPECT_EQ(FBinding->AddPublicKey(key, key, kOwnSign, 1), -9) << "a file is not a directory";
  EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnEncode, 1), -10);
  EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnSign, 0), -10);
  EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnSign, 2), -10);
  EXPECT_THAT(CallNames(), IsEmpty());

  TKestrelDLLTestAccess::FAddOpenKey(*FBinding) = nullptr;
  EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnSign, 1), -1);
}

TEST_F(DirectoryCallsTest, AddPublicKeyHandsTheWholeBlockAndTheKindLetterToTheLibrary) {
  Load();
  const std::string key = FTemp.File("a.key", 240);
  const std::string dir = FTemp.Dir("pub");

  EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnSign, 1), 0);
  ASSERT_TRUE(Double().WasCalled("AddOpenKey"));
  EXPECT_THAT(Double().FirstArguments("AddOpenKey"), ElementsAre(dir, kOwnSign, "S"));
  EXPECT_EQ(Double().LastInput("AddOpenKey"), Block(240));

  Double().ClearLog();
  Double().SetResult("AddOpenKey", 117);
  EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnEncode, 0), 117) << "library codes pass through";
  EXPECT_THAT(Double().FirstArguments("AddOpenKey"), ElementsAre(dir, kOwnEncode, "E"));
}

TEST_F(DirectoryCallsTest, AddPublicKeyRefusesAKeyFileOfAnyOtherSize) {
  Load();
  const std::string dir = FTemp.Dir("pub");
  EXPECT_EQ(FBinding->AddPublicKey(FTemp.File("long.key", 241), dir, kOwnSign, 1), -115);
  EXPECT_EQ(FBinding->AddPublicKey(FTemp.File("short.key", 239), dir, kOwnSign, 1), -115);
  EXPECT_EQ(FBinding->AddPublicKey(FTemp.File("empty.key", 0), dir, kOwnSign, 1), -115);
  EXPECT_THAT(CallNames(), IsEmpty()) << "the directory is not touched";
}

TEST_F(DirectoryCallsTest, AddPublicKeyUsesTheBlockSizeOfGeneration5) {
  Load(Provider::Double5);
  const std::string dir = FTemp.Dir("pub");
  EXPECT_EQ(FBinding->AddPublicKey(FTemp.File("g4.key", 240), dir, kOwnSign, 1), -115);
  EXPECT_EQ(FBinding->AddPublicKey(FTemp.File("g5.key", 304), dir, kOwnSign, 1), 0);
  EXPECT_EQ(Double().LastInput("AddOpenKey"), Block(304));
}

TEST_F(DirectoryCallsTest, AddPublicKeyCannotOpenAKeyFileHeldByAWriter) {
  Load();
  const std::string key = FTemp.File("held.key", 240);
  const std::string dir = FTemp.Dir("pub");
  {
    platform::FileLock writer(key);
    ASSERT_TRUE(writer.IsLocked());
    EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnSign, 1), -5);
  }
  EXPECT_THAT(CallNames(), IsEmpty());
  EXPECT_EQ(FBinding->AddPublicKey(key, dir, kOwnSign, 1), 0) << "the file was closed again";
}

TEST_F(DirectoryCallsTest, DeletePublicKeyChecksThenPassesTheKeyAndItsOwner) {
  CE_SKIP_IF_PROVIDER_PINNED();
  const std::string dir = FTemp.Dir("pub");
  {
    TKestrelDLL unloaded(KestrelUnit());
    EXPECT_EQ(unloaded.DeletePublicKey(FTemp.Sub("none"), "x", 5, kOtherSign), -1);
  }
  Load();
  EXPECT_EQ(FBinding->DeletePublicKey(FTemp.Sub("none"), "x", 5, kOtherSign), -9);
  EXPECT_EQ(FBinding->DeletePublicKey(dir, kOwnEncode, 1, kOtherSign), -10);
  EXPECT_THAT(CallNames(), IsEmpty());

  EXPECT_EQ(FBinding->DeletePublicKey(dir, kOwnSign, 1, kOtherSign), 0);
  EXPECT_THAT(Double().FirstArguments("DelOpenKey"), ElementsAre(dir, kOtherSign, kOwnSign, "S"));

  Double().SetResult("DelOpenKey", 117);
  EXPECT_EQ(FBinding->DeletePublicKey(dir, kOwnEncode, 0, kOtherEncode), 117);
  EXPECT_THAT(RecordingDouble::Arguments(Double().Log().back()),
              ElementsAre(dir, kOtherEncode, kOwnEncode, "E"));

  TKestrelDLLTestAccess::FDelOpenKey(*FBinding) = nullptr;
  EXPECT_EQ(FBinding->DeletePublicKey(dir, kOwnSign, 1, kOtherSign), -1);
}

TEST_F(DirectoryCallsTest, ExtractPublicKeyKeepsEveryByteZerosIncluded) {
  Load();
  std::string block(240, '\0');
  block[1] = 'A';
  block[239] = 'Z';
  Double().SetOutput("ExtractKey", block);
  std::string out = "old";
  EXPECT_EQ(FBinding->ExtractPublicKey(kOtherSign, "dir", out), 0);
  EXPECT_EQ(out, block);
  EXPECT_THAT(Double().FirstArguments("ExtractKey"), ElementsAre("dir", kOtherSign));

  Double().SetOutput("ExtractKey", "");
  Double().SetResult("ExtractKey", 117);
  EXPECT_EQ(FBinding->ExtractPublicKey(kOtherSign, "dir", out), 117);
  EXPECT_EQ(out.size(), 240u) << "the block keeps its length on failure";
}

// --- the engine operations ---------------------------------------------------

class PublicKeysTest : public ::testing::Test {
protected:
  PublicKeysTest() {
    E().SetCryptoParamValue(kParamSignUID, kOwnSign);
    E().SetCryptoParamValue(kParamEncodeUID, kOwnEncode);
    E().SetCryptoParamValue(kParamPathToPublic, FPublicDir.c_str());
    E().SetCryptoParamValue(kParamKeyDevice, "A:\\");
  }
  TKestrel4Engine &E() { return FEngine; }
  std::string LastExceptionText() { return E().FLastException.GetText(); }
  RecordingDouble &Double() { return FRoot.Double(); }
  std::vector<std::string> CallNames() { return Double().CallNames(); }
  int CallIndex(const std::string &name) { return ::CallIndex(Double(), name); }

  TTempDir FTemp;
  std::string FPublicDir = FTemp.Dir("pub");
  // The engine's directory: the parameter with a trailing delimiter.
  std::string FExpandedDir = FPublicDir + "\\";
  cetest::DoubleRoot FRoot;
  TKestrel4Engine FEngine;
};

TEST_F(PublicKeysTest, IncludePublicKeyLoadsTheOwnKeyThenAddsUnderTheSignatureOwner) {
  const std::string key = FTemp.File("corr.key", 240);
  EXPECT_EQ(E().IncludePublicKey(key.c_str()), 0);
  ASSERT_GE(CallIndex("InitKey"), 0);
  EXPECT_LT(CallIndex("InitKey"), CallIndex("AddOpenKey"));
  // The key path with the mark of its second NUL, and the empty second text.
  EXPECT_THAT(Double().FirstArguments("InitKey"), ElementsAre("A:\\\\0", ""));
  EXPECT_THAT(Double().FirstArguments("AddOpenKey"), ElementsAre(FExpandedDir, kOwnSign, "S"));
  ASSERT_EQ(KestrelUnit().KeyCache.size(), 1u);
  EXPECT_EQ(KestrelUnit().KeyCache.front().first, kOwnSign);
}

TEST_F(PublicKeysTest, IncludePublicEncodeKeyLoadsTheSignatureKeyAndAddsUnderTheEncryptionOwner) {
  const std::string key = FTemp.File("corr.key", 240);
  EXPECT_EQ(E().IncludePublicEncodeKey(key.c_str()), 0);
  ASSERT_EQ(KestrelUnit().KeyCache.size(), 1u);
  EXPECT_EQ(KestrelUnit().KeyCache.front().first, kOwnSign) << "the key loaded is Sign UID's";
  EXPECT_THAT(Double().FirstArguments("AddOpenKey"), ElementsAre(FExpandedDir, kOwnEncode, "E"));
}

TEST_F(PublicKeysTest, IncludeReportsAMissingFileAfterTheKeyWasLoaded) {
  EXPECT_EQ(E().IncludePublicKey(FTemp.Sub("none.key").c_str()), -8);
  EXPECT_GE(CallIndex("InitKey"), 0);
  EXPECT_EQ(CallIndex("AddOpenKey"), -1);
  EXPECT_EQ(E().IncludePublicKey(nullptr), -8) << "a nil path names no file";
}

TEST_F(PublicKeysTest, IncludeRefusesAnOwnerIdentifierOfTheWrongLength) {
  const std::string key = FTemp.File("corr.key", 240);
  E().SetCryptoParamValue(kParamEncodeUID, kOwnSign);
  EXPECT_EQ(E().IncludePublicEncodeKey(key.c_str()), -10);
  E().SetCryptoParamValue(kParamSignUID, kOwnEncode);
  EXPECT_EQ(E().IncludePublicKey(key.c_str()), -10);
  EXPECT_FALSE(Double().WasCalled("AddOpenKey"));
}

TEST_F(PublicKeysTest, IncludeFindsAPathWithTheRootPlaceholderUnderTheRoot) {
  FTemp.Dir("keys");
  FTemp.File("keys\\corr.key", 240);
  E().SetEngineRootPath(FTemp.Path());
  EXPECT_EQ(E().IncludePublicKey("%ZEVRoot%\\keys\\corr.key"), 0);
  EXPECT_EQ(Double().LastInput("AddOpenKey"), Block(240));
}

// Without the fakes: the engines below find no library at all.
TEST(PublicKeysWithoutLibraryTest, KeyTimeOutsThatAreNotNumbersStopBeforeTheLibrary) {
  TKestrel4Engine engine;
  engine.SetCryptoParamValue(kParamSignUID, kOwnSign);
  engine.SetCryptoParamValue(kParamKeyRequestTimeOut, "soon");
  EXPECT_EQ(engine.IncludePublicKey("x.key"), -108);
  EXPECT_EQ(engine.IncludePublicEncodeKey("x.key"), -108);
  EXPECT_EQ(engine.RemoveCertificate(kOtherSign), -108);
  engine.SetCryptoParamValue(kParamKeyRequestTimeOut, "60");
  engine.SetCryptoParamValue(kParamLastOperationKeyTimeOut, "1.5");
  EXPECT_EQ(engine.RemoveCertificate("short"), -108) << "time-outs are read before the identifier";
  EXPECT_EQ(engine.FKestrelDLL, nullptr) << "no connection was tried";
}

TEST(PublicKeysWithoutLibraryTest, TheOperationsReportTheMissingLibrary) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TKestrel4Engine engine;
  engine.SetCryptoParamValue(kParamSignUID, kOwnSign);
  EXPECT_EQ(engine.IncludePublicKey("x.key"), -113);
  EXPECT_EQ(engine.IncludePublicEncodeKey("x.key"), -113);
  EXPECT_EQ(engine.RemoveCertificate(kOtherSign), -113);
  EXPECT_EQ(engine.FKestrelDLL, nullptr);
}

TEST(PublicKeysWithoutLibraryTest, ClearCashEmptiesTheCacheKeepsItPrimedAndSurvivesNoLibrary) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TKestrelUnit &unit = KestrelUnit();
  unit.KeyCache.emplace_back(kOwnSign, TKeyCacheEntry{1.0, 1.0, 60, 5});
  unit.KeyCache.emplace_back(kOwnEncode, TKeyCacheEntry{1.0, 1.0, 60, 5});
  unit.KeyCachePrimed = true;

  TKestrel4Engine engine; // the cache is module-wide: any engine empties it
  engine.ClearCash();
  EXPECT_TRUE(unit.KeyCache.empty());
  EXPECT_TRUE(unit.KeyCachePrimed);
  EXPECT_EQ(engine.FKestrelDLL, nullptr) << "the failed connection leaves no binding";
  engine.ClearCash(); // again, on an empty cache
  EXPECT_TRUE(unit.KeyCache.empty());
}

TEST_F(PublicKeysTest, AKeyLoadFailureEndsTheOperation) {
  Double().SetResult("InitKey", 6);
  EXPECT_EQ(E().IncludePublicKey(FTemp.File("corr.key", 240).c_str()), 6);
  EXPECT_EQ(E().RemoveCertificate(kOtherSign), 6);
  EXPECT_FALSE(Double().WasCalled("AddOpenKey"));
  EXPECT_FALSE(Double().WasCalled("DelOpenKey"));
}

TEST_F(PublicKeysTest, RemoveCertificateClassifiesByLengthBeforeAnyKeyIsLoaded) {
  EXPECT_EQ(E().RemoveCertificate("00020000000"), -10); // 11 characters
  EXPECT_EQ(E().RemoveCertificate(""), -10);
  EXPECT_EQ(E().RemoveCertificate(nullptr), -10);
  EXPECT_THAT(CallNames(), IsEmpty());
}

TEST_F(PublicKeysTest, RemoveCertificateRefusesTheUsersOwnKeys) {
  EXPECT_EQ(E().RemoveCertificate(kOwnSign), -111);
  EXPECT_EQ(E().RemoveCertificate(kOwnEncode), -111);
  EXPECT_THAT(CallNames(), IsEmpty());

  // Byte for byte: another letter case is another key.
  E().SetCryptoParamValue(kParamSignUID, "0001abcdefgh");
  EXPECT_EQ(E().RemoveCertificate("0001ABCDEFGH"), 0);
}

TEST_F(PublicKeysTest, RemoveCertificateLoadsTheOwnerOfTheSameKindAndDeletes) {
  EXPECT_EQ(E().RemoveCertificate(kOtherSign), 0);
  EXPECT_THAT(Double().FirstArguments("DelOpenKey"),
              ElementsAre(FExpandedDir, kOtherSign, kOwnSign, "S"));
  EXPECT_EQ(KestrelUnit().KeyCache.front().first, kOwnSign);

  Double().ClearLog();
  EXPECT_EQ(E().RemoveCertificate(kOtherEncode), 0);
  EXPECT_THAT(Double().FirstArguments("DelOpenKey"),
              ElementsAre(FExpandedDir, kOtherEncode, kOwnEncode, "E"));
  EXPECT_EQ(KestrelUnit().KeyCache.back().first, kOwnEncode);

  Double().SetResult("DelOpenKey", 117);
  EXPECT_EQ(E().RemoveCertificate(kOtherSign), 117);
}

TEST_F(PublicKeysTest, RemoveCertificateMovesTheOwnerKeyToSlot0OnlyWhenTheSwitchSaysSo) {
  // Another key sits in slot 0; the owner's key is not in the driver.
  kestrel::TDriverSlotInfo other{};
  std::snprintf(other.Num, sizeof other.Num, "%s", kOtherEncode);
  std::snprintf(other.NumP, sizeof other.NumP, "%s", kOtherSign);
  other.SlotNo = 0;
  Double().SetSlots({other});

  EXPECT_EQ(E().RemoveCertificate("000300000001"), 0);
  EXPECT_FALSE(Double().WasCalled("ResetKeyEx")) << "\"No\": slot 0 stays as it is";

  E().SetCryptoParamValue(kParamUse0SlotForVerify, "Yes");
  E().SetCryptoParamValue(kParamSignUID, "000400000001"); // a key not yet in the cache
  Double().ClearLog();
  EXPECT_EQ(E().RemoveCertificate("000300000001"), 0);
  ASSERT_TRUE(Double().WasCalled("ResetKeyEx"));
  EXPECT_THAT(Double().FirstArguments("ResetKeyEx"), ElementsAre(kOtherEncode, "1"));
}

TEST_F(PublicKeysTest, AnExceptionInTheLibraryWorkIsCapturedWithTheOperationsName) {
  ASSERT_EQ(E().GetCryptoAPI(), 0);
  TKestrelDLLTestAccess::FAddOpenKey(*E().FKestrelDLL) = &AddOpenKeyThatRaises;
  const std::string key = FTemp.File("corr.key", 240);
  EXPECT_EQ(E().IncludePublicEncodeKey(key.c_str()), -102);
  EXPECT_THAT(LastExceptionText(),
              ::testing::StartsWith("TKestrel4Engine.IncludePublicEncodeKey: "));
  EXPECT_THAT(LastExceptionText(), ::testing::EndsWith(": disk gone"));
  EXPECT_EQ(E().IncludePublicKey(key.c_str()), -102);
  EXPECT_THAT(LastExceptionText(), ::testing::StartsWith("TKestrel4Engine.IncludePublicKey: "));

  // The engine lock was released on the way out.
  std::thread other([] { std::lock_guard lock(EngineLock()); });
  other.join();
}

TEST_F(PublicKeysTest, AfterClearCashTheNextOperationLoadsTheKeyAfresh) {
  const std::string key = FTemp.File("corr.key", 240);
  ASSERT_EQ(E().IncludePublicKey(key.c_str()), 0);
  // The driver now holds the key in slot 0.
  kestrel::TDriverSlotInfo own{};
  std::snprintf(own.NumP, sizeof own.NumP, "%s", kOwnSign);
  Double().SetSlots({own});

  Double().ClearLog();
  ASSERT_EQ(E().IncludePublicKey(key.c_str()), 0);
  EXPECT_EQ(CallIndex("InitKey"), -1) << "the cached key is used while its times allow";

  E().ClearCash();
  EXPECT_TRUE(KestrelUnit().KeyCache.empty());
  EXPECT_NE(E().FKestrelDLL, nullptr) << "the connection is kept";
  Double().ClearLog();
  ASSERT_EQ(E().IncludePublicKey(key.c_str()), 0);
  EXPECT_GE(CallIndex("InitKey"), 0);
}

} // namespace
