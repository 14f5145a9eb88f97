// An in-process stand-in for the library's key driver and public key
// directory entry points. It records every call in order and answers with
// the results a test sets, so a test sees exactly what the module asked of
// the library. The state starts fresh with every test.
#pragma once

#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_api.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/module_state.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel_fake {

struct TCall {
  std::string Name;
  std::vector<std::string> Args;
};

struct TState {
  std::vector<TCall> Calls;
  std::vector<kestrel::TDriverSlotInfo> Slots; // what GetDrvInfo reports
  kestrel::Result InitKeyResult = 0;
  kestrel::Result AddOpenKeyResult = 0;
  kestrel::Result DelOpenKeyResult = 0;
  kestrel::Result ExtractKeyResult = 0;
  std::string KeyBlock;          // bytes ExtractKey writes (at most PublicKeyFileSize)
  std::string AddedBlock;        // the block AddOpenKey received
  bool AddOpenKeyRaises = false; // AddOpenKey raises std::runtime_error("disk gone")
};

inline TState &State() {
  static TState state;
  return state;
}

inline const bool kFreshStatePerTest = cetest::ResetBeforeEachTest([] { State() = TState{}; });

inline void Record(std::string name, std::vector<std::string> args = {}) {
  State().Calls.push_back({std::move(name), std::move(args)});
}

inline std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const auto &call : State().Calls)
    names.push_back(call.Name);
  return names;
}

// The first recorded call of that name, or nullptr.
inline const TCall *FindCall(const std::string &name) {
  for (const auto &call : State().Calls)
    if (call.Name == name)
      return &call;
  return nullptr;
}

inline kestrel::Result KESTREL_STDCALL InitKey(const char *keyPath, const char *) {
  Record("InitKey", {keyPath});
  return State().InitKeyResult;
}

inline kestrel::Result KESTREL_STDCALL ResetKeyEx(const char *keyNumber, std::int32_t) {
  Record("ResetKeyEx", {keyNumber});
  return 0;
}

inline kestrel::Result KESTREL_STDCALL GetDrvInfo(void *table, std::int32_t *count) {
  Record("GetDrvInfo");
  const auto &slots = State().Slots;
  if (!slots.empty())
    std::memcpy(table, slots.data(), slots.size() * sizeof(kestrel::TDriverSlotInfo));
  *count = static_cast<std::int32_t>(slots.size());
  return 0;
}

inline kestrel::Result KESTREL_STDCALL AddOpenKey(const char *directory, const void *keyBlock,
                                                  const char *owner, char kind) {
  Record("AddOpenKey", {directory, owner, std::string(1, kind)});
  State().AddedBlock.assign(static_cast<const char *>(keyBlock),
                            static_cast<std::size_t>(KestrelUnit().PublicKeyFileSize));
  if (State().AddOpenKeyRaises)
    throw std::runtime_error("disk gone");
  return State().AddOpenKeyResult;
}

inline kestrel::Result KESTREL_STDCALL DelOpenKey(const char *directory, const char *keyNumber,
                                                  const char *owner, char kind) {
  Record("DelOpenKey", {directory, keyNumber, owner, std::string(1, kind)});
  return State().DelOpenKeyResult;
}

inline kestrel::Result KESTREL_STDCALL ExtractKey(const char *directory, const char *keyNumber,
                                                  void *keyBlock) {
  Record("ExtractKey", {directory, keyNumber});
  const std::string &bytes = State().KeyBlock;
  std::memcpy(keyBlock, bytes.data(), bytes.size());
  return State().ExtractKeyResult;
}

// A binding whose directory and key driver entry points are the fakes above.
// Made before the library handle is faked, so its constructor finds no
// library (the tests carry no library search path) and resolves nothing.
inline std::unique_ptr<TKestrelDLL> MakeBinding() {
  auto binding = std::make_unique<TKestrelDLL>(KestrelUnit());
  binding->FLoaded = true;
  binding->FAllEntryPoints = true;
  binding->FInitKey = &InitKey;
  binding->FResetKeyEx = &ResetKeyEx;
  binding->FGetDrvInfo = &GetDrvInfo;
  binding->FAddOpenKey = &AddOpenKey;
  binding->FDelOpenKey = &DelOpenKey;
  binding->FExtractKey = &ExtractKey;
  return binding;
}

// Makes the binding's guards see a loaded library for the life of the
// object; the handle is never used for a lookup and is cleared again before
// module unload could try to free it. While it lives, no other binding may be
// made: its constructor would look entry points up in the fake handle.
class TLoadedLibrary {
public:
  explicit TLoadedLibrary(int32_t publicKeyFileSize = 240) {
    KestrelUnit().LibraryHandle = &marker_;
    KestrelUnit().PublicKeyFileSize = publicKeyFileSize;
    KestrelUnit().LibraryGeneration = publicKeyFileSize == 304 ? 5 : 4;
  }
  ~TLoadedLibrary() { KestrelUnit().LibraryHandle = nullptr; }
  TLoadedLibrary(const TLoadedLibrary &) = delete;
  TLoadedLibrary &operator=(const TLoadedLibrary &) = delete;

private:
  int marker_ = 0;
};

// An engine connected to the fakes; the binding is in place before any
// operation, so GetCryptoAPI keeps it.
struct TFakeEngine {
  TKestrel4Engine Engine;
  TKestrelDLL *Binding = nullptr;
  std::unique_ptr<TLoadedLibrary> Library;

  explicit TFakeEngine(int32_t publicKeyFileSize = 240) {
    Engine.FKestrelDLL = MakeBinding();
    Binding = Engine.FKestrelDLL.get();
    Library = std::make_unique<TLoadedLibrary>(publicKeyFileSize);
  }
  ~TFakeEngine() { Engine.FKestrelDLL.reset(); }
};

} // namespace kestrel_fake
