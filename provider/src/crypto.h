// The provider's cryptography behind one small interface: hashing (GOST R
// 34.11-2012 "Streebog"), MACs (GOST 28147-89 MAC, HMAC-Streebog-256 and the
// KDF built on it), the GOST 28147-89 cipher with the TC26 "Z" (Magma)
// S-box, GOST R 34.10-2012 signatures and VKO key agreement on the 256-bit
// curve id-tc26-gost-3410-2012-256-paramSetA, and random numbers.
//
// Byte conventions (pinned by the known-answer tests):
// - digests are byte strings in the order the hash produces them;
// - a private key is 32 bytes, little-endian; a public key is 64 bytes,
//   x then y, each 32 bytes little-endian (the GOST/RFC 4491 order);
// - a digest enters signing as the little-endian integer its bytes spell;
// - a signature is 64 bytes: s then r, each 32 bytes big-endian;
// - the cipher uses the GOST 28147-89 byte order (Magma of RFC 8891 with
//   each key word and each block byte-reversed).
//
// Every function throws CryptoError when the library under it fails.
#pragma once

#include "bytes.h"

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace kestrel_provider::crypto {

class CryptoError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

using Digest256 = std::array<std::uint8_t, 32>;
using Digest512 = std::array<std::uint8_t, 64>;
using PublicKey = std::array<std::uint8_t, 64>;
using Signature = std::array<std::uint8_t, 64>;
using Mac64 = std::array<std::uint8_t, 8>;
using Block64 = std::array<std::uint8_t, 8>;

// Curves: the product curve and the test curve of the GOST R 34.10-2012
// examples (used by the known-answer tests only).
enum class Curve { Tc26A256, Test256 };

// Makes sure the backend is initialised; every function calls it itself.
void Initialise();

// --- hashing ---
Digest256 Streebog256(ByteView data);
Digest512 Streebog512(ByteView data);

class Streebog256Hasher {
public:
  Streebog256Hasher();
  ~Streebog256Hasher();
  Streebog256Hasher(const Streebog256Hasher &) = delete;
  Streebog256Hasher &operator=(const Streebog256Hasher &) = delete;
  void Update(ByteView data);
  Digest256 Finish();
  // The digest of what was fed so far followed by `tail`; this hasher stays
  // as it was and can be fed further (one pass over a long prefix serves
  // several digests).
  Digest256 DigestWith(ByteView tail) const;

private:
  void *handle_;
};

// The number of bytes this thread has fed to Streebog-256 (both ways above),
// so tests and benchmarks can count the hashing work an operation does.
std::uint64_t HashedBytes();

// --- MACs and key derivation ---
Digest256 HmacStreebog256(ByteView key, ByteView data);
// KDF_GOSTR3411_2012_256 (R 50.1.113-2016): HMAC(key, 01 || label || 00 || seed || 01 00).
Key256 Kdf256(const Key256 &key, std::string_view label, ByteView seed);

// GOST 28147-89 MAC (all 64 bits of the final state), TC26-Z S-box,
// optional 8-byte starting value.
class Gost28147Mac {
public:
  explicit Gost28147Mac(const Key256 &key, const Block64 *iv = nullptr);
  ~Gost28147Mac();
  Gost28147Mac(const Gost28147Mac &) = delete;
  Gost28147Mac &operator=(const Gost28147Mac &) = delete;
  void Update(ByteView data);
  Mac64 Finish();

private:
  void *handle_;
};
Mac64 Gost28147Imit(const Key256 &key, ByteView data, const Block64 *iv = nullptr);

// --- cipher ---
enum class Direction { Encrypt, Decrypt };

// GOST 28147-89 in CFB mode (RFC 4357 usage) with the TC26-Z S-box,
// working in place on data of any length.
class Gost28147Cfb {
public:
  Gost28147Cfb(const Key256 &key, const Block64 &iv, Direction direction);
  ~Gost28147Cfb();
  Gost28147Cfb(const Gost28147Cfb &) = delete;
  Gost28147Cfb &operator=(const Gost28147Cfb &) = delete;
  void Process(std::uint8_t *data, std::size_t length);
  // From `in` to a separate, non-overlapping `out`.
  void Process(const std::uint8_t *in, std::uint8_t *out, std::size_t length);

private:
  void *handle_;
  Direction direction_;
};

// GOST 28147-89 in ECB mode, in place; length a multiple of 8.
void Gost28147Ecb(const Key256 &key, std::uint8_t *data, std::size_t length, Direction direction);

// --- public key operations ---
// A private key with the backend's key object for it, made at the first
// signature or key agreement and kept until the key goes (the key driver
// keeps one per loaded key, so repeated calls do not build it again).
class PrivateKey {
public:
  explicit PrivateKey(const Key256 &secret, Curve curve = Curve::Tc26A256);
  ~PrivateKey();
  PrivateKey(const PrivateKey &) = delete;
  PrivateKey &operator=(const PrivateKey &) = delete;
  struct Object; // the backend's

  // The backend's key object, made at the first call; throws CryptoError.
  const Object &Get() const;

private:
  Key256 secret_;
  Curve curve_;
  mutable std::once_flag once_;
  mutable std::unique_ptr<Object> object_;
};

// A public key found to be a point of the curve's prime-order group, with
// the backend's key object for it. Made through CheckPublicKey only.
struct CheckedPublicKey;

// The checked key for these exact 64 bytes, or null when they are not a
// point of the curve's prime-order group. Keys that passed are remembered
// per process by their exact bytes (a bounded number of them), so a point is
// validated and its key object built once.
std::shared_ptr<const CheckedPublicKey> CheckPublicKey(const PublicKey &publicKey,
                                                       Curve curve = Curve::Tc26A256);

Signature Sign(const PrivateKey &privateKey, const Digest256 &digest);
bool Verify(const CheckedPublicKey &publicKey, const Digest256 &digest, const Signature &signature);
Key256 Vko256(const PrivateKey &privateKey, const CheckedPublicKey &peer, const Block64 &ukm);

// The same on key bytes (tests, key generation, one-off checks).
// A fresh private key (1 <= d < q) from the random source.
Key256 GeneratePrivateKey(Curve curve = Curve::Tc26A256);
// True when the private key is in range: 1 <= d < q (no scalar
// multiplication).
bool IsValidPrivateKey(const Key256 &privateKey, Curve curve = Curve::Tc26A256);
PublicKey DerivePublicKey(const Key256 &privateKey, Curve curve = Curve::Tc26A256);
// True when the bytes are a point of the curve's prime-order group
// (CheckPublicKey gives a key).
bool IsValidPublicKey(const PublicKey &publicKey, Curve curve = Curve::Tc26A256);
Signature Sign(const Key256 &privateKey, const Digest256 &digest, Curve curve = Curve::Tc26A256);
bool Verify(const PublicKey &publicKey, const Digest256 &digest, const Signature &signature,
            Curve curve = Curve::Tc26A256);
// VKO GOST R 34.10-2012 with the 256-bit hash (RFC 7836 section 4.3.1): the
// key-encryption key that both sides derive from their own private key,
// the other side's public key and the 8-byte UKM. Throws CryptoError for an
// invalid peer key.
Key256 Vko256(const Key256 &privateKey, const PublicKey &peer, const Block64 &ukm,
              Curve curve = Curve::Tc26A256);

// --- random ---
void RandomBytes(std::uint8_t *out, std::size_t length);

// Tests only: replaces the random source (nullptr restores the real one).
// Never called by the library or its tool.
using RandomSource = std::function<void(std::uint8_t *, std::size_t)>;
void SetRandomSourceForTests(RandomSource source);

} // namespace kestrel_provider::crypto
