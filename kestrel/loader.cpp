// Loading kestrel.dll once per process, telling its generation from the file
// version, and resolving its entry points into a binding.
#include "kestrel/kestrel_dll.h"

#include "support/exception_text.h"
#include "support/rootpath.h"

#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>

namespace {

// Generation 5 libraries carry file version 5.0 or later.
constexpr std::uint16_t kGeneration5Major = 5;

// True when the library's file version is 5.0 or later. Any failing step,
// running out of memory included, ends the probe with false: generation 4.
bool CarriesGeneration5Version(platform::ModuleHandle library) {
  try {
    const std::string fileName = platform::ModuleFileName(library);
    if (fileName.empty())
      return false;
    const std::optional<platform::FileVersion> version = platform::FileVersionOf(fileName);
    return version && version->Major >= kGeneration5Major;
  } catch (const std::exception &) {
    return false;
  }
}

// One entry point: its name and where the binding keeps it. The member is
// named after the entry point, so a name cannot reach the wrong member.
struct TEntryPointSlot {
  std::string_view Name;
  void (*Store)(TKestrelDLL &binding, void *symbol);
  bool (*Found)(const TKestrelDLL &binding);
};

template <auto Member> void StoreEntryPoint(TKestrelDLL &binding, void *symbol) {
  binding.*Member = reinterpret_cast<std::remove_reference_t<decltype(binding.*Member)>>(symbol);
}
template <auto Member> bool EntryPointFound(const TKestrelDLL &binding) {
  return binding.*Member != nullptr;
}
template <std::size_t N> constexpr bool FollowsTheContract(const TEntryPointSlot (&table)[N]) {
  if (N != kestrel::kEntryPointNames.size())
    return false;
  for (std::size_t i = 0; i < N; ++i)
    if (table[i].Name != kestrel::kEntryPointNames[i])
      return false;
  return true;
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

platform::ModuleHandle TKestrelUnit::LoadLibraryOnce() {
  TLockGuard lock(LoadLock);
  if (LibraryHandle == nullptr) {
    LibraryHandle = Roots.LoadCryptoLibrary("kestrel.dll");
    if (LibraryHandle != nullptr && CarriesGeneration5Version(LibraryHandle)) {
      LibraryGeneration = 5;
      PublicKeyFileSize = 304;
    }
  }
  return LibraryHandle;
}

// The table names the binding's private members, so it is built inside one.
// clang-format off
#define CE_ENTRY_POINT(name) \
  TEntryPointSlot{#name, &StoreEntryPoint<&TKestrelDLL::F##name>, \
                  &EntryPointFound<&TKestrelDLL::F##name>}
// clang-format on

bool TKestrelDLL::ResolveEntryPoints(platform::ModuleHandle library) {
  // In the library contract's order, the order of the lookups.
  static constexpr TEntryPointSlot kEntryPoints[] = {
      CE_ENTRY_POINT(InitKey),           CE_ENTRY_POINT(ResetKeyEx),
      CE_ENTRY_POINT(GetDrvInfo),        CE_ENTRY_POINT(FreeMemory),
      CE_ENTRY_POINT(SignInit),          CE_ENTRY_POINT(SignDone),
      CE_ENTRY_POINT(SignLogIn),         CE_ENTRY_POINT(SignLogOut),
      CE_ENTRY_POINT(DelSign),           CE_ENTRY_POINT(SignFile),
      CE_ENTRY_POINT(check_file_sign),   CE_ENTRY_POINT(SignMem),
      CE_ENTRY_POINT(SignMemEx),         CE_ENTRY_POINT(check_mem_sign),
      CE_ENTRY_POINT(Del_Mem_Sign),      CE_ENTRY_POINT(SignMemSeparate),
      CE_ENTRY_POINT(SignMemSeparateEx), CE_ENTRY_POINT(CheckMemSeparate),
      CE_ENTRY_POINT(CryptoInit),        CE_ENTRY_POINT(CryptoDone),
      CE_ENTRY_POINT(EnCryptFile),       CE_ENTRY_POINT(DeCryptFile),
      CE_ENTRY_POINT(GetCryptKeysF),     CE_ENTRY_POINT(GetCryptKeysM),
      CE_ENTRY_POINT(DeCryptMem),        CE_ENTRY_POINT(EnCryptMem),
      CE_ENTRY_POINT(GetFileSenderID),   CE_ENTRY_POINT(GetMemSenderID),
      CE_ENTRY_POINT(AddOpenKey),        CE_ENTRY_POINT(GetAlias),
      CE_ENTRY_POINT(ExtractKey),        CE_ENTRY_POINT(DelOpenKey),
  };
#undef CE_ENTRY_POINT
  static_assert(FollowsTheContract(kEntryPoints),
                "every entry point once, in the contract's order");

  bool all = true;
  for (const TEntryPointSlot &slot : kEntryPoints) {
    slot.Store(*this, platform::FindSymbol(library, std::string(slot.Name).c_str()));
    all = all && slot.Found(*this);
  }
  return all;
}

TKestrelDLL::TKestrelDLL(TKestrelUnit &unit) : FUnit(unit) {
  const platform::ModuleHandle library = unit.LoadLibraryOnce();
  if (library == nullptr)
    return;
  FLoaded = true;
  FAllEntryPoints = ResolveEntryPoints(library);
}

int32_t TKestrelDLL::InitCrypto(const std::string &secretPath, const std::string &publicDir) {
  return kestrel::Widen(Required("InitCrypto", FCryptoInit)(secretPath.c_str(), publicDir.c_str()));
}

int32_t TKestrelDLL::DoneCrypto() { return kestrel::Widen(Required("DoneCrypto", FCryptoDone)()); }

int32_t TKestrelDLL::InitSign(const std::string &secretPath, const std::string &publicDir) {
  return kestrel::Widen(Required("InitSign", FSignInit)(secretPath.c_str(), publicDir.c_str()));
}

int32_t TKestrelDLL::DoneSign() { return kestrel::Widen(Required("DoneSign", FSignDone)()); }
