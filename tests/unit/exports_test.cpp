// The exported functions: guards, nil handles and the exports that do more
// than forward.
#include "include/ce_kestrel.h"

#include "Cryptlib/cryptobj.h"
#include "engine/kestrel4_engine.h"
#include "platform/cp1251.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

TCryptoEngine &EngineOf(CE_HANDLE handle) { return *static_cast<TCryptoEngine *>(handle); }

// An engine handle for the duration of one test.
class TEngineHandle {
public:
  TEngineHandle() : FHandle(GetCryptObj(0x5EED)) {}
  ~TEngineHandle() { DoneEngine(FHandle); }
  TEngineHandle(const TEngineHandle &) = delete;
  TEngineHandle &operator=(const TEngineHandle &) = delete;
  operator CE_HANDLE() const { return FHandle; }

private:
  CE_HANDLE FHandle;
};

void CE_STDCALL DeviceRequest(int32_t) {}
void CE_STDCALL PasswordRequest() {}

// --- nil handles ----------------------------------------------------------------

TEST(ExportsNilHandle, OperationsReturnMinus102) {
  char buffer[64] = {};
  int32_t number = 4;
  int32_t kind = 9;
  const std::vector<std::pair<const char *, int32_t>> results = {
      {"SetCryptoParamValue", SetCryptoParamValue(nullptr, 1, "x")},
      {"GetEncodeUIDBySignUID", GetEncodeUIDBySignUID(nullptr, "000101", buffer)},
      {"EncodeData", EncodeData(nullptr, buffer, &number, nullptr)},
      {"DecodeData", DecodeData(nullptr, buffer, &number, buffer)},
      {"SignData", SignData(nullptr, buffer, 4, buffer, &number, nullptr)},
      {"VerifyData", VerifyData(nullptr, buffer, 4, buffer, 4, buffer)},
      {"GetCurrentUserUID", GetCurrentUserUID(nullptr, buffer)},
      {"GenerateNewSSK", GenerateNewSSK(nullptr)},
      {"GenerateNewSEK", GenerateNewSEK(nullptr)},
      {"IncludePublicKey", IncludePublicKey(nullptr, "a.key")},
      {"IncludePublicEncodeKey", IncludePublicEncodeKey(nullptr, "a.key")},
      {"SignFile", SignFile(nullptr, 0)},
      {"VerifyFile", VerifyFile(nullptr, 0, 0)},
      {"RemoveSignaturesFromFile", RemoveSignaturesFromFile(nullptr, 0)},
      {"TransSignatureFromFileToTM", TransSignatureFromFileToTM(nullptr)},
      {"TransPrivateKeyFromFileToTM", TransPrivateKeyFromFileToTM(nullptr)},
      {"RemoteGenerateStart", RemoteGenerateStart(nullptr, 0)},
      {"AddSign", AddSign(nullptr, buffer, &number, nullptr)},
      {"RemoveSign", RemoveSign(nullptr, buffer, &number, buffer)},
      {"GetPublicKeyTransfer", GetPublicKeyTransfer(nullptr, 0, 0)},
      {"RemoteGenerateFinish", RemoteGenerateFinish(nullptr, 0)},
      {"SavePublicKeyFromTransfer", SavePublicKeyFromTransfer(nullptr, 0, 0)},
      {"IncludePublicKeyTransfer", IncludePublicKeyTransfer(nullptr, 0)},
      {"ExcludeSelfPublicKeyTransfer", ExcludeSelfPublicKeyTransfer(nullptr, 0)},
      {"SaveSignedDataToFile", SaveSignedDataToFile(nullptr, "AB", 2, "S", 1, "f.bin")},
      {"GetPublicKeyTransferByFile", GetPublicKeyTransferByFile(nullptr, 0, 0)},
      {"GetReport", GetReport(nullptr, "000101", buffer)},
      {"GetUIDByPublicKeyTransfer", GetUIDByPublicKeyTransfer(nullptr, 0, 0)},
      {"UpdateCertificateCash", UpdateCertificateCash(nullptr, 0)},
      {"GetPublicKeyProperties", GetPublicKeyProperties(nullptr, "000101", buffer)},
      {"RemoteGenerateStartEx", RemoteGenerateStartEx(nullptr, 0, 0, 0)},
      {"RemoteGenerateFinishEx", RemoteGenerateFinishEx(nullptr, 0, 0)},
      {"GetPublicKeyPropertiesByTransfer", GetPublicKeyPropertiesByTransfer(nullptr, 0, 0)},
      {"GetPublicKeyPropertiesByFile", GetPublicKeyPropertiesByFile(nullptr, 0, 0)},
      {"IncludeCACertificateFromTransfer", IncludeCACertificateFromTransfer(nullptr, 0)},
      {"CreateDirStructure", CreateDirStructure(nullptr, 0, 0)},
      {"RemoveCertificate", RemoveCertificate(nullptr, "000101")},
      {"VerifySignWOCheckValidity",
       VerifySignWOCheckValidity(nullptr, buffer, 4, buffer, 4, buffer)},
      {"CertAndRequestTransferMatch", CertAndRequestTransferMatch(nullptr, 0, 0, &number)},
      {"IncludeCRL", IncludeCRL(nullptr, 0)},
      {"ConvertTransferToSignedRequest", ConvertTransferToSignedRequest(nullptr, 0)},
      {"HashData", HashData(nullptr, 0, 0, 0, 0, 0)},
      {"ShowCertificate", ShowCertificate(nullptr, 0)},
      {"GetPureSign", GetPureSign(nullptr, 0, 0, 0, 0, 0)},
      {"GetUIDByCertIdent", GetUIDByCertIdent(nullptr, 0, 0)},
      {"InstallCertsInMyStore", InstallCertsInMyStore(nullptr, 0)},
      {"RegisterOIDInfo", RegisterOIDInfo(nullptr, "1.2", "x")},
      {"GetParamInfo", GetParamInfo(nullptr, 1, &kind, buffer, &number)},
  };
  for (const auto &[name, result] : results)
    EXPECT_EQ(result, -102) << name;
  EXPECT_EQ(number, 4) << "nothing written through the arguments";
  EXPECT_EQ(kind, 9);
  EXPECT_FALSE(fs::exists("f.bin"));
}

TEST(ExportsNilHandle, SizeAndCountQueriesReturnMinus1) {
  const std::vector<std::pair<const char *, int32_t>> results = {
      {"GetMaxEncodeAddition", GetMaxEncodeAddition(nullptr)},
      {"GetMaxSignatureLength", GetMaxSignatureLength(nullptr)},
      {"GetMaxUIDLength", GetMaxUIDLength(nullptr)},
      {"GetMaxCryptoParamNameLength", GetMaxCryptoParamNameLength(nullptr)},
      {"GetMaxCryptoParamValueLength", GetMaxCryptoParamValueLength(nullptr)},
      {"GetMaxErrorStringLength", GetMaxErrorStringLength(nullptr)},
      {"GetCryptoParamNumber", GetCryptoParamNumber(nullptr)},
      {"GetMaxPasswordLength", GetMaxPasswordLength(nullptr)},
      {"GetMaxPublicKeyTransferSize", GetMaxPublicKeyTransferSize(nullptr)},
      {"GetRemoteGenType", GetRemoteGenType(nullptr)},
      {"GetMaxSignAddition", GetMaxSignAddition(nullptr)},
      {"GetMaxReportSize", GetMaxReportSize(nullptr)},
      {"GetMaxPublicKeyPropertiesLength", GetMaxPublicKeyPropertiesLength(nullptr)},
      {"GetMaxAdditionEx", GetMaxAdditionEx(nullptr, "0001")},
      {"IsDifferentKeys", IsDifferentKeys(nullptr)},
  };
  for (const auto &[name, result] : results)
    EXPECT_EQ(result, -1) << name;
}

TEST(ExportsNilHandle, ExportsWithoutAResultWriteNothing) {
  std::array<char, 256> buffer{};
  buffer.fill('#');
  GetCryptoParamName(nullptr, 1, buffer.data());
  GetCryptoParamValue(nullptr, 1, buffer.data());
  GetCryptoErrorString(nullptr, -102, buffer.data());
  GetLastErrorMessage(nullptr, buffer.data());
  SetPasswordRequestFunc(nullptr, &PasswordRequest);
  SetTMRequestFunc(nullptr, &DeviceRequest);
  SetRemoteGeneratePath(nullptr, "D:\\gen");
  SetRootPath(nullptr, "C:\\NilRoot");
  ClearCash(nullptr);
  DoneEngine(nullptr);
  for (char c : buffer)
    ASSERT_EQ(c, '#');
}

TEST(ExportsNilHandle, FilePathLengthNeedsNoEngine) {
  EXPECT_EQ(GetMaxFilePathLength(nullptr), 255);
  TEngineHandle engine;
  EXPECT_EQ(GetMaxFilePathLength(engine), 255);
}

// --- an engine ------------------------------------------------------------------

TEST(ExportsEngine, EachCallMakesAnIndependentEngine) {
  TEngineHandle first;
  TEngineHandle second;
  ASSERT_NE(static_cast<CE_HANDLE>(first), nullptr);
  ASSERT_NE(static_cast<CE_HANDLE>(second), nullptr);
  EXPECT_NE(static_cast<CE_HANDLE>(first), static_cast<CE_HANDLE>(second));
  EXPECT_EQ(SetCryptoParamValue(first, 4, "0042"), 0);
  char value[256];
  GetCryptoParamValue(second, 4, value);
  EXPECT_STREQ(value, "0001");
  GetCryptoParamValue(first, 4, value);
  EXPECT_STREQ(value, "0042");
}

TEST(ExportsEngine, BaseSizeQueries) {
  TEngineHandle engine;
  EXPECT_EQ(GetMaxEncodeAddition(engine), 255);
  EXPECT_EQ(GetMaxSignatureLength(engine), 255);
  EXPECT_EQ(GetMaxUIDLength(engine), 255);
  EXPECT_EQ(GetMaxCryptoParamNameLength(engine), 255);
  EXPECT_EQ(GetMaxCryptoParamValueLength(engine), 255);
  EXPECT_EQ(GetMaxErrorStringLength(engine), 255);
  EXPECT_EQ(GetMaxPasswordLength(engine), 255);
  EXPECT_EQ(GetMaxPublicKeyTransferSize(engine), 4096);
  EXPECT_EQ(GetCryptoParamNumber(engine), 12);
  EXPECT_EQ(GetMaxPublicKeyPropertiesLength(engine), GetMaxReportSize(engine));
}

TEST(ExportsEngine, LongParameterValuesNeverOverrunTheHostBuffer) {
  TEngineHandle engine;
  const std::string longValue(1000, 'k');
  ASSERT_EQ(SetCryptoParamValue(engine, 5, longValue.c_str()), 0);
  std::array<char, 257> buffer{};
  buffer.fill('#');
  GetCryptoParamValue(engine, 5, buffer.data());
  EXPECT_EQ(std::strlen(buffer.data()), 255u);
  EXPECT_EQ(std::string(buffer.data()), longValue.substr(0, 255));
  EXPECT_EQ(buffer[256], '#') << "the byte after the 256-byte buffer was written";
  // The stored value itself is kept whole.
  EXPECT_EQ(EngineOf(engine).FParamValues[4], longValue);
}

TEST(ExportsEngine, ParameterIndexesOutsideTheRange) {
  TEngineHandle engine;
  for (int32_t index : {0, -1, 13}) {
    char name[8] = "xxxxxxx";
    char value[8] = "xxxxxxx";
    GetCryptoParamName(engine, index, name);
    GetCryptoParamValue(engine, index, value);
    EXPECT_STREQ(name, "") << index;
    EXPECT_STREQ(value, "") << index;
    EXPECT_EQ(SetCryptoParamValue(engine, index, "v"), -1) << index;
  }
  EXPECT_EQ(SetCryptoParamValue(engine, 12, nullptr), 0);
  char value[8] = "xxxxxxx";
  GetCryptoParamValue(engine, 12, value);
  EXPECT_STREQ(value, "");
}

TEST(ExportsEngine, NilBuffersAreIgnored) {
  TEngineHandle engine;
  GetCryptoParamName(engine, 1, nullptr);
  GetCryptoParamValue(engine, 1, nullptr);
  GetLastErrorMessage(engine, nullptr);
  char text[4] = "abc";
  GetLastErrorMessage(engine, text);
  EXPECT_STREQ(text, "");
}

TEST(ExportsEngine, CallbacksAndPathsAreStoredInTheEngine) {
  TEngineHandle engine;
  SetTMRequestFunc(engine, &DeviceRequest);
  SetPasswordRequestFunc(engine, &PasswordRequest);
  SetRemoteGeneratePath(engine, "D:\\gen");
  EXPECT_EQ(EngineOf(engine).FTMRequestFunc, &DeviceRequest);
  EXPECT_EQ(EngineOf(engine).FPasswordRequestFunc, &PasswordRequest);
  EXPECT_EQ(EngineOf(engine).FRemoteGeneratePath, "D:\\gen\\");
  SetTMRequestFunc(engine, nullptr);
  EXPECT_EQ(EngineOf(engine).FTMRequestFunc, nullptr);
  SetRemoteGeneratePath(engine, nullptr);
  EXPECT_EQ(EngineOf(engine).FRemoteGeneratePath, "");
}

TEST(ExportsEngine, ARefusedRootLeavesTheEngineRootAlone) {
  TEngineHandle engine;
  const std::string root = (fs::temp_directory_path() / "ce_h1_root").string();
  SetRootPath(engine, root.c_str());
  EXPECT_EQ(EngineOf(engine).FRootPath, root + "\\");
  SetRootPath(engine, (root + "_other").c_str());
  EXPECT_EQ(EngineOf(engine).FRootPath, root + "\\");

  TEngineHandle second;
  SetRootPath(second, (root + "\\").c_str());
  EXPECT_EQ(EngineOf(second).FRootPath, root + "\\");
}

TEST(ExportsEngine, NotImplementedOperationsAnswerMinus1) {
  TEngineHandle engine;
  EXPECT_EQ(GenerateNewSSK(engine), -1);
  EXPECT_EQ(GenerateNewSEK(engine), -1);
  EXPECT_EQ(RemoteGenerateStart(engine, 1), -1);
  EXPECT_EQ(RemoteGenerateFinish(engine, 1), -1);
  EXPECT_EQ(RemoteGenerateStartEx(engine, 1, 2, 3), -1);
  EXPECT_EQ(RemoteGenerateFinishEx(engine, 1, 2), -1);
  EXPECT_EQ(ExcludeSelfPublicKeyTransfer(engine, 1), -1);
  EXPECT_EQ(IncludePublicKeyTransfer(engine, 1), -1);
  EXPECT_EQ(GetPublicKeyTransfer(engine, 1, 2), -1);
  EXPECT_EQ(SavePublicKeyFromTransfer(engine, 1, 2), -1);
  EXPECT_EQ(GetPublicKeyTransferByFile(engine, 1, 2), -1);
  EXPECT_EQ(IncludeCACertificateFromTransfer(engine, 1), -1);
  EXPECT_EQ(GetUIDByPublicKeyTransfer(engine, 1, 2), -1);
  EXPECT_EQ(GetPublicKeyPropertiesByTransfer(engine, 1, 2), -1);
  EXPECT_EQ(GetPublicKeyPropertiesByFile(engine, 1, 2), -1);
  EXPECT_EQ(CreateDirStructure(engine, 1, 2), -1);
  EXPECT_EQ(IncludeCRL(engine, 1), -1);
  EXPECT_EQ(ConvertTransferToSignedRequest(engine, 1), -1);
  EXPECT_EQ(HashData(engine, 1, 2, 3, 4, 5), -1);
  EXPECT_EQ(ShowCertificate(engine, 1), -1);
  EXPECT_EQ(GetPureSign(engine, 1, 2, 3, 4, 5), -1);
  EXPECT_EQ(GetUIDByCertIdent(engine, 1, 2), -1);
  EXPECT_EQ(InstallCertsInMyStore(engine, 1), -1);
  const std::string description = platform::Utf8ToCp1251("Подпись");
  EXPECT_EQ(RegisterOIDInfo(engine, "1.2.643", description.c_str()), -1);
  EXPECT_EQ(RegisterOIDInfo(engine, nullptr, nullptr), -1);
}

TEST(ExportsEngine, CertAndRequestTransferMatchAnswersNoMatch) {
  TEngineHandle engine;
  int32_t match = 0;
  EXPECT_EQ(CertAndRequestTransferMatch(engine, 1, 2, &match), 0);
  EXPECT_EQ(match, -1);
  EXPECT_EQ(CertAndRequestTransferMatch(engine, 1, 2, nullptr), -102);
}

TEST(ExportsEngine, SaveSignedDataToFileWritesThroughTheExport) {
  TEngineHandle engine;
  const fs::path file =
      fs::temp_directory_path() /
      ("ce_h1_export_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       ".bin");
  EXPECT_EQ(SaveSignedDataToFile(engine, "data", 4, "sig", 3, file.string().c_str()), 0);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "datasig");
  in.close();
  fs::remove(file);
  const std::string missing = (file / "sub" / "x.bin").string();
  EXPECT_EQ(SaveSignedDataToFile(engine, "data", 4, "sig", 3, missing.c_str()), -106);
}

} // namespace
