// The engine's recipient list and key number reading, and the size query
// that counts the entries of a list.
#include "fuzz_support.h"

#include "engine/kestrel4_engine.h"
#include "engine/recipients.h"
#include "kestrel/key_identifiers.h"
#include "support/rgenutil.h"

#include <algorithm>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text = cefuzz::HostText(data, size);

  std::vector<uint16_t> recipients{7};
  const int32_t result = ReadRecipientList(text, recipients);
  const std::string trimmed = TrimControl(text);
  std::vector<std::string> entries;
  SplitList(std::string_view(trimmed), entries);
  if (result == 0) {
    // One key number per entry, then the only 0.
    FUZZ_CHECK(recipients.size() == entries.size() + 1);
    FUZZ_CHECK(recipients.back() == 0);
    FUZZ_CHECK(std::count(recipients.begin(), recipients.end(), 0) == 1);
    for (std::size_t i = 0; i < entries.size(); ++i)
      FUZZ_CHECK(ReadKeyNumber(entries[i]) == recipients[i]);
  } else {
    FUZZ_CHECK(recipients.empty());
    FUZZ_CHECK(result == (trimmed.empty() ? CE_ERR_BAD_ABONENTS : CE_ERR_ENCODE_UID_SETTINGS));
  }

  const std::optional<uint16_t> number = ReadKeyNumber(text);
  int32_t value = 0;
  const bool converts = TryStrToInt(std::string_view(text).substr(0, 4), value);
  FUZZ_CHECK(number.has_value() == converts);
  if (converts)
    FUZZ_CHECK(*number == static_cast<uint16_t>(value));

  static TKestrel4Engine engine;
  const int32_t addition = engine.GetMaxAdditionEx(text.c_str());
  FUZZ_CHECK(addition > 0);
  if (!text.empty()) {
    std::vector<std::string> raw;
    const auto expected =
        kestrel::EncryptedBlockOverhead(static_cast<uint64_t>(SplitList(text.c_str(), raw)));
    FUZZ_CHECK(static_cast<uint64_t>(addition) ==
               std::min<uint64_t>(expected, std::numeric_limits<int32_t>::max()));
  }
  return 0;
}
