#include "support/cp1251_utf16.h"

#include "platform/cp1251.h"

std::u16string Cp1251ToUtf16(std::string_view cp1251) {
  // Every Windows-1251 character lies in the Basic Multilingual Plane, so its
  // UTF-8 form has at most three bytes and one UTF-16 unit.
  const std::string utf8 = platform::Cp1251ToUtf8(cp1251);
  std::u16string wide;
  wide.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const auto next = [&](std::size_t k) {
      return static_cast<char16_t>(static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    };
    if (lead < 0x80) {
      wide += static_cast<char16_t>(lead);
      i += 1;
    } else if (lead < 0xE0 && i + 1 < utf8.size()) {
      wide += static_cast<char16_t>(((lead & 0x1F) << 6) | next(1));
      i += 2;
    } else if (i + 2 < utf8.size()) {
      wide += static_cast<char16_t>(((lead & 0x0F) << 12) | (next(1) << 6) | next(2));
      i += 3;
    } else {
      wide += u'?';
      break;
    }
  }
  return wide;
}
