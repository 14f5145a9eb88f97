// Encryption and signature operations on memory blocks.
#include "operations.h"

#include "directory.h"
#include "key_driver.h"

#include <algorithm>
#include <cstring>

namespace kestrel_provider {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::string_view kContentKeyLabel = "kestrel content encryption";
constexpr std::string_view kContentMacLabel = "kestrel content mac";

struct ContentKeys {
  Key256 encryption;
  Key256 mac;
};

ContentKeys DeriveContentKeys(const Key256 &cek, const crypto::Block64 &ukm) {
  return {crypto::Kdf256(cek, kContentKeyLabel, ukm), crypto::Kdf256(cek, kContentMacLabel, ukm)};
}

// The MAC over the plaintext length, the header without its MAC field,
// the recipient records and the ciphertext.
crypto::Mac64 ContentMac(crypto::Gost28147Mac &mac, const std::uint8_t *block,
                         std::size_t payloadOffset, std::size_t payloadLength) {
  std::uint8_t length[8];
  PutU64(length, payloadLength);
  mac.Update(ByteView(length, 8));
  mac.Update(ByteView(block, kEnvelopeMacOffset));
  mac.Update(ByteView(block + kEnvelopeHeaderSize, payloadOffset - kEnvelopeHeaderSize));
  mac.Update(ByteView(block + payloadOffset, payloadLength));
  return mac.Finish();
}

crypto::Digest256 AttachedDigest(const std::uint8_t *block, std::size_t covered,
                                 const std::uint8_t *recordHead) {
  crypto::Streebog256Hasher hasher;
  hasher.Update(ByteView(block, covered));
  hasher.Update(ByteView(recordHead, kAttachedSignedHeader));
  return hasher.Finish();
}

std::optional<LoadedKey> SignatureKey(std::string_view signer) {
  if (!IsValidId(signer, KeyKind::Signature))
    return std::nullopt;
  return KeyDriver::Instance().Find(signer);
}

// Verdict of one signature: 0 with the status filled, or a directory code.
Code Judge(Generation generation, std::string_view publicDir, const std::string &signer,
           const crypto::Digest256 &digest, const crypto::Signature &value,
           SignatureStatus &status) {
  status.signer = signer;
  PublicKeyBlock key;
  const Code c = LookupPublicKey(publicDir, generation, signer, KeyKind::Signature, key);
  if (c == code::kNoPublicKey) {
    status.verdict = kVerdictNoKey;
    return code::kOk;
  }
  if (c != 0)
    return c;
  status.verdict = crypto::Verify(key.key, digest, value) ? kVerdictValid : kVerdictWrong;
  return code::kOk;
}

} // namespace

Code EncryptBlock(Generation generation, std::string_view publicDir, const std::uint8_t *input,
                  std::size_t length, std::uint8_t *output, std::uint16_t ownKey,
                  const std::vector<std::uint16_t> &recipients, std::string_view keySeries) {
  if (recipients.empty() || recipients.size() > 0xFFFF)
    return code::kBadParameter;
  const auto own = KeyDriver::Instance().Slot0(KeyKind::Encryption);
  if (!own)
    return code::kKeyNotFound;
  if (own->id.compare(0, kKeyNumberLength, KeyNumberText(ownKey)) != 0)
    return code::kKeyNumberMismatch;
  const std::string series =
      keySeries.empty() ? own->id.substr(kKeyNumberLength) : std::string(keySeries);

  EnvelopeHeader header;
  header.sender = own->id;
  std::vector<crypto::PublicKey> peers;
  for (std::uint16_t number : recipients) {
    const std::string text = KeyNumberText(number);
    if (text.empty())
      return code::kNoPublicKey;
    PublicKeyBlock key;
    if (Code c = LookupPublicKey(publicDir, generation, text + series, KeyKind::Encryption, key);
        c != 0)
      return c;
    peers.push_back(key.key);
    EnvelopeRecipient r;
    r.number = number;
    r.series = series;
    header.recipients.push_back(std::move(r));
  }

  Key256 cek;
  crypto::RandomBytes(cek.data(), cek.size());
  crypto::RandomBytes(header.ukm.data(), header.ukm.size());
  crypto::RandomBytes(header.iv.data(), header.iv.size());
  for (std::size_t i = 0; i < peers.size(); ++i) {
    EnvelopeRecipient &r = header.recipients[i];
    const Key256 kek = crypto::Vko256(own->privateKey, peers[i], header.ukm);
    std::copy(cek.data(), cek.data() + 32, r.wrappedKey.begin());
    crypto::Gost28147Ecb(kek, r.wrappedKey.data(), r.wrappedKey.size(), crypto::Direction::Encrypt);
    r.keyMac = crypto::Gost28147Imit(kek, cek.view(), &header.ukm);
  }

  const std::size_t offset = EnvelopeOverhead(recipients.size());
  // Move the plaintext into place first when input and output overlap.
  const auto in = reinterpret_cast<std::uintptr_t>(input);
  const auto out = reinterpret_cast<std::uintptr_t>(output);
  const bool overlap = in < out + offset + length && out < in + length;
  if (overlap)
    std::memmove(output + offset, input, length);
  BuildEnvelopeHeader(header, output);

  const ContentKeys keys = DeriveContentKeys(cek, header.ukm);
  crypto::Gost28147Cfb cipher(keys.encryption, header.iv, crypto::Direction::Encrypt);
  crypto::Gost28147Mac mac(keys.mac);
  std::uint8_t lengthField[8];
  PutU64(lengthField, length);
  mac.Update(ByteView(lengthField, 8));
  mac.Update(ByteView(output, kEnvelopeMacOffset));
  mac.Update(ByteView(output + kEnvelopeHeaderSize, offset - kEnvelopeHeaderSize));
  // One pass: encrypt a chunk, then MAC it while it is in the cache.
  for (std::size_t done = 0; done < length;) {
    const std::size_t n = std::min(kChunk, length - done);
    std::uint8_t *chunk = output + offset + done;
    if (overlap)
      cipher.Process(chunk, n);
    else
      cipher.Process(input + done, chunk, n);
    mac.Update(ByteView(chunk, n));
    done += n;
  }
  const crypto::Mac64 tag = mac.Finish();
  std::copy(tag.begin(), tag.end(), output + kEnvelopeMacOffset);
  return code::kOk;
}

Code SenderOfBlock(const std::uint8_t *data, std::size_t length, std::string &sender) {
  EnvelopeHeader header;
  if (Code c = ParseEnvelopeHeader(data, length, header); c != 0)
    return c;
  sender = header.sender;
  return code::kOk;
}

Code RecipientsOfBlock(const std::uint8_t *data, std::size_t length,
                       std::vector<std::uint16_t> &numbers) {
  EnvelopeHeader header;
  if (Code c = ParseEnvelopeHeader(data, length, header); c != 0)
    return c;
  numbers.clear();
  for (const auto &r : header.recipients)
    numbers.push_back(r.number);
  return code::kOk;
}

Code DecryptBlock(Generation generation, std::string_view publicDir, std::uint8_t *block,
                  std::size_t &length, std::uint16_t ownKey) {
  EnvelopeHeader header;
  if (Code c = ParseEnvelopeHeader(block, length, header); c != 0)
    return c;
  const auto keys = KeyDriver::Instance().EncryptionKeysNumbered(KeyNumberText(ownKey));
  if (keys.empty())
    return code::kKeyNotFound;
  const LoadedKey *own = nullptr;
  const EnvelopeRecipient *entry = nullptr;
  for (const auto &key : keys)
    for (const auto &r : header.recipients)
      if (own == nullptr && r.number == ownKey && key.id.substr(kKeyNumberLength) == r.series) {
        own = &key;
        entry = &r;
      }
  if (own == nullptr)
    return code::kBadKey;

  PublicKeyBlock sender;
  if (Code c = LookupPublicKey(publicDir, generation, header.sender, KeyKind::Encryption, sender);
      c != 0)
    return c;
  const Key256 kek = crypto::Vko256(own->privateKey, sender.key, header.ukm);
  Key256 cek(entry->wrappedKey);
  crypto::Gost28147Ecb(kek, cek.data(), cek.size(), crypto::Direction::Decrypt);
  const auto keyMac = crypto::Gost28147Imit(kek, cek.view(), &header.ukm);
  if (!ConstantTimeEqual(keyMac.data(), entry->keyMac.data(), keyMac.size()))
    return code::kBadMac;

  const ContentKeys keys2 = DeriveContentKeys(cek, header.ukm);
  crypto::Gost28147Mac mac(keys2.mac);
  const auto tag = ContentMac(mac, block, header.payloadOffset, header.payloadLength);
  if (!ConstantTimeEqual(tag.data(), header.mac.data(), tag.size()))
    return code::kBadMac;

  std::memmove(block, block + header.payloadOffset, header.payloadLength);
  crypto::Gost28147Cfb cipher(keys2.encryption, header.iv, crypto::Direction::Decrypt);
  cipher.Process(block, header.payloadLength);
  length = header.payloadLength;
  return code::kOk;
}

Code SignDetached(const std::uint8_t *data, std::size_t length, std::string_view signer,
                  Bytes &signature) {
  const auto key = SignatureKey(signer);
  if (!key)
    return code::kKeyNotFound;
  DetachedSignature s;
  s.signer = key->id;
  s.value = crypto::Sign(key->privateKey, crypto::Streebog256(ByteView(data, length)));
  signature = BuildDetachedSignature(s);
  return code::kOk;
}

Code VerifyDetached(Generation generation, std::string_view publicDir, const std::uint8_t *data,
                    std::size_t length, const std::uint8_t *signature, std::size_t signatureLength,
                    std::vector<SignatureStatus> &statuses) {
  DetachedSignature s;
  if (Code c = ParseDetachedSignature(signature, signatureLength, s); c != 0)
    return c;
  SignatureStatus status;
  if (Code c = Judge(generation, publicDir, s.signer, crypto::Streebog256(ByteView(data, length)),
                     s.value, status);
      c != 0)
    return c;
  statuses.assign(1, status);
  return code::kOk;
}

Code SignAttached(std::uint8_t *block, std::size_t &length, std::string_view signer) {
  if (length > 0x7FFFFFFF - kAttachedRecordSize)
    return code::kBadLength;
  const auto key = SignatureKey(signer);
  if (!key)
    return code::kKeyNotFound;
  AttachedSignature s;
  s.signer = key->id;
  s.coveredLength = static_cast<std::uint32_t>(length);
  std::uint8_t record[kAttachedRecordSize];
  BuildAttachedRecord(s, record);
  s.value = crypto::Sign(key->privateKey, AttachedDigest(block, length, record));
  BuildAttachedRecord(s, record);
  std::memcpy(block + length, record, kAttachedRecordSize);
  length += kAttachedRecordSize;
  return code::kOk;
}

Code CheckAttached(Generation generation, std::string_view publicDir, const std::uint8_t *block,
                   std::size_t length, std::vector<SignatureStatus> &statuses) {
  statuses.clear();
  for (const auto &s : ParseAttachedSignatures(block, length)) {
    const std::uint8_t *record = block + s.coveredLength;
    SignatureStatus status;
    if (Code c = Judge(generation, publicDir, s.signer,
                       AttachedDigest(block, s.coveredLength, record), s.value, status);
        c != 0)
      return c;
    statuses.push_back(std::move(status));
  }
  return code::kOk;
}

Code DeleteAttached(const std::uint8_t *block, std::size_t &length, int count) {
  const auto signatures = ParseAttachedSignatures(block, length);
  if (signatures.empty())
    return code::kNotSigned;
  if (count < 1 || static_cast<std::size_t>(count) > signatures.size())
    return code::kBadParameter;
  length = signatures[static_cast<std::size_t>(count) - 1].coveredLength;
  return code::kOk;
}

} // namespace kestrel_provider
