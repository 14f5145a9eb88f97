// Building and parsing the provider's formats (see formats.h and
// docs/provider.md for the byte layouts).
#include "formats.h"

#include <algorithm>
#include <cstring>

namespace kestrel_provider {
namespace {

constexpr std::uint8_t kFormatVersion = 1;
constexpr std::uint8_t kAlgorithmGost2012 = 1; // GOST R 34.10-2012 256, tc26 set A
constexpr std::size_t kIdField = 12;

constexpr std::uint8_t kPublicMagic[4] = {'K', 'P', 'U', 'B'};
constexpr std::uint8_t kSecretMagic[4] = {'K', 'S', 'E', 'C'};
constexpr std::uint8_t kSignatureMagic[4] = {'K', 'S', 'I', 'G'};
constexpr std::uint8_t kAttachedMagic[8] = {'K', 'S', 'A', 'T', 'T', 'S', 'I', 'G'};
constexpr std::uint8_t kDirectoryMagic[4] = {'K', 'S', 'P', 'R'};

bool IsDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ValidGeneration(std::uint8_t g) { return g == 4 || g == 5; }
bool ValidKind(std::uint8_t k) { return k == 'E' || k == 'S'; }

// The identifier of a 12-byte field holding a key of the given kind.
std::optional<std::string> IdField(const std::uint8_t *field, KeyKind kind) {
  const std::string id = GetText(field, kIdField);
  if (!IsValidId(id, kind) || !AllZero(field + id.size(), kIdField - id.size()))
    return std::nullopt;
  return id;
}

} // namespace

bool IsValidId(std::string_view id, KeyKind kind) {
  return id.size() == IdLength(kind) && IsDigits(id);
}

std::optional<KeyKind> KindOfId(std::string_view id) {
  if (IsValidId(id, KeyKind::Encryption))
    return KeyKind::Encryption;
  if (IsValidId(id, KeyKind::Signature))
    return KeyKind::Signature;
  return std::nullopt;
}

std::string KeyNumberText(std::uint16_t number) {
  if (number > 9999)
    return {};
  std::string text(4, '0');
  for (int i = 3; i >= 0; --i, number /= 10)
    text[static_cast<std::size_t>(i)] = static_cast<char>('0' + number % 10);
  return text;
}

std::optional<std::string> BoundedText(const char *text, std::size_t maxLength) {
  if (text == nullptr)
    return std::nullopt;
  std::size_t n = 0;
  while (n <= maxLength && text[n] != 0)
    ++n;
  if (n > maxLength)
    return std::nullopt;
  return std::string(text, n);
}

// --- public key block ---
// 0 magic | 4 version 2 | 5 generation | 6 kind | 7 algorithm | 8 id[12] |
// 20 reserved[4] | 24 key[64] | 88 proof of possession s||r[64] |
// 152 zero padding | size-32 Streebog-256 check

namespace {

constexpr std::uint8_t kPublicKeyFormatVersion = 2;
constexpr std::size_t kPublicKeyProofOffset = 88;
constexpr std::size_t kPublicKeyPaddingOffset = 152;
constexpr std::string_view kPublicKeyProofLabel = "kestrel public key proof of possession";

} // namespace

crypto::Digest256 PublicKeyProofDigest(const PublicKeyBlock &block) {
  // label NUL | generation | kind | algorithm | id length | id | key length (2) | key
  Bytes message(kPublicKeyProofLabel.begin(), kPublicKeyProofLabel.end());
  message.push_back(0);
  message.push_back(static_cast<std::uint8_t>(block.generation));
  message.push_back(static_cast<std::uint8_t>(block.kind));
  message.push_back(kAlgorithmGost2012);
  message.push_back(static_cast<std::uint8_t>(block.id.size()));
  message.insert(message.end(), block.id.begin(), block.id.end());
  message.push_back(static_cast<std::uint8_t>(block.key.size()));
  message.push_back(0);
  message.insert(message.end(), block.key.begin(), block.key.end());
  return crypto::Streebog256(message);
}

Bytes BuildPublicKeyBlock(const PublicKeyBlock &block) {
  const std::size_t size = PublicKeyBlockSize(block.generation);
  Bytes out(size, 0);
  std::memcpy(out.data(), kPublicMagic, 4);
  out[4] = kPublicKeyFormatVersion;
  out[5] = static_cast<std::uint8_t>(block.generation);
  out[6] = static_cast<std::uint8_t>(block.kind);
  out[7] = kAlgorithmGost2012;
  PutText(out.data() + 8, kIdField, block.id);
  std::copy(block.key.begin(), block.key.end(), out.begin() + 24);
  std::copy(block.proof.begin(), block.proof.end(), out.begin() + kPublicKeyProofOffset);
  const auto check = crypto::Streebog256(ByteView(out.data(), size - 32));
  std::copy(check.begin(), check.end(), out.end() - 32);
  return out;
}

Bytes BuildSignedPublicKeyBlock(PublicKeyBlock block, const Key256 &privateKey) {
  block.proof = crypto::Sign(privateKey, PublicKeyProofDigest(block));
  return BuildPublicKeyBlock(block);
}

Code ParsePublicKeyBlock(const std::uint8_t *data, std::size_t length, Generation generation,
                         PublicKeyBlock &out, bool checkKey) {
  const std::size_t size = PublicKeyBlockSize(generation);
  if (data == nullptr || length != size)
    return code::kBadKeyHeader;
  if (std::memcmp(data, kPublicMagic, 4) != 0 || data[4] != kPublicKeyFormatVersion ||
      data[5] != static_cast<std::uint8_t>(generation) || !ValidKind(data[6]) ||
      data[7] != kAlgorithmGost2012 || !AllZero(data + 20, 4) ||
      !AllZero(data + kPublicKeyPaddingOffset, size - 32 - kPublicKeyPaddingOffset))
    return code::kBadKeyHeader;
  if (checkKey) {
    const auto check = crypto::Streebog256(ByteView(data, size - 32));
    if (!ConstantTimeEqual(check.data(), data + size - 32, 32))
      return code::kBadKeyHeader;
  }
  const auto kind = static_cast<KeyKind>(data[6]);
  const auto id = IdField(data + 8, kind);
  if (!id)
    return code::kBadKeyHeader;
  PublicKeyBlock block;
  block.generation = generation;
  block.kind = kind;
  block.id = *id;
  std::copy(data + 24, data + 88, block.key.begin());
  std::copy(data + kPublicKeyProofOffset, data + kPublicKeyProofOffset + 64, block.proof.begin());
  if (checkKey && (!crypto::IsValidPublicKey(block.key) ||
                   !crypto::Verify(block.key, PublicKeyProofDigest(block), block.proof)))
    return code::kBadKeyHeader;
  out = std::move(block);
  return code::kOk;
}

// --- secret key file ---
// 0 magic | 4 version | 5 generation | 6 kind | 7 algorithm | 8 id[12] |
// 20 reserved[4] | 24 private[32] | 56 public[64] | 120 reserved[8] | 128 check[32]

Bytes BuildSecretKeyFile(const SecretKeyFile &file) {
  Bytes out(kSecretKeyFileSize, 0);
  std::memcpy(out.data(), kSecretMagic, 4);
  out[4] = kFormatVersion;
  out[5] = static_cast<std::uint8_t>(file.generation);
  out[6] = static_cast<std::uint8_t>(file.kind);
  out[7] = kAlgorithmGost2012;
  PutText(out.data() + 8, kIdField, file.id);
  std::copy(file.privateKey.data(), file.privateKey.data() + 32, out.begin() + 24);
  std::copy(file.publicKey.begin(), file.publicKey.end(), out.begin() + 56);
  const auto check = crypto::Streebog256(ByteView(out.data(), 128));
  std::copy(check.begin(), check.end(), out.begin() + 128);
  return out;
}

Code ParseSecretKeyFile(const std::uint8_t *data, std::size_t length, SecretKeyFile &out,
                        SecretKeyCheck what) {
  if (data == nullptr || length != kSecretKeyFileSize)
    return code::kKeyNotFound;
  if (std::memcmp(data, kSecretMagic, 4) != 0 || data[4] != kFormatVersion ||
      !ValidGeneration(data[5]) || !ValidKind(data[6]) || data[7] != kAlgorithmGost2012 ||
      !AllZero(data + 20, 4) || !AllZero(data + 120, 8))
    return code::kKeyNotFound;
  const auto check = crypto::Streebog256(ByteView(data, 128));
  if (!ConstantTimeEqual(check.data(), data + 128, 32))
    return code::kKeyNotFound;
  const auto kind = static_cast<KeyKind>(data[6]);
  const auto id = IdField(data + 8, kind);
  if (!id)
    return code::kKeyNotFound;
  Key256 privateKey(ByteView(data + 24, 32));
  if (!crypto::IsValidPrivateKey(privateKey))
    return code::kKeyNotFound;
  crypto::PublicKey publicKey{};
  if (what == SecretKeyCheck::KeyPair) {
    std::copy(data + 56, data + 120, publicKey.begin());
    if (crypto::DerivePublicKey(privateKey) != publicKey)
      return code::kKeyNotFound;
  }
  out.generation = static_cast<Generation>(data[5]);
  out.kind = kind;
  out.id = *id;
  out.privateKey = privateKey;
  out.publicKey = publicKey;
  return code::kOk;
}

// --- what signatures sign ---

SignedDigest::SignedDigest(std::string_view label) {
  hasher_.Update(ByteView(reinterpret_cast<const std::uint8_t *>(label.data()), label.size()));
  const std::uint8_t end = 0;
  hasher_.Update(ByteView(&end, 1));
}

void SignedDigest::Update(ByteView data) {
  hasher_.Update(data);
  length_ += data.size();
}

crypto::Digest256 SignedDigest::Digest(ByteView fields) const {
  Bytes tail(8 + fields.size());
  PutU64(tail.data(), length_);
  std::copy(fields.begin(), fields.end(), tail.begin() + 8);
  return hasher_.DigestWith(tail);
}

// --- detached signature ---
// 0 magic | 4 version | 5 algorithm | 6 reserved[2] | 8 signer[12] | 20 s||r[64]

Bytes BuildDetachedSignature(const DetachedSignature &signature) {
  Bytes out(kDetachedSignatureSize, 0);
  std::memcpy(out.data(), kSignatureMagic, 4);
  out[4] = kSignatureFormatVersion;
  out[5] = kAlgorithmGost2012;
  PutText(out.data() + 8, kIdField, signature.signer);
  std::copy(signature.value.begin(), signature.value.end(), out.begin() + 20);
  return out;
}

Code ParseDetachedSignature(const std::uint8_t *data, std::size_t length, DetachedSignature &out) {
  if (data == nullptr || length < 8 || std::memcmp(data, kSignatureMagic, 4) != 0 ||
      data[4] != kSignatureFormatVersion || data[5] != kAlgorithmGost2012 || !AllZero(data + 6, 2))
    return code::kNotSigned;
  if (length != kDetachedSignatureSize)
    return code::kBadLength;
  const auto signer = IdField(data + 8, KeyKind::Signature);
  if (!signer)
    return code::kNotSigned;
  out.signer = *signer;
  std::copy(data + 20, data + 84, out.value.begin());
  return code::kOk;
}

crypto::Digest256 DetachedDigest(ByteView data, std::string_view signer) {
  const Bytes fields = BuildDetachedSignature({std::string(signer), {}});
  SignedDigest digest(kDetachedSignatureLabel);
  digest.Update(data);
  return digest.Digest(ByteView(fields.data(), kDetachedSignedFields));
}

// --- attached signature record ---
// 0 signer[12] | 12 covered length | 16 s||r[64] | 80 reserved[4] |
// 84 version | 85 algorithm | 86 reserved[2] | 88 magic[8]
// The signature covers the record's bytes 0..15 and 80..95.

void BuildAttachedRecord(const AttachedSignature &signature, std::uint8_t *out) {
  std::memset(out, 0, kAttachedRecordSize);
  PutText(out, kIdField, signature.signer);
  PutU32(out + 12, signature.coveredLength);
  std::copy(signature.value.begin(), signature.value.end(), out + 16);
  out[84] = kSignatureFormatVersion;
  out[85] = kAlgorithmGost2012;
  std::memcpy(out + 88, kAttachedMagic, 8);
}

std::vector<AttachedSignature> ParseAttachedSignatures(const std::uint8_t *data,
                                                       std::size_t length) {
  std::vector<AttachedSignature> found;
  if (data == nullptr)
    return found;
  std::size_t end = length;
  while (end >= kAttachedRecordSize && found.size() < kMaxAttachedSignatures) {
    const std::uint8_t *r = data + end - kAttachedRecordSize;
    if (std::memcmp(r + 88, kAttachedMagic, 8) != 0 || r[84] != kSignatureFormatVersion ||
        r[85] != kAlgorithmGost2012 || !AllZero(r + 80, 4) || !AllZero(r + 86, 2))
      break;
    const std::uint32_t covered = GetU32(r + 12);
    const auto signer = IdField(r, KeyKind::Signature);
    if (covered != end - kAttachedRecordSize || !signer)
      break;
    AttachedSignature s;
    s.signer = *signer;
    s.coveredLength = covered;
    std::copy(r + 16, r + 80, s.value.begin());
    found.push_back(std::move(s));
    end = covered;
  }
  return found;
}

crypto::Digest256 AttachedDigest(const SignedDigest &covered, const AttachedSignature &signature) {
  std::uint8_t record[kAttachedRecordSize];
  BuildAttachedRecord({signature.signer, signature.coveredLength, {}}, record);
  std::uint8_t fields[32];
  std::memcpy(fields, record, 16);
  std::memcpy(fields + 16, record + 80, 16);
  return covered.Digest(ByteView(fields, sizeof fields));
}

// --- encrypted block ---
// 0 format | 1 sender[10] | 11 count | 13 ukm[8] | 21 iv[8] | 29 block mac[8]
// then per recipient: 0 number | 2 series[6] | 8 wrapped key[32] | 40 mac[8]

void BuildEnvelopeHeader(const EnvelopeHeader &header, std::uint8_t *out) {
  out[0] = kEnvelopeFormat;
  PutText(out + 1, kEncryptionIdLength, header.sender);
  PutU16(out + 11, static_cast<std::uint16_t>(header.recipients.size()));
  std::copy(header.ukm.begin(), header.ukm.end(), out + 13);
  std::copy(header.iv.begin(), header.iv.end(), out + 21);
  std::copy(header.mac.begin(), header.mac.end(), out + kEnvelopeMacOffset);
  std::uint8_t *r = out + kEnvelopeHeaderSize;
  for (const auto &recipient : header.recipients) {
    PutU16(r, recipient.number);
    PutText(r + 2, kSeriesLength, recipient.series);
    std::copy(recipient.wrappedKey.begin(), recipient.wrappedKey.end(), r + 8);
    std::copy(recipient.mac.begin(), recipient.mac.end(), r + kRecipientMacOffset);
    r += kEnvelopeRecipientSize;
  }
}

Code ParseEnvelopeHeader(const std::uint8_t *data, std::size_t length, EnvelopeHeader &out) {
  if (data == nullptr || length < EnvelopeOverhead(1) + 1 || data[0] != kEnvelopeFormat)
    return code::kNotEncrypted;
  const std::string sender(reinterpret_cast<const char *>(data + 1), kEncryptionIdLength);
  const std::size_t count = GetU16(data + 11);
  if (!IsValidId(sender, KeyKind::Encryption) || count == 0 ||
      (length - kEnvelopeHeaderSize - 1) / kEnvelopeRecipientSize < count)
    return code::kNotEncrypted;
  EnvelopeHeader h;
  h.sender = sender;
  std::copy(data + 13, data + 21, h.ukm.begin());
  std::copy(data + 21, data + 29, h.iv.begin());
  std::copy(data + 29, data + 37, h.mac.begin());
  h.recipients.resize(count);
  const std::uint8_t *r = data + kEnvelopeHeaderSize;
  for (auto &recipient : h.recipients) {
    recipient.number = GetU16(r);
    recipient.series.assign(reinterpret_cast<const char *>(r + 2), kSeriesLength);
    std::copy(r + 8, r + 40, recipient.wrappedKey.begin());
    std::copy(r + kRecipientMacOffset, r + kEnvelopeRecipientSize, recipient.mac.begin());
    r += kEnvelopeRecipientSize;
  }
  h.payloadOffset = EnvelopeOverhead(count);
  h.payloadLength = length - h.payloadOffset;
  out = std::move(h);
  return code::kOk;
}

// --- public key directory ---
// header: 0 magic | 4 version 2 | 5 generation | 6 block size | 8 count |
//         12 owner[10] | 22 reserved[2] | 24 identity[16] | 40 version (8) |
//         48 header mac[8]
// entry:  0 block | S maker kind | S+1 maker[12] | S+13 reserved[3] | S+16 mac[8]

namespace {

constexpr std::uint8_t kDirectoryFormatVersion = 2;
constexpr std::size_t kDirectoryMacOffset = 48;

crypto::Mac64 EntryMac(const Key256 &key, const std::uint8_t *header, const std::uint8_t *entry,
                       std::size_t blockSize) {
  crypto::Gost28147Mac mac(key);
  mac.Update(ByteView(header, 12));
  mac.Update(ByteView(entry, blockSize + 16));
  return mac.Finish();
}

crypto::Mac64 HeaderMac(const Key256 &key, const std::uint8_t *data, std::size_t count,
                        std::size_t entrySize) {
  crypto::Gost28147Mac mac(key);
  mac.Update(ByteView(data, kDirectoryMacOffset));
  for (std::size_t i = 0; i < count; ++i)
    mac.Update(ByteView(data + kDirectoryHeaderSize + i * entrySize + entrySize - 8, 8));
  return mac.Finish();
}

std::uint64_t GetU64(const std::uint8_t *p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

} // namespace

Code ParseDirectoryStructure(const std::uint8_t *data, std::size_t length, Generation generation,
                             DirectoryFile &out, crypto::Mac64 &headerMac) {
  if (data == nullptr || length < kDirectoryHeaderSize)
    return code::kDirectoryLength;
  const std::size_t blockSize = PublicKeyBlockSize(generation);
  const std::size_t entrySize = DirectoryEntrySize(generation);
  if (std::memcmp(data, kDirectoryMagic, 4) != 0 || data[4] != kDirectoryFormatVersion ||
      data[5] != static_cast<std::uint8_t>(generation) || GetU16(data + 6) != blockSize ||
      !AllZero(data + 22, 2))
    return code::kBadMacHeader;
  const std::uint32_t count = GetU32(data + 8);
  if ((length - kDirectoryHeaderSize) % entrySize != 0 ||
      (length - kDirectoryHeaderSize) / entrySize != count)
    return code::kDirectoryLength;
  const std::string owner(reinterpret_cast<const char *>(data + 12), kEncryptionIdLength);
  if (!IsValidId(owner, KeyKind::Encryption))
    return code::kBadMacHeader;
  DirectoryFile file;
  file.generation = generation;
  file.owner = owner;
  std::copy(data + 24, data + 24 + kDirectoryIdentitySize, file.identity.begin());
  file.version = GetU64(data + 40);
  file.entries.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t *e = data + kDirectoryHeaderSize + i * entrySize;
    DirectoryEntry &entry = file.entries[i];
    entry.block.assign(e, e + blockSize);
    entry.makerKind = static_cast<KeyKind>(e[blockSize]);
    entry.maker = GetText(e + blockSize + 1, kIdField);
    std::copy(e + blockSize + 16, e + blockSize + 24, entry.mac.begin());
  }
  std::copy(data + kDirectoryMacOffset, data + kDirectoryMacOffset + 8, headerMac.begin());
  out = std::move(file);
  return code::kOk;
}

Code VerifyDirectoryHeader(const std::uint8_t *data, std::size_t length, Generation generation,
                           const Key256 &directoryKey, DirectoryFile &out) {
  DirectoryFile file;
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data, length, generation, file, headerMac); c != 0)
    return c;
  const auto expected =
      HeaderMac(directoryKey, data, file.entries.size(), DirectoryEntrySize(generation));
  if (!ConstantTimeEqual(expected.data(), headerMac.data(), 8))
    return code::kBadMacHeader;
  out = std::move(file);
  return code::kOk;
}

Code VerifyDirectoryEntry(const std::uint8_t *data, std::size_t length, Generation generation,
                          const Key256 &directoryKey, std::size_t index, DirectoryEntry &out) {
  const std::size_t blockSize = PublicKeyBlockSize(generation);
  const std::size_t entrySize = DirectoryEntrySize(generation);
  if (data == nullptr || length < kDirectoryHeaderSize ||
      index >= (length - kDirectoryHeaderSize) / entrySize)
    return code::kDirectoryLength;
  const std::uint8_t *e = data + kDirectoryHeaderSize + index * entrySize;
  DirectoryEntry entry;
  entry.block.assign(e, e + blockSize);
  entry.makerKind = static_cast<KeyKind>(e[blockSize]);
  entry.maker = GetText(e + blockSize + 1, kIdField);
  std::copy(e + blockSize + 16, e + blockSize + 24, entry.mac.begin());
  if (AllZero(entry.mac.data(), 8))
    return code::kMissingMac;
  const auto expected = EntryMac(directoryKey, data, e, blockSize);
  if (!ConstantTimeEqual(expected.data(), entry.mac.data(), 8))
    return code::kWrongMac;
  if (!ValidKind(e[blockSize]) || !AllZero(e + blockSize + 13, 3))
    return code::kBadMacHeader;
  if (Code c = ParsePublicKeyBlock(e, blockSize, generation, entry.key, false); c != 0)
    return c;
  out = std::move(entry);
  return code::kOk;
}

Code VerifyDirectory(const std::uint8_t *data, std::size_t length, Generation generation,
                     const Key256 &directoryKey, DirectoryFile &out, std::string_view only) {
  DirectoryFile file;
  if (Code c = VerifyDirectoryHeader(data, length, generation, directoryKey, file); c != 0)
    return c;
  std::vector<DirectoryEntry> checked;
  for (std::size_t i = 0; i < file.entries.size(); ++i) {
    if (!only.empty() && GetText(file.entries[i].block.data() + 8, kIdField) != only)
      continue;
    DirectoryEntry entry;
    if (Code c = VerifyDirectoryEntry(data, length, generation, directoryKey, i, entry); c != 0)
      return c;
    checked.push_back(std::move(entry));
  }
  file.entries = std::move(checked);
  out = std::move(file);
  return code::kOk;
}

Bytes BuildDirectory(const DirectoryFile &file, const Key256 &directoryKey) {
  const std::size_t blockSize = PublicKeyBlockSize(file.generation);
  const std::size_t entrySize = DirectoryEntrySize(file.generation);
  Bytes out(kDirectoryHeaderSize + entrySize * file.entries.size(), 0);
  std::memcpy(out.data(), kDirectoryMagic, 4);
  out[4] = kDirectoryFormatVersion;
  out[5] = static_cast<std::uint8_t>(file.generation);
  PutU16(out.data() + 6, static_cast<std::uint16_t>(blockSize));
  PutU32(out.data() + 8, static_cast<std::uint32_t>(file.entries.size()));
  PutText(out.data() + 12, kEncryptionIdLength, file.owner);
  std::copy(file.identity.begin(), file.identity.end(), out.begin() + 24);
  PutU64(out.data() + 40, file.version);
  for (std::size_t i = 0; i < file.entries.size(); ++i) {
    std::uint8_t *e = out.data() + kDirectoryHeaderSize + i * entrySize;
    const DirectoryEntry &entry = file.entries[i];
    std::copy(entry.block.begin(), entry.block.end(), e);
    e[blockSize] = static_cast<std::uint8_t>(entry.makerKind);
    PutText(e + blockSize + 1, kIdField, entry.maker);
    const auto mac = EntryMac(directoryKey, out.data(), e, blockSize);
    std::copy(mac.begin(), mac.end(), e + blockSize + 16);
  }
  const auto headerMac = HeaderMac(directoryKey, out.data(), file.entries.size(), entrySize);
  std::copy(headerMac.begin(), headerMac.end(), out.begin() + kDirectoryMacOffset);
  return out;
}

Key256 DirectoryKey(const Key256 &ownerPrivateKey, std::string_view ownerId) {
  return crypto::Kdf256(
      ownerPrivateKey, "kestrel public key directory",
      ByteView(reinterpret_cast<const std::uint8_t *>(ownerId.data()), ownerId.size()));
}

} // namespace kestrel_provider

// --- versions of directories seen ---
// 0 magic | 4 version | 5 reserved[3] | 8 owner[10] | 18 reserved[2] |
// 20 directory count n | version 2: 24 folder count m | 28 reserved[4] |
// then n records identity[16] version(8) | version 2: m records
// folder[16] identity[16] | then MAC[8] over all before it

namespace kestrel_provider {
namespace {

constexpr std::uint8_t kSeenMagic[4] = {'K', 'V', 'E', 'R'};
constexpr std::uint8_t kSeenFormatVersion = 2;
constexpr std::size_t kSeenHeaderSize = 32;
constexpr std::size_t kSeenHeaderSizeV1 = 24;
constexpr std::size_t kSeenRecordSize = kDirectoryIdentitySize + 8;
constexpr std::size_t kSeenFolderSize = kFolderKeySize + kDirectoryIdentitySize;

} // namespace

Key256 SeenVersionsKey(const Key256 &ownerPrivateKey, std::string_view ownerId) {
  return crypto::Kdf256(
      ownerPrivateKey, "kestrel directory versions seen",
      ByteView(reinterpret_cast<const std::uint8_t *>(ownerId.data()), ownerId.size()));
}

Bytes BuildSeenVersions(const SeenVersions &seen, const Key256 &key) {
  const std::size_t count = std::min(seen.records.size(), kMaxSeenDirectories);
  const std::size_t folders = std::min(seen.folders.size(), kMaxSeenFolders);
  Bytes out(kSeenHeaderSize + count * kSeenRecordSize + folders * kSeenFolderSize + 8, 0);
  std::memcpy(out.data(), kSeenMagic, 4);
  out[4] = kSeenFormatVersion;
  PutText(out.data() + 8, kEncryptionIdLength, seen.owner);
  PutU32(out.data() + 20, static_cast<std::uint32_t>(count));
  PutU32(out.data() + 24, static_cast<std::uint32_t>(folders));
  std::uint8_t *r = out.data() + kSeenHeaderSize;
  for (std::size_t i = 0; i < count; ++i, r += kSeenRecordSize) {
    std::copy(seen.records[i].first.begin(), seen.records[i].first.end(), r);
    PutU64(r + kDirectoryIdentitySize, seen.records[i].second);
  }
  for (std::size_t i = 0; i < folders; ++i, r += kSeenFolderSize) {
    std::copy(seen.folders[i].first.begin(), seen.folders[i].first.end(), r);
    std::copy(seen.folders[i].second.begin(), seen.folders[i].second.end(), r + kFolderKeySize);
  }
  const auto mac = crypto::Gost28147Imit(key, ByteView(out.data(), out.size() - 8));
  std::copy(mac.begin(), mac.end(), out.end() - 8);
  return out;
}

Code ParseSeenVersions(const std::uint8_t *data, std::size_t length, const Key256 &key,
                       SeenVersions &out) {
  if (data == nullptr || length < kSeenHeaderSizeV1 + 8 || std::memcmp(data, kSeenMagic, 4) != 0 ||
      (data[4] != 1 && data[4] != kSeenFormatVersion))
    return code::kKeyNotFound;
  const bool v1 = data[4] == 1;
  const std::size_t header = v1 ? kSeenHeaderSizeV1 : kSeenHeaderSize;
  if (length < header + 8 || !AllZero(data + 5, 3) || !AllZero(data + 18, 2) ||
      (!v1 && !AllZero(data + 28, 4)))
    return code::kKeyNotFound;
  const std::size_t count = GetU32(data + 20);
  const std::size_t folders = v1 ? 0 : GetU32(data + 24);
  if (count > kMaxSeenDirectories || folders > kMaxSeenFolders ||
      length != header + count * kSeenRecordSize + folders * kSeenFolderSize + 8)
    return code::kKeyNotFound;
  const auto mac = crypto::Gost28147Imit(key, ByteView(data, length - 8));
  if (!ConstantTimeEqual(mac.data(), data + length - 8, 8))
    return code::kKeyNotFound;
  const std::string owner(reinterpret_cast<const char *>(data + 8), kEncryptionIdLength);
  if (!IsValidId(owner, KeyKind::Encryption))
    return code::kKeyNotFound;
  SeenVersions seen;
  seen.owner = owner;
  seen.records.resize(count);
  const std::uint8_t *r = data + header;
  for (std::size_t i = 0; i < count; ++i, r += kSeenRecordSize) {
    std::copy(r, r + kDirectoryIdentitySize, seen.records[i].first.begin());
    seen.records[i].second = GetU64(r + kDirectoryIdentitySize);
  }
  seen.folders.resize(folders);
  for (std::size_t i = 0; i < folders; ++i, r += kSeenFolderSize) {
    std::copy(r, r + kFolderKeySize, seen.folders[i].first.begin());
    std::copy(r + kFolderKeySize, r + kSeenFolderSize, seen.folders[i].second.begin());
  }
  out = std::move(seen);
  return code::kOk;
}

} // namespace kestrel_provider
