// The module's process-wide state, one object per unit, created at module
// load in unit order and destroyed at unload in the reverse order.
#pragma once

#include "kestrel/kestrel_dll.h"
#include "support/rootpath.h"

#include <mutex>

struct TModuleUnits {
  TRootPathUnit RootPath;         // root path and library directories
  TKestrelUnit Kestrel;           // key cache, library handle, generation
  std::recursive_mutex EngineLock; // all library work of all engines
};
