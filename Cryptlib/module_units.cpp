#include "Cryptlib/module_units.h"

#include "engine/kestrel4_engine.h"

namespace {
// Constructed when the module is loaded; members are destroyed in reverse
// order at unload: EngineLock, then the binding unit (key cache emptied,
// library freed), then the root path.
TModuleUnits g_units;
} // namespace

TRootPathUnit &RootPathUnit() { return g_units.RootPath; }
TKestrelUnit &KestrelUnit() { return g_units.Kestrel; }
std::recursive_mutex &EngineLock() { return g_units.EngineLock; }
