// The engine's connection to the library: its binding, and the library's
// encryption and signature contexts around each operation.
#include "engine/kestrel4_engine.h"
#include "engine/module_context.h"
#include "kestrel/kestrel_dll.h"

#include <exception>
#include <memory>
#include <mutex>
#include <utility>

int32_t TKestrel4Engine::WithBinding(const char *operation, const TBindingWork &work) {
  // The binding is made and updated under EngineLock: another thread may be
  // working with this engine's binding.
  const TLockGuard lock(FContext.EngineLock);
  if (const int32_t result = GetCryptoAPI(); result != CE_OK)
    return result;
  if (!FKestrelDLL)
    return CE_ERR_LIBRARY_NOT_INITIALIZED;
  try {
    return work(*FKestrelDLL);
  } catch (const std::exception &e) {
    return CaptureException(operation, e);
  }
}

int32_t TKestrel4Engine::LoadUserKey(TKestrelDLL &binding, const std::string &keyNumber,
                                     bool requireSlot0, const TKeyAccessSettings &settings) const {
  return binding.LoadKey(keyNumber, requireSlot0, ParamValue(kParamKeyDevice), settings);
}

int32_t TKestrel4Engine::GetCryptoAPI() {
  try {
    if (!FKestrelDLL)
      FKestrelDLL = std::make_unique<TKestrelDLL>(FContext.Kestrel);
    if (!FKestrelDLL->FLoaded) {
      FKestrelDLL.reset();
      return CE_ERR_LOAD_LIBRARY;
    }
    if (!FKestrelDLL->FAllEntryPoints) {
      FKestrelDLL.reset();
      return CE_ERR_ENTRY_POINTS;
    }
    // On every call, so callbacks the host sets later take effect.
    FKestrelDLL->FPasswordRequestFunc = FPasswordRequestFunc;
    FKestrelDLL->FTMRequestFunc = FTMRequestFunc;
    return CE_OK;
  } catch (const std::exception &e) {
    return CaptureException("GetCryptoAPI", e);
  }
}

int32_t TKestrel4Engine::OpenLibraryContext(bool &initialized, TContextInit init) {
  if (!initialized) {
    if (const int32_t result = GetCryptoAPI(); result != CE_OK)
      return result;
  }
  if (!FKestrelDLL)
    return CE_ERR_LIBRARY_NOT_INITIALIZED;
  const int32_t result = ((*FKestrelDLL).*init)(ExpandDirPath(ParamValue(kParamPathToSecret)),
                                                ExpandDirPath(ParamValue(kParamPathToPublic)));
  if (result == CE_OK)
    initialized = true;
  return result;
}

void TKestrel4Engine::CloseLibraryContext(bool &initialized, TContextDone done) {
  // The flag is cleared first so that it is false on every path.
  const bool wasInitialized = std::exchange(initialized, false);
  if (wasInitialized && FKestrelDLL)
    (void)((*FKestrelDLL).*done)();
}

int32_t TKestrel4Engine::InitCrypto() {
  return OpenLibraryContext(FCryptoInitialized, &TKestrelDLL::InitCrypto);
}

int32_t TKestrel4Engine::InitSign() {
  return OpenLibraryContext(FSignInitialized, &TKestrelDLL::InitSign);
}

void TKestrel4Engine::DoneCrypto() {
  CloseLibraryContext(FCryptoInitialized, &TKestrelDLL::DoneCrypto);
}

void TKestrel4Engine::DoneSign() { CloseLibraryContext(FSignInitialized, &TKestrelDLL::DoneSign); }
