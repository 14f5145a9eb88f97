// The provider's signed block (data with signature records appended): the
// record parser, the check of every signature and the removal of the newest
// ones.
#include "fuzz_support.h"

#include "operations.h"

#include <algorithm>

using namespace kestrel_provider;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::vector<AttachedSignature> signatures = ParseAttachedSignatures(data, size);
  FUZZ_CHECK(signatures.size() <= 255);
  std::size_t end = size;
  for (const AttachedSignature &s : signatures) {
    // Newest first, each record right behind the bytes it covers.
    FUZZ_CHECK(end >= kAttachedRecordSize);
    FUZZ_CHECK(s.coveredLength == end - kAttachedRecordSize);
    FUZZ_CHECK(IsValidId(s.signer, KeyKind::Signature));
    std::uint8_t record[kAttachedRecordSize];
    BuildAttachedRecord(s, record);
    FUZZ_CHECK(std::equal(record, record + kAttachedRecordSize, data + s.coveredLength));
    end = s.coveredLength;
  }

  std::vector<SignatureStatus> statuses;
  const Code checked = CheckAttached(
      Generation::G4, cefuzz::Environment::Get().PublicDir(Generation::G4), data, size, statuses);
  FUZZ_CHECK(checked == code::kOk);
  FUZZ_CHECK(statuses.size() == signatures.size());
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    FUZZ_CHECK(statuses[i].signer == signatures[i].signer);
    FUZZ_CHECK(statuses[i].verdict <= kVerdictNoKey);
  }

  const int count = static_cast<int>(signatures.size());
  for (int remove : {-1, 0, 1, count, count + 1}) {
    std::size_t length = size;
    const Code c = DeleteAttached(data, length, remove);
    if (signatures.empty()) {
      FUZZ_CHECK(c == code::kNotSigned);
      FUZZ_CHECK(length == size);
    } else if (remove >= 1 && remove <= count) {
      FUZZ_CHECK(c == code::kOk);
      FUZZ_CHECK(length == signatures[static_cast<std::size_t>(remove) - 1].coveredLength);
    } else {
      FUZZ_CHECK(c == code::kBadParameter);
      FUZZ_CHECK(length == size);
    }
  }
  return 0;
}
