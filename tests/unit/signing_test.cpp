// Detached and attached signatures against the call-recording double: where
// each operation checks its arguments, which key is loaded, what reaches the
// library, the status arrays going back to FreeMemory, and that nothing
// stays locked or open.
#include "key_operation_support.h"

#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/kestrel_access.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using cetest::DoubleRoot;
using cetest::SignStatus;
using keyop_test::ExpectEngineIdle;
using keyop_test::kSignUID;
using keyop_test::Set;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string kOtherSigner = "000200000101";
const std::string kData = "signed data";

bool InKeyCache(const std::string &keyNumber) {
  const auto &cache = KestrelUnit().KeyCache;
  return std::any_of(cache.begin(), cache.end(),
                     [&](const auto &item) { return item.first == keyNumber; });
}

// A host buffer for a signer identifier, filled with '#' to show what is written.
struct TSignerBuffer {
  char Bytes[255];
  TSignerBuffer() { std::memset(Bytes, '#', sizeof Bytes); }
  bool Untouched() const {
    return std::all_of(std::begin(Bytes), std::end(Bytes), [](char c) { return c == '#'; });
  }
};

class SigningTest : public ::testing::Test {
protected:
  void SetUp() override { Set(Engine, kParamSignUID, kSignUID); }
  cetest::RecordingDouble &Double() { return Root.Double(); }

  int32_t Sign(const std::string &data, std::string &signature, const char *signer = nullptr) {
    char buffer[255];
    int32_t length = -1;
    const int32_t result =
        Engine.SignData(data.data(), static_cast<int32_t>(data.size()), buffer, &length, signer);
    signature.assign(buffer, static_cast<std::size_t>(std::max(length, 0)));
    return result;
  }
  int32_t Verify(const std::string &data, const std::string &signature, char *signer) {
    return Engine.VerifyData(data.data(), static_cast<int32_t>(data.size()), signature.data(),
                             static_cast<int32_t>(signature.size()), signer);
  }

  DoubleRoot Root;
  TKestrel4Engine Engine;
};

// --- SignData ---------------------------------------------------------------

TEST_F(SigningTest, SignDataReturnsTheLibrarysSignature) {
  Double().SetOutput("SignMemSeparateEx", "SIGNATURE");
  std::string signature;
  EXPECT_EQ(Sign(kData, signature), 0);
  EXPECT_EQ(signature, "SIGNATURE");
  EXPECT_EQ(Double().LastInput("SignMemSeparateEx"), kData);
  EXPECT_EQ(Double().Log(),
            (std::vector<std::string>{"GetDrvInfo()", "InitKey(\"a:\\0\",\"\")", "GetDrvInfo()",
                                      "SignInit(\"A:\\\",\"A:\\\")",
                                      "SignMemSeparateEx(11,\"000100000101\")", "SignDone()"}));
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, SignDataSignsForTheNamedSignerButLoadsTheOwnKey) {
  std::string signature;
  EXPECT_EQ(Sign(kData, signature, kOtherSigner.c_str()), 0);
  EXPECT_THAT(Double().CallsOf("SignMemSeparateEx"),
              ElementsAre("SignMemSeparateEx(11,\"000200000101\")"));
  EXPECT_TRUE(InKeyCache(kSignUID));
  EXPECT_FALSE(InKeyCache(kOtherSigner));
  // An empty signer means the user's own key.
  EXPECT_EQ(Sign(kData, signature, ""), 0);
  EXPECT_EQ(Double().CallsOf("SignMemSeparateEx").back(), "SignMemSeparateEx(11,\"000100000101\")");
}

TEST_F(SigningTest, SignDataWithAFiveCharacterSignerGivesMinus10WithoutSigning) {
  std::string signature;
  EXPECT_EQ(Sign(kData, signature, "00010"), TKestrelDLL::kBadUID);
  EXPECT_FALSE(Double().WasCalled("SignMemSeparateEx"));
  EXPECT_EQ(Double().Log().back(), "SignDone()");
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, SignDataLoadsTheKeyBeforeLookingAtItsArguments) {
  char signature[255];
  int32_t length = 0;
  EXPECT_EQ(Engine.SignData(kData.data(), 0, signature, &length, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_TRUE(Double().WasCalled("InitKey"));
  EXPECT_FALSE(Double().WasCalled("SignInit"));
  Double().ClearLog();
  EXPECT_EQ(Engine.SignData(nullptr, 5, signature, &length, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.SignData(kData.data(), 5, nullptr, &length, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.SignData(kData.data(), 5, signature, nullptr, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_FALSE(Double().WasCalled("SignInit"));
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, BadKeyTimeOutsEndEveryOperationBeforeTheLibraryIsLoaded) {
  Set(Engine, kParamKeyRequestTimeOut, "sixty");
  char buffer[255];
  int32_t length = 10;
  TSignerBuffer signer;
  EXPECT_EQ(Engine.SignData(kData.data(), 11, buffer, &length, nullptr), CE_ERR_TIMEOUT_SETTINGS);
  EXPECT_EQ(Engine.VerifyData(kData.data(), 11, buffer, 10, signer.Bytes), CE_ERR_TIMEOUT_SETTINGS);
  EXPECT_EQ(Engine.AddSign(buffer, &length, nullptr), CE_ERR_TIMEOUT_SETTINGS);
  EXPECT_EQ(Engine.RemoveSignature(buffer, &length, signer.Bytes), CE_ERR_TIMEOUT_SETTINGS);
  EXPECT_EQ(KestrelUnit().LoadedLibrary(), nullptr);
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, AFiveCharacterSignUIDFailsInKeyLoading) {
  Set(Engine, kParamSignUID, "00010");
  std::string signature;
  EXPECT_EQ(Sign(kData, signature), TKestrelDLL::kBadUID);
  EXPECT_THAT(Double().Log(), IsEmpty());
}

// --- VerifyData -------------------------------------------------------------

TEST_F(SigningTest, VerifyDataNamesTheSignerAndGivesTheStatusArrayBack) {
  Double().SetStatuses("CheckMemSeparate", {{kOtherSigner, 0}, {"999999999999", 1}});
  TSignerBuffer signer;
  EXPECT_EQ(Verify(kData, "SIG", signer.Bytes), 0);
  EXPECT_EQ(std::string(signer.Bytes, 13), kOtherSigner + '\0');
  EXPECT_EQ(signer.Bytes[13], '#') << "13 bytes are written";
  EXPECT_EQ(Double().LastInput("CheckMemSeparate:signature"), "SIG");
  EXPECT_EQ(Double().Log(),
            (std::vector<std::string>{"GetDrvInfo()", "InitKey(\"a:\\0\",\"\")", "GetDrvInfo()",
                                      "SignInit(\"A:\\\",\"A:\\\")", "CheckMemSeparate(11,3)",
                                      "FreeMemory(status)", "SignDone()"}));
  EXPECT_EQ(Double().OutstandingAllocations(), 0);
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, VerifyDataReportsTheFirstVerdictAndWritesNoSigner) {
  TSignerBuffer signer;
  Double().PushStatuses("CheckMemSeparate", {{kOtherSigner, 1}, {kOtherSigner, 0}});
  EXPECT_EQ(Verify(kData, "SIG", signer.Bytes), 1001);
  Double().PushStatuses("CheckMemSeparate", {{kOtherSigner, 2}});
  EXPECT_EQ(Verify(kData, "SIG", signer.Bytes), 1002);
  Double().PushStatuses("CheckMemSeparate", {});
  EXPECT_EQ(Verify(kData, "SIG", signer.Bytes), TKestrelDLL::kBadSignaturesCount);
  EXPECT_TRUE(signer.Untouched());
  EXPECT_EQ(Double().OutstandingAllocations(), 0);
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, AFailedCheckIsPassedOnAndHandsNothingBack) {
  Double().PushResult("CheckMemSeparate", 12);
  TSignerBuffer signer;
  EXPECT_EQ(Verify(kData, "SIG", signer.Bytes), 12);
  EXPECT_FALSE(Double().WasCalled("FreeMemory"));
  EXPECT_TRUE(signer.Untouched());
}

TEST_F(SigningTest, SignaturesWithoutStatusRecordsAreAnInternalFailure) {
  Double().PushNilStatuses("CheckMemSeparate", 1);
  TSignerBuffer signer;
  EXPECT_EQ(Verify(kData, "SIG", signer.Bytes), CE_ERR_EXCEPTION);
  EXPECT_THAT(Engine.FLastException.GetText(),
              StartsWith("TKestrel4Engine.VerifyData: EAssertionFailed: "));
  EXPECT_EQ(Double().Log().back(), "SignDone()");
  EXPECT_TRUE(signer.Untouched());
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, VerifyDataChecksItsArgumentsInOrderAfterKeyLoading) {
  TSignerBuffer signer;
  const char *sig = "SIG";
  EXPECT_EQ(Engine.VerifyData(kData.data(), 0, sig, 3, signer.Bytes), CE_ERR_BAD_ARGUMENT);
  EXPECT_TRUE(Double().WasCalled("InitKey"));
  EXPECT_EQ(Engine.VerifyData(nullptr, 11, sig, 3, signer.Bytes), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.VerifyData(kData.data(), 11, sig, 0, signer.Bytes), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.VerifyData(kData.data(), 11, nullptr, 3, signer.Bytes), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.VerifyData(kData.data(), 11, sig, 3, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_FALSE(Double().WasCalled("SignInit"));
  ExpectEngineIdle(Engine);
}

// With "Use 0 slot for verify signature" the key must sit in slot 0, so the
// key found there is reset first; the switch reads true only for "Yes" and "Да".
TEST_F(SigningTest, VerificationFreesSlot0OnlyWhenTheSwitchSaysSo) {
  Double().SetSlots({cetest::Slot("0002000001", kOtherSigner, 0)});
  TSignerBuffer signer;
  Set(Engine, kParamUse0SlotForVerify, "yes");
  Verify(kData, "SIG", signer.Bytes);
  EXPECT_FALSE(Double().WasCalled("ResetKeyEx"));
  KestrelUnit().KeyCache.clear();
  Set(Engine, kParamUse0SlotForVerify, "Yes");
  Verify(kData, "SIG", signer.Bytes);
  EXPECT_THAT(Double().CallsOf("ResetKeyEx"), ElementsAre("ResetKeyEx(\"0002000001\",1)"));
}

// --- AddSign ----------------------------------------------------------------

TEST_F(SigningTest, AddSignAppendsTheSignatureInPlace) {
  Double().SetOutput("SignMemEx", "+SIGNATURE");
  std::vector<char> block(10 + 353, '#');
  std::memcpy(block.data(), "0123456789", 10);
  int32_t length = 10;
  EXPECT_EQ(Engine.AddSign(block.data(), &length, nullptr), 0);
  EXPECT_EQ(length, 20);
  EXPECT_EQ(std::string(block.data(), 20), "0123456789+SIGNATURE");
  EXPECT_EQ(Double().Log(),
            (std::vector<std::string>{"GetDrvInfo()", "InitKey(\"a:\\0\",\"\")", "GetDrvInfo()",
                                      "SignInit(\"A:\\\",\"A:\\\")",
                                      "SignMemEx(10,\"000100000101\")", "SignDone()"}));
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, AddSignChecksItsArgumentsAfterKeyLoadingAndItsSignerInTheBinding) {
  std::vector<char> block(10 + 353, '#');
  int32_t length = 0;
  EXPECT_EQ(Engine.AddSign(block.data(), &length, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_TRUE(Double().WasCalled("InitKey"));
  EXPECT_EQ(Engine.AddSign(block.data(), nullptr, nullptr), CE_ERR_BAD_ARGUMENT);
  length = 10;
  EXPECT_EQ(Engine.AddSign(nullptr, &length, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_FALSE(Double().WasCalled("SignInit"));
  EXPECT_EQ(Engine.AddSign(block.data(), &length, "00010"), TKestrelDLL::kBadUID);
  EXPECT_FALSE(Double().WasCalled("SignMemEx"));
  EXPECT_EQ(Engine.AddSign(block.data(), &length, kOtherSigner.c_str()), 0);
  EXPECT_THAT(Double().CallsOf("SignMemEx"), ElementsAre("SignMemEx(10,\"000200000101\")"));
  EXPECT_FALSE(InKeyCache(kOtherSigner));
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, AddSignWithoutItsEntryPointRaisesAndClosesTheContext) {
  int32_t length = 10;
  char block[400] = "0123456789";
  ASSERT_EQ(Engine.AddSign(block, &length, nullptr), 0);
  TKestrelDLLTestAccess::FSignMemEx(*Engine.FKestrelDLL) = nullptr;
  Double().ClearLog();
  EXPECT_EQ(Engine.AddSign(block, &length, nullptr), CE_ERR_EXCEPTION);
  EXPECT_THAT(Engine.FLastException.GetText(),
              StartsWith("TKestrel4Engine.AddSign: EAssertionFailed: "));
  EXPECT_EQ(Double().Log().back(), "SignDone()");
  ExpectEngineIdle(Engine);
}

// --- RemoveSignature --------------------------------------------------------

TEST_F(SigningTest, RemoveSignatureTakesTheFirstValidSignatureOff) {
  Double().SetStatuses("check_mem_sign", {{kOtherSigner, 0}});
  Double().SetOutput("Del_Mem_Sign", "0123456789");
  std::string block = "0123456789+SIGNATURE";
  int32_t length = 20;
  TSignerBuffer signer;
  EXPECT_EQ(Engine.RemoveSignature(block.data(), &length, signer.Bytes), 0);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(block.substr(0, 10), "0123456789");
  EXPECT_EQ(std::string(signer.Bytes, 13), kOtherSigner + '\0');
  EXPECT_EQ(signer.Bytes[13], '#');
  EXPECT_EQ(Double().Log(),
            (std::vector<std::string>{"GetDrvInfo()", "InitKey(\"a:\\0\",\"\")", "GetDrvInfo()",
                                      "SignInit(\"A:\\\",\"A:\\\")", "check_mem_sign(20)",
                                      "Del_Mem_Sign(20,1)", "FreeMemory(status)", "SignDone()"}));
  EXPECT_EQ(Double().OutstandingAllocations(), 0);
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, RemoveSignatureChecksItsArgumentsBeforeLoadingAnyKey) {
  std::string block = "0123456789+SIGNATURE";
  int32_t length = 20;
  int32_t zero = 0;
  TSignerBuffer signer;
  EXPECT_EQ(Engine.RemoveSignature(block.data(), &length, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.RemoveSignature(block.data(), &zero, signer.Bytes), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.RemoveSignature(block.data(), nullptr, signer.Bytes), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(Engine.RemoveSignature(nullptr, &length, signer.Bytes), CE_ERR_BAD_ARGUMENT);
  EXPECT_NE(KestrelUnit().LoadedLibrary(), nullptr);
  EXPECT_THAT(Double().Log(), IsEmpty());
  ExpectEngineIdle(Engine);
}

TEST_F(SigningTest, AnInvalidFirstSignatureLeavesTheBlockAsItWas) {
  std::string block = "0123456789+SIGNATURE";
  int32_t length = 20;
  TSignerBuffer signer;
  Double().PushStatuses("check_mem_sign", {{kOtherSigner, 1}, {kOtherSigner, 0}});
  EXPECT_EQ(Engine.RemoveSignature(block.data(), &length, signer.Bytes), 1001);
  Double().PushStatuses("check_mem_sign", {});
  EXPECT_EQ(Engine.RemoveSignature(block.data(), &length, signer.Bytes),
            TKestrelDLL::kBadSignaturesCount);
  Double().PushResult("check_mem_sign", 12);
  EXPECT_EQ(Engine.RemoveSignature(block.data(), &length, signer.Bytes), 12);
  EXPECT_FALSE(Double().WasCalled("Del_Mem_Sign"));
  EXPECT_EQ(length, 20);
  EXPECT_EQ(block, "0123456789+SIGNATURE");
  EXPECT_TRUE(signer.Untouched());
  // The check that found no signature handed out no array.
  EXPECT_THAT(Double().CallsOf("FreeMemory"), ElementsAre("FreeMemory(status)"));
  EXPECT_EQ(Double().OutstandingAllocations(), 0);
}

TEST_F(SigningTest, AFailedRemovalStillWritesBackTheLengthTheLibraryLeft) {
  Double().SetStatuses("check_mem_sign", {{kOtherSigner, 0}});
  Double().PushResult("Del_Mem_Sign", 10);
  Double().PushOutput("Del_Mem_Sign", "0123456");
  std::string block = "0123456789+SIGNATURE";
  int32_t length = 20;
  TSignerBuffer signer;
  EXPECT_EQ(Engine.RemoveSignature(block.data(), &length, signer.Bytes), 10);
  EXPECT_EQ(length, 7);
  EXPECT_TRUE(signer.Untouched()) << "the signer is written only on success";
  EXPECT_EQ(Double().OutstandingAllocations(), 0);
}

// --- the binding's calls ----------------------------------------------------

TEST(SigningBinding, GuardedCallsAnswerNotInitializedAndAssertingOnesRaise) {
  CE_SKIP_IF_PROVIDER_PINNED();
  cetest::TestRoot root;
  root.SetAsRoot();
  TKestrelDLL binding(KestrelUnit()); // finds no library
  ASSERT_FALSE(binding.FLoaded);
  char block[16] = "0123456789";
  int32_t length = 10;
  std::string signer;
  EXPECT_EQ(binding.SignMemory("A:\\", block, 10, block, &length, kSignUID, 5),
            TKestrelDLL::kNotInitialized);
  EXPECT_EQ(binding.VerifyMemory(block, 10, block, 10, signer), TKestrelDLL::kNotInitialized);
  EXPECT_THROW(binding.AddSignature(block, &length, kSignUID), std::logic_error);
  EXPECT_THROW(binding.DeleteSignature(block, &length, signer), std::logic_error);
}

} // namespace
