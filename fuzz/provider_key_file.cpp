// The provider's secret key file: the parser as given and with the check
// value made right, and the key driver loading it from a key folder as the
// encryption key beside a valid signature key.
#include "fuzz_support.h"

#include "key_driver.h"
#include "platform/platform.h"

#include <algorithm>

using namespace kestrel_provider;

namespace {

// The code of the loading parse (private key only); the full parse takes
// no file the loading parse refuses, and both read the same key.
Code ParseAndCompare(const std::uint8_t *data, std::size_t size) {
  SecretKeyFile file, loaded;
  const Code c = ParseSecretKeyFile(data, size, file);
  const Code l = ParseSecretKeyFile(data, size, loaded, SecretKeyCheck::PrivateKey);
  FUZZ_CHECK(c == code::kOk || c == code::kKeyNotFound);
  FUZZ_CHECK(l == code::kOk || l == code::kKeyNotFound);
  if (c == code::kOk) {
    FUZZ_CHECK(l == code::kOk);
    FUZZ_CHECK(size == kSecretKeyFileSize);
    FUZZ_CHECK(IsValidId(file.id, file.kind));
    const Bytes rebuilt = BuildSecretKeyFile(file);
    FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), data, data + size));
  }
  if (l == code::kOk) {
    FUZZ_CHECK(IsValidId(loaded.id, loaded.kind));
    FUZZ_CHECK(std::all_of(loaded.publicKey.begin(), loaded.publicKey.end(),
                           [](std::uint8_t b) { return b == 0; }));
    if (c == code::kOk)
      FUZZ_CHECK(loaded.id == file.id && loaded.privateKey == file.privateKey);
  }
  return l;
}

// A key folder whose signature key is the stranger's; the encryption key is
// the input.
const std::string &KeyFolder() {
  static const std::string folder = [] {
    const std::string path = cefuzz::Environment::Get().Scratch("device");
    const Bytes signature =
        BuildSecretKeyFile(cefuzz::FixedKeys(Generation::G4, cefuzz::kStranger).signature);
    platform::WriteFileAtomically(JoinPath(path, kSignatureKeyFile), signature.data(),
                                  signature.size());
    return path;
  }();
  return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const Code parsed = ParseAndCompare(data, size);
  if (size == kSecretKeyFileSize) {
    Bytes fixed(data, data + size);
    const auto check = crypto::Streebog256(ByteView(fixed.data(), 128));
    std::copy(check.begin(), check.end(), fixed.begin() + 128);
    ParseAndCompare(fixed.data(), fixed.size());
  }

  const std::string &folder = KeyFolder();
  cefuzz::WriteScratchFile(folder + "/" + std::string(kEncryptionKeyFile), data, size);
  const std::size_t before = KeyDriver::Instance().Slots().size();
  const Code loaded = KeyDriver::Instance().Load(folder);
  if (loaded == code::kOk) {
    // Only a key file of the stranger's identifier completes the pair.
    FUZZ_CHECK(parsed == code::kOk);
    const auto slots = KeyDriver::Instance().Slots();
    FUZZ_CHECK(slots.size() == before + 1);
    FUZZ_CHECK(KeyDriver::Instance().Reset(slots.back().num) == code::kOk);
  } else {
    FUZZ_CHECK(loaded == code::kKeyNotFound || loaded == code::kKeyAlreadyLoaded);
    FUZZ_CHECK(KeyDriver::Instance().Slots().size() == before);
  }
  return 0;
}
