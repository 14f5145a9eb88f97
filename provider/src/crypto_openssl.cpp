// The public-key half of the provider's cryptography on OpenSSL 3 with the
// GOST engine (Debian's libengine-gost-openssl): key derivation, point
// checks, GOST R 34.10-2012 signatures and VKO key agreement. Hashing, the
// GOST 28147-89 cipher and MAC, HMAC and random numbers stay on libgcrypt
// (crypto_gcrypt.cpp): it is the faster of the two there, and the engine's
// GOST 28147-89 MAC re-keys itself every KiB (CryptoPro key meshing), a
// different function from the one the block format uses.
//
// The formats are the same as with libgcrypt (see crypto.h): the engine
// reads a digest as a little-endian integer and writes a signature as s
// then r, big-endian, exactly the provider's byte order.
//
// The engine is reached through OpenSSL's ENGINE interface, deprecated in
// OpenSSL 3 but the only one through which this engine signs.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "crypto_backend.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace kestrel_provider::crypto {
namespace {

// The GOST engine's control for the parameter set of a new key
// (EVP_PKEY_CTRL_GOST_PARAMSET in the engine's sources).
constexpr int kCtrlGostParamset = EVP_PKEY_ALG_CTRL + 1;

[[noreturn]] void Fail(const char *what) {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  char text[256] = {};
  if (error != 0)
    ERR_error_string_n(error, text, sizeof text);
  throw CryptoError(std::string(what) + (error != 0 ? std::string(": ") + text : std::string()));
}

void Ensure(int ok, const char *what) {
  if (ok <= 0)
    Fail(what);
}

// Set once OpenSSL's exit handler is about to run: key objects that
// outlive it (the key driver's and the checked keys', static objects) are
// left to the end of the process instead of being freed through an engine
// that may be gone.
std::atomic<bool> gExiting{false};

template <auto Free> struct Deleter {
  template <typename T> void operator()(T *p) const { Free(p); }
};
// Key objects let go of after that are kept here instead, to the end of the
// process, so that they stay reachable as memory held for the life of the
// process is (a leak checker at exit counts them as held, not lost). A plain
// array: it is never destroyed itself.
constexpr std::size_t kMaxKeysLeftAtExit = 8192;
std::array<EVP_PKEY *, kMaxKeysLeftAtExit> gKeysLeftAtExit{};
std::atomic<std::size_t> gKeysLeft{0};

struct KeyDeleter {
  void operator()(EVP_PKEY *p) const {
    if (!gExiting.load()) {
      EVP_PKEY_free(p);
      return;
    }
    if (const std::size_t i = gKeysLeft.fetch_add(1); i < gKeysLeftAtExit.size())
      gKeysLeftAtExit[i] = p;
  }
};
using Bn = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using PKey = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;

ENGINE *GostEngine() {
  static ENGINE *engine = [] {
    ENGINE_load_builtin_engines();
    ENGINE *e = ENGINE_by_id("gost");
    if (e == nullptr)
      Fail("the OpenSSL GOST engine is not available");
    if (ENGINE_init(e) != 1) {
      ENGINE_free(e);
      Fail("the OpenSSL GOST engine does not start");
    }
    ENGINE_free(e); // the functional reference from ENGINE_init keeps it
    // Makes the engine's GOST key types known to OpenSSL's key code (keys
    // of these types only; nothing else in the process changes hands).
    if (ENGINE_register_pkey_asn1_meths(e) != 1 || ENGINE_register_pkey_meths(e) != 1)
      Fail("the OpenSSL GOST engine's key types");
    // Registered after OpenSSL's own exit handler, so it runs before it.
    std::atexit([] { gExiting.store(true); });
    return e;
  }();
  return engine;
}

// One curve: a parameter-only key to copy new keys from, and its group.
// Made once and kept for the life of the process: it is never freed,
// because OpenSSL's exit handler may have shut the engine down before
// static objects are destroyed.
struct CurveData {
  EVP_PKEY *parameters = nullptr;
  const EC_GROUP *group = nullptr;
};

const CurveData &Data(Curve curve) {
  static CurveData curves[2];
  static std::once_flag once[2];
  const int index = curve == Curve::Tc26A256 ? 0 : 1;
  std::call_once(once[index], [&] {
    const int nid = curve == Curve::Tc26A256 ? NID_id_tc26_gost_3410_2012_256_paramSetA
                                             : NID_id_GostR3410_2001_TestParamSet;
    PKeyCtx ctx(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, GostEngine()));
    if (!ctx)
      Fail("GOST key context");
    Ensure(EVP_PKEY_paramgen_init(ctx.get()), "curve parameters");
    Ensure(EVP_PKEY_CTX_ctrl(ctx.get(), NID_id_GostR3410_2012_256, EVP_PKEY_OP_PARAMGEN,
                             kCtrlGostParamset, nid, nullptr),
           "curve parameter set");
    EVP_PKEY *raw = nullptr;
    Ensure(EVP_PKEY_paramgen(ctx.get(), &raw), "curve parameters");
    CurveData &d = curves[index];
    d.parameters = raw;
    const auto *ec = static_cast<const EC_KEY *>(EVP_PKEY_get0(raw));
    d.group = ec != nullptr ? EC_KEY_get0_group(ec) : nullptr;
    if (d.group == nullptr)
      Fail("curve group");
  });
  return curves[index];
}

Bn FromLittleEndian(const std::uint8_t *p, std::size_t n) {
  Bn b(BN_lebin2bn(p, static_cast<int>(n), nullptr));
  if (!b)
    Fail("integer");
  return b;
}

void ToLittleEndian(const BIGNUM *b, std::uint8_t *out, std::size_t n) {
  if (BN_bn2lebinpad(b, out, static_cast<int>(n)) < 0)
    throw CryptoError("integer too large");
}

// The public key as a point; nullptr when it is not a point of the curve.
Point ToPoint(const EC_GROUP *group, const PublicKey &key, BN_CTX *ctx) {
  Bn x = FromLittleEndian(key.data(), 32), y = FromLittleEndian(key.data() + 32, 32);
  Point p(EC_POINT_new(group));
  if (!p)
    Fail("point");
  // Coordinates at or above the field prime are refused here: OpenSSL
  // would reduce them, so that one point had several encodings (libgcrypt's
  // backend refuses them too). Points off the curve are refused by OpenSSL.
  const BIGNUM *prime = EC_GROUP_get0_field(group);
  if (prime == nullptr)
    Fail("curve field");
  if (BN_cmp(x.get(), prime) >= 0 || BN_cmp(y.get(), prime) >= 0)
    return nullptr;
  if (EC_POINT_set_affine_coordinates(group, p.get(), x.get(), y.get(), ctx) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return p;
}

bool FromPoint(const EC_GROUP *group, const EC_POINT *point, PublicKey &out, BN_CTX *ctx) {
  if (EC_POINT_is_at_infinity(group, point))
    return false;
  Bn x(BN_new()), y(BN_new());
  Ensure(EC_POINT_get_affine_coordinates(group, point, x.get(), y.get(), ctx), "affine point");
  ToLittleEndian(x.get(), out.data(), 32);
  ToLittleEndian(y.get(), out.data() + 32, 32);
  return true;
}

// A new engine key with the curve's parameters; its EC_KEY to fill in.
PKey NewKey(const CurveData &curve, EC_KEY *&ec) {
  PKey key(EVP_PKEY_new());
  if (!key || EVP_PKEY_copy_parameters(key.get(), curve.parameters) != 1)
    Fail("GOST key");
  ec = static_cast<EC_KEY *>(EVP_PKEY_get0(key.get()));
  if (ec == nullptr)
    Fail("GOST key");
  return key;
}

PKey MakePrivateKey(const Key256 &secret, Curve curve) {
  EC_KEY *ec = nullptr;
  PKey key = NewKey(Data(curve), ec);
  Bn d = FromLittleEndian(secret.data(), secret.size());
  Ensure(EC_KEY_set_private_key(ec, d.get()), "private key");
  return key;
}

BnCtx NewBnCtx() {
  BnCtx ctx(BN_CTX_new());
  if (!ctx)
    Fail("BN_CTX");
  return ctx;
}

// A point of the curve's prime-order group: on the curve (ToPoint) and
// n * Q at infinity.
bool InSubgroup(const EC_GROUP *group, const EC_POINT *q, BN_CTX *ctx) {
  Point check(EC_POINT_new(group));
  Ensure(check ? EC_POINT_mul(group, check.get(), nullptr, q, EC_GROUP_get0_order(group), ctx) : 0,
         "subgroup check");
  return EC_POINT_is_at_infinity(group, check.get()) == 1;
}

} // namespace

struct PrivateKey::Object {
  PKey key;
};

PrivateKey::PrivateKey(const Key256 &secret, Curve curve) : secret_(secret), curve_(curve) {}
PrivateKey::~PrivateKey() = default;

const PrivateKey::Object &PrivateKey::Get() const {
  std::call_once(
      once_, [&] { object_ = std::make_unique<Object>(Object{MakePrivateKey(secret_, curve_)}); });
  return *object_;
}

struct CheckedPublicKey {
  PKey key;
};

namespace backend {

std::shared_ptr<const CheckedPublicKey> NewCheckedPublicKey(const PublicKey &publicKey,
                                                            Curve curve) {
  const CurveData &data = Data(curve);
  BnCtx ctx = NewBnCtx();
  Point q = ToPoint(data.group, publicKey, ctx.get());
  if (!q || !InSubgroup(data.group, q.get(), ctx.get()))
    return nullptr;
  EC_KEY *ec = nullptr;
  PKey key = NewKey(data, ec);
  Ensure(EC_KEY_set_public_key(ec, q.get()), "public key");
  return std::make_shared<const CheckedPublicKey>(CheckedPublicKey{std::move(key)});
}

} // namespace backend

Key256 GeneratePrivateKey(Curve curve) {
  const EC_GROUP *group = Data(curve).group;
  const BIGNUM *n = EC_GROUP_get0_order(group);
  const int bits = BN_num_bits(n);
  for (;;) {
    Key256 candidate;
    RandomBytes(candidate.data(), candidate.size());
    // Keep only as many bits as the group order has, then reject values
    // outside [1, n-1]: uniform without bias.
    for (int i = bits; i < 256; ++i)
      candidate.data()[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
    if (IsValidPrivateKey(candidate, curve))
      return candidate;
  }
}

bool IsValidPrivateKey(const Key256 &privateKey, Curve curve) {
  Bn d = FromLittleEndian(privateKey.data(), privateKey.size());
  return !BN_is_zero(d.get()) && BN_cmp(d.get(), EC_GROUP_get0_order(Data(curve).group)) < 0;
}

PublicKey DerivePublicKey(const Key256 &privateKey, Curve curve) {
  const EC_GROUP *group = Data(curve).group;
  BnCtx ctx = NewBnCtx();
  Bn d = FromLittleEndian(privateKey.data(), privateKey.size());
  Point q(EC_POINT_new(group));
  Ensure(q ? EC_POINT_mul(group, q.get(), d.get(), nullptr, nullptr, ctx.get()) : 0, "public key");
  PublicKey out{};
  if (!FromPoint(group, q.get(), out, ctx.get()))
    throw CryptoError("invalid private key");
  return out;
}

Signature Sign(const PrivateKey &privateKey, const Digest256 &digest) {
  PKeyCtx ctx(EVP_PKEY_CTX_new(privateKey.Get().key.get(), GostEngine()));
  Ensure(ctx ? EVP_PKEY_sign_init(ctx.get()) : 0, "sign");
  Signature out{};
  std::size_t length = out.size();
  Ensure(EVP_PKEY_sign(ctx.get(), out.data(), &length, digest.data(), digest.size()), "sign");
  if (length != out.size())
    throw CryptoError("signature length");
  return out;
}

bool Verify(const CheckedPublicKey &publicKey, const Digest256 &digest,
            const Signature &signature) {
  PKeyCtx ctx(EVP_PKEY_CTX_new(publicKey.key.get(), GostEngine()));
  Ensure(ctx ? EVP_PKEY_verify_init(ctx.get()) : 0, "verify");
  const int ok =
      EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size());
  ERR_clear_error(); // a wrong signature leaves the engine's reason queued
  return ok == 1;
}

Key256 Vko256(const PrivateKey &privateKey, const CheckedPublicKey &peer, const Block64 &ukm) {
  // A UKM of zero counts as 1, as in RFC 7836.
  Block64 u = ukm;
  if (std::all_of(u.begin(), u.end(), [](std::uint8_t b) { return b == 0; }))
    u[0] = 1;
  PKeyCtx ctx(EVP_PKEY_CTX_new(privateKey.Get().key.get(), GostEngine()));
  Ensure(ctx ? EVP_PKEY_derive_init(ctx.get()) : 0, "key agreement");
  Ensure(EVP_PKEY_derive_set_peer(ctx.get(), peer.key.get()), "key agreement peer");
  Ensure(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, static_cast<int>(u.size()),
                           u.data()),
         "key agreement UKM");
  Key256 out;
  std::size_t length = out.size();
  Ensure(EVP_PKEY_derive(ctx.get(), out.data(), &length), "key agreement");
  if (length != out.size())
    throw CryptoError("key agreement length");
  return out;
}

} // namespace kestrel_provider::crypto
