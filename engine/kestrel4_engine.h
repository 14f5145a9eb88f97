// TKestrel4Engine: the concrete engine that drives the Kestrel 4 library.
#pragma once

#include "Cryptlib/cryptobj.h"
#include "engine/module_context.h"
#include "support/thread_safety.h"
#include "kestrel/key_load_plan.h" // TKeyAccessSettings

#include <functional>
#include <memory>
#include <mutex>
#include <string>

class TKestrelDLL;
struct TKeyOperation; // engine/key_operation.h

// Parameter numbers (1-based, as the host uses them).
enum TKestrelParam : int32_t {
  kParamPathToSecret = 1,
  kParamPathToPublic = 2,
  kParamKeySerialNumber = 3,
  kParamEncodeUID = 4,
  kParamSignUID = 5,
  kParamEncryptForKeyNumber = 6,
  kParamKeyDevice = 7,
  kParamKeyRequestTimeOut = 8,
  kParamLastOperationKeyTimeOut = 9,
  kParamUse0SlotForVerify = 10,
  kParamResetKeyOnStart = 11,
  kParamTMWindowTimeOut = 12,
  kParamCount = 12
};

class TKestrel4Engine : public TCryptoEngine {
public:
  // An engine of the module's current context, or of the given one.
  TKestrel4Engine();
  explicit TKestrel4Engine(TModuleContext &context);
  ~TKestrel4Engine() override;

  // Overridden operations, in slot order.
  void GetEngineName(char *buffer) override;
  int32_t GetMaxEncodeAddition() override;
  int32_t GetEncodeUIDBySignUID(const char *signUID, char *encodeUID) override;
  int32_t GetCurrentUID(char *buffer) override;
  void GetCryptoErrorString(int32_t code, char *buffer) override;
  int32_t EncodeData(void *data, int32_t *size, const char *abonents) override;
  int32_t DecodeData(void *data, int32_t *size, char *senderUID) override;
  int32_t SignData(const void *data, int32_t dataLength, void *signature, int32_t *signatureLength,
                   const char *signerUID) override;
  int32_t VerifyData(const void *data, int32_t dataLength, const void *signature,
                     int32_t signatureLength, char *signerUID) override;
  int32_t IncludePublicKey(const char *path) override;
  void ClearCash() override;
  int32_t RemoveCertificate(const char *uid) override;
  bool IsDifferentKeys() override;
  int32_t IncludePublicEncodeKey(const char *path) override;
  int32_t SignFile(val x) override;
  int32_t VerifyFile(val x, val y) override;
  int32_t RemoveSignaturesFromFile(val x) override;
  int32_t TransPrivateKeyFromFileToTM() override;
  int32_t TransSignatureFromFileToTM() override;
  int32_t AddSign(void *data, int32_t *length, const char *signerUID) override;
  int32_t RemoveSignature(void *data, int32_t *length, char *signerUID) override;
  int32_t GetMaxSignAddition() override;
  int32_t GetRemoteGenType() override;
  int32_t GetMaxReportSize() override;
  int32_t GetReport(const char *uid, char *buffer) override;
  int32_t GetMaxAdditionEx(const char *abonents) override;
  int32_t GetParamInfo(int32_t index, int32_t *kind, char *buffer, int32_t *size) override;

  // Library connection, under EngineLock.
  int32_t GetCryptoAPI() CE_REQUIRES(FContext.EngineLock);
  int32_t InitCrypto() CE_REQUIRES(FContext.EngineLock);
  int32_t InitSign() CE_REQUIRES(FContext.EngineLock);
  void DoneCrypto() CE_REQUIRES(FContext.EngineLock);
  void DoneSign() CE_REQUIRES(FContext.EngineLock);

  // Parameter reading (one reader for every operation).
  // Reads the key-access settings; false when a key time-out is not an integer.
  bool ReadKeyAccessSettings(TKeyAccessSettings &settings) const;
  // "Use 0 slot for verify signature", strict form.
  bool ReadUse0SlotForVerify() const;

  // The module's state this engine works with: root, library, key cache, locks.
  TModuleContext &FContext;
  // The engine's binding and its open library contexts: another thread may
  // be working with the same engine.
  std::unique_ptr<TKestrelDLL> FKestrelDLL CE_GUARDED_BY(FContext.EngineLock);
  bool FCryptoInitialized CE_GUARDED_BY(FContext.EngineLock) = false;
  bool FSignInitialized CE_GUARDED_BY(FContext.EngineLock) = false;

private:
  // The frame of all library work: under EngineLock the binding made and
  // updated (GetCryptoAPI), then the work with it. An exception the work
  // raises is stored as "TKestrel4Engine.<operation>: ..." and gives -102.
  using TBindingWork = std::function<int32_t(TKestrelDLL &binding)>;
  int32_t WithBinding(const char *operation, const TBindingWork &work);
  // Opens or closes one of the library's contexts (encryption or signature),
  // whose open state is `initialized`: the common part of InitCrypto and
  // InitSign, and of DoneCrypto and DoneSign.
  using TContextInit = int32_t (TKestrelDLL::*)(const std::string &secretPath,
                                                const std::string &publicDir);
  using TContextDone = int32_t (TKestrelDLL::*)();
  int32_t OpenLibraryContext(bool &initialized, TContextInit init) CE_REQUIRES(FContext.EngineLock);
  void CloseLibraryContext(bool &initialized, TContextDone done) CE_REQUIRES(FContext.EngineLock);
  // Loads the user's key named by keyNumber with the key-access settings.
  int32_t LoadUserKey(TKestrelDLL &binding, const std::string &keyNumber, bool requireSlot0,
                      const TKeyAccessSettings &settings) const CE_REQUIRES(FContext.EngineLock);

  // Runs an operation on the user's own key in the frame all of them share
  // (engine/key_operation.h).
  int32_t RunKeyOperation(const TKeyOperation &operation);

  // Includes a public key from a key file into the public key directory: the
  // frame IncludePublicKey and IncludePublicEncodeKey share. The owner is the
  // identifier parameter ownerParam, of the given kind (0 encryption,
  // 1 signature); operation names the caller in a caught exception's text.
  int32_t IncludeKeyFile(const char *operation, const char *path, int32_t ownerParam, uint8_t kind);
  // The frame of the public key operations: the library connected, then under
  // EngineLock the owner's key loaded and work done on the public key
  // directory (its expanded path is passed in); exceptions are captured.
  using TDirectoryWork = std::function<int32_t(TKestrelDLL &, const std::string &directory)>;
  int32_t RunDirectoryOperation(const char *operation, const std::string &ownerKey,
                                bool requireSlot0, const TKeyAccessSettings &settings,
                                const TDirectoryWork &work);

protected:
  // Stores "TKestrel4Engine.<operation>: <class>: <message>" as the last
  // exception text and returns -102.
  int32_t CaptureException(const char *operation, const std::exception &e);
};
