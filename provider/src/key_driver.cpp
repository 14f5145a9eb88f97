// The process-wide key driver and key devices.
#include "key_driver.h"

#include "platform/platform.h"

#include <algorithm>

namespace kestrel_provider {
namespace {

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// Reads one secret key file of the expected kind.
Code ReadKeyFile(const std::string &path, KeyKind kind, SecretKeyFile &out) {
  if (!platform::FileExists(path))
    return code::kKeyNotFound;
  platform::ReadOnlyFile file(path);
  if (!file.IsOpen())
    return code::kDeviceError;
  if (file.Size() != static_cast<std::int64_t>(kSecretKeyFileSize))
    return code::kKeyNotFound;
  SecretBuffer buffer(kSecretKeyFileSize);
  if (file.Read(buffer.bytes().data(), kSecretKeyFileSize) != kSecretKeyFileSize)
    return code::kDeviceError;
  // A loaded key is used by its private key alone, so the stored public key
  // is not checked against it (a scalar multiplication per file, a third of
  // a one-file command): it is not read at all.
  if (Code c = ParseSecretKeyFile(buffer.bytes().data(), kSecretKeyFileSize, out,
                                  SecretKeyCheck::PrivateKey);
      c != 0)
    return c;
  return out.kind == kind ? code::kOk : code::kKeyNotFound;
}

} // namespace

std::string JoinPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '\\' && path.back() != '/')
    path += '\\';
  path += name;
  return path;
}

Code ResolveKeyDirectory(std::string_view keyPath, std::string &directory) {
  const std::string upper = UpperAscii(keyPath);
  const bool isDevice =
      std::find(kKeyDeviceNames.begin(), kKeyDeviceNames.end(), upper) != kKeyDeviceNames.end();
  if (isDevice) {
    std::string variable = "KESTREL_DEVICE_" + upper;
    std::replace(variable.begin(), variable.end(), ':', '_');
    std::replace(variable.begin(), variable.end(), '.', '_');
    const auto value = platform::GetEnvironment(variable);
    if (!value || value->empty())
      return code::kDeviceError;
    directory = *value;
  } else {
    directory = std::string(keyPath);
  }
  if (directory.empty() || !platform::DirectoryExists(directory))
    return code::kDeviceError;
  return code::kOk;
}

KeyDriver &KeyDriver::Instance() {
  static KeyDriver driver;
  return driver;
}

Code KeyDriver::Load(std::string_view keyPath) {
  std::string directory;
  if (Code c = ResolveKeyDirectory(keyPath, directory); c != 0)
    return c;
  SecretKeyFile encryption, signature;
  if (Code c =
          ReadKeyFile(JoinPath(directory, kEncryptionKeyFile), KeyKind::Encryption, encryption);
      c != 0)
    return c;
  if (Code c = ReadKeyFile(JoinPath(directory, kSignatureKeyFile), KeyKind::Signature, signature);
      c != 0)
    return c;
  return LoadPair(encryption, signature, directory);
}

Code KeyDriver::LoadPair(const SecretKeyFile &encryption, const SecretKeyFile &signature,
                         std::string_view device) {
  // The signature key of a pair is the encryption identifier plus two characters.
  if (encryption.kind != KeyKind::Encryption || signature.kind != KeyKind::Signature ||
      signature.id.compare(0, kEncryptionIdLength, encryption.id) != 0)
    return code::kKeyNotFound;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Slot &slot : slots_)
    if (slot.used && (slot.encryption.id == encryption.id || slot.signature.id == signature.id))
      return code::kKeyAlreadyLoaded;
  for (Slot &slot : slots_) {
    if (slot.used)
      continue;
    slot.used = true;
    const std::uint64_t load = ++loads_;
    for (auto [key, file] :
         {std::pair{&slot.encryption, &encryption}, {&slot.signature, &signature}})
      *key = {file->id,
              file->privateKey,
              std::string(device),
              std::make_shared<const crypto::PrivateKey>(file->privateKey),
              load};
    return code::kOk;
  }
  return code::kNoFreeSlot;
}

Code KeyDriver::Reset(std::string_view id) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Slot &slot : slots_) {
    if (slot.used && (slot.encryption.id == id || slot.signature.id == id)) {
      Release(slot);
      return code::kOk;
    }
  }
  return code::kKeyNotFound;
}

std::vector<SlotRecord> KeyDriver::Slots() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SlotRecord> out;
  for (int i = 0; i < kSlotCount; ++i) {
    const Slot &slot = slots_[static_cast<std::size_t>(i)];
    if (slot.used)
      out.push_back({slot.encryption.id, slot.signature.id, i});
  }
  return out;
}

std::optional<LoadedKey> KeyDriver::Find(std::string_view id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Slot &slot : slots_) {
    if (!slot.used)
      continue;
    if (slot.encryption.id == id)
      return slot.encryption;
    if (slot.signature.id == id)
      return slot.signature;
  }
  return std::nullopt;
}

std::optional<LoadedKey> KeyDriver::EncryptionKeyOfPair(std::string_view id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Slot &slot : slots_)
    if (slot.used && (slot.encryption.id == id || slot.signature.id == id))
      return slot.encryption;
  return std::nullopt;
}

std::optional<LoadedKey> KeyDriver::Slot0(KeyKind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot &slot = slots_[0];
  if (!slot.used)
    return std::nullopt;
  return kind == KeyKind::Encryption ? slot.encryption : slot.signature;
}

std::vector<LoadedKey> KeyDriver::EncryptionKeysNumbered(std::string_view number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LoadedKey> out;
  for (const Slot &slot : slots_)
    if (slot.used && slot.encryption.id.compare(0, kKeyNumberLength, number) == 0)
      out.push_back(slot.encryption);
  return out;
}

bool KeyDriver::HasSeries(std::string_view series) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Slot &slot : slots_)
    if (slot.used && slot.encryption.id.compare(kKeyNumberLength, kSeriesLength, series) == 0)
      return true;
  return false;
}

void KeyDriver::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Slot &slot : slots_)
    Release(slot);
}

void KeyDriver::Release(Slot &slot) {
  for (LoadedKey *key : {&slot.encryption, &slot.signature}) {
    key->id.clear();
    key->privateKey = Key256();
    key->device.clear();
    key->object.reset();
    key->load = 0;
  }
  slot.used = false;
}

} // namespace kestrel_provider
