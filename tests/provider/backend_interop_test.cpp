// The two crypto backends (libgcrypt; OpenSSL 3 with the GOST engine) give
// the same public keys and key-encryption keys, and each checks the other's
// signatures. The vectors below were made once by each backend; every build
// checks all of them, so the Windows build (libgcrypt, run under wine64)
// checks what the Linux build (OpenSSL) made, and the Linux build checks
// libgcrypt's. Encrypted blocks are pinned byte for byte by the format
// tests, which both backends pass.
#include "crypto.h"
#include "formats.h"
#include "provider_test_support.h"

#include <gtest/gtest.h>

namespace crypto = kestrel_provider::crypto;
using kestrel_provider::Key256;
using namespace provider_test;

namespace {

template <typename T> T Array(std::string_view hex) {
  const Bytes b = FromHex(hex);
  T out{};
  EXPECT_EQ(b.size(), out.size());
  std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), out.size())),
            out.begin());
  return out;
}

struct Vectors {
  Key256 da{FromHex("00122436485a6c07192b3d4f61730e20324456687a1527394b5d6f811c2e400f")};
  Key256 db{FromHex("a5a6a3aca9aab7b0bdbebb8481828f889596939c999ae7e0edeeebf4f1f2ff07")};
  crypto::PublicKey qa =
      Array<crypto::PublicKey>("5037dd0cfe3333980528a1bcbc8e5d84c2e6ebf771023b307a63ddcb88d516b1"
                               "84c1bc6dbe553043f22b448fa1c0d84d84369e6a483740adf2eb63933a9829c6");
  crypto::PublicKey qb =
      Array<crypto::PublicKey>("0090fcbbf5b54f01e1ba0aa36555a45d75b1e5dbfb6d34e0a6c8dab20387c98d"
                               "39992744ed9550fb009fe5fde2f087f78d028acccecebb66b1080b97f3f3cfd8");
  std::string message = "payment order 1207, 125000.00 RUB";
  crypto::Digest256 digest =
      Array<crypto::Digest256>("171d316e36bacf482ab891034fb8e4e4b8591c6c5b08bcd848039cc04b152703");
  // Signatures by da over digest: one made with libgcrypt, one with OpenSSL.
  crypto::Signature byGcrypt =
      Array<crypto::Signature>("1f05ba63ea131609426b6162bf3bc47e89c48752e34577874d964679f61c6b67"
                               "0242a119bb10e258664e62ee45b1f6efc50f166ffd90a3982363714eee476497");
  crypto::Signature byOpenssl =
      Array<crypto::Signature>("3b9719757842df94515ea70d244efc93bc4708f6decd95a7d8ba001dc03db4c5"
                               "0dc00b9165a526894b2ceef6e525395f57dece0e32dedc45fa2190448a39eb9c");
  crypto::Block64 ukm{0x1d, 0x80, 0x60, 0x3c, 0x85, 0x44, 0xc7, 0x27};
  Key256 kek{FromHex("1905da4b5c2fae3e27deabaafaa1f9aba78e997072ff4e60ad913c0e958325d4")};
};

TEST(ProviderBackends, AgreeOnPublicKeysDigestsAndKeyAgreement) {
  const Vectors v;
  EXPECT_EQ(ToHex(crypto::DerivePublicKey(v.da)), ToHex(v.qa));
  EXPECT_EQ(ToHex(crypto::DerivePublicKey(v.db)), ToHex(v.qb));
  const Bytes message(v.message.begin(), v.message.end());
  EXPECT_EQ(ToHex(crypto::Streebog256(message)), ToHex(v.digest));
  EXPECT_EQ(ToHex(crypto::Vko256(v.da, v.qb, v.ukm).view()), ToHex(v.kek.view()));
  EXPECT_EQ(ToHex(crypto::Vko256(v.db, v.qa, v.ukm).view()), ToHex(v.kek.view()));
}

TEST(ProviderBackends, EachChecksTheOthersSignatures) {
  const Vectors v;
  for (const auto &signature : {v.byGcrypt, v.byOpenssl}) {
    EXPECT_TRUE(crypto::Verify(v.qa, v.digest, signature));
    EXPECT_FALSE(crypto::Verify(v.qb, v.digest, signature)); // another key
    auto otherDigest = v.digest;
    otherDigest[5] ^= 0x10;
    EXPECT_FALSE(crypto::Verify(v.qa, otherDigest, signature));
    auto changed = signature;
    changed[40] ^= 0x01; // inside r
    EXPECT_FALSE(crypto::Verify(v.qa, v.digest, changed));
  }
  // A fresh signature of this build verifies too, and is not a replay of
  // either pinned one (signing is randomised).
  const auto fresh = crypto::Sign(v.da, v.digest);
  EXPECT_TRUE(crypto::Verify(v.qa, v.digest, fresh));
  EXPECT_NE(ToHex(fresh), ToHex(v.byGcrypt));
  EXPECT_NE(ToHex(fresh), ToHex(v.byOpenssl));
}

TEST(ProviderBackends, EachChecksTheOthersProofOfPossession) {
  // The proof of possession of a generation 4 public key block of qa under
  // "001700000101", made with da by each backend.
  const Vectors v;
  const auto byGcrypt =
      Array<crypto::Signature>("395c1dd905d7183d1871125144101b815600c53095942eae44da420cf4c4416c"
                               "2534bb2e1e2883176abd771fa2e684c944d5bb52b8b63c55882d18822afee089");
  const auto byOpenssl =
      Array<crypto::Signature>("2e6e0fc375c68e9deb3b15e6d396ec1f4fd22f5dcf483cb15816b5d90e6c4875"
                               "2e577f80bb3902240eea98f17d6172431d12aa1b5bc19bdbbcb9ec6056ddc47b");
  using namespace kestrel_provider;
  for (const auto &proof : {byGcrypt, byOpenssl}) {
    PublicKeyBlock block{Generation::G4, KeyKind::Signature, "001700000101", v.qa, proof};
    const Bytes bytes = BuildPublicKeyBlock(block);
    PublicKeyBlock parsed;
    EXPECT_EQ(ParsePublicKeyBlock(bytes.data(), bytes.size(), Generation::G4, parsed), 0);
    block.id = "001800000101"; // the same proof under another identifier
    const Bytes relabelled = BuildPublicKeyBlock(block);
    EXPECT_EQ(ParsePublicKeyBlock(relabelled.data(), relabelled.size(), Generation::G4, parsed),
              code::kBadKeyHeader);
  }
}

TEST(ProviderBackends, BothRefuseCoordinatesAtOrAboveTheFieldPrime) {
  // A point of the curve (x = 6) and the same point with x + p in place of
  // x: a backend that reduced coordinates would take one key under several
  // encodings. p = 2^256 - 617.
  const auto key = [](std::string_view x, std::string_view y) {
    return Array<crypto::PublicKey>(std::string(x) + std::string(y));
  };
  const std::string x = "0600000000000000000000000000000000000000000000000000000000000000";
  const std::string xPlusP = "9dfdffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
  const std::string y = "62510d2db962d2e85b02375ebb59388860869bbb1a74706e89c5620cc03242c5";
  const std::string p = "97fdffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
  const struct {
    const char *what;
    crypto::PublicKey key;
    bool valid;
  } cases[] = {
      {"the point", key(x, y), true},
      {"x + p", key(xPlusP, y), false},
      {"x = p", key(p, y), false},
      {"y = p", key(x, p), false},
      {"all ones", key(std::string(64, 'f'), std::string(64, 'f')), false},
  };
  for (const auto &k : cases)
    EXPECT_EQ(crypto::IsValidPublicKey(k.key), k.valid) << k.what;
}

} // namespace
