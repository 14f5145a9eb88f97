// Reading recipient lists and key numbers.
#include "engine/recipients.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Numbers = std::vector<uint16_t>;

// The reader's result together with the recipient array it left.
std::pair<int32_t, Numbers> Read(std::string_view text) {
  Numbers recipients{12345}; // stale content the reader must not keep
  const int32_t result = ReadRecipientList(text, recipients);
  return {result, recipients};
}

TEST(RecipientList, EntriesInOrderWithClosingZero) {
  EXPECT_EQ(Read("0002;0017"), std::make_pair(0, Numbers{2, 17, 0}));
  EXPECT_EQ(Read("0001"), std::make_pair(0, Numbers{1, 0}));
  // A key number named twice is encrypted for twice.
  EXPECT_EQ(Read("0005;0005;0007"), std::make_pair(0, Numbers{5, 5, 7, 0}));
}

TEST(RecipientList, WholeTextTrimmedButEntriesNot) {
  EXPECT_EQ(Read(" \t0002;0017\r\n"), std::make_pair(0, Numbers{2, 17, 0}));
  // Leading blanks of an entry are part of the integer text...
  EXPECT_EQ(Read("0002; 17"), std::make_pair(0, Numbers{2, 17, 0}));
  // ...trailing ones are not.
  EXPECT_EQ(Read("17 ;0002").first, CE_ERR_ENCODE_UID_SETTINGS);
}

TEST(RecipientList, EmptyOrBlankTextIsNotSet) {
  EXPECT_EQ(Read(""), std::make_pair(int32_t{CE_ERR_BAD_ABONENTS}, Numbers{}));
  EXPECT_EQ(Read("   "), std::make_pair(int32_t{CE_ERR_BAD_ABONENTS}, Numbers{}));
  EXPECT_EQ(Read(std::string_view("\x01\x1f ", 3)).first, CE_ERR_BAD_ABONENTS);
}

TEST(RecipientList, EmptyOrNonNumericEntryIsRefused) {
  for (const char *text : {"0001;", ";0001", "0001;;0002", ";", "abcd", "0001;00x1", "+", "$"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Read(text), std::make_pair(int32_t{CE_ERR_ENCODE_UID_SETTINGS}, Numbers{}));
  }
}

TEST(RecipientList, KeyNumberZeroWouldEndTheArrayEarlyAndIsRefused) {
  for (const char *text : {"0000", "0002;0000;0017", "0017;0", "-0", "$0", "0x0", "00000017"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Read(text), std::make_pair(int32_t{CE_ERR_ENCODE_UID_SETTINGS}, Numbers{}));
  }
}

TEST(RecipientList, OnlyTheFirstFourCharactersOfAnEntryCount) {
  // A full identifier stands for the key number in its first four characters.
  EXPECT_EQ(Read("0017000001;001700000101"), std::make_pair(0, Numbers{17, 17, 0}));
  // What follows the fourth character is never looked at.
  EXPECT_EQ(Read("0017zz!"), std::make_pair(0, Numbers{17, 0}));
  // The fifth digit is cut off: 65536 reads as 6553.
  EXPECT_EQ(Read("65536"), std::make_pair(0, Numbers{6553, 0}));
}

TEST(RecipientList, SignsAndHexadecimalTo16Bits) {
  EXPECT_EQ(Read("-1"), std::make_pair(0, Numbers{65535, 0}));
  EXPECT_EQ(Read("-999"), std::make_pair(0, Numbers{static_cast<uint16_t>(-999), 0}));
  EXPECT_EQ(Read("+12;$1F;x1f;0x1F"), std::make_pair(0, Numbers{12, 31, 31, 31, 0}));
}

TEST(KeyNumber, FirstFourCharactersAsInteger) {
  EXPECT_EQ(ReadKeyNumber("0001"), uint16_t{1});
  EXPECT_EQ(ReadKeyNumber("0017000001"), uint16_t{17});
  EXPECT_EQ(ReadKeyNumber("12"), uint16_t{12});
  EXPECT_EQ(ReadKeyNumber(" -1"), uint16_t{65535});
  EXPECT_EQ(ReadKeyNumber("0000"), uint16_t{0}); // the user's own number may be 0
  EXPECT_EQ(ReadKeyNumber(""), std::nullopt);
  EXPECT_EQ(ReadKeyNumber("A001000001"), std::nullopt);
  EXPECT_EQ(ReadKeyNumber("1 23"), std::nullopt);
}

} // namespace
