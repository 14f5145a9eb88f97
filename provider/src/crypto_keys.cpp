// The backend-neutral part of the public-key cryptography: the process's
// checked public keys, remembered by their exact bytes, and the operations
// on key bytes built on the key objects.
#include "crypto_backend.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace kestrel_provider::crypto {
namespace {

// How many checked keys are kept: far more than the correspondents a
// process deals with, few enough (about 1 KiB each) to stay small when
// hostile blocks are offered one after another.
constexpr std::size_t kMaxCheckedKeys = 4096;

class CheckedKeys {
public:
  std::shared_ptr<const CheckedPublicKey> Get(const PublicKey &key, Curve curve) {
    std::string name(1 + key.size(), '\0');
    name[0] = curve == Curve::Tc26A256 ? 'A' : 'T';
    std::copy(key.begin(), key.end(), name.begin() + 1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (const auto found = keys_.find(name); found != keys_.end())
        return found->second;
    }
    // Checked outside the lock: a scalar multiplication. Two threads may
    // both check a new key; either result is the same.
    auto checked = backend::NewCheckedPublicKey(key, curve);
    if (!checked)
      return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (keys_.size() >= kMaxCheckedKeys)
      keys_.erase(keys_.begin());
    keys_.emplace(std::move(name), checked);
    return checked;
  }

private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const CheckedPublicKey>> keys_;
};

CheckedKeys &TheCheckedKeys() {
  static CheckedKeys keys;
  return keys;
}

} // namespace

std::shared_ptr<const CheckedPublicKey> CheckPublicKey(const PublicKey &publicKey, Curve curve) {
  return TheCheckedKeys().Get(publicKey, curve);
}

bool IsValidPublicKey(const PublicKey &publicKey, Curve curve) {
  return CheckPublicKey(publicKey, curve) != nullptr;
}

Signature Sign(const Key256 &privateKey, const Digest256 &digest, Curve curve) {
  return Sign(PrivateKey(privateKey, curve), digest);
}

bool Verify(const PublicKey &publicKey, const Digest256 &digest, const Signature &signature,
            Curve curve) {
  const auto key = CheckPublicKey(publicKey, curve);
  return key != nullptr && Verify(*key, digest, signature);
}

Key256 Vko256(const Key256 &privateKey, const PublicKey &peer, const Block64 &ukm, Curve curve) {
  const auto key = CheckPublicKey(peer, curve);
  if (!key)
    throw CryptoError("invalid peer key");
  return Vko256(PrivateKey(privateKey, curve), *key, ukm);
}

} // namespace kestrel_provider::crypto
