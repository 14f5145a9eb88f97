// Public key management: including signature and encryption public keys from
// key files, removing public keys from the directory, and emptying the cache
// of loaded keys.
#include "engine/kestrel4_engine.h"
#include "engine/module_context.h"
#include "kestrel/kestrel_dll.h"
#include "kestrel/key_identifiers.h"

#include <string>

namespace {

// Key kinds as the directory calls take them.
constexpr uint8_t kEncryptionKind = 0;
constexpr uint8_t kSignatureKind = 1;

using kestrel::kEncryptionKeyIdLength;
using kestrel::kSignatureKeyIdLength;

} // namespace

int32_t TKestrel4Engine::RunDirectoryOperation(const char *operation, const std::string &ownerKey,
                                               bool requireSlot0,
                                               const TKeyAccessSettings &settings,
                                               const TDirectoryWork &work) {
  return WithBinding(
      operation, [&](TKestrelDLL &binding) CE_REQUIRES(FContext.EngineLock) -> int32_t {
        if (const int32_t result = LoadUserKey(binding, ownerKey, requireSlot0, settings);
            result != CE_OK)
          return result;
        return work(binding, ExpandDirPath(ParamValue(kParamPathToPublic)));
      });
}

int32_t TKestrel4Engine::IncludeKeyFile(const char *operation, const char *path, int32_t ownerParam,
                                        uint8_t kind) {
  const std::string fileName = ExpandRootPath(path != nullptr ? path : "");
  TKeyAccessSettings settings;
  if (!ReadKeyAccessSettings(settings))
    return CE_ERR_TIMEOUT_SETTINGS;
  // The user's signature key goes into slot 0 for both kinds of public key.
  return RunDirectoryOperation(operation, ParamValue(kParamSignUID), true, settings,
                               [&](TKestrelDLL &binding, const std::string &directory) {
                                 return binding.AddPublicKey(fileName, directory,
                                                             ParamValue(ownerParam), kind);
                               });
}

int32_t TKestrel4Engine::IncludePublicKey(const char *path) {
  return IncludeKeyFile("IncludePublicKey", path, kParamSignUID, kSignatureKind);
}

int32_t TKestrel4Engine::IncludePublicEncodeKey(const char *path) {
  return IncludeKeyFile("IncludePublicEncodeKey", path, kParamEncodeUID, kEncryptionKind);
}

int32_t TKestrel4Engine::RemoveCertificate(const char *uid) {
  const bool requireSlot0 = ReadUse0SlotForVerify();
  TKeyAccessSettings settings;
  if (!ReadKeyAccessSettings(settings))
    return CE_ERR_TIMEOUT_SETTINGS;

  // The identifier's length tells its kind, and so whose key owns it.
  const std::string keyNumber = uid != nullptr ? uid : "";
  int32_t ownerParam = 0;
  uint8_t kind = 0;
  if (keyNumber.size() == kEncryptionKeyIdLength) {
    ownerParam = kParamEncodeUID;
    kind = kEncryptionKind;
  } else if (keyNumber.size() == kSignatureKeyIdLength) {
    ownerParam = kParamSignUID;
    kind = kSignatureKind;
  } else {
    return TKestrelDLL::kBadUID;
  }
  const std::string owner = ParamValue(ownerParam);
  if (keyNumber == owner)
    return CE_ERR_SELF_CERTIFICATE;

  return RunDirectoryOperation("RemoveCertificate", owner, requireSlot0, settings,
                               [&](TKestrelDLL &binding, const std::string &directory) {
                                 return binding.DeletePublicKey(directory, owner, kind, keyNumber);
                               });
}

void TKestrel4Engine::ClearCash() {
  // The cache is emptied under KeyCacheLock alone, released before EngineLock
  // is taken (the other way round from key loading, which takes KeyCacheLock
  // inside EngineLock): the two are never waited for in the opposite order.
  FContext.Kestrel.ClearKeyCache();
  // Loads the library if it was not; the result does not matter here.
  (void)WithBinding("ClearCash", [](TKestrelDLL &) { return CE_OK; });
}
