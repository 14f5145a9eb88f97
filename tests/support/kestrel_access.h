// The tests' one way into the binding's private members (a friend of
// TKestrelDLL and TKestrelUnit): each entry point of a binding, to call, to
// compare or to replace, and the two first-load facts of the binding's state
// a test sets itself. Reads of that state go through the state's own
// LoadedLibrary(), LoadedGeneration() and LoadedPublicKeyFileSize().
#pragma once

#include "kestrel/kestrel_dll.h"
#include "platform/platform.h"
#include "support/thread_safety.h"

#include <cstdint>

struct TKestrelDLLTestAccess {
  // F<name>(binding): the entry point; assignable when the binding is not
  // const.
#define CE_ENTRY_POINT_ACCESS(name)                                                                \
  static auto &F##name(TKestrelDLL &binding) { return binding.F##name; }                           \
  static auto F##name(const TKestrelDLL &binding) { return binding.F##name; }
  CE_ENTRY_POINT_ACCESS(InitKey)
  CE_ENTRY_POINT_ACCESS(ResetKeyEx)
  CE_ENTRY_POINT_ACCESS(GetDrvInfo)
  CE_ENTRY_POINT_ACCESS(FreeMemory)
  CE_ENTRY_POINT_ACCESS(SignInit)
  CE_ENTRY_POINT_ACCESS(SignDone)
  CE_ENTRY_POINT_ACCESS(SignLogIn)
  CE_ENTRY_POINT_ACCESS(SignLogOut)
  CE_ENTRY_POINT_ACCESS(DelSign)
  CE_ENTRY_POINT_ACCESS(SignFile)
  CE_ENTRY_POINT_ACCESS(check_file_sign)
  CE_ENTRY_POINT_ACCESS(SignMem)
  CE_ENTRY_POINT_ACCESS(SignMemEx)
  CE_ENTRY_POINT_ACCESS(check_mem_sign)
  CE_ENTRY_POINT_ACCESS(Del_Mem_Sign)
  CE_ENTRY_POINT_ACCESS(SignMemSeparate)
  CE_ENTRY_POINT_ACCESS(SignMemSeparateEx)
  CE_ENTRY_POINT_ACCESS(CheckMemSeparate)
  CE_ENTRY_POINT_ACCESS(CryptoInit)
  CE_ENTRY_POINT_ACCESS(CryptoDone)
  CE_ENTRY_POINT_ACCESS(EnCryptFile)
  CE_ENTRY_POINT_ACCESS(DeCryptFile)
  CE_ENTRY_POINT_ACCESS(GetCryptKeysF)
  CE_ENTRY_POINT_ACCESS(GetCryptKeysM)
  CE_ENTRY_POINT_ACCESS(DeCryptMem)
  CE_ENTRY_POINT_ACCESS(EnCryptMem)
  CE_ENTRY_POINT_ACCESS(GetFileSenderID)
  CE_ENTRY_POINT_ACCESS(GetMemSenderID)
  CE_ENTRY_POINT_ACCESS(AddOpenKey)
  CE_ENTRY_POINT_ACCESS(GetAlias)
  CE_ENTRY_POINT_ACCESS(ExtractKey)
  CE_ENTRY_POINT_ACCESS(DelOpenKey)
#undef CE_ENTRY_POINT_ACCESS

  // Makes a library the test loaded itself the state's library: the state
  // frees it when it ends, as it frees one a binding loaded.
  static void SetLibraryHandle(TKestrelUnit &unit, platform::ModuleHandle library) {
    TLockGuard lock(unit.LoadLock);
    unit.LibraryHandle = library;
  }
  // Sets the generation and public key block size a first load would have
  // found.
  static void SetLibraryGeneration(TKestrelUnit &unit, int32_t generation,
                                   int32_t publicKeyFileSize) {
    TLockGuard lock(unit.LoadLock);
    unit.LibraryGeneration = generation;
    unit.PublicKeyFileSize = publicKeyFileSize;
  }
};
