// The engine's integer conversion against a plain reference reading of the
// same rules: leading blanks, a sign, decimal digits or hexadecimal ones
// after "$", "x" or "0x", and the 32-bit range.
#include "fuzz_support.h"

#include "support/rgenutil.h"

#include <optional>

namespace {

std::optional<int64_t> Reference(std::string_view text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos)
    return std::nullopt;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-')
    negative = text[i++] == '-';
  int base = 10;
  if (text.substr(i, 2) == "0x" || text.substr(i, 2) == "0X") {
    base = 16;
    i += 2;
  } else if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    i += 1;
  }
  const std::string_view digits = text.substr(std::min(i, text.size()));
  if (digits.empty())
    return std::nullopt;
  int64_t magnitude = 0;
  for (char c : digits) {
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    if (digit < 0)
      return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > (int64_t{1} << 31))
      return std::nullopt;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX || value < INT32_MIN)
    return std::nullopt;
  return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  int32_t value = 0x5A5A5A5A;
  const bool converted = TryStrToInt(text, value);
  const std::optional<int64_t> expected = Reference(text);
  FUZZ_CHECK(converted == expected.has_value());
  FUZZ_CHECK(converted ? value == *expected : value == 0x5A5A5A5A);
  return 0;
}
