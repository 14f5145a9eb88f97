// Encryption and signature operations on memory blocks.
#include "operations.h"

#include "directory.h"
#include "key_driver.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kestrel_provider {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::string_view kContentKeyLabel = "kestrel content encryption";
constexpr std::string_view kContentMacLabel = "kestrel content mac";
constexpr std::string_view kKeyWrapLabel = "kestrel key wrap";
constexpr std::string_view kRecipientMacLabel = "kestrel recipient mac";
constexpr std::string_view kBlockDigestLabel = "kestrel encrypted block";

struct KeyPair {
  Key256 encryption; // or the key wrap
  Key256 mac;
};

// The cipher and block MAC keys, from the content key.
KeyPair DeriveContentKeys(const Key256 &cek, const crypto::Block64 &ukm) {
  return {crypto::Kdf256(cek, kContentKeyLabel, ukm), crypto::Kdf256(cek, kContentMacLabel, ukm)};
}

// The key wrap and recipient MAC keys, from the key that only the sender and
// one recipient can agree on.
KeyPair DerivePairKeys(const Key256 &kek, const crypto::Block64 &ukm) {
  return {crypto::Kdf256(kek, kKeyWrapLabel, ukm), crypto::Kdf256(kek, kRecipientMacLabel, ukm)};
}

// The digest that the MACs of an encrypted block cover: a label, the header
// and every recipient record without their MAC fields, the ciphertext and
// its length. It is a hash and not a MAC under the content key because
// every recipient knows that key, and a MAC under a known key is no
// fingerprint: its holder can make other ciphertext with the same MAC.
class BlockDigest {
public:
  BlockDigest(const std::uint8_t *block, std::size_t recipients) {
    hasher_.Update(ByteView(reinterpret_cast<const std::uint8_t *>(kBlockDigestLabel.data()),
                            kBlockDigestLabel.size() + 1));
    hasher_.Update(ByteView(block, kEnvelopeMacOffset));
    for (std::size_t i = 0; i < recipients; ++i)
      hasher_.Update(ByteView(block + EnvelopeOverhead(i), kRecipientMacOffset));
  }
  void Update(ByteView ciphertext) {
    hasher_.Update(ciphertext);
    length_ += ciphertext.size();
  }
  crypto::Digest256 Finish() {
    std::uint8_t length[8];
    PutU64(length, length_);
    hasher_.Update(ByteView(length, 8));
    return hasher_.Finish();
  }

private:
  crypto::Streebog256Hasher hasher_;
  std::uint64_t length_ = 0;
};

// A recipient's MAC: the content key and the block digest under the MAC key
// of the sender and that recipient. It authenticates the block as the
// sender's to this recipient and no one else can make it, the other
// recipients included.
crypto::Mac64 RecipientMac(const Key256 &macKey, const Key256 &cek,
                           const crypto::Digest256 &digest) {
  crypto::Gost28147Mac mac(macKey);
  mac.Update(cek.view());
  mac.Update(digest);
  return mac.Finish();
}

// The block MAC: the block digest and every recipient MAC under the content
// MAC key, so that any change anywhere in the block is seen by every
// recipient (a recipient's own MAC covers all but the other recipients'
// MAC fields).
crypto::Mac64 BlockMac(const Key256 &macKey, const crypto::Digest256 &digest,
                       const std::uint8_t *block, std::size_t recipients) {
  crypto::Gost28147Mac mac(macKey);
  mac.Update(digest);
  for (std::size_t i = 0; i < recipients; ++i)
    mac.Update(ByteView(block + EnvelopeOverhead(i) + kRecipientMacOffset, 8));
  return mac.Finish();
}

std::optional<LoadedKey> SignatureKey(std::string_view signer) {
  if (!IsValidId(signer, KeyKind::Signature))
    return std::nullopt;
  return KeyDriver::Instance().Find(signer);
}

// The public keys of the signers of one check, each looked up once.
class SignerKeys {
public:
  SignerKeys(Generation generation, std::string_view publicDir)
      : generation_(generation), publicDir_(publicDir) {}

  // 0 with `key` set, or null for a signer absent from the directory; or a
  // directory code.
  Code Find(const std::string &signer, const PublicKeyBlock *&key) {
    auto found = found_.find(signer);
    if (found == found_.end()) {
      Entry entry;
      entry.code = LookupPublicKey(publicDir_, generation_, signer, KeyKind::Signature, entry.key);
      found = found_.emplace(signer, std::move(entry)).first;
    }
    key = found->second.code == code::kOk ? &found->second.key : nullptr;
    return found->second.code == code::kNoPublicKey ? code::kOk : found->second.code;
  }

private:
  struct Entry {
    Code code = code::kOk;
    PublicKeyBlock key;
  };
  Generation generation_;
  std::string_view publicDir_;
  std::map<std::string, Entry> found_;
};

// Verdict of one signature: 0 with the status filled, or a directory code.
Code Judge(SignerKeys &keys, const std::string &signer, const crypto::Digest256 &digest,
           const crypto::Signature &value, SignatureStatus &status) {
  status.signer = signer;
  const PublicKeyBlock *key = nullptr;
  if (Code c = keys.Find(signer, key); c != 0)
    return c;
  if (key == nullptr)
    status.verdict = kVerdictNoKey;
  else
    status.verdict = crypto::Verify(key->key, digest, value) ? kVerdictValid : kVerdictWrong;
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
  std::vector<std::string> ids;
  for (std::uint16_t number : recipients) {
    const std::string text = KeyNumberText(number);
    if (text.empty())
      return code::kNoPublicKey;
    ids.push_back(text + series);
    EnvelopeRecipient r;
    r.number = number;
    r.series = series;
    header.recipients.push_back(std::move(r));
  }
  std::vector<PublicKeyBlock> blocks;
  if (Code c = LookupPublicKeys(publicDir, generation, ids, KeyKind::Encryption, blocks); c != 0)
    return c;
  std::vector<std::shared_ptr<const crypto::CheckedPublicKey>> peers;
  for (const PublicKeyBlock &key : blocks) {
    auto checked = crypto::CheckPublicKey(key.key);
    if (!checked)
      return code::kBadKeyHeader;
    peers.push_back(std::move(checked));
  }

  // The content key, UKM and IV in one draw (each draw of the strong
  // generator mixes its pool: one draw costs about a third of a key
  // agreement).
  SecretBuffer fresh(32 + 8 + 8);
  crypto::RandomBytes(fresh.bytes().data(), fresh.bytes().size());
  const Key256 cek(ByteView(fresh.bytes().data(), 32));
  std::copy_n(fresh.bytes().data() + 32, 8, header.ukm.begin());
  std::copy_n(fresh.bytes().data() + 40, 8, header.iv.begin());
  std::vector<Key256> recipientMacKeys;
  recipientMacKeys.reserve(peers.size());
  for (std::size_t i = 0; i < peers.size(); ++i) {
    const KeyPair pair =
        DerivePairKeys(crypto::Vko256(*own->object, *peers[i], header.ukm), header.ukm);
    EnvelopeRecipient &r = header.recipients[i];
    std::copy(cek.data(), cek.data() + 32, r.wrappedKey.begin());
    crypto::Gost28147Ecb(pair.encryption, r.wrappedKey.data(), r.wrappedKey.size(),
                         crypto::Direction::Encrypt);
    recipientMacKeys.push_back(pair.mac);
  }

  const std::size_t offset = EnvelopeOverhead(recipients.size());
  // Move the plaintext into place first when input and output overlap.
  const auto in = reinterpret_cast<std::uintptr_t>(input);
  const auto out = reinterpret_cast<std::uintptr_t>(output);
  const bool overlap = in < out + offset + length && out < in + length;
  if (overlap)
    std::memmove(output + offset, input, length);
  BuildEnvelopeHeader(header, output);

  const KeyPair keys = DeriveContentKeys(cek, header.ukm);
  crypto::Gost28147Cfb cipher(keys.encryption, header.iv, crypto::Direction::Encrypt);
  BlockDigest digest(output, recipients.size());
  // One pass: encrypt a chunk, then hash it while it is in the cache.
  for (std::size_t done = 0; done < length;) {
    const std::size_t n = std::min(kChunk, length - done);
    std::uint8_t *chunk = output + offset + done;
    if (overlap)
      cipher.Process(chunk, n);
    else
      cipher.Process(input + done, chunk, n);
    digest.Update(ByteView(chunk, n));
    done += n;
  }
  const crypto::Digest256 blockDigest = digest.Finish();
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const crypto::Mac64 mac = RecipientMac(recipientMacKeys[i], cek, blockDigest);
    std::copy(mac.begin(), mac.end(), output + EnvelopeOverhead(i) + kRecipientMacOffset);
  }
  const crypto::Mac64 tag = BlockMac(keys.mac, blockDigest, output, recipients.size());
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
  for (const auto &key : keys) {
    const std::string_view series = std::string_view(key.id).substr(kKeyNumberLength);
    for (const auto &r : header.recipients)
      if (own == nullptr && r.number == ownKey && series == r.series) {
        own = &key;
        entry = &r;
      }
  }
  if (own == nullptr)
    return code::kBadKey;

  PublicKeyBlock sender;
  if (Code c = LookupPublicKey(publicDir, generation, header.sender, KeyKind::Encryption, sender);
      c != 0)
    return c;
  const auto senderKey = crypto::CheckPublicKey(sender.key);
  if (!senderKey)
    return code::kBadKeyHeader;
  // Everything is checked before the block is touched: the recipient MAC
  // (the block is the sender's, for this recipient), then the block MAC.
  const KeyPair pair =
      DerivePairKeys(crypto::Vko256(*own->object, *senderKey, header.ukm), header.ukm);
  Key256 cek(entry->wrappedKey);
  crypto::Gost28147Ecb(pair.encryption, cek.data(), cek.size(), crypto::Direction::Decrypt);
  BlockDigest digest(block, header.recipients.size());
  digest.Update(ByteView(block + header.payloadOffset, header.payloadLength));
  const crypto::Digest256 blockDigest = digest.Finish();
  const crypto::Mac64 mine = RecipientMac(pair.mac, cek, blockDigest);
  if (!ConstantTimeEqual(mine.data(), entry->mac.data(), mine.size()))
    return code::kBadMac;
  const KeyPair content = DeriveContentKeys(cek, header.ukm);
  const crypto::Mac64 tag = BlockMac(content.mac, blockDigest, block, header.recipients.size());
  if (!ConstantTimeEqual(tag.data(), header.mac.data(), tag.size()))
    return code::kBadMac;

  std::memmove(block, block + header.payloadOffset, header.payloadLength);
  crypto::Gost28147Cfb cipher(content.encryption, header.iv, crypto::Direction::Decrypt);
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
  s.value = crypto::Sign(*key->object, DetachedDigest(ByteView(data, length), s.signer));
  signature = BuildDetachedSignature(s);
  return code::kOk;
}

Code VerifyDetached(Generation generation, std::string_view publicDir, const std::uint8_t *data,
                    std::size_t length, const std::uint8_t *signature, std::size_t signatureLength,
                    std::vector<SignatureStatus> &statuses) {
  DetachedSignature s;
  if (Code c = ParseDetachedSignature(signature, signatureLength, s); c != 0)
    return c;
  SignerKeys keys(generation, publicDir);
  SignatureStatus status;
  if (Code c =
          Judge(keys, s.signer, DetachedDigest(ByteView(data, length), s.signer), s.value, status);
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
  SignedDigest covered(kAttachedSignatureLabel);
  covered.Update(ByteView(block, length));
  s.value = crypto::Sign(*key->object, AttachedDigest(covered, s));
  BuildAttachedRecord(s, block + length);
  length += kAttachedRecordSize;
  return code::kOk;
}

Code CheckAttached(Generation generation, std::string_view publicDir, const std::uint8_t *block,
                   std::size_t length, std::vector<SignatureStatus> &statuses) {
  statuses.clear();
  const auto signatures = ParseAttachedSignatures(block, length);
  // One pass over the block, oldest record first: each record's digest
  // continues the pass over the bytes before it, so the hashing does not
  // grow with the number of records.
  std::vector<crypto::Digest256> digests(signatures.size());
  SignedDigest covered(kAttachedSignatureLabel);
  for (std::size_t i = signatures.size(); i-- > 0;) {
    const std::size_t from = static_cast<std::size_t>(covered.Length());
    covered.Update(ByteView(block + from, signatures[i].coveredLength - from));
    digests[i] = AttachedDigest(covered, signatures[i]);
  }
  SignerKeys keys(generation, publicDir);
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    SignatureStatus status;
    if (Code c = Judge(keys, signatures[i].signer, digests[i], signatures[i].value, status); c != 0)
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
