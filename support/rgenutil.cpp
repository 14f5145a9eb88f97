#include "support/rgenutil.h"

#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

std::string IncludeDirDelimiter(std::string_view path) {
  std::string result(path);
  if (result.empty() || result.back() == '\\')
    return result;
  const char c = result.front();
  if (result.size() == 1 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
    result += ":\\";
  else
    result += '\\';
  return result;
}

int32_t SplitList(std::string_view text, std::vector<std::string> &list) {
  if (text.empty())
    return 0;
  int32_t count = 0;
  for (;;) {
    const auto separator = text.find(';');
    list.emplace_back(text.substr(0, separator));
    ++count;
    if (separator == std::string_view::npos)
      return count;
    text.remove_prefix(separator + 1);
  }
}

int32_t SplitList(const char *text, std::vector<std::string> &list) {
  return text == nullptr ? 0 : SplitList(std::string_view(text), list);
}

int64_t CountListItems(std::string_view text) {
  return text.empty() ? 0 : 1 + static_cast<int64_t>(std::count(text.begin(), text.end(), ';'));
}

bool IsTimeElapsed(int32_t seconds, double startDays) {
  return IsTimeElapsed(seconds, startDays, platform::NowLocalDays());
}

bool IsTimeElapsed(int32_t seconds, double startDays, double nowDays) {
  return std::fabs(nowDays - startDays) > seconds * kSecondInDays;
}

bool SaveBufferToFile(const std::string &fileName, const void *buffer, std::size_t length) {
  if (buffer == nullptr && length > 0)
    return false;
  return platform::WriteFileAtomically(fileName, buffer, length);
}

std::string BytesToHex(const void *data, uint32_t count, int32_t groupEvery, int32_t lineEvery) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  if (data == nullptr)
    return text;
  const auto *bytes = static_cast<const unsigned char *>(data);
  for (uint32_t i = 1; i <= count; ++i) {
    const unsigned char b = bytes[i - 1];
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
    if (groupEvery > 0 && i % static_cast<uint32_t>(groupEvery) == 0)
      text += ' ';
    if (lineEvery > 0 && i % static_cast<uint32_t>(lineEvery) == 0)
      text += "\r\n";
  }
  return text;
}

bool TryStrToInt(std::string_view text, int32_t &value) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ')
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size())
    return false;
  // The magnitude may reach 2^31 only for a negative value.
  const uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else
      return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit)
      return false;
  }
  value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                   : static_cast<int32_t>(magnitude);
  return true;
}

std::string TrimControl(std::string_view text) {
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!text.empty() && isControl(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isControl(text.back()))
    text.remove_suffix(1);
  return std::string(text);
}

std::string UpperCaseAscii(std::string_view text) {
  std::string result(text);
  for (char &c : result)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return result;
}
