// Encryption and decryption against the call-recording double: the order of
// the checks, what reaches the library, what the host gets back, and that
// nothing stays locked or open.
#include "key_operation_support.h"

#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "kestrel/key_identifiers.h"
#include "tests/support/kestrel_access.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using cetest::DoubleRoot;
using keyop_test::ExpectEngineIdle;
using keyop_test::kEncodeUID;
using keyop_test::Set;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Text(std::size_t size, char first = 'a') {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>(first + i % 26);
  return text;
}

// A host buffer: the data, then room up to its capacity filled with '#'.
struct THostBuffer {
  std::vector<char> Bytes;
  int32_t Size;
  THostBuffer(const std::string &data, std::size_t capacity)
      : Bytes(capacity, '#'), Size(static_cast<int32_t>(data.size())) {
    std::memcpy(Bytes.data(), data.data(), data.size());
  }
  std::string Content() const { return std::string(Bytes.data(), static_cast<std::size_t>(Size)); }
};

class EncryptionTest : public ::testing::Test {
protected:
  void SetUp() override { Set(Engine, kParamEncodeUID, kEncodeUID); }

  cetest::RecordingDouble &Double() { return Root.Double(); }
  bool LibraryLoaded() const { return KestrelUnit().LoadedLibrary() != nullptr; }

  DoubleRoot Root;
  TKestrel4Engine Engine;
};

// --- EncodeData -------------------------------------------------------------

TEST_F(EncryptionTest, EncodeForOneRecipientGrowsBy85AndCopiesTheLibrarysBlock) {
  THostBuffer host(Text(100), 100 + 85 + 10);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), 0);
  EXPECT_EQ(host.Size, 185);
  // The double writes the input followed by 48 x N + 37 bytes of 0xE5.
  EXPECT_EQ(host.Content(), Text(100) + std::string(85, '\xE5'));
  EXPECT_EQ(std::string(host.Bytes.data() + 185, 10), std::string(10, '#'));
  EXPECT_EQ(Double().Log(),
            (std::vector<std::string>{"GetDrvInfo()", "InitKey(\"a:\\0\",\"\")", "GetDrvInfo()",
                                      "CryptoInit(\"A:\\\",\"A:\\\")", "EnCryptMem(100,1,[2],\"\")",
                                      "CryptoDone()"}));
  ExpectEngineIdle(Engine);
}

TEST_F(EncryptionTest, EncodeForThreeRecipientsGrowsBy181) {
  THostBuffer host(Text(100), 400);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002;0017000001;-1"), 0);
  EXPECT_EQ(host.Size, 281);
  // The host sizes its buffer by GetMaxAdditionEx for the same list.
  EXPECT_EQ(Engine.GetMaxAdditionEx("0002;0017000001;-1"), 281 - 100);
  EXPECT_THAT(Double().CallsOf("EnCryptMem"), ElementsAre("EnCryptMem(100,1,[2,17,65535],\"\")"));
}

TEST_F(EncryptionTest, EncodeWithoutRecipientsUsesTheParameter) {
  Set(Engine, kParamEncryptForKeyNumber, " 0003;0004 ");
  Set(Engine, kParamKeySerialNumber, "SER001");
  THostBuffer host(Text(10), 300);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, nullptr), 0);
  EXPECT_EQ(host.Size, 10 + 2 * 48 + 37);
  host.Size = 10;
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, ""), 0);
  EXPECT_THAT(Double().CallsOf("EnCryptMem"), ElementsAre("EnCryptMem(10,1,[3,4],\"SER001\")",
                                                          "EnCryptMem(10,1,[3,4],\"SER001\")"));
}

TEST_F(EncryptionTest, EncodeArgumentsAndParametersAreCheckedBeforeTheLibraryIsLoaded) {
  THostBuffer host(Text(10), 300);
  int32_t zero = 0;
  EXPECT_EQ(Engine.EncodeData(nullptr, &host.Size, "0002"), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), nullptr, "0002"), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &zero, "0002"), CE_ERR_BAD_ARGUMENT);
  // Blanks only: the argument is given, so the parameter is not consulted.
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, " \t "), CE_ERR_BAD_ABONENTS);
  Set(Engine, kParamEncryptForKeyNumber, "  ");
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, nullptr), CE_ERR_BAD_ABONENTS);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002;"), CE_ERR_ENCODE_UID_SETTINGS);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002;0000"),
            CE_ERR_ENCODE_UID_SETTINGS);
  Set(Engine, kParamEncodeUID, "Z001000001");
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), CE_ERR_ENCODE_UID_SETTINGS);
  // A bad key time-out is reported before the recipients are read.
  Set(Engine, kParamKeyRequestTimeOut, "soon");
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002;"), CE_ERR_TIMEOUT_SETTINGS);
  // ...but after the arguments.
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &zero, "0002;"), CE_ERR_BAD_ARGUMENT);

  EXPECT_FALSE(LibraryLoaded());
  EXPECT_EQ(host.Size, 10);
  EXPECT_EQ(host.Content(), Text(10));
}

TEST_F(EncryptionTest, DefaultEncodeUIDPassesTheChecksAndFailsInKeyLoading) {
  Set(Engine, kParamEncodeUID, "0001");
  THostBuffer host(Text(10), 300);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), TKestrelDLL::kBadUID);
  EXPECT_TRUE(LibraryLoaded());
  EXPECT_THAT(Double().Log(), IsEmpty());
  ExpectEngineIdle(Engine);
}

TEST_F(EncryptionTest, EncodeThatFailsLeavesTheHostBufferAsItWas) {
  Double().PushResult("EnCryptMem", 36);
  THostBuffer host(Text(50), 300);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), 36);
  EXPECT_EQ(host.Size, 50);
  EXPECT_EQ(std::string(host.Bytes.data(), 300), Text(50) + std::string(250, '#'));
  EXPECT_EQ(Double().Log().back(), "CryptoDone()");
  ExpectEngineIdle(Engine);
}

TEST_F(EncryptionTest, EncodeStopsAtAFailedKeyLoadOrContext) {
  THostBuffer host(Text(10), 300);
  Double().PushResult("InitKey", 39);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), 39);
  EXPECT_FALSE(Double().WasCalled("CryptoInit"));

  Double().ClearLog();
  Double().PushResult("CryptoInit", 8);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), 8);
  EXPECT_FALSE(Double().WasCalled("EnCryptMem"));
  EXPECT_FALSE(Double().WasCalled("CryptoDone")) << "no context was opened";
  EXPECT_EQ(host.Size, 10);
  ExpectEngineIdle(Engine);
}

TEST_F(EncryptionTest, AnExceptionInTheLibraryWorkIsCapturedWithTheOperationsPrefix) {
  THostBuffer host(Text(10), 300);
  ASSERT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), 0);
  // The binding stays with the engine; without CryptoInit opening the
  // context raises.
  TKestrelDLLTestAccess::FCryptoInit(*Engine.FKestrelDLL) = nullptr;
  host.Size = 10;
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), CE_ERR_EXCEPTION);
  EXPECT_EQ(host.Size, 10);
  EXPECT_THAT(Engine.FLastException.GetText(),
              ::testing::StartsWith("TKestrel4Engine.EncodeData: EAssertionFailed: "));
  ExpectEngineIdle(Engine);

  int32_t size = 10;
  char sender[16] = {};
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &size, sender), CE_ERR_EXCEPTION);
  EXPECT_THAT(Engine.FLastException.GetText(),
              ::testing::StartsWith("TKestrel4Engine.DecodeData: EAssertionFailed: "));
  ExpectEngineIdle(Engine);
}

// --- DecodeData -------------------------------------------------------------

TEST_F(EncryptionTest, DecodeNamesTheSenderAndDecryptsInPlace) {
  const std::string block = Text(185, 'A');
  Double().SetOutput("GetMemSenderID", "0002000001");
  Double().SetOutput("DeCryptMem", Text(100));
  THostBuffer host(block, 185);
  char sender[255];
  std::memset(sender, '#', sizeof sender);
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &host.Size, sender), 0);
  EXPECT_EQ(host.Size, 100);
  EXPECT_EQ(host.Content(), Text(100));
  EXPECT_STREQ(sender, "0002000001");
  EXPECT_EQ(Double().LastInput("DeCryptMem"), block) << "the host's own buffer is decrypted";
  EXPECT_EQ(Double().Log(),
            (std::vector<std::string>{"GetDrvInfo()", "InitKey(\"a:\\0\",\"\")", "GetDrvInfo()",
                                      "CryptoInit(\"A:\\\",\"A:\\\")", "GetMemSenderID(185)",
                                      "DeCryptMem(185,1)", "CryptoDone()"}));
  ExpectEngineIdle(Engine);
}

TEST(DecodeWithoutLibrary, BadArgumentsAreNotLookedAtBeforeTheLibraryIsThere) {
  CE_SKIP_IF_PROVIDER_PINNED();
  cetest::TestRoot root; // no provider under it
  root.SetAsRoot();
  TKestrel4Engine engine;
  int32_t zero = 0;
  EXPECT_EQ(engine.DecodeData(nullptr, &zero, nullptr), CE_ERR_LOAD_LIBRARY);
  // EncodeData looks at its arguments first.
  EXPECT_EQ(engine.EncodeData(nullptr, &zero, nullptr), CE_ERR_BAD_ARGUMENT);
  char data[8] = "abcdefg";
  int32_t size = 7;
  EXPECT_EQ(engine.EncodeData(data, &size, "0002"), CE_ERR_LOAD_LIBRARY);
  ExpectEngineIdle(engine);
}

TEST_F(EncryptionTest, DecodeChecksArgumentsAndOwnKeyNumberBeforeLoadingTheKey) {
  THostBuffer host(Text(185), 185);
  char sender[16] = {};
  int32_t zero = 0;
  EXPECT_EQ(Engine.DecodeData(nullptr, &host.Size, sender), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &zero, sender), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), nullptr, sender), CE_ERR_BAD_ARGUMENT);
  Set(Engine, kParamEncodeUID, "00x1000001");
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &host.Size, sender), CE_ERR_ENCODE_UID_SETTINGS);
  EXPECT_TRUE(LibraryLoaded());
  EXPECT_THAT(Double().Log(), IsEmpty()) << "no key is loaded";

  Set(Engine, kParamLastOperationKeyTimeOut, "5 ");
  EXPECT_EQ(Engine.DecodeData(nullptr, &zero, sender), CE_ERR_TIMEOUT_SETTINGS);
  ExpectEngineIdle(Engine);
}

TEST_F(EncryptionTest, DecodeWithDefaultEncodeUIDFailsInKeyLoading) {
  Set(Engine, kParamEncodeUID, "0001");
  THostBuffer host(Text(185), 185);
  char sender[16] = {};
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &host.Size, sender), TKestrelDLL::kBadUID);
  EXPECT_THAT(Double().Log(), IsEmpty());
}

TEST_F(EncryptionTest, DecodeWithoutSenderBufferFailsAfterTheKeyWasLoaded) {
  THostBuffer host(Text(185), 185);
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &host.Size, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_TRUE(Double().WasCalled("InitKey"));
  EXPECT_FALSE(Double().WasCalled("GetMemSenderID"));
  EXPECT_EQ(Double().Log().back(), "CryptoDone()");
  ExpectEngineIdle(Engine);
}

TEST_F(EncryptionTest, AnUnknownSenderLeavesTheBlockEncrypted) {
  Double().PushResult("GetMemSenderID", 11);
  THostBuffer host(Text(185), 185);
  char sender[16] = {};
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &host.Size, sender), 11);
  EXPECT_FALSE(Double().WasCalled("DeCryptMem"));
  EXPECT_EQ(host.Size, 185);
  EXPECT_EQ(host.Content(), Text(185));
  ExpectEngineIdle(Engine);
}

// The key device is attached while the request window is shown: key loading
// and decryption each show the window once, retry every 500 ms and withdraw
// it once; the block is decrypted exactly once.
TEST_F(EncryptionTest, KeyDeviceAttachedWhileTheRequestWindowIsShown) {
  Engine.FTMRequestFunc = keyop_test::RecordRequest;
  Set(Engine, kParamKeyDevice, "tm:com1");
  Set(Engine, kParamPathToSecret, "TM:COM1");
  const std::string block = Text(185, 'A');
  for (int i = 0; i < 3; ++i)
    Double().PushResult("InitKey", 36);
  Double().SetOutput("GetMemSenderID", "0002000001");
  for (int i = 0; i < 2; ++i) {
    Double().PushResult("DeCryptMem", 36);
    Double().PushOutput("DeCryptMem", block); // a failed call leaves the block
  }
  Double().PushOutput("DeCryptMem", Text(100));
  Double().SetOutput("DeCryptMem", "decrypted twice");

  THostBuffer host(block, 185);
  char sender[16] = {};
  EXPECT_EQ(Engine.DecodeData(host.Bytes.data(), &host.Size, sender), 0);
  EXPECT_EQ(host.Size, 100);
  EXPECT_EQ(host.Content(), Text(100));
  EXPECT_THAT(Double().CallsOf("InitKey"),
              ElementsAre("InitKey(\"tm:com1\\0\",\"\")", "InitKey(\"tm:com1\\0\",\"\")",
                          "InitKey(\"tm:com1\\0\",\"\")", "InitKey(\"tm:com1\\0\",\"\")"));
  EXPECT_EQ(Double().CallsOf("DeCryptMem").size(), 3u);
  EXPECT_EQ(Double().CallsOf("GetMemSenderID").size(), 1u);
  // One window for the key load, one for the decryption.
  const auto &requests = keyop_test::Requests();
  ASSERT_THAT(requests.States, ElementsAre(0, 1, 0, 1));
  // Two failed decryptions while the window was shown: two pauses of 500 ms.
  EXPECT_GE(requests.Times[3] - requests.Times[2], std::chrono::milliseconds(1000));
  ExpectEngineIdle(Engine);
}

TEST_F(EncryptionTest, AKeyPathThatNamesNoDeviceGetsOneCallAndNoWindow) {
  Engine.FTMRequestFunc = keyop_test::RecordRequest;
  Double().PushResult("EnCryptMem", 36);
  THostBuffer host(Text(10), 300);
  EXPECT_EQ(Engine.EncodeData(host.Bytes.data(), &host.Size, "0002"), 36);
  EXPECT_EQ(Double().CallsOf("EnCryptMem").size(), 1u);
  EXPECT_THAT(keyop_test::Requests().States, IsEmpty());
}

// --- the binding's calls ----------------------------------------------------

TEST_F(EncryptionTest, BindingRefusesMalformedRecipientArraysWithoutCallingTheLibrary) {
  ASSERT_EQ(Engine.GetCryptoAPI(), 0);
  TKestrelDLL &binding = *Engine.FKestrelDLL;
  const std::string input = Text(10);
  std::vector<char> output(10 + kestrel::EncryptedBlockOverhead(3));
  const auto encrypt = [&](std::vector<uint16_t> recipients) {
    return binding.EncryptMemory("A:\\", input.data(), 10, output.data(), 1, recipients, "", 5);
  };
  EXPECT_EQ(encrypt({0}), TKestrelDLL::kBadRecipients);
  EXPECT_EQ(encrypt({}), TKestrelDLL::kBadRecipients);
  EXPECT_EQ(encrypt({2, 3}), TKestrelDLL::kBadRecipients);
  // A 0 before the end would make the library encrypt for fewer recipients
  // than the output was sized for.
  EXPECT_EQ(encrypt({2, 0, 3, 0}), TKestrelDLL::kBadRecipients);
  EXPECT_EQ(binding.EncryptMemory("A:\\", input.data(), 0, output.data(), 1, {2, 0}, "", 5),
            TKestrelDLL::kInvalidParameters);
  EXPECT_EQ(binding.EncryptMemory("A:\\", nullptr, 10, output.data(), 1, {2, 0}, "", 5),
            TKestrelDLL::kInvalidParameters);
  EXPECT_EQ(binding.EncryptMemory("A:\\", input.data(), 10, nullptr, 1, {2, 0}, "", 5),
            TKestrelDLL::kInvalidParameters);
  EXPECT_THAT(Double().Log(), IsEmpty());
  EXPECT_EQ(encrypt({2, 3, 0}), 0);
  EXPECT_THAT(Double().Log(), ElementsAre("EnCryptMem(10,1,[2,3],\"\")"));
}

TEST(EncryptionBinding, WithoutTheLibraryTheCallsAnswerNotInitialized) {
  CE_SKIP_IF_PROVIDER_PINNED();
  cetest::TestRoot root;
  root.SetAsRoot();
  TKestrelDLL binding(KestrelUnit()); // finds no library
  ASSERT_FALSE(binding.FLoaded);
  char block[16] = "0123456789";
  int32_t length = 10;
  char sender[16] = {};
  EXPECT_EQ(binding.EncryptMemory("A:\\", block, 10, block, 1, {2, 0}, "", 5),
            TKestrelDLL::kNotInitialized);
  EXPECT_EQ(binding.DecryptMemory("A:\\", block, &length, 1, sender, 5),
            TKestrelDLL::kNotInitialized);
}

} // namespace
