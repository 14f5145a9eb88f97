// The module's result codes by name. The engine's codes are the public
// CE_ERR_* names of include/ce_kestrel.h; the binding's own codes, which the
// public header lists by number, are named here, with the public name where
// it has one. The texts are keyed by these names: the engine's in
// engine/error_string.cpp, the binding's and the library's in
// kestrel/error_text.cpp.
#pragma once

#include "include/ce_kestrel.h"

#include <cstdint>

namespace kestrel {

// The binding's own codes, returned by its wrappers.
struct TBindingCodes {
  // The library is not loaded, or lacks the entry point the call needs.
  static constexpr int32_t kNotInitialized = CE_ERR_NOT_SUPPORTED;
  // A nil buffer, a length below 1 or a nil output.
  static constexpr int32_t kInvalidParameters = CE_ERR_BAD_ARGUMENT;
  // Returned by no wrapper: the starting value of the device-wait loops.
  static constexpr int32_t kCallException = -3;
  // The library found no signature in the block.
  static constexpr int32_t kBadSignaturesCount = -4;
  // The public key file cannot be opened.
  static constexpr int32_t kCantOpenKeyFile = -5;
  // The key driver refused to reset a key or to free slot 0.
  static constexpr int32_t kKeyDriverError = -6;
  // No memory for a key cache record.
  static constexpr int32_t kOutOfMemory = -7;
  // The public key file does not exist.
  static constexpr int32_t kKeyFileNotFound = -8;
  // The public key directory does not exist.
  static constexpr int32_t kDirectoryNotFound = -9;
  // A key number or identifier of the wrong length.
  static constexpr int32_t kBadUID = -10;
  // A malformed recipient list; it has no binding text of its own.
  static constexpr int32_t kBadRecipients = CE_ERR_BAD_ABONENTS;
};

// A signature that did not check out: this plus the verdict of the first
// status record.
inline constexpr int32_t kVerdictBase = 1000;
static_assert(CE_SIGNATURE_WRONG == kVerdictBase + 1 &&
              CE_PUBLIC_KEY_NOT_FOUND == kVerdictBase + 2);

// Every code the module itself defines, besides 0: each has a text for the
// host. The library's own codes (1 to 134) pass through and have their texts
// in the library's table.
inline constexpr int32_t kModuleResultCodes[] = {
    TBindingCodes::kNotInitialized,
    TBindingCodes::kInvalidParameters,
    TBindingCodes::kCallException,
    TBindingCodes::kBadSignaturesCount,
    TBindingCodes::kCantOpenKeyFile,
    TBindingCodes::kKeyDriverError,
    TBindingCodes::kOutOfMemory,
    TBindingCodes::kKeyFileNotFound,
    TBindingCodes::kDirectoryNotFound,
    TBindingCodes::kBadUID,
    TBindingCodes::kBadRecipients,
    CE_ERR_LIBRARY_NOT_INITIALIZED,
    CE_ERR_EXCEPTION,
    CE_ERR_STRING_LENGTH,
    CE_ERR_INVALID_SETTINGS,
    CE_ERR_SIGN_UID_LENGTH,
    CE_ERR_FILE_OPERATION,
    CE_ERR_TIMEOUT_SETTINGS,
    CE_ERR_ENCODE_UID_SETTINGS,
    CE_ERR_LOW_MEMORY,
    CE_ERR_SELF_CERTIFICATE,
    CE_ERR_PARAM_INDEX,
    CE_ERR_LOAD_LIBRARY,
    CE_ERR_ENTRY_POINTS,
    CE_ERR_PUBLIC_KEY_FILE,
    CE_ERR_READ_PUBLIC_KEY_FILE,
    CE_SIGNATURE_WRONG,
    CE_PUBLIC_KEY_NOT_FOUND,
};

} // namespace kestrel
