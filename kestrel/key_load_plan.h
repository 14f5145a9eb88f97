// Making the user's key ready for an operation: the settings that govern the
// reuse of a loaded key, and the decision what to do with the key, kept apart
// from the doing (TKestrelDLL::LoadKey, kestrel/key_loading.cpp).
#pragma once

#include <array>
#include <cstdint>

struct TKeyCacheEntry; // kestrel/kestrel_dll.h

// The key-access settings every key-loading operation reads at its start.
struct TKeyAccessSettings {
  int32_t LifeTime = 0;     // "Key request time out", seconds; 0 = reload at every use
  int32_t IdleTime = 0;     // "Last operation key time out", seconds; 0 = reload at every use
  bool ResetOnStart = true; // "Reset key in drv on start", lenient form
  int32_t WaitTimeOut = 5;  // "Touch Memory Window Time Out", seconds
};

// What the driver's slot table and the key cache tell about the key.
struct TKeyState {
  const TKeyCacheEntry *Cached = nullptr; // the key's cache record; none when not cached
  int32_t Slot = -1;                      // driver slot that holds the key; -1 when none
  int32_t DriverKeys = 0;                 // records in the driver's slot table
};

// One step of making the key ready. A step that fails ends the loading with
// its result; the record steps also record the load or use of the paired key
// of the same driver record.
enum class TKeyStep : uint8_t {
  Done = 0,   // the end of the plan
  ResetKey,   // reset the key in the driver (refused: kKeyDriverError)
  FreeSlot0,  // reset the keys in slot 0 (refused: kKeyDriverError)
  InitKey,    // load the key, waiting for its device (failure: the library's code)
  AddEntry,   // cache the key as just loaded (no memory: kOutOfMemory)
  MarkLoaded, // its cache record: loaded now, with the given limits
  MarkUsed,   // its cache record: used now, with the given idle time
};

// The steps in order, Done after the last.
using TKeyLoadPlan = std::array<TKeyStep, 4>;

// Decides how to make the key ready: reuse it while its time limits allow,
// reload it when they have run out, load it when it is not cached, and clear
// slot 0 first when the operation needs the key there or the driver is full.
// `now` is a local date-time in days.
TKeyLoadPlan PlanKeyLoad(const TKeyState &key, bool requireSlot0,
                         const TKeyAccessSettings &settings, double now);
