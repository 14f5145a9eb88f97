#include "engine/key_operation.h"

#include "kestrel/kestrel_dll.h"

namespace {

int32_t OpenContext(TKestrel4Engine &engine, TLibraryContext context)
    CE_REQUIRES(engine.FContext.EngineLock) {
  return context == TLibraryContext::Crypto ? engine.InitCrypto() : engine.InitSign();
}

void CloseContext(TKestrel4Engine &engine, TLibraryContext context)
    CE_REQUIRES(engine.FContext.EngineLock) {
  if (context == TLibraryContext::Crypto)
    engine.DoneCrypto();
  else
    engine.DoneSign();
}

// Ends an open library context when the work leaves by an exception; on the
// normal path the frame closes it itself, where a failure to close may still
// reach the operation's exception capture.
class TContextCloser {
public:
  TContextCloser(TKestrel4Engine &engine, TLibraryContext context)
      : FEngine(engine), FContext(context) {}
  ~TContextCloser() {
    if (!FArmed)
      return;
    try {
      CloseContext(FEngine, FContext); // still under EngineLock: the frame holds it
    } catch (...) {
      // Already leaving by an exception; that one is the operation's outcome.
    }
  }
  TContextCloser(const TContextCloser &) = delete;
  TContextCloser &operator=(const TContextCloser &) = delete;

  void Disarm() { FArmed = false; }

private:
  TKestrel4Engine &FEngine;
  TLibraryContext FContext;
  bool FArmed = true;
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

  return WithBinding(
      operation.Name, [&](TKestrelDLL &binding) CE_REQUIRES(FContext.EngineLock) -> int32_t {
        if (const int32_t result = RunCheck(operation.BeforeKey); result != 0)
          return result;
        if (const int32_t result = LoadUserKey(binding, ParamValue(operation.KeyParam),
                                               operation.RequireSlot0, settings);
            result != 0)
          return result;
        if (const int32_t result = RunCheck(operation.AfterKey); result != 0)
          return result;
        if (const int32_t result = OpenContext(*this, operation.Context); result != 0)
          return result;
        TContextCloser closer(*this, operation.Context);
        const int32_t result = operation.Work(binding, settings);
        closer.Disarm();
        CloseContext(*this, operation.Context);
        return result;
      });
}
