// A signed block padded with junk signature records: checking it hashes the
// block once, not once per record, and removing signatures hashes nothing.
// The work is counted in bytes fed to the hash, not timed.
#include "provider_test_support.h"

#include "directory.h"
#include "formats.h"
#include "operations.h"

#include <gtest/gtest.h>

using namespace provider_test;
using namespace kestrel_provider;

namespace {

TEST(JunkSignatures, CheckingHashesTheBlockOnceWhateverTheRecordCount) {
  KeyDriver::Instance().Clear();
  TempDir tmp;
  const std::string dir = tmp.Sub("pub");
  const GeneratedKeys s = GenerateKeys(Generation::G4, "0017", "000001");
  ASSERT_EQ(KeyDriver::Instance().LoadPair(s.encryption, s.signature), 0);
  ASSERT_EQ(AddPublicKey(dir, Generation::G4, s.signaturePublic.data(), s.encryption.id,
                         KeyKind::Encryption),
            0);

  // 256 KiB of data with one genuine signature, then junk records that are
  // well formed but signed by no one: some claim S, some unknown signers.
  const std::size_t dataSize = 256 * 1024;
  Bytes block(dataSize + kMaxAttachedSignatures * kAttachedRecordSize, 0x5A);
  std::size_t length = dataSize;
  ASSERT_EQ(SignAttached(block.data(), length, s.signature.id), 0);
  for (std::size_t i = 1; i < kMaxAttachedSignatures; ++i) {
    AttachedSignature junk;
    junk.signer = i % 2 == 0 ? s.signature.id : std::to_string(900000000000 + i);
    junk.coveredLength = static_cast<std::uint32_t>(length);
    junk.value.fill(static_cast<std::uint8_t>(i));
    BuildAttachedRecord(junk, block.data() + length);
    length += kAttachedRecordSize;
  }
  ASSERT_EQ(length, block.size());

  std::vector<SignatureStatus> statuses;
  const std::uint64_t before = crypto::HashedBytes();
  ASSERT_EQ(CheckAttached(Generation::G4, dir, block.data(), block.size(), statuses), 0);
  const std::uint64_t hashed = crypto::HashedBytes() - before;
  ASSERT_EQ(statuses.size(), kMaxAttachedSignatures);
  EXPECT_EQ(statuses.back().verdict, kVerdictValid);
  EXPECT_EQ(statuses[0].verdict, kVerdictWrong); // the newest claims S
  EXPECT_EQ(statuses[1].verdict, kVerdictNoKey);
  // One pass over the block, plus a few dozen bytes per record (the label,
  // the length and the record's fields; the directory's own check values).
  // Hashing each record's covered bytes anew would be 255 times the data.
  EXPECT_LT(hashed, block.size() + kMaxAttachedSignatures * 1024) << hashed;

  const std::uint64_t beforeRemoval = crypto::HashedBytes();
  for (int count : {1, 128, 255}) {
    std::size_t shorter = block.size();
    ASSERT_EQ(DeleteAttached(block.data(), shorter, count), 0);
    EXPECT_EQ(shorter, block.size() - static_cast<std::size_t>(count) * kAttachedRecordSize);
  }
  EXPECT_EQ(crypto::HashedBytes(), beforeRemoval);
  KeyDriver::Instance().Clear();
}

} // namespace
