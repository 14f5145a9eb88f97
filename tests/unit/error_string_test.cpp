// The engine's result texts: its own codes, the last exception text behind
// -102, and the binding's texts for every other code.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "kestrel/result_codes.h"
#include "platform/cp1251.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

constexpr std::size_t kTextRoom = 255; // GetMaxErrorStringLength

// The buffer after the call: 255 bytes the engine may write and a guard.
std::string RawText(TKestrel4Engine &engine, int32_t code) {
  std::string buffer(kTextRoom + 16, 'x');
  engine.GetCryptoErrorString(code, buffer.data());
  return buffer;
}

std::string TextOf(TKestrel4Engine &engine, int32_t code) { return RawText(engine, code).c_str(); }

const std::string kNoLibrary = platform::Utf8ToCp1251(
    "Невозможно получить информацию об ошибке. Криптоядро не проинициализировано.");

TEST(ErrorString, EngineCodesGiveTheEngineTextsWithoutTheLibrary) {
  const std::pair<int32_t, const char *> expected[] = {
      {-2, "Null pointer or incorrect data size (buffer) passed to the function!"},
      {-11, "Encoding abonent(s) isn't set or set incorrect."},
      {-100, "Library not initialized"},
      {-103, "String length check error"},
      {-104, "Invalid settings"},
      {-105, "Invalid sign UID length for transfer to encode UID"},
      {-106, "File Operation Error"},
      {-108, "Incorrect (not numeric) Time Out Settings!"},
      {-109, "Incorrect settings for \"Encode UID\" parameter"},
      {-110, "Low memory"},
      {-111, "Can't remove self certificate."},
      {-112, "Parameters index out of bounds."},
      {-113, "Невозможно загрузить библиотеку ПБЗИ kestrel.dll"},
      {-114, "Библиотека kestrel.dll не содержит всех необходимых для корректной работы функций. "
             "Проверьте версию kestrel.dll"},
      {-115, "Invalid public key file."},
      {-116, "Unable to read public key file."},
  };
  TKestrel4Engine engine;
  for (const auto &[code, text] : expected)
    EXPECT_EQ(TextOf(engine, code), platform::Utf8ToCp1251(text)) << code;
  EXPECT_EQ(TextOf(engine, -114).size(), 111u); // in full
  EXPECT_EQ(engine.FKestrelDLL, nullptr);
}

TEST(ErrorString, TextIsZeroFilledUpTo255Bytes) {
  TKestrel4Engine engine;
  const std::string raw = RawText(engine, -112);
  const std::string text = "Parameters index out of bounds.";
  EXPECT_EQ(raw.substr(0, kTextRoom), text + std::string(kTextRoom - text.size(), '\0'));
  EXPECT_EQ(raw.substr(kTextRoom), std::string(16, 'x'));
}

TEST(ErrorString, ExceptionCodeJoinsTheLastExceptionText) {
  TKestrel4Engine engine;
  EXPECT_EQ(TextOf(engine, -102), "An exception in the function. ");
  const std::string captured = "TKestrel4Engine.EncodeData: EOutOfMemory: Out of memory";
  engine.FLastException.SetText(captured);
  EXPECT_EQ(TextOf(engine, -102), "An exception in the function. " + captured);
}

TEST(ErrorString, LongTextIsCutAt254Characters) {
  TKestrel4Engine engine;
  engine.FLastException.SetText(std::string(300, 'e'));
  const std::string raw = RawText(engine, -102);
  const std::string prefix = "An exception in the function. ";
  EXPECT_EQ(raw.substr(0, 254), prefix + std::string(254 - prefix.size(), 'e'));
  EXPECT_EQ(raw[254], '\0');
  EXPECT_EQ(raw.substr(kTextRoom), std::string(16, 'x'));
}

TEST(ErrorString, LibraryCodesGiveTheFallbackTextWhenTheLibraryIsMissing) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TKestrel4Engine engine;
  for (const int32_t code : {-101, -107, -1, -3, -10, 0, 7, 128, 1001})
    EXPECT_EQ(TextOf(engine, code), kNoLibrary) << code;
  EXPECT_EQ(engine.FKestrelDLL, nullptr);
}

TEST(ErrorString, OtherCodesGetTheBindingTextsFromAWorkingLibrary) {
  cetest::DoubleRoot root;
  TKestrel4Engine engine;
  EXPECT_EQ(RawText(engine, 0).substr(0, kTextRoom), std::string(kTextRoom, '\0'));
  EXPECT_EQ(TextOf(engine, -1), "Library not initialized");
  EXPECT_EQ(TextOf(engine, -101), "Kestrel error code: -101");
  EXPECT_EQ(TextOf(engine, 7), platform::Utf8ToCp1251("Ошибка параметра обращения к функции"));
  EXPECT_EQ(TextOf(engine, 5), "Kestrel error code: 5");
  EXPECT_EQ(TextOf(engine, -2),
            "Null pointer or incorrect data size (buffer) passed to the function!");
  EXPECT_NE(engine.FKestrelDLL, nullptr);
}

TEST(ErrorString, EveryCodeOfTheModuleHasItsOwnText) {
  cetest::DoubleRoot root;
  TKestrel4Engine engine;
  for (const int32_t code : kestrel::kModuleResultCodes) {
    const std::string text = TextOf(engine, code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.rfind("Kestrel error code: ", 0), std::string::npos) << code << ": " << text;
    EXPECT_NE(text, kNoLibrary) << code;
  }
}

} // namespace
