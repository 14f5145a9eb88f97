// Key pair generation.
#include "keygen.h"

#include <stdexcept>

namespace kestrel_provider {
namespace {

SecretKeyFile MakeKey(Generation generation, KeyKind kind, std::string id) {
  SecretKeyFile key;
  key.generation = generation;
  key.kind = kind;
  key.id = std::move(id);
  key.privateKey = crypto::GeneratePrivateKey();
  key.publicKey = crypto::DerivePublicKey(key.privateKey);
  return key;
}

// The public key block, signed by the key itself.
Bytes PublicBlock(const SecretKeyFile &key) {
  return BuildSignedPublicKeyBlock({key.generation, key.kind, key.id, key.publicKey, {}},
                                   key.privateKey);
}

} // namespace

GeneratedKeys GenerateKeys(Generation generation, std::string_view number,
                           std::string_view series) {
  const std::string id = std::string(number) + std::string(series);
  if (number.size() != kKeyNumberLength || series.size() != kSeriesLength ||
      !IsValidId(id, KeyKind::Encryption))
    throw std::invalid_argument("key number must be 4 digits and series 6 digits");
  GeneratedKeys keys;
  keys.encryption = MakeKey(generation, KeyKind::Encryption, id);
  keys.signature = MakeKey(generation, KeyKind::Signature, id + "01");
  keys.encryptionPublic = PublicBlock(keys.encryption);
  keys.signaturePublic = PublicBlock(keys.signature);
  return keys;
}

} // namespace kestrel_provider
