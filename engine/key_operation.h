// The frame of every engine operation that works with the user's own key
// (encryption, decryption, detached and attached signatures): parameter
// reading, EngineLock, the library binding, key loading, the library context
// opened and closed around the library work, and the capture of exceptions.
// Each operation supplies only what is its own.
#pragma once

#include "engine/kestrel4_engine.h"

#include <cstdint>
#include <functional>

class TKestrelDLL;

// The library context an operation works in.
enum class TLibraryContext { Crypto, Sign };

struct TKeyOperation {
  using TCheck = std::function<int32_t()>; // 0 to go on, else the operation's result
  using TWork = std::function<int32_t(TKestrelDLL &binding, const TKeyAccessSettings &settings)>;

  const char *Name = ""; // the operation's name in a captured exception's text
  TLibraryContext Context = TLibraryContext::Sign;
  int32_t KeyParam = 0; // the parameter naming the key to load
  bool RequireSlot0 = false;

  // The steps, in the order the frame runs them; an empty check is skipped.
  TCheck BeforeSettings; // before anything is read or locked
  TCheck BeforeLock;     // after the key-access settings were read
  TCheck BeforeKey;      // under EngineLock, the binding ready, before LoadKey
  TCheck AfterKey;       // after the key was loaded, before the context is opened
  TWork Work;            // the library work inside the open context
};
