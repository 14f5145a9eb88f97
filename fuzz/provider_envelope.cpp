// The provider's encrypted block: the header parser, the sender and
// recipient readers, and decryption by both users of the directory. A block
// that does not decrypt must come back unchanged.
#include "fuzz_support.h"

#include "operations.h"

#include <algorithm>
#include <cstring>

using namespace kestrel_provider;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  EnvelopeHeader header;
  const Code parsed = ParseEnvelopeHeader(data, size, header);
  FUZZ_CHECK(parsed == code::kOk || parsed == code::kNotEncrypted);
  if (parsed == code::kOk) {
    FUZZ_CHECK(!header.recipients.empty());
    FUZZ_CHECK(header.payloadOffset == EnvelopeOverhead(header.recipients.size()));
    FUZZ_CHECK(header.payloadLength >= 1);
    FUZZ_CHECK(header.payloadOffset + header.payloadLength == size);
    // The header is read exactly as it is written.
    Bytes rebuilt(header.payloadOffset);
    BuildEnvelopeHeader(header, rebuilt.data());
    FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), data));
  }

  std::string sender;
  std::vector<std::uint16_t> numbers;
  FUZZ_CHECK(SenderOfBlock(data, size, sender) == parsed);
  FUZZ_CHECK(RecipientsOfBlock(data, size, numbers) == parsed);
  if (parsed == code::kOk) {
    FUZZ_CHECK(sender == header.sender);
    FUZZ_CHECK(numbers.size() == header.recipients.size());
  }

  const std::string directory = cefuzz::Environment::Get().PublicDir(Generation::G4);
  for (std::uint16_t own : {1, 2}) {
    Bytes block(data, data + size);
    std::size_t length = size;
    const Code c = DecryptBlock(Generation::G4, directory, block.data(), length, own);
    if (c != code::kOk) {
      FUZZ_CHECK(length == size);
      FUZZ_CHECK(std::equal(block.begin(), block.end(), data));
    } else {
      FUZZ_CHECK(parsed == code::kOk);
      FUZZ_CHECK(length == header.payloadLength);
    }
  }
  return 0;
}
