// The module's process-wide state in one object: the root and its library
// directories, the binding's state (library handle, generation, key cache,
// LoadLock, KeyCacheLock) and EngineLock. Engines take the context that is
// current when they are made and reach all of it through that reference.
//
// Lock order: EngineLock first; LoadLock (a binding's constructor, made in
// GetCryptoAPI) and KeyCacheLock (LoadKey) only while EngineLock is held and
// never together. The exceptions take no second lock while they hold one:
// ClearCash takes KeyCacheLock and releases it before it takes EngineLock,
// and the binding's state, when the context ends, takes KeyCacheLock and
// then LoadLock, one after the other.
#pragma once

#include "kestrel/kestrel_dll.h"
#include "support/rootpath.h"
#include "support/thread_safety.h"

struct TModuleContext {
  TModuleContext() = default;
  TModuleContext(const TModuleContext &) = delete;
  TModuleContext &operator=(const TModuleContext &) = delete;

  // Members are made in unit order and destroyed in the reverse order:
  // EngineLock, then the binding's state (key cache emptied, library freed),
  // then the root.
  TRootPathUnit RootPath;
  TKestrelUnit Kestrel{RootPath};
  // All library work of all engines, and each engine's binding and open
  // library contexts (annotated at TKestrel4Engine).
  TRecursiveMutex EngineLock;

  // The context of the module as loaded now.
  static TModuleContext &Current();
};

// One load of the module: owns a context and makes it current for its
// lifetime, restoring the one before when it ends. The module holds one for
// the process from load to unload; a program that links the module's code
// may start from a fresh module by holding another (its engines must end
// first).
class TModuleInstance {
public:
  TModuleInstance();
  ~TModuleInstance();
  TModuleInstance(const TModuleInstance &) = delete;
  TModuleInstance &operator=(const TModuleInstance &) = delete;

  TModuleContext &Context() { return FContext; }

private:
  TModuleContext FContext;
  TModuleInstance *FPrevious;
};
