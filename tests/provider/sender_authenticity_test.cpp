// Sender authenticity of encrypted blocks against a co-recipient: A, one of
// the recipients of a block that S sent to A and B, uses only its own key
// file and S's public key block to make blocks that B should take as S's.
// Each attack is also one that A itself accepts, which shows that the
// forgery is well made and that only B's own MAC stops it.
#include "provider_test_support.h"

#include "directory.h"
#include "formats.h"
#include "operations.h"

#include <gtest/gtest.h>

#include <functional>

using namespace provider_test;
using namespace kestrel_provider;

namespace {

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What A knows of a block: the content key from its own record, and the
// keys derived from it.
struct Insider {
  EnvelopeHeader header;
  Key256 kek, cek;
  std::size_t own = 0; // index of A's record
};

Insider Open(const Bytes &block, const Bytes &keyFile, const Bytes &senderPublic) {
  Insider in;
  SecretKeyFile mine;
  PublicKeyBlock sender;
  EXPECT_EQ(ParseSecretKeyFile(keyFile.data(), keyFile.size(), mine), 0);
  EXPECT_EQ(ParsePublicKeyBlock(senderPublic.data(), senderPublic.size(), Generation::G4, sender),
            0);
  EXPECT_EQ(ParseEnvelopeHeader(block.data(), block.size(), in.header), 0);
  while (in.own < in.header.recipients.size() &&
         KeyNumberText(in.header.recipients[in.own].number) + in.header.recipients[in.own].series !=
             mine.id)
    ++in.own;
  in.kek = crypto::Vko256(mine.privateKey, sender.key, in.header.ukm);
  in.cek = Key256(in.header.recipients.at(in.own).wrappedKey);
  crypto::Gost28147Ecb(crypto::Kdf256(in.kek, "kestrel key wrap", in.header.ukm), in.cek.data(), 32,
                       crypto::Direction::Decrypt);
  return in;
}

// Rebuilds the block around new plaintext with the content key A holds: the
// ciphertext, A's own recipient MAC and the block MAC are recomputed; the
// other recipients' MACs are left as they were, since A cannot make them.
Bytes Reseal(const Insider &in, const Bytes &header, const Bytes &plain) {
  const std::size_t n = in.header.recipients.size();
  const std::size_t offset = EnvelopeOverhead(n);
  Bytes block(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(offset));
  block.insert(block.end(), plain.begin(), plain.end());
  const crypto::Block64 &ukm = in.header.ukm;
  crypto::Gost28147Cfb(crypto::Kdf256(in.cek, "kestrel content encryption", ukm), in.header.iv,
                       crypto::Direction::Encrypt)
      .Process(block.data() + offset, plain.size());
  crypto::Streebog256Hasher h;
  const std::string label = "kestrel encrypted block";
  h.Update(ByteView(reinterpret_cast<const std::uint8_t *>(label.c_str()), label.size() + 1));
  h.Update(ByteView(block.data(), 29));
  for (std::size_t i = 0; i < n; ++i)
    h.Update(ByteView(block.data() + EnvelopeOverhead(i), 40));
  h.Update(ByteView(block.data() + offset, plain.size()));
  std::uint8_t length[8];
  PutU64(length, plain.size());
  h.Update(ByteView(length, 8));
  const crypto::Digest256 digest = h.Finish();
  crypto::Gost28147Mac own(crypto::Kdf256(in.kek, "kestrel recipient mac", ukm));
  own.Update(in.cek.view());
  own.Update(digest);
  const crypto::Mac64 ownMac = own.Finish();
  std::copy(ownMac.begin(), ownMac.end(), block.begin() + 37 + 48 * in.own + 40);
  crypto::Gost28147Mac whole(crypto::Kdf256(in.cek, "kestrel content mac", ukm));
  whole.Update(digest);
  for (std::size_t i = 0; i < n; ++i)
    whole.Update(ByteView(block.data() + EnvelopeOverhead(i) + 40, 8));
  const crypto::Mac64 blockMac = whole.Finish();
  std::copy(blockMac.begin(), blockMac.end(), block.begin() + 29);
  return block;
}

class SenderAuthenticity : public testing::Test {
protected:
  void SetUp() override {
    KeyDriver::Instance().Clear();
    for (GeneratedKeys *k : {&s, &a, &b})
      ASSERT_EQ(KeyDriver::Instance().LoadPair(k->encryption, k->signature), 0);
    for (const GeneratedKeys *k : {&s, &a, &b})
      ASSERT_EQ(AddPublicKey(dir, Generation::G4, k->encryptionPublic.data(), "0017000001",
                             KeyKind::Encryption),
                0);
  }
  void TearDown() override { KeyDriver::Instance().Clear(); }

  Bytes Encrypt(const Bytes &plain, std::vector<std::uint16_t> recipients) {
    Bytes block(plain.size() + EnvelopeOverhead(recipients.size()));
    EXPECT_EQ(EncryptBlock(Generation::G4, dir, plain.data(), plain.size(), block.data(), 17,
                           recipients, ""),
              0);
    return block;
  }
  // 0 and the plaintext, or the code with the block unchanged.
  Code Decrypt(const Bytes &block, std::uint16_t own, Bytes &plain) {
    plain = block;
    std::size_t length = plain.size();
    const Code c = DecryptBlock(Generation::G4, dir, plain.data(), length, own);
    if (c == 0)
      plain.resize(length);
    else
      EXPECT_EQ(plain, block) << "a refused block is left as it was";
    return c;
  }

  TempDir tmp;
  std::string dir = tmp.Sub("pub");
  GeneratedKeys s = GenerateKeys(Generation::G4, "0017", "000001");
  GeneratedKeys a = GenerateKeys(Generation::G4, "0042", "000001");
  GeneratedKeys b = GenerateKeys(Generation::G4, "0055", "000001");
};

TEST_F(SenderAuthenticity, NoCoRecipientForgeryPassesAnotherRecipient) {
  const Bytes original = Text("pay 100.00 to account 40702810000000001234");
  const Bytes forged = Text("pay 99999.00 to account 40702810999999999999");
  const Bytes keyFileA = BuildSecretKeyFile(a.encryption);
  struct Attack {
    const char *name;
    std::function<Bytes()> make;
  };
  const std::vector<Attack> attacks = {
      {"content replaced, same length",
       [&] {
         const Bytes block = Encrypt(original, {42, 55});
         Bytes same = forged;
         same.resize(original.size());
         return Reseal(Open(block, keyFileA, s.encryptionPublic), block, same);
       }},
      {"content replaced, other length",
       [&] {
         const Bytes block = Encrypt(original, {42, 55});
         return Reseal(Open(block, keyFileA, s.encryptionPublic), block, forged);
       }},
      {"B's record copied in from another block of S",
       [&] {
         const Bytes first = Encrypt(original, {42, 55});
         Bytes second = Encrypt(Text("another"), {42, 55});
         std::copy(first.begin() + 37 + 48, first.begin() + 37 + 96, second.begin() + 37 + 48);
         return Reseal(Open(second, keyFileA, s.encryptionPublic), second, forged);
       }},
      {"recipients reordered",
       [&] {
         Bytes block = Encrypt(original, {42, 55});
         std::swap_ranges(block.begin() + 37, block.begin() + 85, block.begin() + 85);
         return Reseal(Open(block, keyFileA, s.encryptionPublic), block, forged);
       }},
      {"a third recipient that is A again",
       [&] {
         const Bytes block = Encrypt(original, {42, 55, 42});
         return Reseal(Open(block, keyFileA, s.encryptionPublic), block, forged);
       }},
  };
  for (const Attack &attack : attacks) {
    SCOPED_TRACE(attack.name);
    const Bytes block = attack.make();
    Bytes plain;
    // The forgery is well made: A, who made it, takes it as S's ...
    ASSERT_EQ(Decrypt(block, 42, plain), 0);
    EXPECT_NE(plain, original);
    // ... but B does not.
    EXPECT_EQ(Decrypt(block, 55, plain), code::kBadMac);
  }
}

TEST_F(SenderAuthenticity, NoRecipientPassesItsOwnBlockOffAsTheSenders) {
  // A encrypts for B with its own key and names S as the sender: B derives
  // the key it shares with S, and A's MAC does not check out under it.
  KeyDriver::Instance().Clear();
  ASSERT_EQ(KeyDriver::Instance().LoadPair(a.encryption, a.signature), 0);
  ASSERT_EQ(KeyDriver::Instance().LoadPair(s.encryption, s.signature), 0);
  ASSERT_EQ(KeyDriver::Instance().LoadPair(b.encryption, b.signature), 0);
  const Bytes plain = Text("from A, under S's name");
  Bytes block(plain.size() + EnvelopeOverhead(1));
  ASSERT_EQ(
      EncryptBlock(Generation::G4, dir, plain.data(), plain.size(), block.data(), 42, {55}, ""), 0);
  Bytes out;
  ASSERT_EQ(Decrypt(block, 55, out), 0) << "as A's block it is good";
  std::copy_n(s.encryption.id.begin(), 10, block.begin() + 1);
  EXPECT_EQ(Decrypt(block, 55, out), code::kBadMac);
}

TEST_F(SenderAuthenticity, HostileShapesAreRefusedAndLeaveTheBlock) {
  const Bytes good = Encrypt(Text("payment"), {42, 55});
  // A block claiming 65535 recipients, B's genuine record among them.
  Bytes many(EnvelopeOverhead(0xFFFF) + 7, 0x33);
  std::copy(good.begin(), good.begin() + 37, many.begin());
  PutU16(many.data() + 11, 0xFFFF);
  std::copy(good.begin() + 85, good.begin() + 133, many.begin() + 37 + 48 * 40000);
  struct Case {
    const char *name;
    Bytes block;
    Code expected;
  };
  const auto count = [&](std::uint16_t n) {
    Bytes b = good;
    PutU16(b.data() + 11, n);
    return b;
  };
  const std::vector<Case> cases = {
      {"no recipients", count(0), code::kNotEncrypted},
      {"more recipients than the block holds", count(3), code::kNotEncrypted},
      {"one recipient fewer: B's record read as ciphertext", count(1), code::kBadKey},
      {"one byte cut", Bytes(good.begin(), good.end() - 1), code::kBadMac},
      {"one byte added", Concat(good, {0}), code::kBadMac},
      {"65535 recipients", many, code::kBadMac},
      {"65535 recipients, one byte short", Bytes(many.begin(), many.end() - 8),
       code::kNotEncrypted},
  };
  for (const Case &c : cases) {
    Bytes out;
    EXPECT_EQ(Decrypt(c.block, 55, out), c.expected) << c.name;
  }
  // Any changed byte of the header and records, A's record and its MAC
  // included, is refused by B.
  for (std::size_t i = 0; i < EnvelopeOverhead(2); ++i) {
    Bytes changed = good;
    changed[i] ^= 0x04;
    Bytes out;
    EXPECT_NE(Decrypt(changed, 55, out), 0) << "byte " << i;
  }
}

TEST_F(SenderAuthenticity, BlocksOfTheEarlierFormatAreRefusedAsNotEncrypted) {
  Bytes block = Encrypt(Text("payment"), {55});
  block[0] = 0xE1;
  Bytes out;
  EXPECT_EQ(Decrypt(block, 55, out), code::kNotEncrypted);
  std::string sender;
  EXPECT_EQ(SenderOfBlock(block.data(), block.size(), sender), code::kNotEncrypted);
}

} // namespace
