// Known-answer tests of the provider's primitives against the standards'
// own examples, and the properties the formats rely on.
#include "crypto.h"
#include "provider_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace crypto = kestrel_provider::crypto;
using kestrel_provider::Key256;
using namespace provider_test;

namespace {

// RFC 6986 section 10.1 and 10.2: M1 is "0123...012" (63 bytes), M2 is
// "Се ветри, Стрибожи внуци..." in Windows-1251 (72 bytes). The RFC writes
// the messages as numbers, so their bytes appear there in reverse.
const std::string kM1 = "012345678901234567890123456789012345678901234567890123456789012";
const char *kM2Hex = "d1e520e2e5f2f0e82c20d1f2f0e8e1eee6e820e2edf3f6e82c20e2e5fef2fa20f120eceef0"
                     "ff20f1f2f0e5ebe0ece820ede020f5f0e0e1f0fbff20efebfaeafb20c8e3eef0e5e2fb";

crypto::Digest256 Digest(const Bytes &b) {
  crypto::Digest256 d{};
  std::copy(b.begin(), b.end(), d.begin());
  return d;
}

TEST(ProviderCrypto, StreebogMatchesRfc6986Examples) {
  const Bytes m1(kM1.begin(), kM1.end());
  EXPECT_EQ(ToHex(crypto::Streebog512(m1)),
            "1b54d01a4af5b9d5cc3d86d68d285462b19abc2475222f35c085122be4ba1ffa"
            "00ad30f8767b3a82384c6574f024c311e2a481332b08ef7f41797891c1646f48");
  EXPECT_EQ(ToHex(crypto::Streebog256(m1)),
            "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500");
  const Bytes m2 = FromHex(kM2Hex);
  ASSERT_EQ(m2.size(), 72u);
  EXPECT_EQ(ToHex(crypto::Streebog512(m2)),
            "1e88e62226bfca6f9994f1f2d51569e0daf8475a3b0fe61a5300eee46d961376"
            "035fe83549ada2b8620fcd7c496ce5b33f0cb9dddc2b6460143b03dabac9fb28");
  EXPECT_EQ(ToHex(crypto::Streebog256(m2)),
            "9dd2fe4e90409e5da87f53976d7405b0c0cac628fc669a741d50063c557e8f50");

  // The incremental hasher gives the same digest however the data is split.
  crypto::Streebog256Hasher h;
  h.Update(kestrel_provider::ByteView(m2.data(), 5));
  h.Update(kestrel_provider::ByteView(m2.data() + 5, m2.size() - 5));
  EXPECT_EQ(ToHex(h.Finish()), ToHex(crypto::Streebog256(m2)));
}

TEST(ProviderCrypto, CipherIsMagmaOfRfc8891WithGost28147ByteOrder) {
  // RFC 8891 section A.1: key, plaintext and ciphertext as the RFC writes them.
  const Bytes key = FromHex("ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  const Bytes plain = FromHex("fedcba9876543210");
  // GOST 28147-89 order: each 32-bit key word and the block byte-reversed.
  Bytes k(32);
  for (int w = 0; w < 8; ++w)
    for (int b = 0; b < 4; ++b)
      k[static_cast<std::size_t>(w * 4 + b)] = key[static_cast<std::size_t>(w * 4 + 3 - b)];
  Bytes block(plain.rbegin(), plain.rend());
  crypto::Gost28147Ecb(Key256(k), block.data(), block.size(), crypto::Direction::Encrypt);
  std::reverse(block.begin(), block.end());
  EXPECT_EQ(ToHex(block), "4ee901e5c2d8ca3d");
  std::reverse(block.begin(), block.end());
  crypto::Gost28147Ecb(Key256(k), block.data(), block.size(), crypto::Direction::Decrypt);
  std::reverse(block.begin(), block.end());
  EXPECT_EQ(ToHex(block), "fedcba9876543210");
}

// GOST R 34.10-2012 / RFC 7091 example on the test curve, with the numbers
// as the standard writes them (big-endian); our keys and digests are
// little-endian byte strings, so they are reversed here.
struct Rfc7091 {
  Bytes d = FromHex("7a929ade789bb9be10ed359dd39a72c11b60961f49397eee1d19ce9891ec3b28");
  Bytes xq = FromHex("7f2b49e270db6d90d8595bec458b50c58585ba1d4e9b788f6689dbd8e56fd80b");
  Bytes yq = FromHex("26f1b489d6701dd185c8413a977b3cbbaf64d1c593d26627dffb101a87ff77da");
  Bytes e = FromHex("2dfbc1b372d89a1188c09c52e0eec61fce52032ab1022e8e67ece6672b043ee5");
  Bytes r = FromHex("41aa28d2f1ab148280cd9ed56feda41974053554a42767b83ad043fd39dc0493");
  Bytes s = FromHex("01456c64ba4642a1653c235a98a60249bcd6d3f746b631df928014f6c5bf9c40");

  Key256 PrivateKey() const { return Key256(Bytes(d.rbegin(), d.rend())); }
  crypto::PublicKey PublicKey() const {
    crypto::PublicKey q{};
    std::reverse_copy(xq.begin(), xq.end(), q.begin());
    std::reverse_copy(yq.begin(), yq.end(), q.begin() + 32);
    return q;
  }
  crypto::Digest256 DigestBytes() const { return Digest(Bytes(e.rbegin(), e.rend())); }
  crypto::Signature SignatureBytes() const {
    crypto::Signature sig{};
    std::copy(s.begin(), s.end(), sig.begin());
    std::copy(r.begin(), r.end(), sig.begin() + 32);
    return sig;
  }
};

TEST(ProviderCrypto, SignatureMatchesRfc7091Example) {
  const Rfc7091 v;
  const auto curve = crypto::Curve::Test256;
  EXPECT_EQ(ToHex(crypto::DerivePublicKey(v.PrivateKey(), curve)), ToHex(v.PublicKey()));
  // The example's signature verifies when the digest is the little-endian
  // byte string of e; with the bytes the other way round it does not.
  EXPECT_TRUE(crypto::Verify(v.PublicKey(), v.DigestBytes(), v.SignatureBytes(), curve));
  EXPECT_FALSE(crypto::Verify(v.PublicKey(), Digest(v.e), v.SignatureBytes(), curve));
  auto swapped = v.SignatureBytes();
  std::rotate(swapped.begin(), swapped.begin() + 32, swapped.end());
  EXPECT_FALSE(crypto::Verify(v.PublicKey(), v.DigestBytes(), swapped, curve));

  // A fresh signature with the example key verifies and its r is below q.
  const auto sig = crypto::Sign(v.PrivateKey(), v.DigestBytes(), curve);
  EXPECT_TRUE(crypto::Verify(v.PublicKey(), v.DigestBytes(), sig, curve));
  auto other = v.DigestBytes();
  other[0] ^= 1;
  EXPECT_FALSE(crypto::Verify(v.PublicKey(), other, sig, curve));
}

TEST(ProviderCrypto, ProductCurveKeysSignAndAgree) {
  const Key256 a = crypto::GeneratePrivateKey();
  const Key256 b = crypto::GeneratePrivateKey();
  EXPECT_FALSE(a == b);
  const auto qa = crypto::DerivePublicKey(a);
  const auto qb = crypto::DerivePublicKey(b);
  EXPECT_TRUE(crypto::IsValidPublicKey(qa));

  const auto digest = crypto::Streebog256(qa);
  EXPECT_TRUE(crypto::Verify(qa, digest, crypto::Sign(a, digest)));
  EXPECT_FALSE(crypto::Verify(qb, digest, crypto::Sign(a, digest)));

  // VKO: both sides derive the same key-encryption key; another UKM or
  // another peer gives another key.
  const crypto::Block64 ukm{1, 2, 3, 4, 5, 6, 7, 8};
  const Key256 kab = crypto::Vko256(a, qb, ukm);
  EXPECT_TRUE(kab == crypto::Vko256(b, qa, ukm));
  crypto::Block64 ukm2 = ukm;
  ukm2[7] ^= 0x80;
  EXPECT_FALSE(kab == crypto::Vko256(a, qb, ukm2));
  EXPECT_FALSE(kab == crypto::Vko256(a, qa, ukm));
}

TEST(ProviderCrypto, InvalidPublicKeysAreRejected) {
  const auto q = crypto::DerivePublicKey(crypto::GeneratePrivateKey());
  auto offCurve = q;
  offCurve[40] ^= 1;
  EXPECT_FALSE(crypto::IsValidPublicKey(offCurve));
  crypto::PublicKey zero{};
  EXPECT_FALSE(crypto::IsValidPublicKey(zero));
  crypto::PublicKey big;
  big.fill(0xff);
  EXPECT_FALSE(crypto::IsValidPublicKey(big));
  EXPECT_THROW(crypto::Vko256(crypto::GeneratePrivateKey(), offCurve, crypto::Block64{}),
               crypto::CryptoError);
}

TEST(ProviderCrypto, MacsAndCipherDetectAndReverse) {
  Key256 key(FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"));
  Bytes data(1000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7);
  const auto mac = crypto::Gost28147Imit(key, data);
  // All 64 bits of the MAC are produced, and split input gives the same MAC.
  crypto::Gost28147Mac split(key);
  split.Update(kestrel_provider::ByteView(data.data(), 333));
  split.Update(kestrel_provider::ByteView(data.data() + 333, data.size() - 333));
  EXPECT_EQ(ToHex(split.Finish()), ToHex(mac));
  data[999] ^= 1;
  EXPECT_NE(ToHex(crypto::Gost28147Imit(key, data)), ToHex(mac));
  const crypto::Block64 iv{9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_NE(ToHex(crypto::Gost28147Imit(key, data, &iv)), ToHex(crypto::Gost28147Imit(key, data)));

  // CFB in place, any length, chunked or not.
  const Bytes plain = data;
  crypto::Gost28147Cfb enc(key, iv, crypto::Direction::Encrypt);
  enc.Process(data.data(), 13);
  enc.Process(data.data() + 13, data.size() - 13);
  EXPECT_NE(data, plain);
  Bytes back(data.size());
  crypto::Gost28147Cfb dec(key, iv, crypto::Direction::Decrypt);
  dec.Process(data.data(), back.data(), data.size());
  EXPECT_EQ(back, plain);

  // The KDF separates labels and seeds.
  const Key256 k1 = crypto::Kdf256(key, "a", kestrel_provider::ByteView(plain.data(), 8));
  EXPECT_FALSE(k1 == crypto::Kdf256(key, "b", kestrel_provider::ByteView(plain.data(), 8)));
  EXPECT_FALSE(k1 == crypto::Kdf256(key, "a", kestrel_provider::ByteView(plain.data() + 1, 8)));
}

TEST(ProviderCrypto, RandomSourceCanBeFixedOnlyOnRequest) {
  crypto::SetRandomSourceForTests(CountingRandom(7));
  std::array<std::uint8_t, 4> fixed{};
  crypto::RandomBytes(fixed.data(), fixed.size());
  EXPECT_EQ(ToHex(fixed), "0708090a");
  crypto::SetRandomSourceForTests(nullptr);
  std::array<std::uint8_t, 32> a{}, b{};
  crypto::RandomBytes(a.data(), a.size());
  crypto::RandomBytes(b.data(), b.size());
  EXPECT_NE(a, b);
}

} // namespace
