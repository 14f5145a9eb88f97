// TKestrel4Engine: its parameters, their reading rules and descriptions, the
// engine name and the form of the last exception text.
#include "include/ce_kestrel.h"

#include "engine/kestrel4_engine.h"
#include "platform/cp1251.h"

#include <gtest/gtest.h>

#include <array>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Exposes the capture of exceptions the engine's operations use.
class TTestEngine : public TKestrel4Engine {
public:
  using TKestrel4Engine::CaptureException;
};

std::string Cp1251(const char *utf8) { return platform::Utf8ToCp1251(utf8); }

TEST(Kestrel4Params, NamesAndDefaultsInTableOrder) {
  const CE_HANDLE engine = GetCryptObj(0);
  ASSERT_NE(engine, nullptr);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Path to secret", "A:\\"},
      {"Path to public", "A:\\"},
      {"Key serial number", ""},
      {"Encode UID", "0001"},
      {"Sign UID", "000101"},
      {"Encrypt for key number", "0001"},
      {"Key device", "a:"},
      {"Key request time out", "60"},
      {"Last operation key time out", "5"},
      {"Use 0 slot for verify signature", "No"},
      {"Reset key in drv on start", "Yes"},
      {"Touch Memory Window Time Out", "5"},
  };
  ASSERT_EQ(GetCryptoParamNumber(engine), 12);
  for (int32_t i = 1; i <= 12; ++i) {
    std::array<char, 256> name{};
    std::array<char, 256> value{};
    name.fill('#');
    value.fill('#');
    GetCryptoParamName(engine, i, name.data());
    GetCryptoParamValue(engine, i, value.data());
    EXPECT_EQ(name.data(), expected[static_cast<std::size_t>(i) - 1].first) << i;
    EXPECT_EQ(value.data(), expected[static_cast<std::size_t>(i) - 1].second) << i;
  }
  DoneEngine(engine);
}

TEST(Kestrel4Params, KeySerialNumberDefaultsToSixZeroBytes) {
  TKestrel4Engine engine;
  EXPECT_EQ(engine.FParamValues[kParamKeySerialNumber - 1], std::string(6, '\0'));
  EXPECT_EQ(engine.FParamValues.size(), 12u);
  EXPECT_EQ(engine.FKestrelDLL, nullptr);
  EXPECT_FALSE(engine.FCryptoInitialized);
  EXPECT_FALSE(engine.FSignInitialized);
}

TEST(Kestrel4Params, EngineNameIsKestrel4AndAZero) {
  TKestrel4Engine engine;
  std::array<char, 16> buffer{};
  buffer.fill('#');
  engine.GetEngineName(buffer.data());
  EXPECT_EQ(std::string(buffer.data(), 11), std::string("Kestrel/4\0#", 11));
}

// --- GetParamInfo ---------------------------------------------------------------

TEST(Kestrel4ParamInfo, KindsAndTexts) {
  TKestrel4Engine engine;
  struct TExpected {
    int32_t Kind;
    const char *Text; // nullptr: a switch without text
  };
  const TExpected expected[12] = {
      {11, "*.*"},
      {11, "*.*"},
      {2, "6"},
      {2, "10"},
      {2, "12"},
      {4, "255"},
      {2, "255"},
      {1, "0..2147483640"},
      {1, "0..2147483640"},
      {3, nullptr},
      {3, nullptr},
      {1, "0..2147483640"},
  };
  for (int32_t i = 1; i <= 12; ++i) {
    const TExpected &e = expected[i - 1];
    int32_t kind = -7;
    std::array<char, 64> buffer{};
    buffer.fill('#');
    int32_t size = static_cast<int32_t>(buffer.size());
    EXPECT_EQ(engine.GetParamInfo(i, &kind, buffer.data(), &size), 0) << i;
    EXPECT_EQ(kind, e.Kind) << i;
    if (e.Text == nullptr) {
      EXPECT_EQ(size, 0) << i;
      EXPECT_EQ(buffer[0], '#') << i;
    } else {
      EXPECT_STREQ(buffer.data(), e.Text) << i;
      EXPECT_EQ(size, static_cast<int32_t>(std::string(e.Text).size() + 1)) << i;
    }
  }
}

TEST(Kestrel4ParamInfo, SizeQueryTooSmallAndExactBuffers) {
  const CE_HANDLE engine = GetCryptObj(0);
  int32_t kind = 0;
  int32_t size = 0;
  EXPECT_EQ(GetParamInfo(engine, 8, &kind, nullptr, &size), 0);
  EXPECT_EQ(size, 14);
  EXPECT_EQ(kind, 1);

  std::array<char, 16> buffer{};
  buffer.fill('#');
  size = 10;
  EXPECT_EQ(GetParamInfo(engine, 8, &kind, buffer.data(), &size), -2);
  EXPECT_EQ(size, 14);
  EXPECT_EQ(buffer[0], '#');

  size = 14;
  EXPECT_EQ(GetParamInfo(engine, 8, &kind, buffer.data(), &size), 0);
  EXPECT_STREQ(buffer.data(), "0..2147483640");
  EXPECT_EQ(buffer[14], '#');
  EXPECT_EQ(size, 14);
  DoneEngine(engine);
}

TEST(Kestrel4ParamInfo, SwitchesHaveNoText) {
  TKestrel4Engine engine;
  for (int32_t index : {10, 11}) {
    int32_t kind = 0;
    int32_t size = 99;
    char buffer[4] = "##";
    EXPECT_EQ(engine.GetParamInfo(index, &kind, buffer, &size), 0);
    EXPECT_EQ(kind, 3);
    EXPECT_EQ(size, 0);
    EXPECT_STREQ(buffer, "##");
  }
}

TEST(Kestrel4ParamInfo, NumbersOutsideTheTableTouchNothing) {
  TKestrel4Engine engine;
  for (int32_t index : {0, 13, -1}) {
    int32_t kind = 42;
    int32_t size = 77;
    char buffer[4] = "##";
    EXPECT_EQ(engine.GetParamInfo(index, &kind, buffer, &size), -112) << index;
    EXPECT_EQ(kind, 42);
    EXPECT_EQ(size, 77);
    EXPECT_STREQ(buffer, "##");
  }
}

TEST(Kestrel4ParamInfo, MissingKindOrLengthIsABadArgument) {
  TKestrel4Engine engine;
  int32_t kind = 0;
  int32_t size = 64;
  char buffer[64];
  EXPECT_EQ(engine.GetParamInfo(1, nullptr, buffer, &size), -2);
  EXPECT_EQ(engine.GetParamInfo(1, &kind, buffer, nullptr), -2);
  EXPECT_EQ(engine.GetParamInfo(10, &kind, buffer, nullptr), -2);
}

// --- key-access settings --------------------------------------------------------

class KeyAccessSettings : public ::testing::Test {
protected:
  void Set(int32_t index, const std::string &value) {
    ASSERT_EQ(FEngine.SetCryptoParamValue(index, value.c_str()), 0);
  }
  TKeyAccessSettings Read(bool expectOk = true) {
    TKeyAccessSettings settings;
    EXPECT_EQ(FEngine.ReadKeyAccessSettings(settings), expectOk);
    return settings;
  }
  TKestrel4Engine FEngine;
};

TEST_F(KeyAccessSettings, Defaults) {
  const TKeyAccessSettings s = Read();
  EXPECT_EQ(s.LifeTime, 60);
  EXPECT_EQ(s.IdleTime, 5);
  EXPECT_TRUE(s.ResetOnStart);
  EXPECT_EQ(s.WaitTimeOut, 5);
}

TEST_F(KeyAccessSettings, KeyTimeOutsAreIntegersOrEmpty) {
  Set(kParamKeyRequestTimeOut, "");
  Set(kParamLastOperationKeyTimeOut, " -7");
  TKeyAccessSettings s = Read();
  EXPECT_EQ(s.LifeTime, 0);
  EXPECT_EQ(s.IdleTime, -7);

  Set(kParamKeyRequestTimeOut, "$10");
  Set(kParamLastOperationKeyTimeOut, "0x20");
  s = Read();
  EXPECT_EQ(s.LifeTime, 16);
  EXPECT_EQ(s.IdleTime, 32);
}

TEST_F(KeyAccessSettings, ANonNumericKeyTimeOutFails) {
  Set(kParamKeyRequestTimeOut, "sixty");
  Read(false);
  Set(kParamKeyRequestTimeOut, "60");
  Set(kParamLastOperationKeyTimeOut, "5 ");
  Read(false);
  Set(kParamLastOperationKeyTimeOut, "99999999999");
  Read(false);
}

TEST_F(KeyAccessSettings, WaitTimeOutFallsBackToFive) {
  for (const char *value : {"-3", "abc", "", "7x"}) {
    Set(kParamTMWindowTimeOut, value);
    EXPECT_EQ(Read().WaitTimeOut, 5) << value;
  }
  Set(kParamTMWindowTimeOut, "0");
  EXPECT_EQ(Read().WaitTimeOut, 0);
  Set(kParamTMWindowTimeOut, "  30");
  EXPECT_EQ(Read().WaitTimeOut, 30);
}

TEST_F(KeyAccessSettings, ResetOnStartIsLenient) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"No", false},
      {" no \t", false},
      {"NO", false},
      {Cp1251("НЕТ"), false},
      {"\r\n" + Cp1251("НЕТ") + " ", false},
      {Cp1251("нет"), true}, // only ASCII letters are upper-cased
      {"", true},
      {"Yes", true},
      {"nope", true},
      {"N O", true},
  };
  for (const auto &[value, expected] : cases) {
    Set(kParamResetKeyOnStart, value);
    EXPECT_EQ(Read().ResetOnStart, expected) << platform::Cp1251ToUtf8(value);
  }
}

TEST(Use0SlotForVerify, IsStrict) {
  TKestrel4Engine engine;
  EXPECT_FALSE(engine.ReadUse0SlotForVerify());
  const std::vector<std::pair<std::string, bool>> cases = {
      {"Yes", true},   {Cp1251("Да"), true}, {"yes", false},        {"YES", false},
      {" Yes", false}, {"Yes ", false},      {Cp1251("да"), false}, {"", false},
  };
  for (const auto &[value, expected] : cases) {
    ASSERT_EQ(engine.SetCryptoParamValue(kParamUse0SlotForVerify, value.c_str()), 0);
    EXPECT_EQ(engine.ReadUse0SlotForVerify(), expected) << platform::Cp1251ToUtf8(value);
  }
}

// --- last exception text --------------------------------------------------------

TEST(LastExceptionText, NamesTheOperationTheClassAndTheMessage) {
  TTestEngine engine;
  EXPECT_EQ(engine.FLastException.GetText(), "");
  EXPECT_EQ(engine.CaptureException("GetParamInfo", std::bad_alloc()), -102);
  EXPECT_EQ(engine.FLastException.GetText(),
            "TKestrel4Engine.GetParamInfo: std::bad_alloc: std::bad_alloc");

  EXPECT_EQ(engine.CaptureException("EncodeData", std::runtime_error("disk gone")), -102);
  EXPECT_EQ(engine.FLastException.GetText(),
            "TKestrel4Engine.EncodeData: std::runtime_error: disk gone");
}

} // namespace
