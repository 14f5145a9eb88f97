// Reading key numbers: the recipient list of an encryption and the user's own
// key number. A key number is the integer written in the first four
// characters of an identifier or list entry, kept in 16 bits.
#pragma once

#include "include/ce_kestrel.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The key number of an identifier or list entry: its first four characters
// (all of a shorter text) converted as an integer (leading blanks, a sign,
// decimal or hexadecimal after "$", "x" or "0x"), higher bits dropped.
// Nothing when they do not convert.
std::optional<uint16_t> ReadKeyNumber(std::string_view identifier);

// What an encrypted block for that many recipients adds to its plaintext:
// 48 bytes a recipient and 37 more, saturated at the largest int32_t.
int32_t EncryptionAddition(std::size_t recipients);

// Reads a recipient list ("0002;0017"): the text is trimmed of characters
// with codes up to 32 and split at every ";" (a trailing ";" gives an empty
// last entry; entries are not trimmed one by one). On success recipients
// holds one key number per entry, in list order and duplicates kept,
// followed by the closing 0, and the result is 0. Otherwise recipients is
// left empty and the result is CE_ERR_BAD_ABONENTS for an empty text, or
// CE_ERR_ENCODE_UID_SETTINGS for an entry that does not convert or names key
// number 0, which would end the array before the entries after it.
int32_t ReadRecipientList(std::string_view text, std::vector<uint16_t> &recipients);
