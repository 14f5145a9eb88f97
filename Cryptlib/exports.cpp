// The module's exported functions. Each is a guard around one operation of
// the engine behind the handle: a nil handle or any exception gives the
// export's fixed exception result, and nothing ever escapes to the host.
#include "include/ce_kestrel.h"

#include "Cryptlib/cryptobj.h"
#include "engine/kestrel4_engine.h"
#include "engine/module_context.h"
#include "support/cp1251_utf16.h"

#include <memory>
#include <string>
#include <type_traits>

namespace {

constexpr int32_t kQueryFailed = -1; // size and count queries

TCryptoEngine *EngineOf(CE_HANDLE handle) { return static_cast<TCryptoEngine *>(handle); }

std::string TextOf(const char *text) { return text != nullptr ? text : ""; }

// Runs body on the engine behind the handle. A nil handle or an exception
// gives onException (nothing for a body without a result).
template <typename Body, typename... OnException>
auto Guarded(CE_HANDLE handle, Body &&body, OnException... onException) noexcept {
  using Result = std::invoke_result_t<Body, TCryptoEngine &>;
  static_assert(std::is_void_v<Result> == (sizeof...(OnException) == 0),
                "an export with a result needs its exception result");
  if (handle != nullptr) {
    try {
      return body(*EngineOf(handle));
    } catch (...) {
    }
  }
  if constexpr (!std::is_void_v<Result>)
    return Result(onException...);
}

// The three kinds of forwarding exports.
template <typename Body> int32_t Operation(CE_HANDLE handle, Body &&body) noexcept {
  return Guarded(handle, std::forward<Body>(body), CE_ERR_EXCEPTION);
}
template <typename Body> int32_t Query(CE_HANDLE handle, Body &&body) noexcept {
  return Guarded(handle, std::forward<Body>(body), kQueryFailed);
}
template <typename Body> void Procedure(CE_HANDLE handle, Body &&body) noexcept {
  Guarded(handle, std::forward<Body>(body));
}

} // namespace

extern "C" {

// --- lifecycle ----------------------------------------------------------------

CE_API(CE_HANDLE) GetCryptObj(int32_t) {
  try {
    std::unique_ptr<TCryptoEngine> engine = std::make_unique<TKestrel4Engine>();
    return engine.release();
  } catch (...) {
    return nullptr;
  }
}

CE_API(void) DoneEngine(CE_HANDLE engine) {
  // The virtual destructor frees everything the engine owns.
  Procedure(engine, [](TCryptoEngine &e) { std::unique_ptr<TCryptoEngine> owned(&e); });
}

// --- size and count queries ---------------------------------------------------

CE_API(int32_t) GetMaxEncodeAddition(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxEncodeAddition(); });
}
CE_API(int32_t) GetMaxSignatureLength(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxSignatureLength(); });
}
CE_API(int32_t) GetMaxUIDLength(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxUIDLength(); });
}
CE_API(int32_t) GetMaxCryptoParamNameLength(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxCryptoParamNameLength(); });
}
CE_API(int32_t) GetMaxCryptoParamValueLength(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxCryptoParamValueLength(); });
}
CE_API(int32_t) GetMaxErrorStringLength(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxErrorStringLength(); });
}
CE_API(int32_t) GetCryptoParamNumber(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetCryptoParamNumber(); });
}
CE_API(int32_t) GetMaxPasswordLength(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxPasswordLength(); });
}
CE_API(int32_t) GetMaxPublicKeyTransferSize(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxPublicKeyTransferSize(); });
}
CE_API(int32_t) GetMaxFilePathLength(CE_HANDLE) { return TCryptoEngine::GetMaxFilePathLength(); }
CE_API(int32_t) GetRemoteGenType(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetRemoteGenType(); });
}
CE_API(int32_t) GetMaxSignAddition(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxSignAddition(); });
}
CE_API(int32_t) GetMaxReportSize(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxReportSize(); });
}
CE_API(int32_t) GetMaxPublicKeyPropertiesLength(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.GetMaxReportSize(); });
}
CE_API(int32_t) GetMaxAdditionEx(CE_HANDLE engine, const char *abonents) {
  return Query(engine, [&](TCryptoEngine &e) { return e.GetMaxAdditionEx(abonents); });
}
CE_API(int32_t) IsDifferentKeys(CE_HANDLE engine) {
  return Query(engine, [](TCryptoEngine &e) { return e.IsDifferentKeys() ? -1 : 0; });
}

// --- texts and parameters -----------------------------------------------------

CE_API(void) GetCryptoParamName(CE_HANDLE engine, int32_t index, char *name) {
  Procedure(engine, [&](TCryptoEngine &e) { e.GetCryptoParamName(index, name); });
}
CE_API(void) GetCryptoParamValue(CE_HANDLE engine, int32_t index, char *value) {
  Procedure(engine, [&](TCryptoEngine &e) { e.GetCryptoParamValue(index, value); });
}
CE_API(void) GetCryptoErrorString(CE_HANDLE engine, int32_t code, char *text) {
  Procedure(engine, [&](TCryptoEngine &e) { e.GetCryptoErrorString(code, text); });
}
CE_API(void) GetLastErrorMessage(CE_HANDLE engine, char *text) {
  Procedure(engine, [&](TCryptoEngine &e) { e.GetLastErrorMessage(text); });
}
CE_API(int32_t) SetCryptoParamValue(CE_HANDLE engine, int32_t index, const char *value) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.SetCryptoParamValue(index, value); });
}
CE_API(int32_t)
GetParamInfo(CE_HANDLE engine, int32_t index, int32_t *kind, char *info, int32_t *size) {
  return Operation(engine,
                   [&](TCryptoEngine &e) { return e.GetParamInfo(index, kind, info, size); });
}

// --- settings -----------------------------------------------------------------

CE_API(void) SetPasswordRequestFunc(CE_HANDLE engine, CE_PASSWORD_REQUEST_FUNC fn) {
  Procedure(engine, [&](TCryptoEngine &e) { e.SetPasswordRequestFunc(fn); });
}
CE_API(void) SetTMRequestFunc(CE_HANDLE engine, CE_TM_REQUEST_FUNC fn) {
  Procedure(engine, [&](TCryptoEngine &e) { e.FTMRequestFunc = fn; });
}
CE_API(void) SetRemoteGeneratePath(CE_HANDLE engine, const char *path) {
  Procedure(engine, [&](TCryptoEngine &e) { e.SetRemoteGeneratePath(TextOf(path)); });
}
CE_API(void) SetRootPath(CE_HANDLE engine, const char *path) {
  // The process-wide root first; when it refuses the path, the engine's own
  // copy is not updated either.
  Procedure(engine, [&](TCryptoEngine &e) {
    const std::string root = TextOf(path);
    TModuleContext::Current().RootPath.SetRootDirectory(root);
    e.SetEngineRootPath(root);
  });
}
CE_API(void) ClearCash(CE_HANDLE engine) {
  Procedure(engine, [](TCryptoEngine &e) { e.ClearCash(); });
}

// --- operations returning a result code ---------------------------------------

CE_API(int32_t) GetEncodeUIDBySignUID(CE_HANDLE engine, const char *signUID, char *encodeUID) {
  return Operation(engine,
                   [&](TCryptoEngine &e) { return e.GetEncodeUIDBySignUID(signUID, encodeUID); });
}
CE_API(int32_t) GetCurrentUserUID(CE_HANDLE engine, char *uid) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetCurrentUID(uid); });
}
CE_API(int32_t) EncodeData(CE_HANDLE engine, void *data, int32_t *size, const char *abonents) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.EncodeData(data, size, abonents); });
}
CE_API(int32_t) DecodeData(CE_HANDLE engine, void *data, int32_t *size, char *senderUID) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.DecodeData(data, size, senderUID); });
}
CE_API(int32_t)
SignData(CE_HANDLE engine, const void *data, int32_t dataLength, void *signature,
         int32_t *signatureLength, const char *signerUID) {
  return Operation(engine, [&](TCryptoEngine &e) {
    return e.SignData(data, dataLength, signature, signatureLength, signerUID);
  });
}
CE_API(int32_t)
VerifyData(CE_HANDLE engine, const void *data, int32_t dataLength, const void *signature,
           int32_t signatureLength, char *signerUID) {
  return Operation(engine, [&](TCryptoEngine &e) {
    return e.VerifyData(data, dataLength, signature, signatureLength, signerUID);
  });
}
CE_API(int32_t) GenerateNewSSK(CE_HANDLE engine) {
  return Operation(engine, [](TCryptoEngine &e) { return e.GenerateNewSSK(); });
}
CE_API(int32_t) GenerateNewSEK(CE_HANDLE engine) {
  return Operation(engine, [](TCryptoEngine &e) { return e.GenerateNewSEK(); });
}
CE_API(int32_t) IncludePublicKey(CE_HANDLE engine, const char *path) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.IncludePublicKey(path); });
}
CE_API(int32_t) IncludePublicEncodeKey(CE_HANDLE engine, const char *path) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.IncludePublicEncodeKey(path); });
}
CE_API(int32_t) SignFile(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.SignFile(a); });
}
CE_API(int32_t) VerifyFile(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.VerifyFile(a, b); });
}
CE_API(int32_t) RemoveSignaturesFromFile(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.RemoveSignaturesFromFile(a); });
}
CE_API(int32_t) TransSignatureFromFileToTM(CE_HANDLE engine) {
  return Operation(engine, [](TCryptoEngine &e) { return e.TransSignatureFromFileToTM(); });
}
CE_API(int32_t) TransPrivateKeyFromFileToTM(CE_HANDLE engine) {
  return Operation(engine, [](TCryptoEngine &e) { return e.TransPrivateKeyFromFileToTM(); });
}
CE_API(int32_t) RemoteGenerateStart(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.RemoteGenerateStart(a); });
}
CE_API(int32_t) RemoteGenerateFinish(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.RemoteGenerateFinish(a); });
}
CE_API(int32_t) ExcludeSelfPublicKeyTransfer(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.ExcludeSelfPublicKeyTransfer(a); });
}
CE_API(int32_t) IncludePublicKeyTransfer(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.IncludePublicKeyTransfer(a); });
}
CE_API(int32_t) GetPublicKeyTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetPublicKeyTransfer(a, b); });
}
CE_API(int32_t) SavePublicKeyFromTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.SavePublicKeyFromTransfer(a, b); });
}
CE_API(int32_t) RemoteGenerateStartEx(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.RemoteGenerateStartEx(a, b, c); });
}
CE_API(int32_t) RemoteGenerateFinishEx(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.RemoteGenerateFinishEx(a, b); });
}
CE_API(int32_t) GetPublicKeyTransferByFile(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetPublicKeyTransferByFile(a, b); });
}
CE_API(int32_t) IncludeCACertificateFromTransfer(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.IncludeCACertificateFromTransfer(a); });
}
CE_API(int32_t) AddSign(CE_HANDLE engine, void *data, int32_t *length, const char *signerUID) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.AddSign(data, length, signerUID); });
}
CE_API(int32_t) RemoveSign(CE_HANDLE engine, void *data, int32_t *length, char *signerUID) {
  return Operation(engine,
                   [&](TCryptoEngine &e) { return e.RemoveSignature(data, length, signerUID); });
}
CE_API(int32_t)
SaveSignedDataToFile(CE_HANDLE engine, const void *data, int32_t dataLength, const void *signature,
                     int32_t signatureLength, const char *fileName) {
  return Operation(engine, [&](TCryptoEngine &e) {
    return e.SaveSignedDataToFile(data, dataLength, signature, signatureLength, fileName);
  });
}
CE_API(int32_t) GetReport(CE_HANDLE engine, const char *uid, char *report) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetReport(uid, report); });
}
CE_API(int32_t) GetPublicKeyProperties(CE_HANDLE engine, const char *uid, char *report) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetReport(uid, report); });
}
CE_API(int32_t) GetUIDByPublicKeyTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetUIDByPublicKeyTransfer(a, b); });
}
CE_API(int32_t) UpdateCertificateCash(CE_HANDLE engine, CE_VAL a) {
  const int32_t result =
      Operation(engine, [&](TCryptoEngine &e) { return e.UpdateCertificateCash(a); });
  if (result != -1)
    return result;
  // Not supported by the engine: empty the key cache instead.
  ClearCash(engine);
  return 0;
}
CE_API(int32_t) GetPublicKeyPropertiesByTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine,
                   [&](TCryptoEngine &e) { return e.GetPublicKeyPropertiesByTransfer(a, b); });
}
CE_API(int32_t) GetPublicKeyPropertiesByFile(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetPublicKeyPropertiesByFile(a, b); });
}
CE_API(int32_t) CreateDirStructure(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.CreateDirStructure(a, b); });
}
CE_API(int32_t) RemoveCertificate(CE_HANDLE engine, const char *uid) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.RemoveCertificate(uid); });
}
CE_API(int32_t)
VerifySignWOCheckValidity(CE_HANDLE engine, const void *data, int32_t dataLength,
                          const void *signature, int32_t signatureLength, char *signerUID) {
  return Operation(engine, [&](TCryptoEngine &e) {
    return e.VerifySignWOCheckValidity(data, dataLength, signature, signatureLength, signerUID);
  });
}
CE_API(int32_t) CertAndRequestTransferMatch(CE_HANDLE engine, CE_VAL a, CE_VAL b, int32_t *match) {
  return Operation(engine,
                   [&](TCryptoEngine &e) { return e.CertAndRequestTransferMatch(a, b, match); });
}
CE_API(int32_t) IncludeCRL(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.IncludeCRL(a); });
}
CE_API(int32_t) ConvertTransferToSignedRequest(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.ConvertTransferToSignedRequest(a); });
}
CE_API(int32_t) HashData(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c, CE_VAL d, CE_VAL e) {
  return Operation(engine, [&](TCryptoEngine &x) { return x.HashData(a, b, c, d, e); });
}
CE_API(int32_t) ShowCertificate(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.ShowCertificate(a); });
}
CE_API(int32_t) GetPureSign(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c, CE_VAL d, CE_VAL e) {
  return Operation(engine, [&](TCryptoEngine &x) { return x.GetPureSign(a, b, c, d, e); });
}
CE_API(int32_t) GetUIDByCertIdent(CE_HANDLE engine, CE_VAL a, CE_VAL b) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.GetUIDByCertIdent(a, b); });
}
CE_API(int32_t) InstallCertsInMyStore(CE_HANDLE engine, CE_VAL a) {
  return Operation(engine, [&](TCryptoEngine &e) { return e.InstallCertsInMyStore(a); });
}
CE_API(int32_t) RegisterOIDInfo(CE_HANDLE engine, const char *oid, const char *description) {
  return Operation(engine, [&](TCryptoEngine &e) {
    return e.RegisterOIDInfo(TextOf(oid), Cp1251ToUtf16(TextOf(description)));
  });
}

} // extern "C"
