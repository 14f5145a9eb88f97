// The public key directory: one file, kestrel.spr, in the directory folder.
// Its entries and header carry GOST 28147-89 MACs under a key derived from
// the owner's private encryption key, so a changed, planted, removed or
// reordered entry is detected; the header's version number, with the highest
// one seen kept on the owner's key device, turns away an older copy, and the
// device's record of the directory current in each folder keeps a writer
// from starting a new one where the file went missing. Updates
// are written beside the file and renamed over it, and writers of all
// processes are serialised by a lock file (kestrel.lck) they wait for a
// bounded time. The owner's key is found in whichever driver slot holds it.
#pragma once

#include "formats.h"
#include "key_driver.h"

namespace kestrel_provider {

inline constexpr std::string_view kDirectoryFileName = "kestrel.spr";
inline constexpr std::string_view kDirectoryLockName = "kestrel.lck";

// The most entries a directory of the generation may hold: its file stays
// within what readers take.
std::size_t MaxDirectoryEntries(Generation generation);

// The public key of the given identifier and kind: 0, kNoDirectory,
// kNoPublicKey, a read or protection code (108, 111, 118, 121, 124, 125,
// 131, 132), kDeviceError when the owner's device record cannot be read, or
// kKeyNotFound when no key is loaded to check the directory with.
Code LookupPublicKey(std::string_view directory, Generation generation, std::string_view id,
                     KeyKind kind, PublicKeyBlock &out);
// The same for several identifiers, against one state of the directory
// file (one status call for all); stops at the first that fails.
Code LookupPublicKeys(std::string_view directory, Generation generation,
                      const std::vector<std::string> &ids, KeyKind kind,
                      std::vector<PublicKeyBlock> &out);
// The stored block of a key, whatever its kind. Without the owner's key
// loaded the directory's MACs cannot be checked, and the block is checked
// on its own; unless the device of a loaded owner knows the folder or the
// directory as its own (the owner field was changed): then 132 or 131.
Code ExtractPublicKeyBlock(std::string_view directory, Generation generation, std::string_view id,
                           Bytes &out);
// How many times this thread read and checked a directory file whole
// (lookups served from the checked copy a process keeps do not count), so
// tests can tell a kept copy from a fresh read.
std::uint64_t DirectoryReads();
// Drops the checked directories of an owner (its key was reset); they would
// not be served again anyway, since they belong to that load of the key.
void ForgetCheckedDirectoriesOf(std::string_view owner);
// Adds or replaces a key (kKeyCompromised when the same public key is there
// under another identifier); the owner's key must be loaded. kDirectoryFull
// when the directory would grow past MaxDirectoryEntries, kDirectoryBusy
// when another process holds the directory's lock or the device record's
// too long, kNoDirectoryFile when the file is missing (or not a file) where
// the owner's device knows a directory, kDeviceError when the record cannot
// be read or written; the file is unchanged then.
Code AddPublicKey(std::string_view directory, Generation generation, const std::uint8_t *block,
                  std::string_view owner, KeyKind ownerKind);
// Removes a key; the owner's key must be loaded. The same codes.
Code DeletePublicKey(std::string_view directory, Generation generation, std::string_view id,
                     std::string_view owner, KeyKind ownerKind);
// Gives up the directory the owner's device knows in the folder, so that
// the owner can start over there: every copy of it is refused from then on
// (kDirectoryRolledBack), and the next update in the folder starts a new
// directory. 0 (`known` tells whether the device knew one), kDirectoryBusy,
// or kDeviceError (no device, the record cannot be read or written).
Code RetireDirectory(const LoadedKey &owner, std::string_view directory, bool &known);

} // namespace kestrel_provider
