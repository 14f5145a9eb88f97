// A lookup in the public key directory checks the header MAC and the entry
// it hands out, and no other entry: its cost does not grow with the number
// of correspondents, and it still refuses what was changed.
#include "formats.h"
#include "keygen.h"
#include "provider_test_support.h"

#include <gtest/gtest.h>

using namespace kestrel_provider;
using namespace provider_test;

namespace {

struct ThreeKeyDirectory {
  GeneratedKeys owner = GenerateKeys(Generation::G4, "0017", "000001");
  GeneratedKeys second = GenerateKeys(Generation::G4, "0018", "000001");
  Key256 key = DirectoryKey(owner.encryption.privateKey, owner.encryption.id);
  Bytes file;
  // Offset of an entry's public key block in the file.
  static std::size_t EntryOffset(std::size_t i) {
    return kDirectoryHeaderSize + i * DirectoryEntrySize(Generation::G4);
  }

  ThreeKeyDirectory() {
    DirectoryFile d{Generation::G4, owner.encryption.id, {}};
    for (const Bytes *block :
         {&owner.encryptionPublic, &owner.signaturePublic, &second.encryptionPublic}) {
      DirectoryEntry e;
      e.block = *block;
      e.maker = owner.encryption.id;
      d.entries.push_back(e);
    }
    file = BuildDirectory(d, key);
  }
  Code Lookup(const Bytes &data, std::string_view id, DirectoryFile &out) const {
    return VerifyDirectory(data.data(), data.size(), Generation::G4, key, out, id);
  }
};

TEST(ProviderDirectoryLookup, ReturnsOnlyTheEntryAskedFor) {
  const ThreeKeyDirectory d;
  DirectoryFile out;
  ASSERT_EQ(d.Lookup(d.file, d.second.encryption.id, out), code::kOk);
  ASSERT_EQ(out.entries.size(), 1u);
  EXPECT_EQ(out.entries[0].key.id, d.second.encryption.id);
  EXPECT_EQ(out.entries[0].block, d.second.encryptionPublic);
  ASSERT_EQ(d.Lookup(d.file, "9999000001", out), code::kOk);
  EXPECT_TRUE(out.entries.empty());
  // Without a filter every entry comes back.
  ASSERT_EQ(VerifyDirectory(d.file.data(), d.file.size(), Generation::G4, d.key, out), code::kOk);
  EXPECT_EQ(out.entries.size(), 3u);
}

TEST(ProviderDirectoryLookup, AChangedEntryOrHeaderIsStillRefused) {
  const ThreeKeyDirectory d;
  DirectoryFile out;
  // A changed byte in the key of the third entry: looking that key up fails,
  // an untouched entry is still handed out (the header MAC, over every
  // entry's MAC, is intact).
  Bytes changed = d.file;
  changed[d.EntryOffset(2) + 30] ^= 0x01;
  EXPECT_EQ(d.Lookup(changed, d.second.encryption.id, out), code::kWrongMac);
  EXPECT_EQ(d.Lookup(changed, d.owner.signature.id, out), code::kOk);
  EXPECT_EQ(VerifyDirectory(changed.data(), changed.size(), Generation::G4, d.key, out),
            code::kWrongMac);
  // A changed header MAC fails every lookup.
  Bytes header = d.file;
  header[24] ^= 0x01;
  EXPECT_EQ(d.Lookup(header, d.owner.signature.id, out), code::kBadMacHeader);
  // So does a directory checked with another owner's key.
  const Key256 other = DirectoryKey(d.second.encryption.privateKey, d.second.encryption.id);
  EXPECT_NE(VerifyDirectory(d.file.data(), d.file.size(), Generation::G4, other, out,
                            d.owner.signature.id),
            code::kOk);
}

} // namespace
