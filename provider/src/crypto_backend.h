// What each public-key backend (crypto_gcrypt.cpp or crypto_openssl.cpp)
// gives the backend-neutral part of the provider's cryptography
// (crypto_keys.cpp).
#pragma once

#include "crypto.h"

namespace kestrel_provider::crypto::backend {

// A checked key for the bytes, or null when they are not a point of the
// curve's prime-order group. Not remembered: CheckPublicKey does that.
std::shared_ptr<const CheckedPublicKey> NewCheckedPublicKey(const PublicKey &publicKey,
                                                            Curve curve);

} // namespace kestrel_provider::crypto::backend
