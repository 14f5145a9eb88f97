// Loading kestrel.dll once per process, telling its generation from the file
// version, and resolving its entry points into a binding.
#include "kestrel/kestrel_dll.h"

#include "support/exception_text.h"
#include "support/rootpath.h"

namespace {

// Generation 5 libraries carry file version 5.0 or later.
constexpr std::uint16_t kGeneration5Major = 5;

// Reads the file version of the freshly loaded library. Any failing step,
// running out of memory included, ends the probe and leaves generation 4.
void ProbeLibraryGeneration(TKestrelUnit &unit) {
  try {
    const std::string fileName = platform::ModuleFileName(unit.LibraryHandle);
    if (fileName.empty())
      return;
    const std::optional<platform::FileVersion> version = platform::FileVersionOf(fileName);
    if (version && version->Major >= kGeneration5Major) {
      unit.LibraryGeneration = 5;
      unit.PublicKeyFileSize = 304;
    }
  } catch (const std::exception &) {
    // generation 4 stays
  }
}

// Looks the entry points up in table order; true when every one was found.
template <typename... Fields>
bool ResolveEntryPoints(platform::ModuleHandle library, Fields &...fields) {
  static_assert(sizeof...(Fields) == kestrel::kEntryPointNames.size(), "one field per entry point");
  std::size_t index = 0;
  bool all = true;
  ((fields = reinterpret_cast<Fields>(
        platform::FindSymbol(library, kestrel::kEntryPointNames[index++].data())),
    all = all && fields != nullptr),
   ...);
  return all;
}

} // namespace

TKestrelUnit::~TKestrelUnit() {
  {
    TLockGuard lock(KeyCacheLock);
    KeyCache.clear();
    KeyCachePrimed = false;
  }
  TLockGuard lock(LoadLock);
  if (LibraryHandle != nullptr) {
    platform::FreeLibraryHandle(LibraryHandle);
    LibraryHandle = nullptr;
  }
}

TKestrelDLL::TKestrelDLL(TKestrelUnit &unit) : FUnit(unit) {
  {
    TLockGuard lock(unit.LoadLock);
    if (unit.LibraryHandle == nullptr) {
      platform::ModuleHandle library = unit.Roots.LoadCryptoLibrary("kestrel.dll");
      if (library == nullptr)
        return;
      unit.LibraryHandle = library;
      ProbeLibraryGeneration(unit);
    }
  }
  FLoaded = true;
  FAllEntryPoints = ResolveEntryPoints(
      unit.LibraryHandle, FInitKey, FResetKeyEx, FGetDrvInfo, FFreeMemory, FSignInit, FSignDone,
      FSignLogIn, FSignLogOut, FDelSign, FSignFile, Fcheck_file_sign, FSignMem, FSignMemEx,
      Fcheck_mem_sign, FDel_Mem_Sign, FSignMemSeparate, FSignMemSeparateEx, FCheckMemSeparate,
      FCryptoInit, FCryptoDone, FEnCryptFile, FDeCryptFile, FGetCryptKeysF, FGetCryptKeysM,
      FDeCryptMem, FEnCryptMem, FGetFileSenderID, FGetMemSenderID, FAddOpenKey, FGetAlias,
      FExtractKey, FDelOpenKey);
}

int32_t TKestrelDLL::InitCrypto(const std::string &secretPath, const std::string &publicDir) {
  return kestrel::Widen(Required(FCryptoInit)(secretPath.c_str(), publicDir.c_str()));
}

int32_t TKestrelDLL::DoneCrypto() { return kestrel::Widen(Required(FCryptoDone)()); }

int32_t TKestrelDLL::InitSign(const std::string &secretPath, const std::string &publicDir) {
  return kestrel::Widen(Required(FSignInit)(secretPath.c_str(), publicDir.c_str()));
}

int32_t TKestrelDLL::DoneSign() { return kestrel::Widen(Required(FSignDone)()); }
