// The provider's public key block (the content of a public key file) of both
// generations: the parser as given, and again with the check value made
// right so that the fields behind it are reached too.
#include "fuzz_support.h"

#include <algorithm>

using namespace kestrel_provider;

namespace {

void ParseAndCompare(const std::uint8_t *data, std::size_t size, Generation generation) {
  PublicKeyBlock block;
  const Code c = ParsePublicKeyBlock(data, size, generation, block);
  FUZZ_CHECK(c == code::kOk || c == code::kBadKeyHeader);
  if (c != code::kOk)
    return;
  FUZZ_CHECK(size == PublicKeyBlockSize(generation));
  FUZZ_CHECK(block.generation == generation);
  FUZZ_CHECK(IsValidId(block.id, block.kind));
  const Bytes rebuilt = BuildPublicKeyBlock(block);
  FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), data, data + size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  for (Generation generation : {Generation::G4, Generation::G5}) {
    ParseAndCompare(data, size, generation);
    if (size != PublicKeyBlockSize(generation))
      continue;
    Bytes fixed(data, data + size);
    const auto check = crypto::Streebog256(ByteView(fixed.data(), size - 32));
    std::copy(check.begin(), check.end(), fixed.end() - 32);
    ParseAndCompare(fixed.data(), fixed.size(), generation);
  }
  return 0;
}
