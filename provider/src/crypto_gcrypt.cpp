// The libgcrypt backend of the provider's cryptography.
#include "crypto_backend.h"
#include "kept_objects.h"

#include <gcrypt.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace kestrel_provider::crypto {
namespace {

// id-tc26-gost-28147-param-Z, the S-box of GOST R 34.12-2015 Magma.
constexpr const char *kSboxZ = "1.2.643.7.1.2.5.1.1";

void Check(gcry_error_t error, const char *what) {
  if (error != 0)
    throw CryptoError(std::string(what) + ": " + gcry_strerror(error));
}

const char *CurveName(Curve curve) {
  // libgcrypt 1.10 accepts only this spelling for tc26 set A.
  return curve == Curve::Tc26A256 ? "GOST2012-256-A" : "GOST2001-test";
}

// RAII owners of libgcrypt objects.
struct MpiDeleter {
  void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
using Mpi = std::unique_ptr<gcry_mpi, MpiDeleter>;
struct PointDeleter {
  void operator()(gcry_mpi_point_t p) const { gcry_mpi_point_release(p); }
};
using Point = std::unique_ptr<gcry_mpi_point, PointDeleter>;
struct SexpDeleter {
  void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpDeleter>;
struct CtxDeleter {
  void operator()(gcry_ctx_t c) const { gcry_ctx_release(c); }
};
using Ctx = std::unique_ptr<gcry_context, CtxDeleter>;

Mpi NewMpi(bool secure = false) { return Mpi(secure ? gcry_mpi_snew(0) : gcry_mpi_new(0)); }

// An unsigned integer from big-endian bytes.
Mpi FromBigEndian(const std::uint8_t *p, std::size_t n) {
  gcry_mpi_t m = nullptr;
  Check(gcry_mpi_scan(&m, GCRYMPI_FMT_USG, p, n, nullptr), "mpi scan");
  return Mpi(m);
}

Mpi FromLittleEndian(const std::uint8_t *p, std::size_t n) {
  std::array<std::uint8_t, 64> be{};
  std::reverse_copy(p, p + n, be.begin());
  Mpi m = FromBigEndian(be.data(), n);
  Wipe(be.data(), be.size());
  return m;
}

// Writes the integer as n big-endian bytes; false when it does not fit.
bool ToBigEndian(gcry_mpi_t m, std::uint8_t *out, std::size_t n) {
  std::array<std::uint8_t, 80> buffer{};
  std::size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, buffer.data(), buffer.size(), &written, m) != 0 ||
      written > n)
    return false;
  std::fill(out, out + n, 0);
  std::copy(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(written),
            out + (n - written));
  Wipe(buffer.data(), buffer.size());
  return true;
}

void ToLittleEndian(gcry_mpi_t m, std::uint8_t *out, std::size_t n) {
  if (!ToBigEndian(m, out, n))
    throw CryptoError("integer too large");
  std::reverse(out, out + n);
}

Ctx CurveContext(Curve curve) {
  gcry_ctx_t ctx = nullptr;
  Check(gcry_mpi_ec_new(&ctx, nullptr, CurveName(curve)), "curve");
  return Ctx(ctx);
}

Mpi CurveValue(gcry_ctx_t ctx, const char *name) {
  Mpi m(gcry_mpi_ec_get_mpi(name, ctx, 1));
  if (!m)
    throw CryptoError(std::string("curve value ") + name);
  return m;
}

Point PointFromPublicKey(const PublicKey &key) {
  Point p(gcry_mpi_point_new(0));
  Mpi x = FromLittleEndian(key.data(), 32);
  Mpi y = FromLittleEndian(key.data() + 32, 32);
  Mpi z(gcry_mpi_set_ui(nullptr, 1));
  gcry_mpi_point_set(p.get(), x.get(), y.get(), z.get());
  return p;
}

// Affine coordinates of a point as a 64-byte public key; false at infinity.
bool PointToPublicKey(gcry_mpi_point_t point, gcry_ctx_t ctx, PublicKey &out) {
  Mpi x = NewMpi(), y = NewMpi();
  if (gcry_mpi_ec_get_affine(x.get(), y.get(), point, ctx) != 0)
    return false;
  ToLittleEndian(x.get(), out.data(), 32);
  ToLittleEndian(y.get(), out.data() + 32, 32);
  return true;
}

// The public key as libgcrypt's uncompressed point: 04 || x || y, big-endian.
std::array<std::uint8_t, 65> UncompressedPoint(const PublicKey &key) {
  std::array<std::uint8_t, 65> q{};
  q[0] = 0x04;
  std::reverse_copy(key.begin(), key.begin() + 32, q.begin() + 1);
  std::reverse_copy(key.begin() + 32, key.end(), q.begin() + 33);
  return q;
}

// The digest as the integer signing works on.
Mpi DigestValue(const Digest256 &digest) { return FromLittleEndian(digest.data(), digest.size()); }

std::mutex &RandomMutex() {
  static std::mutex m;
  return m;
}
RandomSource &TestRandomSource() {
  static RandomSource source;
  return source;
}

} // namespace

void Initialise() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr)
      throw CryptoError("libgcrypt too old");
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      // Secrets are wiped by the provider itself; no locked pool is needed.
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
  });
}

// --- hashing ---

namespace {
// Process-wide, not thread-local: the provider is loaded at run time and
// keeps no thread-local storage (see platform::CurrentThreadId).
std::atomic<std::uint64_t> gHashedBytes{0};
} // namespace

std::uint64_t HashedBytes() { return gHashedBytes.load(std::memory_order_relaxed); }

Digest256 Streebog256(ByteView data) {
  Initialise();
  gHashedBytes.fetch_add(data.size(), std::memory_order_relaxed);
  Digest256 d{};
  gcry_md_hash_buffer(GCRY_MD_STRIBOG256, d.data(), data.data(), data.size());
  return d;
}

Digest512 Streebog512(ByteView data) {
  Initialise();
  Digest512 d{};
  gcry_md_hash_buffer(GCRY_MD_STRIBOG512, d.data(), data.data(), data.size());
  return d;
}

Streebog256Hasher::Streebog256Hasher() : handle_(nullptr) {
  Initialise();
  gcry_md_hd_t h = nullptr;
  Check(gcry_md_open(&h, GCRY_MD_STRIBOG256, 0), "hash");
  handle_ = h;
}

Streebog256Hasher::~Streebog256Hasher() { gcry_md_close(static_cast<gcry_md_hd_t>(handle_)); }

void Streebog256Hasher::Update(ByteView data) {
  gHashedBytes.fetch_add(data.size(), std::memory_order_relaxed);
  gcry_md_write(static_cast<gcry_md_hd_t>(handle_), data.data(), data.size());
}

Digest256 Streebog256Hasher::Finish() {
  auto h = static_cast<gcry_md_hd_t>(handle_);
  const unsigned char *p = gcry_md_read(h, GCRY_MD_STRIBOG256);
  if (p == nullptr)
    throw CryptoError("hash read");
  Digest256 d{};
  std::copy(p, p + d.size(), d.begin());
  return d;
}

Digest256 Streebog256Hasher::DigestWith(ByteView tail) const {
  gcry_md_hd_t copy = nullptr;
  Check(gcry_md_copy(&copy, static_cast<gcry_md_hd_t>(handle_)), "hash copy");
  std::unique_ptr<gcry_md_handle, void (*)(gcry_md_hd_t)> owner(copy, gcry_md_close);
  gHashedBytes.fetch_add(tail.size(), std::memory_order_relaxed);
  gcry_md_write(copy, tail.data(), tail.size());
  const unsigned char *p = gcry_md_read(copy, GCRY_MD_STRIBOG256);
  if (p == nullptr)
    throw CryptoError("hash read");
  Digest256 d{};
  std::copy(p, p + d.size(), d.begin());
  return d;
}

// --- MACs ---

Digest256 HmacStreebog256(ByteView key, ByteView data) {
  Initialise();
  // RFC 2104 over Streebog-256 (64-byte blocks) on a hash handle kept open
  // between calls: opening a MAC handle for each of the few dozen bytes a
  // key derivation hashes cost as much as the hashing.
  struct Handle {
    gcry_md_hd_t h = nullptr;
    Handle() = default;
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() {
      if (h != nullptr)
        gcry_md_close(h);
    }
  };
  static KeptObjects<Handle> handles;
  const auto lease = handles.Take();
  Handle &handle = *lease;
  if (handle.h == nullptr)
    Check(gcry_md_open(&handle.h, GCRY_MD_STRIBOG256, 0), "hmac");
  std::array<std::uint8_t, 64> pad{};
  Digest256 shortened{};
  if (key.size() > pad.size()) {
    shortened = Streebog256(key);
    key = shortened;
  }
  const auto pass = [&](std::uint8_t mask, ByteView message, Digest256 &out) {
    std::fill(pad.begin(), pad.end(), mask);
    for (std::size_t i = 0; i < key.size(); ++i)
      pad[i] = static_cast<std::uint8_t>(key[i] ^ mask);
    gcry_md_reset(handle.h);
    gcry_md_write(handle.h, pad.data(), pad.size());
    gcry_md_write(handle.h, message.data(), message.size());
    const unsigned char *p = gcry_md_read(handle.h, GCRY_MD_STRIBOG256);
    if (p == nullptr)
      throw CryptoError("hmac read");
    std::copy(p, p + out.size(), out.begin());
    gcry_md_reset(handle.h);
  };
  Digest256 inner{}, out{};
  pass(0x36, data, inner);
  pass(0x5c, inner, out);
  Wipe(pad.data(), pad.size());
  Wipe(inner.data(), inner.size());
  Wipe(shortened.data(), shortened.size());
  return out;
}

Key256 Kdf256(const Key256 &key, std::string_view label, ByteView seed) {
  Bytes input;
  input.reserve(label.size() + seed.size() + 4);
  input.push_back(0x01);
  input.insert(input.end(), label.begin(), label.end());
  input.push_back(0x00);
  input.insert(input.end(), seed.begin(), seed.end());
  input.push_back(0x01);
  input.push_back(0x00);
  Digest256 d = HmacStreebog256(key.view(), input);
  Key256 out(d);
  Wipe(d.data(), d.size());
  return out;
}

Gost28147Mac::Gost28147Mac(const Key256 &key, const Block64 *iv) : handle_(nullptr) {
  Initialise();
  gcry_mac_hd_t h = nullptr;
  Check(gcry_mac_open(&h, GCRY_MAC_GOST28147_IMIT, 0, nullptr), "mac");
  handle_ = h;
  Check(gcry_mac_ctl(h, GCRYCTL_SET_SBOX, const_cast<char *>(kSboxZ), 0), "mac s-box");
  Check(gcry_mac_setkey(h, key.data(), key.size()), "mac key");
  if (iv != nullptr)
    Check(gcry_mac_setiv(h, iv->data(), iv->size()), "mac iv");
}

Gost28147Mac::~Gost28147Mac() { gcry_mac_close(static_cast<gcry_mac_hd_t>(handle_)); }

void Gost28147Mac::Update(ByteView data) {
  Check(gcry_mac_write(static_cast<gcry_mac_hd_t>(handle_), data.data(), data.size()), "mac write");
}

Mac64 Gost28147Mac::Finish() {
  Mac64 m{};
  std::size_t length = m.size();
  Check(gcry_mac_read(static_cast<gcry_mac_hd_t>(handle_), m.data(), &length), "mac read");
  if (length != m.size())
    throw CryptoError("mac length");
  return m;
}

Mac64 Gost28147Imit(const Key256 &key, ByteView data, const Block64 *iv) {
  Gost28147Mac mac(key, iv);
  mac.Update(data);
  return mac.Finish();
}

// --- cipher ---

namespace {
gcry_cipher_hd_t OpenCipher(const Key256 &key, int mode) {
  Initialise();
  gcry_cipher_hd_t h = nullptr;
  Check(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, mode, 0), "cipher");
  std::unique_ptr<gcry_cipher_handle, void (*)(gcry_cipher_hd_t)> owner(h, gcry_cipher_close);
  Check(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char *>(kSboxZ), 0), "cipher s-box");
  Check(gcry_cipher_setkey(h, key.data(), key.size()), "cipher key");
  return owner.release();
}
} // namespace

Gost28147Cfb::Gost28147Cfb(const Key256 &key, const Block64 &iv, Direction direction)
    : handle_(OpenCipher(key, GCRY_CIPHER_MODE_CFB)), direction_(direction) {
  auto h = static_cast<gcry_cipher_hd_t>(handle_);
  if (gcry_error_t e = gcry_cipher_setiv(h, iv.data(), iv.size()); e != 0) {
    gcry_cipher_close(h);
    Check(e, "cipher iv");
  }
}

Gost28147Cfb::~Gost28147Cfb() { gcry_cipher_close(static_cast<gcry_cipher_hd_t>(handle_)); }

void Gost28147Cfb::Process(std::uint8_t *data, std::size_t length) {
  auto h = static_cast<gcry_cipher_hd_t>(handle_);
  Check(direction_ == Direction::Encrypt ? gcry_cipher_encrypt(h, data, length, nullptr, 0)
                                         : gcry_cipher_decrypt(h, data, length, nullptr, 0),
        "cipher");
}

void Gost28147Cfb::Process(const std::uint8_t *in, std::uint8_t *out, std::size_t length) {
  auto h = static_cast<gcry_cipher_hd_t>(handle_);
  Check(direction_ == Direction::Encrypt ? gcry_cipher_encrypt(h, out, length, in, length)
                                         : gcry_cipher_decrypt(h, out, length, in, length),
        "cipher");
}

void Gost28147Ecb(const Key256 &key, std::uint8_t *data, std::size_t length, Direction direction) {
  std::unique_ptr<gcry_cipher_handle, void (*)(gcry_cipher_hd_t)> h(
      OpenCipher(key, GCRY_CIPHER_MODE_ECB), gcry_cipher_close);
  Check(direction == Direction::Encrypt ? gcry_cipher_encrypt(h.get(), data, length, nullptr, 0)
                                        : gcry_cipher_decrypt(h.get(), data, length, nullptr, 0),
        "cipher");
}

// --- public key operations ---
// (on OpenSSL with the GOST engine instead when crypto_openssl.cpp is built)
#if !defined(KESTREL_PUBLIC_KEY_OPENSSL)

Key256 GeneratePrivateKey(Curve curve) {
  Initialise();
  Ctx ctx = CurveContext(curve);
  Mpi n = CurveValue(ctx.get(), "n");
  const unsigned int bits = gcry_mpi_get_nbits(n.get());
  for (;;) {
    Key256 candidate;
    RandomBytes(candidate.data(), candidate.size());
    // Keep only as many bits as the group order has, then reject values
    // outside [1, n-1]: uniform without bias.
    for (unsigned int i = bits; i < 256; ++i)
      candidate.data()[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
    if (IsValidPrivateKey(candidate, curve))
      return candidate;
  }
}

bool IsValidPrivateKey(const Key256 &privateKey, Curve curve) {
  Initialise();
  Ctx ctx = CurveContext(curve);
  Mpi n = CurveValue(ctx.get(), "n");
  Mpi d = FromLittleEndian(privateKey.data(), privateKey.size());
  return gcry_mpi_cmp_ui(d.get(), 0) != 0 && gcry_mpi_cmp(d.get(), n.get()) < 0;
}

PublicKey DerivePublicKey(const Key256 &privateKey, Curve curve) {
  Initialise();
  Ctx ctx = CurveContext(curve);
  Point g(gcry_mpi_ec_get_point("g", ctx.get(), 1));
  Mpi d = FromLittleEndian(privateKey.data(), privateKey.size());
  Point q(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(q.get(), d.get(), g.get(), ctx.get());
  PublicKey out{};
  if (!PointToPublicKey(q.get(), ctx.get(), out))
    throw CryptoError("invalid private key");
  return out;
}

namespace {

// A point of the curve's prime-order group: coordinates below p, on the
// curve, and n * Q at infinity.
bool InGroup(const PublicKey &publicKey, gcry_ctx_t ctx) {
  Mpi p = CurveValue(ctx, "p");
  Mpi x = FromLittleEndian(publicKey.data(), 32);
  Mpi y = FromLittleEndian(publicKey.data() + 32, 32);
  if (gcry_mpi_cmp(x.get(), p.get()) >= 0 || gcry_mpi_cmp(y.get(), p.get()) >= 0)
    return false;
  Point q = PointFromPublicKey(publicKey);
  if (!gcry_mpi_ec_curve_point(q.get(), ctx))
    return false;
  Mpi n = CurveValue(ctx, "n");
  Point check(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(check.get(), n.get(), q.get(), ctx);
  Mpi ax = NewMpi(), ay = NewMpi();
  return gcry_mpi_ec_get_affine(ax.get(), ay.get(), check.get(), ctx) != 0;
}

} // namespace

struct PrivateKey::Object {
  Curve curve;
  Mpi d;    // for key agreement
  Sexp key; // for signing
};

PrivateKey::PrivateKey(const Key256 &secret, Curve curve) : secret_(secret), curve_(curve) {}
PrivateKey::~PrivateKey() = default;

const PrivateKey::Object &PrivateKey::Get() const {
  std::call_once(once_, [&] {
    Initialise();
    auto object = std::make_unique<Object>();
    object->curve = curve_;
    object->d = FromLittleEndian(secret_.data(), secret_.size());
    gcry_sexp_t raw = nullptr;
    Check(gcry_sexp_build(&raw, nullptr, "(private-key(ecc(curve %s)(d %m)))", CurveName(curve_),
                          object->d.get()),
          "key");
    object->key.reset(raw);
    object_ = std::move(object);
  });
  return *object_;
}

struct CheckedPublicKey {
  Curve curve;
  PublicKey bytes;
  Sexp key; // for verification
};

namespace backend {

std::shared_ptr<const CheckedPublicKey> NewCheckedPublicKey(const PublicKey &publicKey,
                                                            Curve curve) {
  Initialise();
  Ctx ctx = CurveContext(curve);
  if (!InGroup(publicKey, ctx.get()))
    return nullptr;
  const auto q = UncompressedPoint(publicKey);
  gcry_sexp_t raw = nullptr;
  Check(gcry_sexp_build(&raw, nullptr, "(public-key(ecc(curve %s)(q %b)))", CurveName(curve),
                        static_cast<int>(q.size()), q.data()),
        "public key");
  return std::make_shared<const CheckedPublicKey>(CheckedPublicKey{curve, publicKey, Sexp(raw)});
}

} // namespace backend

Signature Sign(const PrivateKey &privateKey, const Digest256 &digest) {
  const PrivateKey::Object &key = privateKey.Get();
  Mpi e = DigestValue(digest);
  gcry_sexp_t raw = nullptr;
  Check(gcry_sexp_build(&raw, nullptr, "(data(flags gost)(value %m))", e.get()), "data");
  Sexp data(raw);
  Check(gcry_pk_sign(&raw, data.get(), key.key.get()), "sign");
  Sexp sig(raw);
  Signature out{};
  const char *names[2] = {"s", "r"};
  for (int i = 0; i < 2; ++i) {
    Sexp token(gcry_sexp_find_token(sig.get(), names[i], 0));
    if (!token)
      throw CryptoError("signature value");
    Mpi value(gcry_sexp_nth_mpi(token.get(), 1, GCRYMPI_FMT_USG));
    if (!value || !ToBigEndian(value.get(), out.data() + 32 * i, 32))
      throw CryptoError("signature value");
  }
  return out;
}

bool Verify(const CheckedPublicKey &publicKey, const Digest256 &digest,
            const Signature &signature) {
  Mpi e = DigestValue(digest);
  Mpi s = FromBigEndian(signature.data(), 32);
  Mpi r = FromBigEndian(signature.data() + 32, 32);
  gcry_sexp_t raw = nullptr;
  Check(gcry_sexp_build(&raw, nullptr, "(data(flags gost)(value %m))", e.get()), "data");
  Sexp data(raw);
  Check(gcry_sexp_build(&raw, nullptr, "(sig-val(gost(r %m)(s %m)))", r.get(), s.get()), "sig");
  Sexp sig(raw);
  return gcry_pk_verify(sig.get(), data.get(), publicKey.key.get()) == 0;
}

Key256 Vko256(const PrivateKey &privateKey, const CheckedPublicKey &peer, const Block64 &ukm) {
  const PrivateKey::Object &own = privateKey.Get();
  if (own.curve != peer.curve)
    throw CryptoError("key agreement across curves");
  // The curve's context, kept between calls (making it costs half a key
  // agreement; a context serves one operation at a time).
  static KeptObjects<Ctx> contexts[2];
  const auto lease = contexts[own.curve == Curve::Tc26A256 ? 0 : 1].Take();
  Ctx &ctx = *lease;
  if (!ctx)
    ctx = CurveContext(own.curve);
  Mpi n = CurveValue(ctx.get(), "n");
  Mpi h = CurveValue(ctx.get(), "h");
  Mpi u = FromLittleEndian(ukm.data(), ukm.size());
  if (gcry_mpi_cmp_ui(u.get(), 0) == 0)
    gcry_mpi_set_ui(u.get(), 1);
  // K = (h * UKM * d mod n) * Q_peer
  Mpi scalar = NewMpi(true);
  gcry_mpi_mulm(scalar.get(), h.get(), u.get(), n.get());
  gcry_mpi_mulm(scalar.get(), scalar.get(), own.d.get(), n.get());
  Point q = PointFromPublicKey(peer.bytes);
  Point k(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(k.get(), scalar.get(), q.get(), ctx.get());
  PublicKey shared{};
  if (!PointToPublicKey(k.get(), ctx.get(), shared))
    throw CryptoError("key agreement gave the point at infinity");
  Digest256 kek = Streebog256(shared);
  Key256 out(kek);
  Wipe(kek.data(), kek.size());
  Wipe(shared.data(), shared.size());
  return out;
}

#endif // !KESTREL_PUBLIC_KEY_OPENSSL

// --- random ---

void RandomBytes(std::uint8_t *out, std::size_t length) {
  Initialise();
  {
    std::lock_guard<std::mutex> lock(RandomMutex());
    if (TestRandomSource()) {
      TestRandomSource()(out, length);
      return;
    }
  }
  gcry_randomize(out, length, GCRY_STRONG_RANDOM);
}

void SetRandomSourceForTests(RandomSource source) {
  std::lock_guard<std::mutex> lock(RandomMutex());
  TestRandomSource() = std::move(source);
}

} // namespace kestrel_provider::crypto
