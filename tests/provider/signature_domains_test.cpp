// Signatures of one kind never check out as another kind or over other data:
// detached signatures and attached records sign distinct encodings (a label,
// the data, its length, the structure's own fields). Each attack takes a
// genuine signature of the signer S and moves it into another structure.
#include "provider_test_support.h"

#include "directory.h"
#include "formats.h"
#include "operations.h"

#include <gtest/gtest.h>

#include <functional>

using namespace provider_test;
using namespace kestrel_provider;

namespace {

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(const Bytes &a, const std::uint8_t *b, std::size_t n) {
  Bytes out = a;
  out.insert(out.end(), b, b + n);
  return out;
}

class SignatureDomains : public testing::Test {
protected:
  void SetUp() override {
    KeyDriver::Instance().Clear();
    ASSERT_EQ(KeyDriver::Instance().LoadPair(s.encryption, s.signature), 0);
    ASSERT_EQ(AddPublicKey(dir, Generation::G4, s.signaturePublic.data(), s.encryption.id,
                           KeyKind::Encryption),
              0);
  }
  void TearDown() override { KeyDriver::Instance().Clear(); }

  Bytes Attach(Bytes block) {
    std::size_t length = block.size();
    block.resize(length + kAttachedRecordSize);
    EXPECT_EQ(SignAttached(block.data(), length, s.signature.id), 0);
    return block;
  }
  Bytes Detached(const Bytes &data) {
    Bytes signature;
    EXPECT_EQ(SignDetached(data.data(), data.size(), s.signature.id, signature), 0);
    return signature;
  }
  // The verdict on a detached signature, or 100 + the code of a refusal.
  int DetachedVerdict(const Bytes &data, const Bytes &signature) {
    std::vector<SignatureStatus> statuses;
    const Code c = VerifyDetached(Generation::G4, dir, data.data(), data.size(), signature.data(),
                                  signature.size(), statuses);
    return c != 0 ? 100 + c : statuses.at(0).verdict;
  }
  // The verdict on the newest attached signature, or 100 + 12 when none is found.
  int AttachedVerdict(const Bytes &block) {
    std::vector<SignatureStatus> statuses;
    EXPECT_EQ(CheckAttached(Generation::G4, dir, block.data(), block.size(), statuses), 0);
    return statuses.empty() ? 100 + code::kNotSigned : statuses[0].verdict;
  }

  TempDir tmp;
  std::string dir = tmp.Sub("pub");
  GeneratedKeys s = GenerateKeys(Generation::G4, "0017", "000001");
  const Bytes data = Text("payment order 1207, 125000.00 RUB");
};

// The digests of the encodings as docs/provider.md lays them out, made once
// with `openssl dgst -engine gost -md_gost12_256` over the encodings written
// out byte by byte.
TEST_F(SignatureDomains, KnownAnswersPinWhatIsSigned) {
  EXPECT_EQ(ToHex(DetachedDigest(data, "001700000101")),
            "5fa5cb81c5b202ea912ef694b7c4d041a36d67b17972be329a9b0e9aeea953c3");
  SignedDigest covered(kAttachedSignatureLabel);
  covered.Update(data);
  EXPECT_EQ(ToHex(AttachedDigest(covered, {"001700000101", 33, {}})),
            "e7fa4ffe8ae9fdb66c5853f4df1f7414d165f7c86610ca89a6c9e64dc6851a6e");
}

TEST_F(SignatureDomains, NoSignatureMovesIntoAnotherStructure) {
  // Genuine signatures check out where they were made.
  const Bytes signedBlock = Attach(data);
  ASSERT_EQ(AttachedVerdict(signedBlock), kVerdictValid);
  ASSERT_EQ(DetachedVerdict(data, Detached(data)), kVerdictValid);
  const std::uint8_t *record = signedBlock.data() + data.size();

  // A detached signature carrying the value of an attached record.
  const auto detachedFromRecord = [&](const Bytes &over) {
    DetachedSignature forged{s.signature.id, {}};
    std::copy(record + 16, record + 80, forged.value.begin());
    return DetachedVerdict(over, BuildDetachedSignature(forged));
  };
  // An attached record carrying the value of a detached signature over `signed_`.
  const auto recordFromDetached = [&](const Bytes &signed_, const Bytes &block) {
    const Bytes detached = Detached(signed_);
    AttachedSignature forged{s.signature.id, static_cast<std::uint32_t>(block.size()), {}};
    std::copy(detached.begin() + 20, detached.end(), forged.value.begin());
    Bytes out = block;
    out.resize(block.size() + kAttachedRecordSize);
    BuildAttachedRecord(forged, out.data() + block.size());
    return AttachedVerdict(out);
  };
  // The record moved to cover more (or less) than it was made for.
  const auto recordMoved = [&](const Bytes &block) {
    AttachedSignature moved{s.signature.id, static_cast<std::uint32_t>(block.size()), {}};
    std::copy(record + 16, record + 80, moved.value.begin());
    Bytes out = block;
    out.resize(block.size() + kAttachedRecordSize);
    BuildAttachedRecord(moved, out.data() + block.size());
    return AttachedVerdict(out);
  };
  const Bytes dataAndHead = Concat(data, record, 16);

  struct Case {
    const char *name;
    std::function<int()> verdict;
  };
  const std::vector<Case> cases = {
      {"attached to detached over data + record header",
       [&] { return detachedFromRecord(dataAndHead); }},
      {"attached to detached over the data", [&] { return detachedFromRecord(data); }},
      {"detached over data + record header to attached",
       [&] { return recordFromDetached(dataAndHead, data); }},
      {"detached over the data to attached", [&] { return recordFromDetached(data, data); }},
      {"record moved behind more data", [&] { return recordMoved(Concat(data, data.data(), 5)); }},
      {"record moved behind less data",
       [&] { return recordMoved(Bytes(data.begin(), data.end() - 1)); }},
      {"record moved behind a signed block", [&] { return recordMoved(signedBlock); }},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.verdict(), kVerdictWrong) << c.name;
}

TEST_F(SignatureDomains, SignaturesOfTheEarlierFormatOrLyingRecordsAreNotRead) {
  Bytes detached = Detached(data);
  detached[4] = 1; // version 1
  EXPECT_EQ(DetachedVerdict(data, detached), 100 + code::kNotSigned);

  const Bytes good = Attach(data);
  const std::size_t at = data.size();
  const auto covered = static_cast<std::uint32_t>(at);
  struct Case {
    const char *name;
    std::uint8_t version;
    std::uint32_t covered;
  };
  for (const Case &c : {Case{"version 1", 1, covered}, Case{"covers one more", 2, covered + 1},
                        Case{"covers one less", 2, covered - 1}, Case{"covers nothing", 2, 0},
                        Case{"covers 4 GiB", 2, 0xFFFFFFFF}}) {
    Bytes block = good;
    block[at + 84] = c.version;
    PutU32(block.data() + at + 12, c.covered);
    EXPECT_EQ(AttachedVerdict(block), 100 + code::kNotSigned) << c.name;
    std::size_t length = block.size();
    EXPECT_EQ(DeleteAttached(block.data(), length, 1), code::kNotSigned) << c.name;
    EXPECT_EQ(length, block.size()) << c.name;
  }
}

} // namespace
