// The text and file utilities and the exception texts.
#include "platform/cp1251.h"
#include "platform/platform.h"
#include "support/cp1251_utf16.h"
#include "support/exception_text.h"
#include "support/rgenutil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(IncludeDirDelimiter, CompletesDirectoriesAndDriveLetters) {
  EXPECT_EQ(IncludeDirDelimiter(""), "");
  EXPECT_EQ(IncludeDirDelimiter("A:\\"), "A:\\");
  EXPECT_EQ(IncludeDirDelimiter("d"), "d:\\");
  EXPECT_EQ(IncludeDirDelimiter("Z"), "Z:\\");
  EXPECT_EQ(IncludeDirDelimiter("1"), "1\\");
  EXPECT_EQ(IncludeDirDelimiter("C:\\keys"), "C:\\keys\\");
  EXPECT_EQ(IncludeDirDelimiter("a:"), "a:\\");
}

TEST(SplitList, CountsEverySeparatedItemUntrimmed) {
  std::vector<std::string> list;
  EXPECT_EQ(SplitList("", list), 0);
  EXPECT_EQ(SplitList(static_cast<const char *>(nullptr), list), 0);
  EXPECT_TRUE(list.empty());

  EXPECT_EQ(SplitList("0001", list), 1);
  EXPECT_EQ(list, std::vector<std::string>({"0001"}));

  list.clear();
  EXPECT_EQ(SplitList("0001;0017", list), 2);
  EXPECT_EQ(list, std::vector<std::string>({"0001", "0017"}));

  list.clear();
  EXPECT_EQ(SplitList("0001;", list), 2);
  EXPECT_EQ(list, std::vector<std::string>({"0001", ""}));

  list.clear();
  EXPECT_EQ(SplitList(";", list), 2);
  EXPECT_EQ(list, std::vector<std::string>({"", ""}));

  list.clear();
  EXPECT_EQ(SplitList(" 0002 ; 0003", list), 2);
  EXPECT_EQ(list, std::vector<std::string>({" 0002 ", " 0003"}));
}

TEST(SplitList, AppendsWithoutClearing) {
  std::vector<std::string> list = {"kept"};
  EXPECT_EQ(SplitList("b;a", list), 2);
  EXPECT_EQ(list, std::vector<std::string>({"kept", "b", "a"}));
}

TEST(IsTimeElapsed, ComparesTheAbsoluteDifferenceWithTheLimit) {
  const double now = platform::NowLocalDays();
  EXPECT_FALSE(IsTimeElapsed(60, now));
  EXPECT_TRUE(IsTimeElapsed(0, now - 10 * kSecondInDays));
  EXPECT_TRUE(IsTimeElapsed(5, now - 10 * kSecondInDays));
  EXPECT_FALSE(IsTimeElapsed(20, now - 10 * kSecondInDays));
  // A clock moved backwards counts by the absolute difference.
  EXPECT_TRUE(IsTimeElapsed(5, now + 10 * kSecondInDays));
  EXPECT_FALSE(IsTimeElapsed(20, now + 10 * kSecondInDays));
}

TEST(BytesToHex, GroupsAndLines) {
  const unsigned char three[] = {0x01, 0xAB, 0xFF};
  EXPECT_EQ(BytesToHex(three, 3, 2, 18), "01AB FF");

  const unsigned char four[] = {0x00, 0x10, 0x7F, 0x80};
  EXPECT_EQ(BytesToHex(four, 4, 2, 4), "0010 7F80 \r\n");
  EXPECT_EQ(BytesToHex(four, 4, 1, 2), "00 10 \r\n7F 80 \r\n");
  EXPECT_EQ(BytesToHex(four, 0, 2, 18), "");
}

TEST(TryStrToInt, DecimalWithLeadingBlanksAndSign) {
  int32_t value = 0;
  EXPECT_TRUE(TryStrToInt("60", value));
  EXPECT_EQ(value, 60);
  EXPECT_TRUE(TryStrToInt("   -3", value));
  EXPECT_EQ(value, -3);
  EXPECT_TRUE(TryStrToInt("+17", value));
  EXPECT_EQ(value, 17);
  EXPECT_TRUE(TryStrToInt("0001", value));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(TryStrToInt("2147483647", value));
  EXPECT_EQ(value, INT32_MAX);
  EXPECT_TRUE(TryStrToInt("-2147483648", value));
  EXPECT_EQ(value, INT32_MIN);
}

TEST(TryStrToInt, HexadecimalPrefixes) {
  int32_t value = 0;
  EXPECT_TRUE(TryStrToInt("$1F", value));
  EXPECT_EQ(value, 31);
  EXPECT_TRUE(TryStrToInt("x10", value));
  EXPECT_EQ(value, 16);
  EXPECT_TRUE(TryStrToInt("X10", value));
  EXPECT_EQ(value, 16);
  EXPECT_TRUE(TryStrToInt("0xff", value));
  EXPECT_EQ(value, 255);
  EXPECT_TRUE(TryStrToInt("-$10", value));
  EXPECT_EQ(value, -16);
  EXPECT_TRUE(TryStrToInt("$7FFFFFFF", value));
  EXPECT_EQ(value, INT32_MAX);
}

TEST(TryStrToInt, RejectsAnythingElseAndLeavesTheValue) {
  int32_t value = 42;
  for (const char *text : {"", " ", "-", "+", "$", "0x", "60 ", "6 0", "1a", "abc", "1.5", "\t5",
                           "2147483648", "-2147483649", "$80000000", "99999999999", "$G", "--1"}) {
    EXPECT_FALSE(TryStrToInt(text, value)) << "text: \"" << text << "\"";
    EXPECT_EQ(value, 42) << "text: \"" << text << "\"";
  }
}

TEST(TrimControl, TrimsCodesUpToBlankOnBothEnds) {
  EXPECT_EQ(TrimControl(" \t\r\nNo \x01"), "No");
  EXPECT_EQ(TrimControl("  "), "");
  EXPECT_EQ(TrimControl(""), "");
  EXPECT_EQ(TrimControl("a b"), "a b");
  // Windows-1251 letters are above 127 and must survive as they are.
  const std::string net = platform::Utf8ToCp1251("нет");
  EXPECT_EQ(TrimControl(" " + net + " "), net);
}

TEST(UpperCaseAscii, ChangesOnlyLatinLetters) {
  const std::string cyrillic = platform::Utf8ToCp1251("нет");
  EXPECT_EQ(UpperCaseAscii("c:\\root\\Keys1" + cyrillic), "C:\\ROOT\\KEYS1" + cyrillic);
}

TEST(SaveBufferToFile, RefusesAMissingBufferOfPositiveLength) {
  EXPECT_FALSE(SaveBufferToFile("never-written.bin", nullptr, 3));
}

TEST(ExceptionText, ClassNamesAreDemangled) {
  EXPECT_EQ(ExceptionClassName(std::bad_alloc()), "std::bad_alloc");
  EXPECT_EQ(ExceptionClassName(std::runtime_error("x")), "std::runtime_error");
  EXPECT_EQ(ExceptionClassName(EAssertionFailed("x")), "EAssertionFailed");
  const std::exception &base = std::out_of_range("x");
  EXPECT_EQ(ExceptionClassName(base), "std::out_of_range");
}

TEST(ExceptionText, AssertNamesTheConditionAndPlace) {
  const int *missing = nullptr;
  try {
    CE_ASSERT(missing != nullptr);
    FAIL() << "no exception";
  } catch (const EAssertionFailed &e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("missing != nullptr"), std::string::npos) << what;
    EXPECT_NE(what.find("utilities_test.cpp"), std::string::npos) << what;
  }
  EXPECT_NO_THROW(CE_ASSERT(missing == nullptr));
}

TEST(Cp1251ToUtf16, ConvertsLatinAndCyrillic) {
  EXPECT_EQ(Cp1251ToUtf16(""), u"");
  EXPECT_EQ(Cp1251ToUtf16("1.2.643"), u"1.2.643");
  EXPECT_EQ(Cp1251ToUtf16(platform::Utf8ToCp1251("Подпись №1 ёЁ")), u"Подпись №1 ёЁ");
}

} // namespace
