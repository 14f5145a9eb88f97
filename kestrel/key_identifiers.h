// Key identifiers and the size of an encrypted block: the facts the binding
// and the engine share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

// The four-digit key number an identifier begins with: the form recipient
// lists and the user's own series use.
inline constexpr std::size_t kKeyNumberLength = 4;
// Identifiers of the two kinds of key.
inline constexpr std::size_t kEncryptionKeyIdLength = 10;
inline constexpr std::size_t kSignatureKeyIdLength = 12;

// An encrypted block is the plaintext, a header and one record a recipient.
inline constexpr std::uint64_t kEncryptedBlockHeader = 37;
inline constexpr std::uint64_t kEncryptedBlockPerRecipient = 48;
// What encryption adds to the plaintext for this many recipients.
constexpr std::uint64_t EncryptedBlockOverhead(std::uint64_t recipients) {
  return kEncryptedBlockPerRecipient * recipients + kEncryptedBlockHeader;
}

} // namespace kestrel
