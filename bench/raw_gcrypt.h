// The libgcrypt calls the provider's libgcrypt backend makes, made directly:
// the floor the provider's figures are measured against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace bench::raw {

using Digest = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

// GOST 28147-89 CFB (TC26-Z S-box) with Streebog-256 over the ciphertext (the
// block digest the block's MACs cover), in 64 KiB chunks: encrypt from `in`
// to `out`; the digest lands in `digest`.
void EncryptPipeline(const std::uint8_t *in, std::uint8_t *out, std::size_t length, Digest &digest);
// The digest of the ciphertext, then decryption in place.
void DecryptPipeline(std::uint8_t *data, std::size_t length, Digest &digest);

Digest Streebog256(const std::uint8_t *data, std::size_t length);

// One GOST R 34.10-2012 signature over a digest with a key made at start,
// and its verification.
Signature Sign(const Digest &digest);
bool Verify(const Digest &digest, const Signature &signature);

// VKO GOST R 34.10-2012 (256-bit hash): scalar multiplication of a peer
// point, its affine coordinates and their Streebog hash.
Digest Vko(const std::array<std::uint8_t, 8> &ukm);

} // namespace bench::raw
