// The provider's detached signature: the parser and verification of the
// corpus message against the directory.
#include "fuzz_support.h"

#include "operations.h"

#include <algorithm>

using namespace kestrel_provider;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  DetachedSignature signature;
  const Code parsed = ParseDetachedSignature(data, size, signature);
  FUZZ_CHECK(parsed == code::kOk || parsed == code::kNotSigned || parsed == code::kBadLength);
  if (parsed == code::kOk) {
    FUZZ_CHECK(size == kDetachedSignatureSize);
    FUZZ_CHECK(IsValidId(signature.signer, KeyKind::Signature));
    const Bytes rebuilt = BuildDetachedSignature(signature);
    FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), data, data + size));
  }

  const auto *message = reinterpret_cast<const std::uint8_t *>(cefuzz::kSignedMessage.data());
  std::vector<SignatureStatus> statuses;
  const Code c =
      VerifyDetached(Generation::G4, cefuzz::Environment::Get().PublicDir(Generation::G4), message,
                     cefuzz::kSignedMessage.size(), data, size, statuses);
  if (parsed != code::kOk) {
    FUZZ_CHECK(c == parsed);
  } else {
    FUZZ_CHECK(c == code::kOk);
    FUZZ_CHECK(statuses.size() == 1);
    FUZZ_CHECK(statuses[0].signer == signature.signer);
    FUZZ_CHECK(statuses[0].verdict <= kVerdictNoKey);
  }
  return 0;
}
