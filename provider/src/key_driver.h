// The key driver: 16 slots of loaded key pairs shared by the whole process.
// A slot holds one user's encryption key (10-character identifier) and
// signature key (12-character identifier); secrets are wiped when a slot is
// freed.
#pragma once

#include "formats.h"

#include <array>
#include <memory>
#include <mutex>
#include <optional>

namespace kestrel_provider {

constexpr int kSlotCount = 16;

// Names of removable key devices; a key path equal to one of them (letter
// case aside) is resolved through the environment variable
// KESTREL_DEVICE_<name with ':' and '.' as '_'>.
inline constexpr std::array<std::string_view, 6> kKeyDeviceNames = {
    "TM:A4.P", "TM:COM0", "TM:COM1", "TM:COM2", "SC:GSR4", "SC:TOWT"};

// File names of the two secret keys in a key directory.
inline constexpr std::string_view kEncryptionKeyFile = "encrypt.key";
inline constexpr std::string_view kSignatureKeyFile = "sign.key";

// The directory a key path stands for, or kDeviceError when the device is
// not attached (unset variable, missing directory).
Code ResolveKeyDirectory(std::string_view keyPath, std::string &directory);

// Joins a Windows-form directory and a file name.
std::string JoinPath(std::string_view directory, std::string_view name);

// A loaded key holds no public key: nothing a loaded key does needs its
// own, and the one its file stores is not checked against the private key
// at load (see SecretKeyCheck). Where it would be needed, it is derived.
struct LoadedKey {
  std::string id;
  Key256 privateKey;
  // The folder the pair was read from (empty for a pair loaded from memory):
  // where the versions of the owner's directories seen are kept.
  std::string device;
  // The backend's key object, made at first use and shared by the copies
  // handed out; the slot lets go of it when the pair is reset.
  std::shared_ptr<const crypto::PrivateKey> object;
  // Tells this load of the pair from every other load in the process (the
  // same pair loaded again gets another): what was checked with the key
  // belongs to one load.
  std::uint64_t load = 0;
};

struct SlotRecord {
  std::string num;  // encryption key identifier
  std::string numP; // signature key identifier
  int slotNo = 0;
};

class KeyDriver {
public:
  static KeyDriver &Instance();

  // Reads the key pair from the key path and loads it into the lowest free
  // slot: 0, kDeviceError, kKeyNotFound, kKeyAlreadyLoaded or kNoFreeSlot.
  Code Load(std::string_view keyPath);
  // Loads a pair already read (used by Load and by tests); `device` is the
  // folder it came from, if any.
  Code LoadPair(const SecretKeyFile &encryption, const SecretKeyFile &signature,
                std::string_view device = {});
  // Frees the slot holding the key with this identifier: 0 or kKeyNotFound.
  Code Reset(std::string_view id);
  // Occupied slots in slot order.
  std::vector<SlotRecord> Slots() const;
  // The key with this identifier (either kind) from any slot.
  std::optional<LoadedKey> Find(std::string_view id) const;
  // The encryption key of the slot whose signature or encryption key has
  // this identifier (the key that protects that user's directory), in
  // whichever slot it is.
  std::optional<LoadedKey> EncryptionKeyOfPair(std::string_view id) const;
  // The encryption and signature keys in slot 0, if it is occupied.
  std::optional<LoadedKey> Slot0(KeyKind kind) const;
  // Encryption keys whose key number (first four characters) is given.
  std::vector<LoadedKey> EncryptionKeysNumbered(std::string_view number) const;
  // True when some loaded key has this series (characters 5 to 10).
  bool HasSeries(std::string_view series) const;
  // Empties every slot (tests and process end).
  void Clear();

private:
  struct Slot {
    bool used = false;
    LoadedKey encryption;
    LoadedKey signature;
  };
  static void Release(Slot &slot);
  mutable std::mutex mutex_;
  std::uint64_t loads_ = 0;
  std::array<Slot, kSlotCount> slots_;
};

} // namespace kestrel_provider
