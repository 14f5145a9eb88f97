// The provider's memory operations: encryption for recipients, decryption,
// detached and attached signatures. Keys come from the key driver, public
// keys of correspondents from the public key directory.
#pragma once

#include "formats.h"

namespace kestrel_provider {

// Encrypts `length` bytes for the recipients (key numbers) with the
// encryption key in slot 0. `output` has room for length +
// EnvelopeOverhead(recipients) bytes and may overlap the input.
Code EncryptBlock(Generation generation, std::string_view publicDir, const std::uint8_t *input,
                  std::size_t length, std::uint8_t *output, std::uint16_t ownKey,
                  const std::vector<std::uint16_t> &recipients, std::string_view keySeries);

// The sender's 10-character identifier of an encrypted block.
Code SenderOfBlock(const std::uint8_t *data, std::size_t length, std::string &sender);

// The recipient numbers of an encrypted block.
Code RecipientsOfBlock(const std::uint8_t *data, std::size_t length,
                       std::vector<std::uint16_t> &numbers);

// Decrypts in place with a loaded encryption key numbered ownKey; on
// success `length` becomes the plaintext length. The block is unchanged
// on failure.
Code DecryptBlock(Generation generation, std::string_view publicDir, std::uint8_t *block,
                  std::size_t &length, std::uint16_t ownKey);

struct SignatureStatus {
  std::string signer;
  std::uint8_t verdict = 0; // 0 valid, 1 signature wrong, 2 public key not found
};
constexpr std::uint8_t kVerdictValid = 0;
constexpr std::uint8_t kVerdictWrong = 1;
constexpr std::uint8_t kVerdictNoKey = 2;

// A detached signature with the loaded signature key `signer`.
Code SignDetached(const std::uint8_t *data, std::size_t length, std::string_view signer,
                  Bytes &signature);
Code VerifyDetached(Generation generation, std::string_view publicDir, const std::uint8_t *data,
                    std::size_t length, const std::uint8_t *signature, std::size_t signatureLength,
                    std::vector<SignatureStatus> &statuses);

// Appends a signature record to the block (room for kAttachedRecordSize
// more bytes is the caller's) and grows `length`.
Code SignAttached(std::uint8_t *block, std::size_t &length, std::string_view signer);
// Checks the attached signatures, newest first.
Code CheckAttached(Generation generation, std::string_view publicDir, const std::uint8_t *block,
                   std::size_t length, std::vector<SignatureStatus> &statuses);
// Removes the `count` newest signatures.
Code DeleteAttached(const std::uint8_t *block, std::size_t &length, int count);

} // namespace kestrel_provider
