// The operations this engine answers with fixed results, through the
// exports, on an engine that never loaded the library.
#include "engine/kestrel4_engine.h"
#include "include/ce_kestrel.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

namespace {

class FixedResultsTest : public ::testing::Test {
protected:
  FixedResultsTest() : FHandle(GetCryptObj(0)) {}
  ~FixedResultsTest() override { DoneEngine(FHandle); }

  TKestrel4Engine &Engine() {
    return *static_cast<TKestrel4Engine *>(static_cast<TCryptoEngine *>(FHandle));
  }

  CE_HANDLE FHandle;
};

TEST_F(FixedResultsTest, FileOperationsAreNotOfferedWhateverTheirArguments) {
  EXPECT_EQ(SignFile(FHandle, 0), -100);
  EXPECT_EQ(SignFile(FHandle, 12345), -100);
  EXPECT_EQ(VerifyFile(FHandle, 0, 0), -100);
  EXPECT_EQ(VerifyFile(FHandle, 1, -1), -100);
  EXPECT_EQ(RemoveSignaturesFromFile(FHandle, 0), -100);
  EXPECT_EQ(RemoveSignaturesFromFile(FHandle, 7), -100);
}

TEST_F(FixedResultsTest, TransfersSucceedWithoutDoingAnything) {
  EXPECT_EQ(TransPrivateKeyFromFileToTM(FHandle), 0);
  EXPECT_EQ(TransSignatureFromFileToTM(FHandle), 0);
}

TEST_F(FixedResultsTest, KeysAlwaysDifferAndRemoteGenerationIsUnavailable) {
  EXPECT_EQ(IsDifferentKeys(FHandle), -1);
  EXPECT_EQ(GetRemoteGenType(FHandle), -1);
}

TEST_F(FixedResultsTest, SizeQueriesOfThisEngine) {
  EXPECT_EQ(GetMaxSignAddition(FHandle), 255 + 98);
  EXPECT_EQ(GetMaxReportSize(FHandle), 1024);
  EXPECT_EQ(GetMaxPublicKeyPropertiesLength(FHandle), 1024);
  EXPECT_EQ(GetMaxAdditionEx(FHandle, nullptr), 255);
  EXPECT_EQ(GetMaxAdditionEx(FHandle, ""), 255);
  EXPECT_EQ(GetMaxAdditionEx(FHandle, "0001"), 48 + 37);
  EXPECT_EQ(GetMaxAdditionEx(FHandle, "0001;0002;0017"), 3 * 48 + 37);
  EXPECT_EQ(GetMaxAdditionEx(FHandle, "0001;"), 2 * 48 + 37) << "the empty last entry counts";
}

TEST_F(FixedResultsTest, NoneOfThemLoadsTheLibraryOrStoresAText) {
  Engine().FLastException.SetText("before");
  SignFile(FHandle, 0);
  VerifyFile(FHandle, 0, 0);
  RemoveSignaturesFromFile(FHandle, 0);
  TransPrivateKeyFromFileToTM(FHandle);
  TransSignatureFromFileToTM(FHandle);
  IsDifferentKeys(FHandle);
  GetRemoteGenType(FHandle);
  EXPECT_EQ(Engine().FKestrelDLL, nullptr);
  EXPECT_EQ(KestrelUnit().LoadedLibrary(), nullptr);
  EXPECT_EQ(Engine().FLastException.GetText(), "before");
}

TEST_F(FixedResultsTest, UpdateCertificateCashEndsInClearCash) {
  KestrelUnit().KeyCache.emplace_back("000100000001", TKeyCacheEntry{});
  EXPECT_EQ(UpdateCertificateCash(FHandle, 0), 0);
  EXPECT_TRUE(KestrelUnit().KeyCache.empty());
  EXPECT_EQ(UpdateCertificateCash(FHandle, 99), 0);
}

} // namespace
