// The OpenSSL + GOST engine calls the provider's OpenSSL backend makes for
// signatures and key agreement, made directly with keys built once: the
// floor for the provider's figures when it runs on that backend.
#pragma once

#include "bench/raw_gcrypt.h"

namespace bench::raw_openssl {

raw::Signature Sign(const raw::Digest &digest);
bool Verify(const raw::Digest &digest, const raw::Signature &signature);
raw::Digest Vko(const std::array<std::uint8_t, 8> &ukm);

} // namespace bench::raw_openssl
