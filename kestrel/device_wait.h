// Waiting for a removable key device: one library call retried while the key
// device named by a path is absent and the host shows its request window.
// Used by key loading (InitKey) and by the memory encryption, decryption and
// signing wrappers (EnCryptMem, DeCryptMem, SignMemSeparateEx).
#pragma once

#include "include/ce_kestrel.h"

#include <cstdint>
#include <functional>
#include <string_view>

// True when the path, upper-cased in the Latin letters a to z only, is one of
// the key-device names "TM:A4.P", "TM:COM0", "TM:COM1", "TM:COM2", "SC:GSR4",
// "SC:TOWT".
bool IsKeyDevice(std::string_view path);

// Kestrel results that mean the key or its device could not be read: 6, 34,
// 35, 36, 101, 105, 106. The operation calls wait for the device on these.
bool IsDeviceWaitCode(int32_t code);

// Any failure (non-zero result). InitKey waits for the device on these.
bool IsAnyFailure(int32_t code);

// Time between two attempts while the request window is shown.
inline constexpr int32_t kDeviceWaitPauseMs = 500;

// Runs `call` until it succeeds or the wait gives up, and returns its last
// result (the starting value -3 if `call` never returned):
// - the first result for which `raises` is true, when the path names a key
//   device and `request` is set, shows the host's request window
//   (request(0)) at most once per loop, and the wait time-out is counted from
//   that moment;
// - while the window is shown, a failed call is retried every 500 ms until it
//   succeeds or more than `waitTimeOutSeconds` have passed since the window
//   appeared;
// - without a window (no key device named, no request function set, or no
//   result that raises it) there is exactly one call;
// - the window is withdrawn (request(1)) on every way out, exceptions of
//   `call` included.
int32_t RunDeviceWaitLoop(std::string_view path, int32_t waitTimeOutSeconds,
                          CE_TM_REQUEST_FUNC request, bool (*raises)(int32_t),
                          const std::function<int32_t()> &call);
