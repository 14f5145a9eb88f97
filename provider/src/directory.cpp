// Reading, checking and updating the public key directory.
#include "directory.h"

#include "key_driver.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestrel_provider {
namespace {

// The largest directory file a reader takes; writers never go past it.
constexpr std::int64_t kMaxDirectoryFile = 64 * 1024 * 1024;
// How long a writer waits for the lock another process holds.
constexpr std::chrono::milliseconds kLockWait{5000};
// On the owner's key device: the versions of the directories seen, and the
// lock of its writers.
constexpr std::string_view kSeenFileName = "kestrel.ver";
constexpr std::string_view kSeenLockName = "kestrel.ver.lck";

// Reads a file; a missing file is no error (`exists` tells).
Code ReadFile(const std::string &path, Bytes &out, bool &exists) {
  exists = platform::FileExists(path);
  if (!exists)
    return code::kOk;
  platform::ReadOnlyFile file(path);
  if (!file.IsOpen())
    return code::kDirectoryRead;
  const std::int64_t size = file.Size();
  if (size < 0)
    return code::kDirectoryRead;
  if (size > kMaxDirectoryFile)
    return code::kDirectoryLength;
  out.resize(static_cast<std::size_t>(size));
  if (file.Read(out.data(), out.size()) != out.size())
    return code::kDirectoryRead;
  return code::kOk;
}

// Removes what writers killed while writing `fileName` (platform::
// WriteFileAtomically names its temporary files "<name>.tmp.<pid>.<n>")
// left in the folder. Called only under the lock that every writer of that
// file holds while its temporary file exists, so none is still being
// written.
void RemoveStaleTemporaries(std::string_view folder, std::string_view fileName) {
  (void)platform::RemoveTemporaryFilesOf(folder, fileName);
}

// The loaded pair of the directory's owner (its encryption key), in
// whichever slot it is.
Code FindOwnerKey(std::string_view owner, LoadedKey &out) {
  auto key = KeyDriver::Instance().EncryptionKeyOfPair(owner);
  if (!key)
    return KeyDriver::Instance().Slots().empty() ? code::kKeyNotFound : code::kOtherSeriesMac;
  out = std::move(*key);
  return code::kOk;
}

// --- versions seen, on the owner's key device ---

// The records on the owner's device. No device, no file or a file that does
// not check out give no records: whoever can change the device can as well
// delete the file (docs/provider.md, threat model).
SeenVersions ReadSeen(const LoadedKey &owner, const Key256 &key) {
  SeenVersions none;
  none.owner = owner.id;
  if (owner.device.empty())
    return none;
  Bytes data;
  bool exists = false;
  if (ReadFile(JoinPath(owner.device, kSeenFileName), data, exists) != 0 || !exists)
    return none;
  SeenVersions seen;
  if (ParseSeenVersions(data.data(), data.size(), key, seen) != 0 || seen.owner != owner.id)
    return none;
  return seen;
}

std::uint64_t SeenVersion(const SeenVersions &seen, const DirectoryIdentity &identity) {
  for (const auto &record : seen.records)
    if (record.first == identity)
      return record.second;
  return 0;
}

// Records that `version` of a directory was seen, unless a higher one is
// recorded already. A device that is read-only or locked for too long keeps
// its records.
void RaiseSeen(const LoadedKey &owner, const DirectoryIdentity &identity, std::uint64_t version) {
  if (owner.device.empty())
    return;
  platform::FileLock lock(JoinPath(owner.device, kSeenLockName), kLockWait);
  if (!lock.IsLocked())
    return;
  RemoveStaleTemporaries(owner.device, kSeenFileName);
  const Key256 key = SeenVersionsKey(owner.privateKey, owner.id);
  SeenVersions seen = ReadSeen(owner, key);
  const auto it = std::find_if(seen.records.begin(), seen.records.end(),
                               [&](const auto &record) { return record.first == identity; });
  if (it != seen.records.end()) {
    if (it->second >= version)
      return;
    seen.records.erase(it);
  }
  seen.records.insert(seen.records.begin(), {identity, version});
  if (seen.records.size() > kMaxSeenDirectories)
    seen.records.resize(kMaxSeenDirectories);
  const Bytes data = BuildSeenVersions(seen, key);
  (void)platform::WriteFileAtomically(JoinPath(owner.device, kSeenFileName), data.data(),
                                      data.size(), true);
}

// Refuses a directory older than the newest one of the same identity the
// owner's device has seen, and records a newer one.
Code CheckNotRolledBack(const LoadedKey &owner, const DirectoryFile &file) {
  const Key256 key = SeenVersionsKey(owner.privateKey, owner.id);
  const std::uint64_t seen = SeenVersion(ReadSeen(owner, key), file.identity);
  if (file.version < seen)
    return code::kDirectoryRolledBack;
  if (file.version > seen)
    RaiseSeen(owner, file.identity, file.version);
  return code::kOk;
}

// --- the directory file ---

// Reads and checks the whole directory, or with `only` set just the entries
// of that identifier (see VerifyDirectory), with the owner's key from any
// slot, and refuses an older copy than the owner's device has seen.
// `exists` tells whether the file was there.
Code LoadDirectory(std::string_view directory, Generation generation, DirectoryFile &out,
                   bool &exists, std::string_view only = {}) {
  if (!platform::DirectoryExists(directory))
    return code::kNoDirectory;
  Bytes data;
  if (Code c = ReadFile(JoinPath(directory, kDirectoryFileName), data, exists); c != 0)
    return c;
  if (!exists) {
    out = DirectoryFile{generation, {}, {}, {}, 0};
    return code::kOk;
  }
  DirectoryFile structure;
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data.data(), data.size(), generation, structure, headerMac);
      c != 0)
    return c;
  LoadedKey owner;
  if (Code c = FindOwnerKey(structure.owner, owner); c != 0)
    return c;
  const Key256 key = DirectoryKey(owner.privateKey, owner.id);
  if (Code c = VerifyDirectory(data.data(), data.size(), generation, key, out, only); c != 0)
    return c;
  return CheckNotRolledBack(owner, out);
}

const DirectoryEntry *FindEntry(const DirectoryFile &file, std::string_view id) {
  for (const auto &entry : file.entries)
    if (entry.key.id == id)
      return &entry;
  return nullptr;
}

// The block of `id` read without the directory's MACs, for a process that
// does not hold the owner's key: the block itself is checked in full (check
// value, curve point, the key's own signature over its identifier), so what
// comes out is a key its holder put under that identifier.
Code ExtractUnchecked(std::string_view directory, Generation generation, std::string_view id,
                      Bytes &out) {
  Bytes data;
  bool exists = false;
  if (Code c = ReadFile(JoinPath(directory, kDirectoryFileName), data, exists); c != 0)
    return c;
  if (!exists)
    return code::kNoPublicKey;
  DirectoryFile file;
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data.data(), data.size(), generation, file, headerMac);
      c != 0)
    return c;
  for (const DirectoryEntry &entry : file.entries) {
    PublicKeyBlock key;
    if (entry.block.size() < 20 || GetText(entry.block.data() + 8, 12) != id)
      continue;
    if (Code c = ParsePublicKeyBlock(entry.block.data(), entry.block.size(), generation, key);
        c != 0)
      return c;
    out = entry.block;
    return code::kOk;
  }
  return code::kNoPublicKey;
}

bool WriteDirectory(const std::string &path, const Bytes &data) {
  // A reader holding the file open may make the rename fail for a moment
  // on Windows; the old file stays whole meanwhile.
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (platform::WriteFileAtomically(path, data.data(), data.size(), true))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Runs one locked read-modify-write of the directory with the owner's key
// from any slot.
template <typename Change>
Code UpdateDirectory(std::string_view directory, Generation generation, std::string_view owner,
                     Change change) {
  if (!platform::DirectoryExists(directory))
    return code::kNoDirectory;
  const auto ownerKey = KeyDriver::Instance().EncryptionKeyOfPair(owner);
  if (!ownerKey)
    return code::kKeyNotFound;
  platform::FileLock lock(JoinPath(directory, kDirectoryLockName), kLockWait);
  if (!lock.IsLocked())
    return lock.TimedOut() ? code::kDirectoryBusy : code::kDirectoryWrite;
  RemoveStaleTemporaries(directory, kDirectoryFileName);
  DirectoryFile file;
  bool exists = false;
  if (Code c = LoadDirectory(directory, generation, file, exists); c != 0)
    return c;
  if (exists && file.owner != ownerKey->id)
    return code::kOtherSeriesMac;
  if (!exists)
    crypto::RandomBytes(file.identity.data(), file.identity.size());
  file.owner = ownerKey->id;
  if (Code c = change(file); c != 0)
    return c;
  if (file.entries.size() > MaxDirectoryEntries(generation))
    return code::kDirectoryFull;
  ++file.version;
  const Key256 key = DirectoryKey(ownerKey->privateKey, ownerKey->id);
  const Bytes data = BuildDirectory(file, key);
  if (!WriteDirectory(JoinPath(directory, kDirectoryFileName), data))
    return code::kDirectoryWrite;
  RaiseSeen(*ownerKey, file.identity, file.version);
  return code::kOk;
}

} // namespace

std::size_t MaxDirectoryEntries(Generation generation) {
  return (static_cast<std::size_t>(kMaxDirectoryFile) - kDirectoryHeaderSize) /
         DirectoryEntrySize(generation);
}

Code LookupPublicKey(std::string_view directory, Generation generation, std::string_view id,
                     KeyKind kind, PublicKeyBlock &out) {
  DirectoryFile file;
  bool exists = false;
  if (id.empty())
    return code::kNoPublicKey;
  if (Code c = LoadDirectory(directory, generation, file, exists, id); c != 0)
    return c;
  const DirectoryEntry *entry = FindEntry(file, id);
  if (entry == nullptr || entry->key.kind != kind)
    return code::kNoPublicKey;
  // The key handed out is checked in full again: point and proof of
  // possession.
  return ParsePublicKeyBlock(entry->block.data(), entry->block.size(), generation, out);
}

Code ExtractPublicKeyBlock(std::string_view directory, Generation generation, std::string_view id,
                           Bytes &out) {
  DirectoryFile file;
  bool exists = false;
  const Code c = LoadDirectory(directory, generation, file, exists, id);
  // Handing a key out for display needs no secret: without the owner's key
  // loaded the block is read unchecked by the directory's MACs and checked
  // on its own.
  if (c == code::kKeyNotFound || c == code::kOtherSeriesMac)
    return ExtractUnchecked(directory, generation, id, out);
  if (c != 0)
    return c;
  const DirectoryEntry *entry = FindEntry(file, id);
  if (entry == nullptr)
    return code::kNoPublicKey;
  PublicKeyBlock checked;
  if (Code k = ParsePublicKeyBlock(entry->block.data(), entry->block.size(), generation, checked);
      k != 0)
    return k;
  out = entry->block;
  return code::kOk;
}

Code AddPublicKey(std::string_view directory, Generation generation, const std::uint8_t *block,
                  std::string_view owner, KeyKind ownerKind) {
  const std::size_t size = PublicKeyBlockSize(generation);
  PublicKeyBlock parsed;
  if (Code c = ParsePublicKeyBlock(block, size, generation, parsed); c != 0)
    return c;
  return UpdateDirectory(directory, generation, owner, [&](DirectoryFile &file) {
    DirectoryEntry entry;
    entry.block.assign(block, block + size);
    entry.key = parsed;
    entry.makerKind = ownerKind;
    entry.maker = std::string(owner);
    DirectoryEntry *same = nullptr;
    for (auto &existing : file.entries) {
      if (existing.key.id == parsed.id)
        same = &existing;
      else if (existing.key.key == parsed.key)
        return code::kKeyCompromised; // one key, two identifiers
    }
    if (same != nullptr)
      *same = std::move(entry);
    else
      file.entries.push_back(std::move(entry));
    return code::kOk;
  });
}

Code DeletePublicKey(std::string_view directory, Generation generation, std::string_view id,
                     std::string_view owner, KeyKind /*ownerKind*/) {
  return UpdateDirectory(directory, generation, owner, [&](DirectoryFile &file) {
    for (auto it = file.entries.begin(); it != file.entries.end(); ++it) {
      if (it->key.id == id) {
        file.entries.erase(it);
        return code::kOk;
      }
    }
    return code::kNoPublicKey;
  });
}

} // namespace kestrel_provider
