// The public key directory calls: adding a public key from a key file,
// deleting one, and copying one out of a directory.
#include "kestrel/call_arguments.h"
#include "kestrel/kestrel_dll.h"
#include "kestrel/key_identifiers.h"

#include <cstddef>

namespace {

// The letter the library expects for the owner's key kind: 'E' for kind 0
// with a 10-character encryption key number, 'S' for kind 1 with a
// 12-character signature key number; '\0' for any other combination.
char OwnerKindLetter(const std::string &ownerKeyNumber, uint8_t kind) {
  if (kind == 0 && ownerKeyNumber.size() == kestrel::kEncryptionKeyIdLength)
    return 'E';
  if (kind == 1 && ownerKeyNumber.size() == kestrel::kSignatureKeyIdLength)
    return 'S';
  return '\0';
}

} // namespace

int32_t TKestrelDLL::AddPublicKey(const std::string &fileName, const std::string &directory,
                                  const std::string &ownerKeyNumber, uint8_t kind) {
  if (!EntryPointsPresent(FAddOpenKey))
    return kNotInitialized;
  if (!platform::FileExists(fileName))
    return kKeyFileNotFound;
  if (!platform::DirectoryExists(directory))
    return kDirectoryNotFound;
  const char kindLetter = OwnerKindLetter(ownerKeyNumber, kind);
  if (kindLetter == '\0')
    return kBadUID;

  const std::size_t blockSize = kestrel::RecordSize(FUnit.LoadedPublicKeyFileSize());
  std::string block(blockSize, '\0');
  {
    platform::ReadOnlyFile file(fileName); // denies writers while we read
    if (!file.IsOpen())
      return kCantOpenKeyFile;
    if (file.Size() != static_cast<std::int64_t>(blockSize))
      return CE_ERR_PUBLIC_KEY_FILE; // texts of these two: the engine's table
    if (file.Read(block.data(), blockSize) != blockSize)
      return CE_ERR_READ_PUBLIC_KEY_FILE;
  }
  return kestrel::Widen(
      FAddOpenKey(directory.c_str(), block.data(), ownerKeyNumber.c_str(), kindLetter));
}

int32_t TKestrelDLL::DeletePublicKey(const std::string &directory,
                                     const std::string &ownerKeyNumber, uint8_t kind,
                                     const std::string &keyNumber) {
  if (!EntryPointsPresent(FDelOpenKey))
    return kNotInitialized;
  if (!platform::DirectoryExists(directory))
    return kDirectoryNotFound;
  const char kindLetter = OwnerKindLetter(ownerKeyNumber, kind);
  if (kindLetter == '\0')
    return kBadUID;
  return kestrel::Widen(
      FDelOpenKey(directory.c_str(), keyNumber.c_str(), ownerKeyNumber.c_str(), kindLetter));
}

int32_t TKestrelDLL::ExtractPublicKey(const std::string &keyNumber, const std::string &directory,
                                      std::string &keyBlock) {
  keyBlock.assign(kestrel::RecordSize(FUnit.LoadedPublicKeyFileSize()), '\0');
  // The engine calls this only on a complete binding; a missing entry point
  // is still answered with a code rather than a call through nil.
  if (FExtractKey == nullptr)
    return kNotInitialized;
  return kestrel::Widen(FExtractKey(directory.c_str(), keyNumber.c_str(), keyBlock.data()));
}
