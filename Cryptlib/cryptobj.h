// The abstract crypto engine: the fixed set and order of the engine's virtual
// operations with their defaults, the parameter store, the host callbacks,
// the root path and the last exception text.
#pragma once

#include "include/ce_kestrel.h"
#include "support/rwsyncs.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Raised by an operation the engine does not implement at all (the export
// turns it into its exception result).
class EAbstractError : public std::logic_error {
public:
  EAbstractError() : std::logic_error("Abstract error") {}
};

// The last exception text of an engine, behind a reader/writer lock.
class TSyncExceptStr {
public:
  std::string GetText();
  void SetText(const std::string &text);

private:
  TRWCriticalSection FLock;
  std::string FText;
};

class TCryptoEngine {
public:
  using val = CE_VAL;

  TCryptoEngine();
  virtual ~TCryptoEngine();
  TCryptoEngine(const TCryptoEngine &) = delete;
  TCryptoEngine &operator=(const TCryptoEngine &) = delete;

  // Virtual operations in their fixed declaration order.
  virtual int32_t ReservedOperation();
  virtual int32_t IncludeVariant1(val x, val y, val z);
  virtual int32_t IncludeVariant2(val x, val y, val z);
  virtual int32_t IncludeVariant3(val x, val y, val z);
  virtual int32_t IncludeVariant4(val x, val y, val z);
  virtual int32_t IncludeVariant5(val x, val y);
  virtual int32_t IncludeVariant6(val x, val y, val z);
  virtual void SetPasswordRequestFunc(CE_PASSWORD_REQUEST_FUNC fn);
  virtual void SetRemoteGeneratePath(const std::string &path);
  // (slot 9, the virtual constructor, is the C++ constructor)
  virtual void GetEngineName(char *buffer);
  virtual int32_t GetMaxEncodeAddition();
  virtual int32_t GetMaxSignatureLength();
  virtual int32_t GetMaxUIDLength();
  virtual int32_t GetMaxCryptoParamNameLength();
  virtual int32_t GetMaxCryptoParamValueLength();
  virtual int32_t GetMaxErrorStringLength();
  virtual int32_t GetMaxPasswordLength();
  virtual int32_t GetCryptoParamNumber();
  virtual void GetCryptoParamName(int32_t index, char *buffer);
  virtual void GetCryptoParamValue(int32_t index, char *buffer);
  virtual int32_t SetCryptoParamValue(int32_t index, const char *value);
  virtual int32_t GetEncodeUIDBySignUID(const char *signUID, char *encodeUID);
  virtual int32_t GetCurrentUID(char *buffer);
  virtual void GetCryptoErrorString(int32_t code, char *buffer);
  virtual int32_t EncodeData(void *data, int32_t *size, const char *abonents);
  virtual int32_t DecodeData(void *data, int32_t *size, char *senderUID);
  virtual int32_t SignData(const void *data, int32_t dataLength, void *signature,
                           int32_t *signatureLength, const char *signerUID);
  virtual int32_t VerifyData(const void *data, int32_t dataLength, const void *signature,
                             int32_t signatureLength, char *signerUID);
  virtual int32_t IncludePublicKey(const char *path);
  virtual void ClearCash();
  virtual int32_t UpdateCertificateCash(val x);
  virtual int32_t RemoveCertificate(const char *uid);
  virtual int32_t IncludeCRL(val x);
  virtual void GetLastErrorMessage(char *buffer);
  virtual int32_t GenerateNewSSK();
  virtual int32_t GenerateNewSEK();
  virtual bool IsDifferentKeys();
  virtual int32_t IncludePublicEncodeKey(const char *path);
  virtual int32_t SignFile(val x);
  virtual int32_t VerifyFile(val x, val y);
  virtual int32_t RemoveSignaturesFromFile(val x);
  virtual int32_t TransPrivateKeyFromFileToTM();
  virtual int32_t TransSignatureFromFileToTM();
  virtual int32_t GetMaxPublicKeyTransferSize();
  virtual int32_t RemoteGenerateStart(val x);
  virtual int32_t RemoteGenerateFinish(val x);
  virtual int32_t ExcludeSelfPublicKeyTransfer(val x);
  virtual int32_t IncludePublicKeyTransfer(val x);
  virtual int32_t GetPublicKeyTransfer(val x, val y);
  virtual int32_t SavePublicKeyFromTransfer(val x, val y);
  virtual int32_t RemoteGenerateStartEx(val x, val y, val z);
  virtual int32_t RemoteGenerateFinishEx(val x, val y);
  virtual int32_t GetPublicKeyTransferByFile(val x, val y);
  virtual int32_t IncludeCACertificateFromTransfer(val x);
  virtual int32_t AddSign(void *data, int32_t *length, const char *signerUID);
  virtual int32_t RemoveSignature(void *data, int32_t *length, char *signerUID);
  virtual int32_t GetMaxSignAddition();
  virtual int32_t GetMaxEncodeAdditionByCount(int32_t count);
  virtual int32_t SaveSignedDataToFile(const void *data, int32_t dataLength, const void *signature,
                                       int32_t signatureLength, const char *fileName);
  virtual int32_t GetRemoteGenType();
  virtual int32_t GetMaxReportSize();
  virtual int32_t GetReport(const char *uid, char *buffer);
  virtual int32_t GetMaxAdditionEx(const char *abonents);
  virtual int32_t GetUIDByPublicKeyTransfer(val x, val y);
  virtual int32_t GetPublicKeyPropertiesByTransfer(val x, val y);
  virtual int32_t GetPublicKeyPropertiesByFile(val x, val y);
  virtual int32_t CreateDirStructure(val x, val y);
  virtual int32_t VerifySignWOCheckValidity(const void *data, int32_t dataLength,
                                            const void *signature, int32_t signatureLength,
                                            char *signerUID);
  virtual int32_t CertAndRequestTransferMatch(val x, val y, int32_t *match);
  virtual int32_t ConvertTransferToSignedRequest(val x);
  virtual int32_t HashData(val a, val b, val c, val d, val e);
  virtual int32_t ShowCertificate(val x);
  virtual int32_t GetPureSign(val a, val b, val c, val d, val e);
  virtual int32_t GetUIDByCertIdent(val x, val y);
  virtual int32_t InstallCertsInMyStore(val x);
  virtual int32_t RegisterOIDInfo(const std::string &oid, const std::u16string &description);
  virtual int32_t GetParamInfo(int32_t index, int32_t *kind, char *buffer, int32_t *size);
  virtual int32_t IncludeByKind(int32_t kind, val x, val y, val z);

  // Non-virtual members.
  // Reads nothing of the object, so the export answers even for a nil handle.
  static int32_t GetMaxFilePathLength() { return 255; }
  void SetEngineRootPath(const std::string &path);
  std::string ExpandRootPath(const std::string &path) const;
  std::string ExpandDirPath(const std::string &path) const;
  static bool CopyStrToBuffer(const char *source, char *destination, int32_t size);

  // Fields (the export SetTMRequestFunc writes FTMRequestFunc directly).
  TSyncExceptStr FLastException;
  std::vector<std::string> FParamNames;
  std::vector<std::string> FParamValues;
  CE_PASSWORD_REQUEST_FUNC FPasswordRequestFunc = nullptr;
  CE_TM_REQUEST_FUNC FTMRequestFunc = nullptr;
  std::string FRootPath;
  bool FParamsChanged = true;
  std::string FRemoteGeneratePath;

protected:
  // Parameter i (1-based) as stored, or an empty string outside the range.
  const std::string &ParamValue(int32_t index) const;
  // The host's error-text buffer, GetMaxErrorStringLength bytes, filled with
  // zeros; its size, or 0 when there is none to write to.
  int32_t ClearErrorTextBuffer(char *buffer);
  // A text into a cleared error-text buffer of `size` bytes: at most
  // size - 1 bytes, so that one zero of the fill terminates it.
  static void CopyErrorText(std::string_view text, char *buffer, int32_t size);
};
