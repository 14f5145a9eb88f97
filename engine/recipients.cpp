#include "engine/recipients.h"

#include "kestrel/key_identifiers.h"
#include "support/rgenutil.h"

#include <cstdint>
#include <limits>
#include <string>

namespace {

using kestrel::kKeyNumberLength;

} // namespace

std::optional<uint16_t> ReadKeyNumber(std::string_view identifier) {
  int32_t value = 0;
  if (!TryStrToInt(identifier.substr(0, kKeyNumberLength), value))
    return std::nullopt;
  return static_cast<uint16_t>(value);
}

int32_t EncryptionAddition(std::size_t recipients) {
  constexpr uint64_t kLargest = std::numeric_limits<int32_t>::max();
  if (recipients >
      (kLargest - kestrel::kEncryptedBlockHeader) / kestrel::kEncryptedBlockPerRecipient)
    return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(kestrel::EncryptedBlockOverhead(recipients));
}

int32_t ReadRecipientList(std::string_view text, std::vector<uint16_t> &recipients) {
  recipients.clear();
  const std::string trimmed = TrimControl(text);
  if (trimmed.empty())
    return CE_ERR_BAD_ABONENTS;
  std::vector<std::string> entries;
  SplitList(std::string_view(trimmed), entries);
  std::vector<uint16_t> numbers;
  numbers.reserve(entries.size() + 1);
  for (const std::string &entry : entries) {
    const std::optional<uint16_t> number = ReadKeyNumber(entry);
    if (!number || *number == 0)
      return CE_ERR_ENCODE_UID_SETTINGS;
    numbers.push_back(*number);
  }
  numbers.push_back(0);
  recipients = std::move(numbers);
  return 0;
}
