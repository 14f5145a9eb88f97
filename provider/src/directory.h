// The public key directory: one file, kestrel.spr, in the directory folder.
// Its entries and header carry GOST 28147-89 MACs under a key derived from
// the owner's private encryption key, so a changed, planted, removed or
// reordered entry is detected. Updates are written beside the file and
// renamed over it, and writers of all processes are serialised by a lock
// file (kestrel.lck).
#pragma once

#include "formats.h"

namespace kestrel_provider {

inline constexpr std::string_view kDirectoryFileName = "kestrel.spr";
inline constexpr std::string_view kDirectoryLockName = "kestrel.lck";

// The public key of the given identifier and kind: 0, kNoDirectory,
// kNoPublicKey, a read or protection code (108, 111, 118, 121, 124, 125,
// 131) or kKeyNotFound when no key is loaded to check the directory with.
Code LookupPublicKey(std::string_view directory, Generation generation, std::string_view id,
                     KeyKind kind, PublicKeyBlock &out);
// The stored block of a key, whatever its kind.
Code ExtractPublicKeyBlock(std::string_view directory, Generation generation, std::string_view id,
                           Bytes &out);
// Adds or replaces a key; the owner's key must be in slot 0.
Code AddPublicKey(std::string_view directory, Generation generation, const std::uint8_t *block,
                  std::string_view owner, KeyKind ownerKind);
// Removes a key; the owner's key must be in slot 0.
Code DeletePublicKey(std::string_view directory, Generation generation, std::string_view id,
                     std::string_view owner, KeyKind ownerKind);

} // namespace kestrel_provider
