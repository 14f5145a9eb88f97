// Relabelling a public key: a correspondent's key put under another
// identifier, so that the correspondent's signatures would verify as someone
// else's. Each block carries its key's own signature over identifier, kind
// and key; it is checked on include and on every lookup, and the directory
// holds one key under one identifier only. A secret key file that claims
// another public key gains its signatures nothing either.
#include "directory_test_support.h"

#include "formats.h"
#include "operations.h"

using namespace kestrel_provider;
using namespace provider_test;

namespace {

constexpr int kBadKeyHeader = 121;
constexpr int kKeyCompromised = 112;

// The attack: the block of `victim` under `newId`, with the check value made
// right again (the attacker has no private key to sign with).
Bytes Relabel(Bytes block, const std::string &newId) {
  std::copy(newId.begin(), newId.end(), block.begin() + 8);
  const auto check = crypto::Streebog256(ByteView(block.data(), block.size() - 32));
  std::copy(check.begin(), check.end(), block.end() - 32);
  return block;
}

class PublicKeyRelabel : public ProviderUsers {};

TEST_P(PublicKeyRelabel, ACorrespondentsKeyUnderAnotherIdentifierIsRefused) {
  const User a = MakeUser("0017");
  const User b = MakeUser("0042");
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  ASSERT_EQ(lib.InitKey(b.device.c_str(), ""), 0);
  const std::string victim = "009900000101"; // whom B's signatures are to pass for
  const Bytes relabelled = Relabel(Block(b.S()), victim);
  // Also with the proof cleared, and with it copied from the victim's own
  // block would be no better: it signs the victim's key.
  Bytes noProof = relabelled;
  for (std::size_t i = 88; i < 152; ++i)
    noProof.at(i) = 0;
  noProof = Relabel(noProof, victim);
  for (const Bytes *block : {&relabelled, static_cast<const Bytes *>(&noProof)}) {
    EXPECT_EQ(Add(a, *block), kBadKeyHeader);
    EXPECT_FALSE(platform::FileExists(a.DirectoryFile())) << "nothing was written";
  }

  // The holder of a key can sign it under a second identifier of their own
  // choice; the directory keeps one key under one identifier.
  ASSERT_EQ(Add(a, b.S()), 0);
  PublicKeyBlock second{Gen(), KeyKind::Signature, victim, b.keys.signature.publicKey, {}};
  const Bytes signedAgain = BuildSignedPublicKeyBlock(second, b.keys.signature.privateKey);
  EXPECT_EQ(Add(a, signedAgain), kKeyCompromised);
  EXPECT_EQ(Extract(a, victim), 117);
  const Bytes data = {'p', 'a', 'y'};
  const Check check = CheckSeparate(a, data, SignSeparate(b, data));
  EXPECT_EQ(check.code, 0);
  EXPECT_EQ(check.signer, b.S());
  EXPECT_EQ(check.verdict, 0);
  // Renewing a key under its own identifier is still an update.
  const User renewed = MakeUser("0042");
  EXPECT_EQ(Add(a, renewed.S()), 0);
}

TEST_P(PublicKeyRelabel, ARelabelledEntryInADirectoryIsRefusedOnLookup) {
  // A directory whose MACs are right around a relabelled block (say, one the
  // owner accepted from an older library): a lookup checks the block again.
  const User a = MakeUser("0017");
  const User b = MakeUser("0042");
  const std::string victim = "009900000101";
  DirectoryFile file;
  file.generation = Gen();
  file.owner = a.E();
  file.version = 1;
  for (const Bytes &block : {Block(b.S()), Relabel(Block(b.S()), victim)}) {
    DirectoryEntry entry;
    entry.block = block;
    entry.maker = a.E();
    file.entries.push_back(entry);
  }
  WriteFile(a.DirectoryFile(),
            BuildDirectory(file, DirectoryKey(a.keys.encryption.privateKey, a.E())));
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  ASSERT_EQ(lib.InitKey(b.device.c_str(), ""), 0);
  EXPECT_EQ(Extract(a, b.S()), 0);
  EXPECT_EQ(Extract(a, victim), kBadKeyHeader);
  // B's signature with the victim's identifier in its signer field.
  const Bytes data = {'p', 'a', 'y'};
  Bytes signature = SignSeparate(b, data);
  std::copy(victim.begin(), victim.end(), signature.begin() + 8);
  EXPECT_EQ(CheckSeparate(a, data, signature).code, kBadKeyHeader);
  // The key report without the owner's key reads the block unchecked by
  // the directory's MACs, and still refuses it.
  ASSERT_EQ(lib.ResetKeyEx(a.E().c_str(), 1), 0);
  EXPECT_EQ(Extract(a, victim), kBadKeyHeader);
}

TEST_P(PublicKeyRelabel, BlocksOfTheFirstFormatAreRefused) {
  // Format version 1 had no proof of possession: bytes 88.. were zero.
  const User b = MakeUser("0042");
  const User a = MakeUser("0017");
  Bytes old = Block(b.E());
  old.at(4) = 1;
  for (std::size_t i = 88; i < old.size() - 32; ++i)
    old[i] = 0;
  old = Relabel(old, b.E());
  PublicKeyBlock parsed;
  EXPECT_EQ(ParsePublicKeyBlock(old.data(), old.size(), Gen(), parsed), kBadKeyHeader);
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  EXPECT_EQ(Add(a, old), kBadKeyHeader);
}

// A secret key file rewritten by someone who can write the key device, its
// check value (a plain hash) made right again. The stored public key is not
// checked at load, and nothing uses it: a signature is made with the private
// key and checked against the directory's key for the signer's identifier,
// whatever the file claims.
TEST_P(PublicKeyRelabel, ASecretKeyFileClaimingAnotherPublicKeyGivesItNoSignatures) {
  const User a = MakeUser("0017");
  const User b = MakeUser("0042");
  const User m = MakeUser("0066"); // the attacker, in no directory
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  ASSERT_EQ(Add(a, a.S()), 0);
  ASSERT_EQ(Add(a, b.S()), 0);
  const auto rewrite = [&](const Key256 &privateKey, const crypto::PublicKey &publicKey) {
    SecretKeyFile file = b.keys.signature;
    file.privateKey = privateKey;
    file.publicKey = publicKey;
    WriteFile(JoinPath(b.device, kSignatureKeyFile), BuildSecretKeyFile(file));
  };
  const Bytes data = {'p', 'a', 'y'};
  struct Case {
    const char *what;
    Key256 privateKey;
    crypto::PublicKey stored;
    int verdict; // of B's signature in A's directory
  };
  const Case cases[] = {
      // B's own private key beside A's public key: B's signatures stay B's.
      {"B's key claiming A's public key", b.keys.signature.privateKey, a.keys.signature.publicKey,
       kVerdictValid},
      // The attacker's private key beside B's public key: nothing verifies as B.
      {"M's key claiming B's public key", m.keys.signature.privateKey, b.keys.signature.publicKey,
       kVerdictWrong},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    rewrite(c.privateKey, c.stored);
    ASSERT_EQ(lib.InitKey(b.device.c_str(), ""), 0);
    const Bytes signature = SignSeparate(b, data);
    ASSERT_EQ(signature.size(), kDetachedSignatureSize);
    const Check check = CheckSeparate(a, data, signature);
    EXPECT_EQ(check.code, 0);
    EXPECT_EQ(check.signer, b.S());
    EXPECT_EQ(check.verdict, c.verdict);
    // The value is the loaded private key's and no other: it does not verify
    // under the stored public key, nor as the identifier of A.
    crypto::Signature value{};
    std::copy(signature.begin() + 20, signature.end(), value.begin());
    EXPECT_FALSE(crypto::Verify(c.stored, DetachedDigest(data, b.S()), value));
    EXPECT_TRUE(
        crypto::Verify(crypto::DerivePublicKey(c.privateKey), DetachedDigest(data, b.S()), value));
    Bytes asA = signature;
    std::copy(a.S().begin(), a.S().end(), asA.begin() + 8);
    EXPECT_EQ(CheckSeparate(a, data, asA).verdict, kVerdictWrong);
    ASSERT_EQ(lib.ResetKeyEx(b.E().c_str(), 1), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Generations, PublicKeyRelabel, testing::Values(4, 5), GenerationName);

} // namespace
