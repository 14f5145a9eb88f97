// Direct OpenSSL calls through the GOST engine, with keys made once (the
// provider's backend rebuilds its key objects for every call).
#define OPENSSL_SUPPRESS_DEPRECATED
#include "bench/raw_openssl.h"

#include <openssl/engine.h>
#include <openssl/evp.h>

#include <stdexcept>

namespace bench::raw_openssl {
namespace {

void Ensure(int ok, const char *what) {
  if (ok <= 0)
    throw std::runtime_error(std::string("OpenSSL: ") + what);
}

struct Keys {
  ENGINE *engine = nullptr;
  EVP_PKEY *own = nullptr;  // kept for the life of the process
  EVP_PKEY *peer = nullptr; // (OpenSSL may shut down before static destructors)

  static EVP_PKEY *Generate(ENGINE *e) {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, e);
    Ensure(ctx != nullptr, "key context");
    Ensure(EVP_PKEY_keygen_init(ctx), "keygen");
    Ensure(EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "TCA"), "parameter set");
    EVP_PKEY *key = nullptr;
    Ensure(EVP_PKEY_keygen(ctx, &key), "keygen");
    EVP_PKEY_CTX_free(ctx);
    return key;
  }

  Keys() {
    ENGINE_load_builtin_engines();
    engine = ENGINE_by_id("gost");
    Ensure(engine != nullptr && ENGINE_init(engine) == 1, "GOST engine");
    Ensure(ENGINE_register_pkey_asn1_meths(engine) & ENGINE_register_pkey_meths(engine),
           "GOST key types");
    own = Generate(engine);
    peer = Generate(engine);
  }
};

Keys &TheKeys() {
  static Keys keys;
  return keys;
}

} // namespace

raw::Signature Sign(const raw::Digest &digest) {
  Keys &k = TheKeys();
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k.own, k.engine);
  raw::Signature out{};
  std::size_t length = out.size();
  Ensure(ctx != nullptr && EVP_PKEY_sign_init(ctx) > 0 &&
             EVP_PKEY_sign(ctx, out.data(), &length, digest.data(), digest.size()) > 0,
         "sign");
  EVP_PKEY_CTX_free(ctx);
  return out;
}

bool Verify(const raw::Digest &digest, const raw::Signature &signature) {
  Keys &k = TheKeys();
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k.own, k.engine);
  Ensure(ctx != nullptr && EVP_PKEY_verify_init(ctx) > 0, "verify");
  const int ok =
      EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest.data(), digest.size());
  EVP_PKEY_CTX_free(ctx);
  return ok == 1;
}

raw::Digest Vko(const std::array<std::uint8_t, 8> &ukm) {
  Keys &k = TheKeys();
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k.own, k.engine);
  raw::Digest out{};
  std::size_t length = out.size();
  Ensure(ctx != nullptr && EVP_PKEY_derive_init(ctx) > 0 &&
             EVP_PKEY_derive_set_peer(ctx, k.peer) > 0 &&
             EVP_PKEY_CTX_ctrl(ctx, -1, -1, EVP_PKEY_CTRL_SET_IV, static_cast<int>(ukm.size()),
                               const_cast<std::uint8_t *>(ukm.data())) > 0 &&
             EVP_PKEY_derive(ctx, out.data(), &length) > 0,
         "key agreement");
  EVP_PKEY_CTX_free(ctx);
  return out;
}

} // namespace bench::raw_openssl
