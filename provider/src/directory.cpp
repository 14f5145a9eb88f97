// Reading, checking and updating the public key directory.
#include "directory.h"

#include "key_driver.h"
#include "platform/platform.h"

#include <chrono>
#include <thread>

namespace kestrel_provider {
namespace {

constexpr std::int64_t kMaxDirectoryFile = 64 * 1024 * 1024;

// Reads the directory file; a missing file is an empty directory.
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

// The directory key for a file owned by `owner`, taken from the driver.
Code OwnerDirectoryKey(std::string_view owner, Key256 &key) {
  const auto ownerKey = KeyDriver::Instance().EncryptionKeyOfPair(owner);
  if (!ownerKey)
    return KeyDriver::Instance().Slots().empty() ? code::kKeyNotFound : code::kOtherSeriesMac;
  key = DirectoryKey(ownerKey->privateKey, ownerKey->id);
  return code::kOk;
}

// Reads and checks the whole directory, or with `only` set just the entries
// of that identifier (see VerifyDirectory). `exists` tells whether the file
// was there.
Code LoadDirectory(std::string_view directory, Generation generation, DirectoryFile &out,
                   bool &exists, std::string_view only = {}) {
  if (!platform::DirectoryExists(directory))
    return code::kNoDirectory;
  Bytes data;
  if (Code c = ReadFile(JoinPath(directory, kDirectoryFileName), data, exists); c != 0)
    return c;
  if (!exists) {
    out = DirectoryFile{generation, {}, {}};
    return code::kOk;
  }
  DirectoryFile structure;
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data.data(), data.size(), generation, structure, headerMac);
      c != 0)
    return c;
  Key256 key;
  if (Code c = OwnerDirectoryKey(structure.owner, key); c != 0)
    return c;
  return VerifyDirectory(data.data(), data.size(), generation, key, out, only);
}

// Reads the directory without its MACs, for a process whose key driver holds
// no key at all: each public key block is still checked on its own (a
// changed header gives kBadKeyHeader), so what comes out is what was stored.
Code LoadDirectoryUnchecked(std::string_view directory, Generation generation, DirectoryFile &out) {
  Bytes data;
  bool exists = false;
  if (Code c = ReadFile(JoinPath(directory, kDirectoryFileName), data, exists); c != 0)
    return c;
  if (!exists) {
    out = DirectoryFile{generation, {}, {}};
    return code::kOk;
  }
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data.data(), data.size(), generation, out, headerMac);
      c != 0)
    return c;
  for (DirectoryEntry &entry : out.entries)
    if (Code c = ParsePublicKeyBlock(entry.block.data(), entry.block.size(), generation, entry.key);
        c != 0)
      return c;
  return code::kOk;
}

const DirectoryEntry *FindEntry(const DirectoryFile &file, std::string_view id) {
  for (const auto &entry : file.entries)
    if (entry.key.id == id)
      return &entry;
  return nullptr;
}

// The owner's key in slot 0 and the directory key it gives.
Code Slot0Owner(std::string_view owner, KeyKind ownerKind, LoadedKey &encryption) {
  const auto key = KeyDriver::Instance().Slot0(ownerKind);
  if (!key || key->id != owner)
    return code::kKeyNotFound;
  encryption = *KeyDriver::Instance().Slot0(KeyKind::Encryption);
  return code::kOk;
}

bool WriteDirectory(const std::string &path, const Bytes &data) {
  // A reader holding the file open may make the rename fail for a moment
  // on Windows; the old file stays whole meanwhile.
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (platform::WriteFileAtomically(path, data.data(), data.size()))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Runs one locked read-modify-write of the directory.
template <typename Change>
Code UpdateDirectory(std::string_view directory, Generation generation, std::string_view owner,
                     KeyKind ownerKind, Change change) {
  if (!platform::DirectoryExists(directory))
    return code::kNoDirectory;
  LoadedKey ownerKey;
  if (Code c = Slot0Owner(owner, ownerKind, ownerKey); c != 0)
    return c;
  platform::FileLock lock(JoinPath(directory, kDirectoryLockName));
  if (!lock.IsLocked())
    return code::kDirectoryWrite;
  DirectoryFile file;
  bool exists = false;
  if (Code c = LoadDirectory(directory, generation, file, exists); c != 0)
    return c;
  if (exists && file.owner != ownerKey.id)
    return code::kOtherSeriesMac;
  file.owner = ownerKey.id;
  if (Code c = change(file); c != 0)
    return c;
  const Key256 key = DirectoryKey(ownerKey.privateKey, ownerKey.id);
  const Bytes data = BuildDirectory(file, key);
  return WriteDirectory(JoinPath(directory, kDirectoryFileName), data) ? code::kOk
                                                                       : code::kDirectoryWrite;
}

} // namespace

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
  out = entry->key;
  return code::kOk;
}

Code ExtractPublicKeyBlock(std::string_view directory, Generation generation, std::string_view id,
                           Bytes &out) {
  DirectoryFile file;
  bool exists = false;
  Code c = LoadDirectory(directory, generation, file, exists);
  // Handing a key out for display needs no secret: with no key loaded in the
  // process the entries are read unchecked by the directory's MACs (every
  // operation that uses a public key loads its owner's key and checks them).
  if (c == code::kKeyNotFound)
    c = LoadDirectoryUnchecked(directory, generation, file);
  if (c != 0)
    return c;
  const DirectoryEntry *entry = FindEntry(file, id);
  if (entry == nullptr)
    return code::kNoPublicKey;
  out = entry->block;
  return code::kOk;
}

Code AddPublicKey(std::string_view directory, Generation generation, const std::uint8_t *block,
                  std::string_view owner, KeyKind ownerKind) {
  const std::size_t size = PublicKeyBlockSize(generation);
  PublicKeyBlock parsed;
  if (Code c = ParsePublicKeyBlock(block, size, generation, parsed); c != 0)
    return c;
  return UpdateDirectory(directory, generation, owner, ownerKind, [&](DirectoryFile &file) {
    DirectoryEntry entry;
    entry.block.assign(block, block + size);
    entry.key = parsed;
    entry.makerKind = ownerKind;
    entry.maker = std::string(owner);
    for (auto &existing : file.entries) {
      if (existing.key.id == parsed.id) {
        existing = std::move(entry);
        return code::kOk;
      }
    }
    file.entries.push_back(std::move(entry));
    return code::kOk;
  });
}

Code DeletePublicKey(std::string_view directory, Generation generation, std::string_view id,
                     std::string_view owner, KeyKind ownerKind) {
  return UpdateDirectory(directory, generation, owner, ownerKind, [&](DirectoryFile &file) {
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
