#include "engine/key_operation.h"

#include "kestrel/kestrel_dll.h"

namespace {

// Keeps a library context open for one operation. Close() ends it on the
// normal path, where a failure to close may still reach the operation's
// exception capture; on every other path the destructor ends it.
class TOpenContext {
public:
  TOpenContext(TKestrel4Engine &engine, TLibraryContext context)
      : FEngine(engine), FContext(context) {}
  ~TOpenContext() {
    if (!FOpen)
      return;
    try {
      Done();
    } catch (...) {
      // Already leaving by an exception; that one is the operation's outcome.
    }
  }
  TOpenContext(const TOpenContext &) = delete;
  TOpenContext &operator=(const TOpenContext &) = delete;

  int32_t Open() {
    const int32_t result =
        FContext == TLibraryContext::Crypto ? FEngine.InitCrypto() : FEngine.InitSign();
    FOpen = result == 0;
    return result;
  }
  void Close() {
    if (!FOpen)
      return;
    FOpen = false;
    Done();
  }

private:
  void Done() {
    if (FContext == TLibraryContext::Crypto)
      FEngine.DoneCrypto();
    else
      FEngine.DoneSign();
  }

  TKestrel4Engine &FEngine;
  TLibraryContext FContext;
  bool FOpen = false;
};

int32_t RunCheck(const TKeyOperation::TCheck &check) { return check ? check() : 0; }

} // namespace

int32_t TKestrel4Engine::RunKeyOperation(const TKeyOperation &operation) {
  if (const int32_t result = RunCheck(operation.BeforeSettings); result != 0)
    return result;
  TKeyAccessSettings settings;
  if (!ReadKeyAccessSettings(settings))
    return CE_ERR_TIMEOUT_SETTINGS;
  if (const int32_t result = RunCheck(operation.BeforeLock); result != 0)
    return result;

  return WithBinding(operation.Name, [&](TKestrelDLL &binding) -> int32_t {
    if (const int32_t result = RunCheck(operation.BeforeKey); result != 0)
      return result;
    if (const int32_t result =
            LoadUserKey(binding, ParamValue(operation.KeyParam), operation.RequireSlot0, settings);
        result != 0)
      return result;
    if (const int32_t result = RunCheck(operation.AfterKey); result != 0)
      return result;
    TOpenContext context(*this, operation.Context);
    if (const int32_t result = context.Open(); result != 0)
      return result;
    const int32_t result = operation.Work(binding, settings);
    context.Close();
    return result;
  });
}
