// The module's binding to kestrel.dll: the process-wide unit state (library
// handle, generation, key cache) and TKestrelDLL with its wrappers.
#pragma once

#include "include/ce_kestrel.h"
#include "kestrel/kestrel_api.h"
#include "kestrel/key_load_plan.h"
#include "kestrel/result_codes.h"
#include "platform/platform.h"
#include "support/exception_text.h"
#include "support/rootpath.h"
#include "support/thread_safety.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// One key known to be in the key driver.
struct TKeyCacheEntry {
  double LoadTime = 0;    // date-time (days) of the last load
  double LastUseTime = 0; // date-time (days) of the last use
  int32_t LifeTime = 0;   // seconds after loading the key may be used; 0 = reload at every use
  int32_t IdleTime = 0;   // seconds after its last use the key may be used; 0 = reload at every use
};

// The binding's state in one module context (engine/module_context.h),
// created at module load and destroyed at unload. The library is found
// through the context's root.
struct TKestrelUnit {
  explicit TKestrelUnit(const TRootPathUnit &roots) : Roots(roots) {}
  ~TKestrelUnit(); // empties the key cache, then frees the library
  TKestrelUnit(const TKestrelUnit &) = delete;
  TKestrelUnit &operator=(const TKestrelUnit &) = delete;

  // Empties the key cache under KeyCacheLock, deleting the entries from the
  // front. KeyCachePrimed stays as it is, so keys still in the driver are not
  // adopted again: they are reset and reloaded at their next use.
  void ClearKeyCache() CE_EXCLUDES(KeyCacheLock);

  const TRootPathUnit &Roots;

  // Taken inside EngineLock, never together with LoadLock (lock order in
  // engine/module_context.h).
  TMutex KeyCacheLock;
  // Unsorted list of key numbers with their records, found by key number.
  std::vector<std::pair<std::string, TKeyCacheEntry>> KeyCache CE_GUARDED_BY(KeyCacheLock);
  bool KeyCachePrimed CE_GUARDED_BY(KeyCacheLock) = false;
  // The library, loaded through the root's search unless it is loaded
  // already: the first load also tells the generation from the file version.
  // nullptr when the library cannot be loaded; the next call tries again.
  // Called by a binding's constructor; takes LoadLock.
  platform::ModuleHandle LoadLibraryOnce() CE_EXCLUDES(LoadLock);

  // What the first load found, read by a binding whose constructor has
  // passed LoadLock: the values were settled before it acquired LoadLock
  // there and do not change until the unit ends, so the reads need no lock
  // (and take none inside KeyCacheLock).
  platform::ModuleHandle LoadedLibrary() const CE_NO_THREAD_SAFETY_ANALYSIS {
    return LibraryHandle;
  }
  int32_t LoadedGeneration() const CE_NO_THREAD_SAFETY_ANALYSIS { return LibraryGeneration; }
  int32_t LoadedPublicKeyFileSize() const CE_NO_THREAD_SAFETY_ANALYSIS { return PublicKeyFileSize; }

private:
  friend struct TKestrelDLLTestAccess; // the tests' one way in (tests/support)

  // Taken inside EngineLock by a binding's constructor, never together with
  // KeyCacheLock.
  TMutex LoadLock;
  // The loaded library and what its first load found: written under LoadLock
  // by the first binding's constructor (and by the destructor), never changed
  // in between.
  platform::ModuleHandle LibraryHandle CE_GUARDED_BY(LoadLock) = nullptr;
  int32_t LibraryGeneration CE_GUARDED_BY(LoadLock) = 4;
  int32_t PublicKeyFileSize CE_GUARDED_BY(LoadLock) = 240;
};

class TCrypto_DLL {
public:
  virtual ~TCrypto_DLL() = default;
  bool FLoaded = false;
  bool FAllEntryPoints = false;
};

// The binding's own result codes (kestrel/result_codes.h) are its members.
class TKestrelDLL : public TCrypto_DLL, public kestrel::TBindingCodes {
public:
  // Loads the library once per module context and resolves the entry points.
  explicit TKestrelDLL(TKestrelUnit &unit);
  ~TKestrelDLL() override = default; // never unloads the library
  TKestrelDLL(const TKestrelDLL &) = delete;
  TKestrelDLL &operator=(const TKestrelDLL &) = delete;

  // Copied in by the engine; the binding keeps it and never calls it.
  CE_PASSWORD_REQUEST_FUNC FPasswordRequestFunc = nullptr;

private:
  friend struct TKestrelDLLTestAccess; // the tests' one way in (tests/support)

  // The library's entry points, called only by the wrappers below; nullptr
  // when not found.
  kestrel::PInitKey FInitKey = nullptr;
  kestrel::PResetKeyEx FResetKeyEx = nullptr;
  kestrel::PGetDrvInfo FGetDrvInfo = nullptr;
  kestrel::PFreeMemory FFreeMemory = nullptr;
  kestrel::PSignInit FSignInit = nullptr;
  kestrel::PSignDone FSignDone = nullptr;
  kestrel::PSignLogIn FSignLogIn = nullptr;
  kestrel::PSignLogOut FSignLogOut = nullptr;
  kestrel::PDelSign FDelSign = nullptr;
  kestrel::PSignFile FSignFile = nullptr;
  kestrel::Pcheck_file_sign Fcheck_file_sign = nullptr;
  kestrel::PSignMem FSignMem = nullptr;
  kestrel::PSignMemEx FSignMemEx = nullptr;
  kestrel::Pcheck_mem_sign Fcheck_mem_sign = nullptr;
  kestrel::PDel_Mem_Sign FDel_Mem_Sign = nullptr;
  kestrel::PSignMemSeparate FSignMemSeparate = nullptr;
  kestrel::PSignMemSeparateEx FSignMemSeparateEx = nullptr;
  kestrel::PCheckMemSeparate FCheckMemSeparate = nullptr;
  kestrel::PCryptoInit FCryptoInit = nullptr;
  kestrel::PCryptoDone FCryptoDone = nullptr;
  kestrel::PEnCryptFile FEnCryptFile = nullptr;
  kestrel::PDeCryptFile FDeCryptFile = nullptr;
  kestrel::PGetCryptKeysF FGetCryptKeysF = nullptr;
  kestrel::PGetCryptKeysM FGetCryptKeysM = nullptr;
  kestrel::PDeCryptMem FDeCryptMem = nullptr;
  kestrel::PEnCryptMem FEnCryptMem = nullptr;
  kestrel::PGetFileSenderID FGetFileSenderID = nullptr;
  kestrel::PGetMemSenderID FGetMemSenderID = nullptr;
  kestrel::PAddOpenKey FAddOpenKey = nullptr;
  kestrel::PGetAlias FGetAlias = nullptr;
  kestrel::PExtractKey FExtractKey = nullptr;
  kestrel::PDelOpenKey FDelOpenKey = nullptr;

public:
  // Copied in by the engine; the device wait calls it.
  CE_TM_REQUEST_FUNC FTMRequestFunc = nullptr;

  // Context open/close (asserting wrappers).
  int32_t InitCrypto(const std::string &secretPath, const std::string &publicDir);
  int32_t DoneCrypto();
  int32_t InitSign(const std::string &secretPath, const std::string &publicDir);
  int32_t DoneSign();

  // Result texts.
  static void GetErrorText(char *buffer, int32_t size, int32_t code);

  // Key loading: makes sure the key is in the key driver (and in slot 0 when
  // required), reusing a loaded key within its time limits. 0 = key ready.
  // What to do is decided by PlanKeyLoad (kestrel/key_load_plan.h).
  int32_t LoadKey(const std::string &keyNumber, bool requireSlot0, const std::string &keyPath,
                  const TKeyAccessSettings &settings) CE_EXCLUDES(FUnit.KeyCacheLock);
  // The key driver's slot table, in the generation 4 layout.
  using TSlotTable = std::vector<kestrel::TDriverSlotInfo>;
  // Decodes the first `count` records (at most 16) of a table GetDrvInfo
  // wrote (kSlotTableBytes bytes); generation 5 records are converted.
  static TSlotTable DecodeSlotTable(const unsigned char *raw, int32_t count, int32_t generation);

  // Memory encryption.
  int32_t EncryptMemory(const std::string &secretPath, const void *input, int32_t length,
                        void *output, uint16_t ownKey, const std::vector<uint16_t> &recipients,
                        const std::string &keySerial, int32_t waitTimeOut);
  int32_t DecryptMemory(const std::string &secretPath, void *block, int32_t *length,
                        uint16_t ownKey, char *sender, int32_t waitTimeOut);

  // Memory signatures.
  int32_t SignMemory(const std::string &secretPath, const void *data, int32_t length,
                     void *signature, int32_t *signatureLength, const std::string &keyNumber,
                     int32_t waitTimeOut);
  int32_t VerifyMemory(const void *data, int32_t length, const void *signature,
                       int32_t signatureLength, std::string &signer);
  int32_t AddSignature(void *block, int32_t *length, const std::string &keyNumber);
  int32_t DeleteSignature(void *block, int32_t *length, std::string &signer);

  // Public key directory.
  int32_t AddPublicKey(const std::string &fileName, const std::string &directory,
                       const std::string &ownerKeyNumber, uint8_t kind);
  int32_t DeletePublicKey(const std::string &directory, const std::string &ownerKeyNumber,
                          uint8_t kind, const std::string &keyNumber);
  int32_t ExtractPublicKey(const std::string &keyNumber, const std::string &directory,
                           std::string &keyBlock);

private:
  TKestrelUnit &FUnit; // the state shared with every binding of the context

  // Looks the entry points up in the library, by name, in the contract's
  // order; true when every one was found.
  bool ResolveEntryPoints(platform::ModuleHandle library);

  // The guarded wrappers' check: the library is loaded and every entry point
  // they call was found.
  template <typename... EntryPoints> bool EntryPointsPresent(EntryPoints... entryPoints) const {
    return FUnit.LoadedLibrary() != nullptr && ((entryPoints != nullptr) && ...);
  }
  // The asserting wrappers' check: raises EAssertionFailed, naming the
  // wrapper, when the library or an entry point it calls is missing.
  template <typename... EntryPoints>
  void RequireEntryPoints(const char *wrapper, EntryPoints... entryPoints) const {
    if (!EntryPointsPresent(entryPoints...))
      throw EAssertionFailed(std::string("Kestrel entry points of ") + wrapper +
                             " are not available");
  }
  // The one entry point such a wrapper calls, checked the same way.
  template <typename EntryPoint>
  EntryPoint Required(const char *wrapper, EntryPoint entryPoint) const {
    RequireEntryPoints(wrapper, entryPoint);
    return entryPoint;
  }

  // The steps of LoadKey.
  // Reads the slot table with GetDrvInfo (records of generation 5 converted).
  TSlotTable ReadSlotTable();
  // Driver slot that holds the key (10 characters: Num, else NumP); -1 if none.
  static int32_t FindKeySlot(const TSlotTable &table, const std::string &keyNumber);
  // Resets the keys of the record in slot 0; 0 or kKeyDriverError.
  int32_t FreeSlot0(const TSlotTable &table);
  // Adopts every key of the table into the cache as just loaded. Called with
  // KeyCacheLock held.
  void PrimeKeyCache(const TSlotTable &table, int32_t lifeTime, int32_t idleTime)
      CE_REQUIRES(FUnit.KeyCacheLock);
  // The other key number of the record that holds this one; empty if none.
  std::string GetPairedKeyId(const std::string &keyNumber);
  // Records a fresh load or a use of the key. Called with KeyCacheLock held.
  void RefreshCacheEntry(const std::string &keyNumber, bool freshLoad, int32_t lifeTime,
                         int32_t idleTime) CE_REQUIRES(FUnit.KeyCacheLock);
  // InitKey for the key path inside the device-wait loop.
  int32_t WaitInitKey(const std::string &keyPath, int32_t waitTimeOut);
  // Takes one step of a key load plan; 0 or the step's failure. Called with
  // KeyCacheLock held.
  int32_t TakeKeyStep(TKeyStep step, const std::string &keyNumber, const std::string &keyPath,
                      const TSlotTable &table, const TKeyAccessSettings &settings)
      CE_REQUIRES(FUnit.KeyCacheLock);
  // ResetKeyEx for one key number; the library's result.
  int32_t ResetKey(const std::string &keyNumber);
};
