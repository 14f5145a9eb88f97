// The provider's formats: public key blocks, secret key files, detached and
// attached signatures, encrypted blocks and the public key directory file.
// Every parser is a plain function over (pointer, length) that never reads
// outside the given bytes and reports a code for anything malformed.
#pragma once

#include "codes.h"
#include "crypto.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrel_provider {

// Library generation: 4 or 5. It decides the public key block size.
enum class Generation : std::uint8_t { G4 = 4, G5 = 5 };

constexpr std::size_t PublicKeyBlockSize(Generation g) { return g == Generation::G4 ? 240 : 304; }

// Key kinds: an encryption key has a 10-character identifier, a signature
// key a 12-character one; both are decimal digits, the first four being the
// key number and the next six the series.
enum class KeyKind : char { Encryption = 'E', Signature = 'S' };

constexpr std::size_t kEncryptionIdLength = 10;
constexpr std::size_t kSignatureIdLength = 12;
constexpr std::size_t kKeyNumberLength = 4;
constexpr std::size_t kSeriesLength = 6;

constexpr std::size_t IdLength(KeyKind kind) {
  return kind == KeyKind::Encryption ? kEncryptionIdLength : kSignatureIdLength;
}
bool IsValidId(std::string_view id, KeyKind kind);
// The kind an identifier has by its length and digits, if any.
std::optional<KeyKind> KindOfId(std::string_view id);
// The four-digit text of a 16-bit key number ("0017"); empty above 9999.
std::string KeyNumberText(std::uint16_t number);
// A NUL-terminated text of at most maxLength characters; nullopt for a
// null pointer or a longer text.
std::optional<std::string> BoundedText(const char *text, std::size_t maxLength);

// --- public key block ---
// A block carries the key's own signature over its generation, kind,
// identifier and key (proof of possession): only the holder of the private
// key can put that key under an identifier, so nobody can relabel another
// user's key.
struct PublicKeyBlock {
  Generation generation = Generation::G4;
  KeyKind kind = KeyKind::Encryption;
  std::string id;
  crypto::PublicKey key{};
  crypto::Signature proof{}; // the key's signature over PublicKeyProofDigest
};
// What the proof of possession signs: a context label no other signed
// structure of the library uses, then the fields with their lengths.
crypto::Digest256 PublicKeyProofDigest(const PublicKeyBlock &block);
// The block bytes as given (proof included, not checked).
Bytes BuildPublicKeyBlock(const PublicKeyBlock &block);
// Signs the block with the private key of its public key and returns its
// bytes.
Bytes BuildSignedPublicKeyBlock(PublicKeyBlock block, const Key256 &privateKey);
// 0 or kBadKeyHeader (wrong size, magic, format version, generation, kind,
// identifier, reserved bytes or, with checkKey, a wrong check value, a point
// off the curve or a proof of possession that does not verify). Blocks read
// back from a MAC-checked directory were checked in full when they were
// added: a whole directory is read without checkKey, and the entry a lookup
// hands out is checked in full again.
Code ParsePublicKeyBlock(const std::uint8_t *data, std::size_t length, Generation generation,
                         PublicKeyBlock &out, bool checkKey = true);

// --- secret key file ---
constexpr std::size_t kSecretKeyFileSize = 160;
struct SecretKeyFile {
  Generation generation = Generation::G4;
  KeyKind kind = KeyKind::Encryption;
  std::string id;
  Key256 privateKey;
  crypto::PublicKey publicKey{};
};
Bytes BuildSecretKeyFile(const SecretKeyFile &file);
// What ParseSecretKeyFile checks besides the layout, the check value and
// the private key's range. The check value is a plain hash that whoever can
// write the file can recompute, so it says nothing about whether the stored
// public key belongs to the private key; only a scalar multiplication does.
enum class SecretKeyCheck {
  // The stored public key must be the private key's: the whole file is
  // read and vouched for.
  KeyPair,
  // The stored public key is not read (out.publicKey is left zero): for
  // loading a key, which is used by its private key alone. Whatever the
  // file claims as its public key then never reaches an operation.
  PrivateKey,
};
// 0 or kKeyNotFound ("key not found or corrupted") for anything malformed:
// a private key of 0 or not below the group order, and with KeyPair a
// private key that does not match its public key.
Code ParseSecretKeyFile(const std::uint8_t *data, std::size_t length, SecretKeyFile &out,
                        SecretKeyCheck check = SecretKeyCheck::KeyPair);

// --- what signatures sign ---
// Every signature of the library signs the Streebog-256 digest of one
// encoding: label || 00 || data || data length (8 bytes) || fields, where the
// label names the signed structure, no label (with its NUL) is a prefix of
// another, and the fields are the structure's own bytes, of a fixed size per
// label. So a signature made for one structure never checks out as another,
// nor over other data.
inline constexpr std::string_view kDetachedSignatureLabel = "kestrel detached signature";
inline constexpr std::string_view kAttachedSignatureLabel = "kestrel attached signature";

class SignedDigest {
public:
  explicit SignedDigest(std::string_view label);
  void Update(ByteView data);
  std::uint64_t Length() const { return length_; }
  // The digest over the data fed so far and the given fields; more data may
  // follow, so one pass over a block serves the records at every length.
  crypto::Digest256 Digest(ByteView fields) const;

private:
  crypto::Streebog256Hasher hasher_;
  std::uint64_t length_ = 0;
};

// Format version 2 of detached signatures and attached records: signed by
// the encoding above. Version 1 signed the bare data digest and is no
// longer read (a detached one is "not a signature", records of it are not
// found).
constexpr std::uint8_t kSignatureFormatVersion = 2;

// --- detached signature ---
constexpr std::size_t kDetachedSignatureSize = 84;
constexpr std::size_t kDetachedSignedFields = 20; // bytes before the signature value
struct DetachedSignature {
  std::string signer;
  crypto::Signature value{};
};
Bytes BuildDetachedSignature(const DetachedSignature &signature);
// 0, kNotSigned (not a signature) or kBadLength (truncated or overlong).
Code ParseDetachedSignature(const std::uint8_t *data, std::size_t length, DetachedSignature &out);
// The digest a detached signature by `signer` over the data signs.
crypto::Digest256 DetachedDigest(ByteView data, std::string_view signer);

// --- attached signatures: records appended to the data, newest last ---
constexpr std::size_t kAttachedRecordSize = 96;
constexpr std::size_t kMaxAttachedSignatures = 255;
struct AttachedSignature {
  std::string signer;
  std::uint32_t coveredLength = 0; // bytes of the block before this record
  crypto::Signature value{};
};
void BuildAttachedRecord(const AttachedSignature &signature, std::uint8_t *out);
// The signature records at the end of a block, newest first (at most 255).
std::vector<AttachedSignature> ParseAttachedSignatures(const std::uint8_t *data,
                                                       std::size_t length);
// The digest the record signs: the bytes it covers (fed to `covered`, whose
// length is the record's covered length) and the record's fields.
crypto::Digest256 AttachedDigest(const SignedDigest &covered, const AttachedSignature &signature);

// --- encrypted block ---
// Format 0xE2: every recipient record carries a MAC under the key that only
// the sender and that recipient share; 0xE1 (a content MAC every recipient
// could recompute) is no longer read and is "not an encrypted block".
constexpr std::size_t kEnvelopeHeaderSize = 37;
constexpr std::size_t kEnvelopeRecipientSize = 48;
constexpr std::uint8_t kEnvelopeFormat = 0xE2;
// Offsets of the block MAC in the header and of the MAC in a recipient record.
constexpr std::size_t kEnvelopeMacOffset = 29;
constexpr std::size_t kRecipientMacOffset = 40;
struct EnvelopeRecipient {
  std::uint16_t number = 0;
  std::string series; // 6 characters
  std::array<std::uint8_t, 32> wrappedKey{};
  crypto::Mac64 mac{}; // under the sender's and this recipient's pairwise key
};
struct EnvelopeHeader {
  std::string sender; // 10 characters
  crypto::Block64 ukm{};
  crypto::Block64 iv{};
  crypto::Mac64 mac{}; // block MAC under the content key
  std::vector<EnvelopeRecipient> recipients;
  std::size_t payloadOffset = 0; // where the ciphertext starts
  std::size_t payloadLength = 0;
};
constexpr std::size_t EnvelopeOverhead(std::size_t recipients) {
  return kEnvelopeHeaderSize + kEnvelopeRecipientSize * recipients;
}
// Writes header and recipient records (MAC fields as given) into out, which
// has room for EnvelopeOverhead(recipients).
void BuildEnvelopeHeader(const EnvelopeHeader &header, std::uint8_t *out);
// 0 or kNotEncrypted. Checks the format byte, the sender identifier, the
// recipient count and that the block holds the records and at least one
// byte of ciphertext.
Code ParseEnvelopeHeader(const std::uint8_t *data, std::size_t length, EnvelopeHeader &out);

// --- public key directory file ---
constexpr std::size_t kDirectoryHeaderSize = 56;
constexpr std::size_t kDirectoryIdentitySize = 16;
using DirectoryIdentity = std::array<std::uint8_t, kDirectoryIdentitySize>;
constexpr std::size_t kDirectoryEntryTrailer = 24;
constexpr std::size_t DirectoryEntrySize(Generation g) {
  return PublicKeyBlockSize(g) + kDirectoryEntryTrailer;
}
struct DirectoryEntry {
  Bytes block; // the public key block as stored
  PublicKeyBlock key;
  KeyKind makerKind = KeyKind::Encryption;
  std::string maker; // the owner identifier that added it
  crypto::Mac64 mac{};
};
struct DirectoryFile {
  Generation generation = Generation::G4;
  std::string owner; // owner's encryption key identifier
  std::vector<DirectoryEntry> entries;
  // Random when the file is made; tells this directory from every other one
  // of the same owner.
  DirectoryIdentity identity{};
  // Raised by one at every update: an older copy has a lower number.
  std::uint64_t version = 0;
};
// Structure only (no MACs): 0, kDirectoryLength or kBadMacHeader. The MACs
// are checked by VerifyDirectory.
Code ParseDirectoryStructure(const std::uint8_t *data, std::size_t length, Generation generation,
                             DirectoryFile &out, crypto::Mac64 &headerMac);
// Checks every MAC with the owner's directory key: 0, kBadMacHeader,
// kMissingMac, kWrongMac or kBadKeyHeader. With `only` set, checks the
// header MAC (which covers every entry's MAC) and only the entries stored
// under that identifier, and returns only those: what a lookup needs, at a
// cost that does not grow with the directory.
Code VerifyDirectory(const std::uint8_t *data, std::size_t length, Generation generation,
                     const Key256 &directoryKey, DirectoryFile &out, std::string_view only = {});
// The structure and the header MAC only: the MACs of the entries are
// covered, their blocks unchecked (`out` holds them as stored).
Code VerifyDirectoryHeader(const std::uint8_t *data, std::size_t length, Generation generation,
                           const Key256 &directoryKey, DirectoryFile &out);
// One entry of a directory whose header MAC was checked: its MAC, fields and
// block structure (not the block's point or proof of possession).
Code VerifyDirectoryEntry(const std::uint8_t *data, std::size_t length, Generation generation,
                          const Key256 &directoryKey, std::size_t index, DirectoryEntry &out);
// Serialises the directory, computing every MAC with the directory key.
Bytes BuildDirectory(const DirectoryFile &file, const Key256 &directoryKey);
// The directory key of an owner: derived from the owner's private
// encryption key.
Key256 DirectoryKey(const Key256 &ownerPrivateKey, std::string_view ownerId);

// --- versions of directories seen, kept on the owner's key device ---
// One record per directory (identity, highest version seen), and one per
// folder (the directory current there), each list most recently changed
// first, at most kMaxSeenDirectories and kMaxSeenFolders; MACed with a key
// derived from the owner's private encryption key.
constexpr std::size_t kMaxSeenDirectories = 1024;
constexpr std::size_t kMaxSeenFolders = 1024;
// The version recorded for a directory its owner gave up: every copy of it
// is older.
constexpr std::uint64_t kRetiredVersion = ~std::uint64_t{0};
constexpr std::size_t kFolderKeySize = 16;
using FolderKey = std::array<std::uint8_t, kFolderKeySize>;
struct SeenVersions {
  std::string owner; // owner's encryption key identifier
  std::vector<std::pair<DirectoryIdentity, std::uint64_t>> records;
  std::vector<std::pair<FolderKey, DirectoryIdentity>> folders;
};
Key256 SeenVersionsKey(const Key256 &ownerPrivateKey, std::string_view ownerId);
// Writes format version 2.
Bytes BuildSeenVersions(const SeenVersions &seen, const Key256 &key);
// Reads format versions 1 (no folders) and 2: 0 or kKeyNotFound for
// anything malformed or a wrong MAC.
Code ParseSeenVersions(const std::uint8_t *data, std::size_t length, const Key256 &key,
                       SeenVersions &out);

} // namespace kestrel_provider
