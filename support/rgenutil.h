// Small text and file utilities shared by the engine, its base class and the
// library binding. All are stateless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Completes a directory path: a trailing backslash is added when missing, a
// lone drive letter gets ":\"; an empty path stays empty.
std::string IncludeDirDelimiter(std::string_view path);

// Splits a ";"-separated list and appends every item (untrimmed, empty items
// included) to list; a text with k separators gives k + 1 items. A nil or
// empty text appends nothing. Returns the number of items appended.
int32_t SplitList(std::string_view text, std::vector<std::string> &list);
int32_t SplitList(const char *text, std::vector<std::string> &list);
// The number of items SplitList would give, without making them: a list as
// long as the address space allows still counts in constant memory.
int64_t CountListItems(std::string_view text);

// A second in days, as local date-times count it.
inline constexpr double kSecondInDays = 1.1574E-5;

// True when more than the given number of seconds lie between now and start
// (a local date-time in days), in either direction.
bool IsTimeElapsed(int32_t seconds, double startDays);
// The same for a given now (a local date-time in days).
bool IsTimeElapsed(int32_t seconds, double startDays, double nowDays);

// Replaces the file with the bytes given. The new content is written beside
// the file and moved over it only when every byte reached the disk, so a
// failure (no room, no such directory, no access) returns false and leaves
// any old file as it was.
bool SaveBufferToFile(const std::string &fileName, const void *buffer, std::size_t length);

// The bytes as upper-case hexadecimal pairs; a blank after every groupEvery
// bytes and CR LF after every lineEvery bytes (0: never).
std::string BytesToHex(const void *data, uint32_t count, int32_t groupEvery, int32_t lineEvery);

// Integer text to a 32-bit integer: leading blanks, an optional sign, then
// decimal digits or hexadecimal ones after "$", "x" or "0x". Empty text,
// trailing blanks, any other character or a value outside the 32-bit range
// fail (false, value untouched).
bool TryStrToInt(std::string_view text, int32_t &value);

// The text without leading and trailing characters with codes up to 32.
std::string TrimControl(std::string_view text);

// The text with the ASCII letters a to z upper-cased; every other byte kept.
std::string UpperCaseAscii(std::string_view text);
