#include "engine/module_context.h"

namespace {

TModuleInstance *g_current = nullptr;

// The module's own instance: made when the module is loaded, ended when it
// is unloaded.
TModuleInstance g_module;

} // namespace

TModuleInstance::TModuleInstance() : FPrevious(g_current) { g_current = this; }

TModuleInstance::~TModuleInstance() { g_current = FPrevious; }

TModuleContext &TModuleContext::Current() { return g_current->Context(); }
