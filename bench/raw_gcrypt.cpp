// Direct libgcrypt calls with the same algorithms, parameters and chunking
// as the provider's libgcrypt backend; keys are made once per process.
#include "bench/raw_gcrypt.h"

#include <gcrypt.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

namespace bench::raw {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr const char *kSboxZ = "1.2.643.7.1.2.5.1.1";
constexpr const char *kCurve = "GOST2012-256-A";

void Check(gcry_error_t e, const char *what) {
  if (e != 0)
    throw std::runtime_error(std::string(what) + ": " + gcry_strerror(e));
}

struct Cipher {
  gcry_cipher_hd_t h = nullptr;
  explicit Cipher(const std::uint8_t *key, const std::uint8_t *iv) {
    Check(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_CFB, 0), "cipher");
    Check(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char *>(kSboxZ), 0), "s-box");
    Check(gcry_cipher_setkey(h, key, 32), "key");
    Check(gcry_cipher_setiv(h, iv, 8), "iv");
  }
  ~Cipher() { gcry_cipher_close(h); }
};

struct Hasher {
  gcry_md_hd_t h = nullptr;
  Hasher() { Check(gcry_md_open(&h, GCRY_MD_STRIBOG256, 0), "hash"); }
  ~Hasher() { gcry_md_close(h); }
  void Read(Digest &digest) {
    const unsigned char *p = gcry_md_read(h, GCRY_MD_STRIBOG256);
    if (p == nullptr)
      throw std::runtime_error("hash read");
    std::copy(p, p + digest.size(), digest.begin());
  }
};

struct Keys {
  gcry_sexp_t secret = nullptr;
  gcry_sexp_t pub = nullptr;
  gcry_ctx_t curve = nullptr;
  gcry_mpi_t d = nullptr;
  gcry_mpi_point_t peer = nullptr;
  std::array<std::uint8_t, 32> cipherKey{};
  std::array<std::uint8_t, 8> iv{};

  Keys() {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr)
      throw std::runtime_error("libgcrypt too old");
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    gcry_sexp_t keySpec = nullptr, pair = nullptr;
    Check(gcry_sexp_build(&keySpec, nullptr, "(genkey(ecc(curve %s)))", kCurve), "key parameters");
    Check(gcry_pk_genkey(&pair, keySpec), "genkey");
    secret = gcry_sexp_find_token(pair, "private-key", 0);
    pub = gcry_sexp_find_token(pair, "public-key", 0);
    gcry_sexp_release(keySpec);
    gcry_sexp_release(pair);
    Check(gcry_mpi_ec_new(&curve, nullptr, kCurve), "curve");
    gcry_sexp_t dToken = gcry_sexp_find_token(secret, "d", 0);
    d = gcry_sexp_nth_mpi(dToken, 1, GCRYMPI_FMT_USG);
    gcry_sexp_release(dToken);
    // The peer: a second point, the generator times a random scalar.
    gcry_mpi_point_t g = gcry_mpi_ec_get_point("g", curve, 1);
    gcry_mpi_t k = gcry_mpi_new(256);
    gcry_mpi_randomize(k, 250, GCRY_STRONG_RANDOM);
    peer = gcry_mpi_point_new(0);
    gcry_mpi_ec_mul(peer, k, g, curve);
    gcry_mpi_point_release(g);
    gcry_mpi_release(k);
    gcry_randomize(cipherKey.data(), cipherKey.size(), GCRY_STRONG_RANDOM);
    gcry_randomize(iv.data(), iv.size(), GCRY_STRONG_RANDOM);
  }
};

Keys &TheKeys() {
  static Keys keys;
  return keys;
}

gcry_mpi_t DigestMpi(const Digest &digest) {
  Digest be;
  std::reverse_copy(digest.begin(), digest.end(), be.begin());
  gcry_mpi_t m = nullptr;
  Check(gcry_mpi_scan(&m, GCRYMPI_FMT_USG, be.data(), be.size(), nullptr), "mpi");
  return m;
}

} // namespace

void EncryptPipeline(const std::uint8_t *in, std::uint8_t *out, std::size_t length,
                     Digest &digest) {
  Keys &k = TheKeys();
  Cipher cipher(k.cipherKey.data(), k.iv.data());
  Hasher hasher;
  for (std::size_t done = 0; done < length;) {
    const std::size_t n = std::min(kChunk, length - done);
    Check(gcry_cipher_encrypt(cipher.h, out + done, n, in + done, n), "encrypt");
    gcry_md_write(hasher.h, out + done, n);
    done += n;
  }
  hasher.Read(digest);
}

void DecryptPipeline(std::uint8_t *data, std::size_t length, Digest &digest) {
  Keys &k = TheKeys();
  Hasher hasher;
  gcry_md_write(hasher.h, data, length);
  hasher.Read(digest);
  Cipher cipher(k.cipherKey.data(), k.iv.data());
  Check(gcry_cipher_decrypt(cipher.h, data, length, nullptr, 0), "decrypt");
}

Digest Streebog256(const std::uint8_t *data, std::size_t length) {
  TheKeys();
  Digest d{};
  gcry_md_hash_buffer(GCRY_MD_STRIBOG256, d.data(), data, length);
  return d;
}

Signature Sign(const Digest &digest) {
  Keys &k = TheKeys();
  gcry_mpi_t e = DigestMpi(digest);
  gcry_sexp_t data = nullptr, sig = nullptr;
  Check(gcry_sexp_build(&data, nullptr, "(data(flags gost)(value %m))", e), "data");
  Check(gcry_pk_sign(&sig, data, k.secret), "sign");
  Signature out{};
  const char *names[2] = {"s", "r"};
  for (int i = 0; i < 2; ++i) {
    gcry_sexp_t token = gcry_sexp_find_token(sig, names[i], 0);
    gcry_mpi_t v = gcry_sexp_nth_mpi(token, 1, GCRYMPI_FMT_USG);
    std::size_t written = 0;
    std::array<std::uint8_t, 32> buffer{};
    gcry_mpi_print(GCRYMPI_FMT_USG, buffer.data(), buffer.size(), &written, v);
    std::copy(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(written),
              out.begin() + 32 * i + static_cast<std::ptrdiff_t>(32 - written));
    gcry_mpi_release(v);
    gcry_sexp_release(token);
  }
  gcry_sexp_release(sig);
  gcry_sexp_release(data);
  gcry_mpi_release(e);
  return out;
}

bool Verify(const Digest &digest, const Signature &signature) {
  Keys &k = TheKeys();
  gcry_mpi_t e = DigestMpi(digest);
  gcry_mpi_t s = nullptr, r = nullptr;
  Check(gcry_mpi_scan(&s, GCRYMPI_FMT_USG, signature.data(), 32, nullptr), "s");
  Check(gcry_mpi_scan(&r, GCRYMPI_FMT_USG, signature.data() + 32, 32, nullptr), "r");
  gcry_sexp_t data = nullptr, sig = nullptr;
  Check(gcry_sexp_build(&data, nullptr, "(data(flags gost)(value %m))", e), "data");
  Check(gcry_sexp_build(&sig, nullptr, "(sig-val(gost(r %m)(s %m)))", r, s), "sig");
  const bool ok = gcry_pk_verify(sig, data, k.pub) == 0;
  gcry_sexp_release(sig);
  gcry_sexp_release(data);
  gcry_mpi_release(r);
  gcry_mpi_release(s);
  gcry_mpi_release(e);
  return ok;
}

Digest Vko(const std::array<std::uint8_t, 8> &ukm) {
  Keys &k = TheKeys();
  std::array<std::uint8_t, 8> be;
  std::reverse_copy(ukm.begin(), ukm.end(), be.begin());
  gcry_mpi_t u = nullptr;
  Check(gcry_mpi_scan(&u, GCRYMPI_FMT_USG, be.data(), be.size(), nullptr), "ukm");
  gcry_mpi_t n = gcry_mpi_ec_get_mpi("n", k.curve, 1);
  gcry_mpi_t h = gcry_mpi_ec_get_mpi("h", k.curve, 1);
  gcry_mpi_t scalar = gcry_mpi_new(0);
  gcry_mpi_mulm(scalar, h, u, n);
  gcry_mpi_mulm(scalar, scalar, k.d, n);
  gcry_mpi_point_t point = gcry_mpi_point_new(0);
  gcry_mpi_ec_mul(point, scalar, k.peer, k.curve);
  gcry_mpi_t x = gcry_mpi_new(0), y = gcry_mpi_new(0);
  gcry_mpi_ec_get_affine(x, y, point, k.curve);
  std::array<std::uint8_t, 64> shared{};
  for (int i = 0; i < 2; ++i) {
    std::array<std::uint8_t, 32> buffer{};
    std::size_t written = 0;
    gcry_mpi_print(GCRYMPI_FMT_USG, buffer.data(), buffer.size(), &written, i == 0 ? x : y);
    // little-endian coordinates, x then y
    for (std::size_t j = 0; j < written; ++j)
      shared[static_cast<std::size_t>(32 * i) + j] = buffer[written - 1 - j];
  }
  Digest out{};
  gcry_md_hash_buffer(GCRY_MD_STRIBOG256, out.data(), shared.data(), shared.size());
  for (gcry_mpi_t m : {u, n, h, scalar, x, y})
    gcry_mpi_release(m);
  gcry_mpi_point_release(point);
  return out;
}

} // namespace bench::raw
