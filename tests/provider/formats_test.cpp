// The provider's formats: fixed vectors that pin their bytes, and parsers
// fed with truncated and mutated input.
#include "provider_test_support.h"

#include "directory.h"
#include "formats.h"
#include "operations.h"

#include <gtest/gtest.h>

#include <random>

using namespace provider_test;
using namespace kestrel_provider;

namespace {

// Keys made from the counting random source: the same in every run.
GeneratedKeys FixedKeys(Generation generation, std::string_view number, std::uint8_t seed) {
  crypto::SetRandomSourceForTests(CountingRandom(seed));
  GeneratedKeys keys = GenerateKeys(generation, number, "000001");
  crypto::SetRandomSourceForTests(nullptr);
  return keys;
}

std::string Fingerprint(const Bytes &b) { return ToHex(crypto::Streebog256(b)); }

TEST(ProviderFormats, FixedVectorsPinKeyFiles) {
  const GeneratedKeys keys = FixedKeys(Generation::G4, "0017", 1);
  const Bytes secret = BuildSecretKeyFile(keys.encryption);
  ASSERT_EQ(secret.size(), 160u);
  EXPECT_EQ(ToHex(secret.data(), 24), "4b5345430104450130303137303030303031000000000000");
  // The private key is the counting bytes 01 02 ... (little-endian scalar).
  EXPECT_EQ(ToHex(secret.data() + 24, 4), "01020304");
  EXPECT_EQ(Fingerprint(secret),
            "b036a1ba0a1cad9c34cfc0d980f8b782a7e51a0303873b948737a53fbec2c058");

  // Public key blocks: the proof of possession (bytes 88..151) is a fresh
  // signature each time; everything around it is pinned.
  const auto withoutProof = [](const Bytes &block) {
    Bytes rest(block.begin(), block.begin() + 88);
    rest.insert(rest.end(), block.begin() + 152, block.end() - 32);
    return Fingerprint(rest);
  };
  const Bytes &pub4 = keys.signaturePublic;
  ASSERT_EQ(pub4.size(), 240u);
  EXPECT_EQ(ToHex(pub4.data(), 24), "4b5055420204530130303137303030303031303100000000");
  EXPECT_EQ(withoutProof(pub4), "36e470ea18933dcc35a3b6d574d39c67372f50df56dd672ea837caba7c6cad59");
  const GeneratedKeys keys5 = FixedKeys(Generation::G5, "0017", 1);
  ASSERT_EQ(keys5.signaturePublic.size(), 304u);
  EXPECT_EQ(keys5.signaturePublic[5], 5);
  EXPECT_EQ(withoutProof(keys5.signaturePublic),
            "bf5bf7de490d1aeb29657bbb275ecc327d7eb69a7406050dec6f8711ed70c574");
  for (const Bytes *block : {&pub4, &keys5.signaturePublic}) {
    PublicKeyBlock parsed;
    ASSERT_EQ(ParsePublicKeyBlock(block->data(), block->size(),
                                  block->size() == 240 ? Generation::G4 : Generation::G5, parsed),
              0);
    EXPECT_TRUE(crypto::Verify(parsed.key, PublicKeyProofDigest(parsed), parsed.proof));
    // What the proof signs is pinned too (label, lengths, fields).
    EXPECT_EQ(ToHex(PublicKeyProofDigest(parsed)),
              parsed.generation == Generation::G4
                  ? "bfb367f20e5a6159dfce7d5a645f3e1e03e53b7d3e7a02e1b1c051ac1a481d40"
                  : "b31867b1d2276ddf90d0a2e7dcedc4e75ed51431f184508113f3602efb803c2e");
  }
}

TEST(ProviderFormats, PublicKeyBlocksRejectEveryChangedByte) {
  for (Generation g : {Generation::G4, Generation::G5}) {
    const Bytes block = FixedKeys(g, "0042", 9).encryptionPublic;
    PublicKeyBlock parsed;
    ASSERT_EQ(ParsePublicKeyBlock(block.data(), block.size(), g, parsed), 0);
    EXPECT_EQ(parsed.id, "0042000001");
    EXPECT_EQ(parsed.kind, KeyKind::Encryption);
    for (std::size_t i = 0; i < block.size(); ++i) {
      Bytes bad = block;
      bad[i] ^= 0x20;
      EXPECT_EQ(ParsePublicKeyBlock(bad.data(), bad.size(), g, parsed), code::kBadKeyHeader) << i;
    }
    EXPECT_EQ(ParsePublicKeyBlock(block.data(), block.size() - 1, g, parsed), code::kBadKeyHeader);
    const Generation other = g == Generation::G4 ? Generation::G5 : Generation::G4;
    EXPECT_EQ(ParsePublicKeyBlock(block.data(), block.size(), other, parsed), code::kBadKeyHeader);
  }
}

TEST(ProviderFormats, SecretKeyFilesCheckTheirKeyPair) {
  GeneratedKeys keys = FixedKeys(Generation::G4, "0017", 1);
  SecretKeyFile parsed;
  Bytes file = BuildSecretKeyFile(keys.signature);
  ASSERT_EQ(ParseSecretKeyFile(file.data(), file.size(), parsed), 0);
  EXPECT_EQ(parsed.id, "001700000101");
  EXPECT_TRUE(parsed.privateKey == keys.signature.privateKey);
  // A private key that does not give the stored public key, even with a
  // recomputed check value, is refused.
  keys.signature.privateKey.data()[0] ^= 1;
  file = BuildSecretKeyFile(keys.signature);
  EXPECT_EQ(ParseSecretKeyFile(file.data(), file.size(), parsed), code::kKeyNotFound);
  for (std::size_t n : {0u, 1u, 100u, 159u})
    EXPECT_EQ(ParseSecretKeyFile(file.data(), n, parsed), code::kKeyNotFound);
}

TEST(ProviderFormats, SecretKeyFilesRefusePrivateKeysOutOfRange) {
  // The order q of the TC26 256-bit curve A, big-endian; keys are stored
  // little-endian. 0, q and above are no private keys for either check (and
  // must not reach the scalar multiplication, which cannot map q to a
  // point); q - 1 is one.
  const Bytes q = FromHex("400000000000000000000000000000000fd8cddfc87b6635c115af556c360c67");
  const auto key = [&](int offset) {
    Bytes le(q.rbegin(), q.rend());
    le[0] = static_cast<std::uint8_t>(le[0] + offset); // q's lowest byte is 0x67: no carry
    return Key256(le);
  };
  GeneratedKeys keys = FixedKeys(Generation::G4, "0017", 1);
  const struct {
    Key256 privateKey;
    bool valid;
  } cases[] = {{Key256(), false},
               {key(0), false},
               {key(1), false},
               {Key256(Bytes(32, 0xFF)), false},
               {key(-1), true}};
  for (const auto &c : cases) {
    EXPECT_EQ(crypto::IsValidPrivateKey(c.privateKey), c.valid);
    keys.signature.privateKey = c.privateKey;
    keys.signature.publicKey =
        c.valid ? crypto::DerivePublicKey(c.privateKey) : crypto::PublicKey{};
    const Bytes file = BuildSecretKeyFile(keys.signature);
    for (SecretKeyCheck check : {SecretKeyCheck::KeyPair, SecretKeyCheck::PrivateKey}) {
      SecretKeyFile parsed;
      EXPECT_EQ(ParseSecretKeyFile(file.data(), file.size(), parsed, check),
                c.valid ? code::kOk : code::kKeyNotFound);
    }
  }
}

TEST(ProviderFormats, LoadingASecretKeyFileReadsItsPrivateKeyOnly) {
  // The stored public key is not read at load: a file whose public part was
  // changed (check value made right) loads with its private key, and the
  // parse hands out no public key at all. The full check refuses it.
  GeneratedKeys keys = FixedKeys(Generation::G4, "0017", 1);
  const GeneratedKeys other = FixedKeys(Generation::G4, "0042", 101);
  keys.signature.publicKey = other.signature.publicKey;
  const Bytes file = BuildSecretKeyFile(keys.signature);
  SecretKeyFile parsed;
  EXPECT_EQ(ParseSecretKeyFile(file.data(), file.size(), parsed), code::kKeyNotFound);
  ASSERT_EQ(ParseSecretKeyFile(file.data(), file.size(), parsed, SecretKeyCheck::PrivateKey), 0);
  EXPECT_EQ(parsed.id, keys.signature.id);
  EXPECT_TRUE(parsed.privateKey == keys.signature.privateKey);
  EXPECT_EQ(parsed.publicKey, crypto::PublicKey{});
  // Everything but the public part is still checked.
  Bytes flipped = file;
  flipped[24] ^= 1;
  EXPECT_EQ(ParseSecretKeyFile(flipped.data(), flipped.size(), parsed, SecretKeyCheck::PrivateKey),
            code::kKeyNotFound);
}

// The in-process core with two users, for the envelope vector.
class ProviderEnvelope : public testing::Test {
protected:
  void SetUp() override {
    KeyDriver::Instance().Clear();
    a = FixedKeys(Generation::G4, "0017", 1);
    b = FixedKeys(Generation::G4, "0042", 101);
    ASSERT_EQ(KeyDriver::Instance().LoadPair(a.encryption, a.signature), 0);
    ASSERT_EQ(KeyDriver::Instance().LoadPair(b.encryption, b.signature), 0);
    for (const Bytes *block :
         std::initializer_list<const Bytes *>{&a.encryptionPublic, &b.encryptionPublic})
      ASSERT_EQ(AddPublicKey(dir, Generation::G4, block->data(), "0017000001", KeyKind::Encryption),
                0);
  }
  void TearDown() override { KeyDriver::Instance().Clear(); }

  TempDir tmp;
  std::string dir = tmp.Sub("pub");
  GeneratedKeys a, b;
};

TEST_F(ProviderEnvelope, FixedVectorPinsTheEncryptedBlock) {
  const Bytes plain = {'T', 'r', 'a', 'n', 's', 'f', 'e', 'r', ' ', '1', '0', '0'};
  Bytes block(plain.size() + EnvelopeOverhead(2));
  crypto::SetRandomSourceForTests(CountingRandom(0x40));
  ASSERT_EQ(
      EncryptBlock(Generation::G4, dir, plain.data(), plain.size(), block.data(), 17, {42, 17}, ""),
      0);
  crypto::SetRandomSourceForTests(nullptr);
  // Header: format, sender, two recipients, then UKM and IV from the random
  // source (after the 32 bytes of the content key).
  EXPECT_EQ(ToHex(block.data(), 29), "e2303031373030303030310200606162636465666768696a6b6c6d6e6f");
  EXPECT_EQ(ToHex(block.data() + 37, 8), "2a00303030303031");
  EXPECT_EQ(ToHex(block.data() + 85, 8), "1100303030303031");
  EXPECT_EQ(Fingerprint(block), "d5b320beb8e26d9a105ffaf69fa5832e94885db3c17469669caca633a65ca354");

  std::size_t length = block.size();
  ASSERT_EQ(DecryptBlock(Generation::G4, dir, block.data(), length, 42), 0);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length)), plain);
}

TEST_F(ProviderEnvelope, EncryptionInPlaceMatchesSeparateBuffers) {
  Bytes plain(100000);
  for (std::size_t i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  Bytes separate(plain.size() + EnvelopeOverhead(1));
  crypto::SetRandomSourceForTests(CountingRandom(3));
  ASSERT_EQ(
      EncryptBlock(Generation::G4, dir, plain.data(), plain.size(), separate.data(), 17, {42}, ""),
      0);
  Bytes inPlace(plain.size() + EnvelopeOverhead(1));
  std::copy(plain.begin(), plain.end(), inPlace.begin());
  crypto::SetRandomSourceForTests(CountingRandom(3));
  ASSERT_EQ(
      EncryptBlock(Generation::G4, dir, inPlace.data(), plain.size(), inPlace.data(), 17, {42}, ""),
      0);
  crypto::SetRandomSourceForTests(nullptr);
  EXPECT_EQ(inPlace, separate);
}

TEST(ProviderFormats, ParsersSurviveTruncatedAndMutatedInput) {
  // A valid example of every format.
  const GeneratedKeys keys = FixedKeys(Generation::G4, "0017", 1);
  DetachedSignature sig{"001700000101", {}};
  const Bytes detached = BuildDetachedSignature(sig);
  Bytes attached(40, 'd');
  attached.resize(40 + kAttachedRecordSize);
  BuildAttachedRecord({"001700000101", 40, {}}, attached.data() + 40);
  EnvelopeHeader header;
  header.sender = "0017000001";
  header.recipients.resize(2);
  Bytes envelope(EnvelopeOverhead(2) + 5, 0);
  BuildEnvelopeHeader(header, envelope.data());
  DirectoryFile directory{Generation::G4, "0017000001", {}};
  DirectoryEntry entry;
  entry.block = keys.encryptionPublic;
  entry.maker = "0017000001";
  directory.entries = {entry, entry};
  const Key256 dirKey = DirectoryKey(keys.encryption.privateKey, "0017000001");
  const Bytes dirFile = BuildDirectory(directory, dirKey);

  EXPECT_EQ(ParseAttachedSignatures(attached.data(), attached.size()).size(), 1u);
  DirectoryFile parsedDir;
  ASSERT_EQ(VerifyDirectory(dirFile.data(), dirFile.size(), Generation::G4, dirKey, parsedDir), 0);
  ASSERT_EQ(parsedDir.entries.size(), 2u);

  std::mt19937 random(12345);
  const auto exercise = [&](const Bytes &input, bool mutated) {
    DetachedSignature ds;
    EnvelopeHeader eh;
    DirectoryFile df;
    PublicKeyBlock pk;
    SecretKeyFile sk;
    // An exact-size copy, so a read past the end is seen by the address
    // sanitizer.
    const Bytes copy(input);
    const std::uint8_t *p = copy.data();
    ParseDetachedSignature(p, input.size(), ds);
    ParseAttachedSignatures(p, input.size());
    ParseEnvelopeHeader(p, input.size(), eh);
    ParsePublicKeyBlock(p, input.size(), Generation::G4, pk);
    ParseSecretKeyFile(p, input.size(), sk);
    const Code dirCode = VerifyDirectory(p, input.size(), Generation::G4, dirKey, df);
    if (mutated && input.size() == dirFile.size() && input != dirFile) {
      EXPECT_NE(dirCode, 0) << "a changed directory never checks out";
    }
  };
  for (const Bytes *valid :
       std::initializer_list<const Bytes *>{&detached, &attached, &envelope, &dirFile}) {
    for (std::size_t n = 0; n < valid->size(); ++n)
      exercise(Bytes(valid->begin(), valid->begin() + static_cast<std::ptrdiff_t>(n)), false);
    for (int round = 0; round < 200; ++round) {
      Bytes bad = *valid;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int c = 0; c < changes; ++c)
        bad[random() % bad.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
      exercise(bad, true);
    }
  }
}

} // namespace
