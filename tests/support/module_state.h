// The module's state as the tests see it: the parts of the current module
// context. Every test of a program starts from a fresh module context of its
// own (module_state.cpp), so a program passes when run whole in one process.
#pragma once

#include "engine/module_context.h"

#include <mutex>
#include <string>

inline TModuleContext &ModuleContext() { return TModuleContext::Current(); }
inline TRootPathUnit &RootPathUnit() { return ModuleContext().RootPath; }
inline TKestrelUnit &KestrelUnit() { return ModuleContext().Kestrel; }
inline TRecursiveMutex &EngineLock() { return ModuleContext().EngineLock; }

inline void SetRootDirectory(const std::string &path) { RootPathUnit().SetRootDirectory(path); }
inline std::string FindLibraryFile(const std::string &fileName) {
  return RootPathUnit().FindLibraryFile(fileName);
}
inline platform::ModuleHandle LoadLibraryFromRoot(const std::string &fileName) {
  return RootPathUnit().LoadLibraryFromRoot(fileName);
}
inline platform::ModuleHandle LoadCryptoLibrary(const std::string &fileName) {
  return RootPathUnit().LoadCryptoLibrary(fileName);
}
inline void ClearKeyCache() { KestrelUnit().ClearKeyCache(); }

namespace cetest {
// Runs reset before every test of the program, after its fresh module
// context is made: for the state fakes keep in statics.
bool ResetBeforeEachTest(void (*reset)());

// True when, at the start of this test, a library by the name of kestrel.dll
// was already in the process: one that cannot be unloaded (the project's
// provider is linked so) and was loaded by an earlier test. A library name
// without a directory then resolves to it, so a test that needs no such
// library cannot run in this process; ctest also runs it in one of its own.
bool ProviderPinnedInProcess();
} // namespace cetest

#define CE_SKIP_IF_PROVIDER_PINNED()                                                               \
  do {                                                                                             \
    if (cetest::ProviderPinnedInProcess())                                                         \
      GTEST_SKIP() << "an earlier test of this process pinned a provider in memory";               \
  } while (false)
