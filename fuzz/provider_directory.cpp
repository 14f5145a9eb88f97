// The provider's public key directory file of both generations: the
// structure parser, the MAC check with the owner's directory key, the check
// of a copy whose MACs were made right (so the entries behind them are
// reached), and a lookup through the file as the library reads it. The same
// bytes as the record of directory versions an owner's key device keeps, as
// given and with its MAC made right.
#include "fuzz_support.h"

#include "directory.h"
#include "key_driver.h"

#include <algorithm>

using namespace kestrel_provider;

namespace {

bool SameEntries(const DirectoryFile &a, const DirectoryFile &b) {
  if (a.owner != b.owner || a.entries.size() != b.entries.size())
    return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i)
    if (a.entries[i].block != b.entries[i].block || a.entries[i].maker != b.entries[i].maker)
      return false;
  return true;
}

void Check(const std::uint8_t *data, std::size_t size, Generation generation) {
  const Key256 &key = cefuzz::Environment::Get().DirectoryKey();
  DirectoryFile structure;
  crypto::Mac64 headerMac{};
  const Code parsed = ParseDirectoryStructure(data, size, generation, structure, headerMac);
  FUZZ_CHECK(parsed == code::kOk || parsed == code::kDirectoryLength ||
             parsed == code::kBadMacHeader);
  if (parsed == code::kOk) {
    FUZZ_CHECK(size ==
               kDirectoryHeaderSize + structure.entries.size() * DirectoryEntrySize(generation));
    FUZZ_CHECK(IsValidId(structure.owner, KeyKind::Encryption));
  }

  DirectoryFile verified;
  const Code c = VerifyDirectory(data, size, generation, key, verified);
  if (parsed != code::kOk) {
    FUZZ_CHECK(c == parsed);
  } else if (c == code::kOk) {
    FUZZ_CHECK(SameEntries(verified, structure));
    FUZZ_CHECK(verified.identity == structure.identity && verified.version == structure.version);
    for (const DirectoryEntry &entry : verified.entries)
      FUZZ_CHECK(IsValidId(entry.key.id, entry.key.kind));
  }

  if (parsed == code::kOk) {
    // The same entries under MACs made with the key: only the entries
    // themselves can still be refused.
    const Bytes remade = BuildDirectory(structure, key);
    DirectoryFile again;
    const Code r = VerifyDirectory(remade.data(), remade.size(), generation, key, again);
    FUZZ_CHECK(r == code::kOk || r == code::kBadMacHeader || r == code::kBadKeyHeader);
    if (c == code::kOk)
      FUZZ_CHECK(r == code::kOk);
  }
}

Code CheckSeen(const std::uint8_t *data, std::size_t size, const Key256 &key) {
  SeenVersions seen;
  const Code c = ParseSeenVersions(data, size, key, seen);
  FUZZ_CHECK(c == code::kOk || c == code::kKeyNotFound);
  if (c == code::kOk) {
    FUZZ_CHECK(seen.records.size() <= kMaxSeenDirectories);
    FUZZ_CHECK(seen.folders.size() <= kMaxSeenFolders);
    const Bytes rebuilt = BuildSeenVersions(seen, key);
    if (data[4] == 1) {
      // The earlier format, without folders, is written anew in the current
      // one with the same records.
      SeenVersions again;
      FUZZ_CHECK(seen.folders.empty());
      FUZZ_CHECK(ParseSeenVersions(rebuilt.data(), rebuilt.size(), key, again) == code::kOk);
      FUZZ_CHECK(again.owner == seen.owner && again.records == seen.records &&
                 again.folders.empty());
    } else {
      FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), data, data + size));
    }
  }
  return c;
}

void Seen(const std::uint8_t *data, std::size_t size) {
  static const Key256 key = [] {
    const GeneratedKeys owner = cefuzz::FixedKeys(Generation::G4, cefuzz::kOwner);
    return SeenVersionsKey(owner.encryption.privateKey, owner.encryption.id);
  }();
  CheckSeen(data, size, key);
  if (size < 8)
    return;
  Bytes fixed(data, data + size);
  const auto mac = crypto::Gost28147Imit(key, ByteView(fixed.data(), size - 8));
  std::copy(mac.begin(), mac.end(), fixed.end() - 8);
  CheckSeen(fixed.data(), fixed.size(), key);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Check(data, size, Generation::G4);
  Check(data, size, Generation::G5);
  Seen(data, size);

  // The file as the library finds it: a lookup gives the key, says it is
  // absent, or reports why the directory cannot be used.
  static const std::string folder = cefuzz::Environment::Get().Scratch("lookup");
  cefuzz::WriteScratchFile(folder + "/" + std::string(kDirectoryFileName), data, size);
  PublicKeyBlock block;
  const Code c = LookupPublicKey(folder, Generation::G4, "0002000001", KeyKind::Encryption, block);
  FUZZ_CHECK(c == code::kOk || c == code::kNoPublicKey || c == code::kDirectoryLength ||
             c == code::kBadMacHeader || c == code::kMissingMac || c == code::kWrongMac ||
             c == code::kBadKeyHeader || c == code::kOtherSeriesMac);
  if (c == code::kOk)
    FUZZ_CHECK(block.id == "0002000001" && block.kind == KeyKind::Encryption);
  return 0;
}
