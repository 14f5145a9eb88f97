// The user's identifiers through the exports: the current signature
// identifier and the encryption identifier derived from a signature one.
#include "engine/kestrel4_engine.h"
#include "include/ce_kestrel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kSentinel = '\x5A';

// The host's identifier buffer: GetMaxUIDLength (255) bytes plus one guard byte.
std::vector<char> HostBuffer() { return std::vector<char>(256, kSentinel); }

class IdentifiersTest : public ::testing::Test {
protected:
  IdentifiersTest() : FHandle(GetCryptObj(0)) {}
  ~IdentifiersTest() override { DoneEngine(FHandle); }

  void SetSignUID(const std::string &uid) {
    ASSERT_EQ(SetCryptoParamValue(FHandle, kParamSignUID, uid.c_str()), 0);
  }

  CE_HANDLE FHandle;
};

TEST_F(IdentifiersTest, ANewEngineReportsTheDefaultSignatureIdentifier) {
  auto buffer = HostBuffer();
  ASSERT_EQ(GetCurrentUserUID(FHandle, buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data(), 7), std::string("000101\0", 7));
  EXPECT_EQ(buffer[7], kSentinel) << "exactly the text and its NUL";
}

TEST_F(IdentifiersTest, TheCurrentIdentifierFollowsTheParameter) {
  SetSignUID("000200000001");
  auto buffer = HostBuffer();
  ASSERT_EQ(GetCurrentUserUID(FHandle, buffer.data()), 0);
  EXPECT_STREQ(buffer.data(), "000200000001");
  EXPECT_EQ(GetCurrentUserUID(FHandle, nullptr), -2);
}

TEST_F(IdentifiersTest, AnIdentifierThatCannotFitTheHostsBufferIsRefused) {
  auto buffer = HostBuffer();
  SetSignUID(std::string(254, '1'));
  ASSERT_EQ(GetCurrentUserUID(FHandle, buffer.data()), 0);
  EXPECT_EQ(std::strlen(buffer.data()), 254u);
  EXPECT_EQ(buffer[255], kSentinel);

  buffer = HostBuffer();
  SetSignUID(std::string(255, '1')); // would need 256 bytes with its NUL
  EXPECT_EQ(GetCurrentUserUID(FHandle, buffer.data()), -103);
  EXPECT_EQ(buffer, HostBuffer()) << "nothing written";
  SetSignUID(std::string(4000, '1'));
  EXPECT_EQ(GetCurrentUserUID(FHandle, buffer.data()), -103);
  EXPECT_EQ(buffer, HostBuffer());
}

TEST_F(IdentifiersTest, TheEncryptionIdentifierIsTheSignatureOneWithoutItsLastEight) {
  auto buffer = HostBuffer();
  ASSERT_EQ(GetEncodeUIDBySignUID(FHandle, "000200000001", buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data(), 5), std::string("0002\0", 5));
  EXPECT_EQ(buffer[5], kSentinel);

  buffer = HostBuffer();
  ASSERT_EQ(GetEncodeUIDBySignUID(FHandle, "712345678", buffer.data()), 0); // 9 characters
  EXPECT_EQ(std::string(buffer.data(), 2), std::string("7\0", 2));
}

TEST_F(IdentifiersTest, ASignatureIdentifierOfEightOrFewerCharactersIsRefused) {
  auto buffer = HostBuffer();
  EXPECT_EQ(GetEncodeUIDBySignUID(FHandle, "000101", buffer.data()), -105);
  EXPECT_EQ(GetEncodeUIDBySignUID(FHandle, "12345678", buffer.data()), -105);
  EXPECT_EQ(GetEncodeUIDBySignUID(FHandle, "", buffer.data()), -105);
  EXPECT_EQ(buffer, HostBuffer()) << "EncodeUID untouched";
}

TEST_F(IdentifiersTest, NilPointersAreRefused) {
  auto buffer = HostBuffer();
  EXPECT_EQ(GetEncodeUIDBySignUID(FHandle, "000200000001", nullptr), -2);
  EXPECT_EQ(GetEncodeUIDBySignUID(FHandle, "short", nullptr), -2)
      << "the buffer is checked before the identifier's length";
  EXPECT_EQ(GetEncodeUIDBySignUID(FHandle, nullptr, buffer.data()), -2);
}

TEST_F(IdentifiersTest, ADerivedIdentifierThatCannotFitIsRefusedNotCut) {
  auto buffer = HostBuffer();
  const std::string fits(254 + 8, '3');
  ASSERT_EQ(GetEncodeUIDBySignUID(FHandle, fits.c_str(), buffer.data()), 0);
  EXPECT_EQ(std::strlen(buffer.data()), 254u);
  EXPECT_EQ(buffer[255], kSentinel);

  buffer = HostBuffer();
  const std::string tooLong(255 + 8, '3');
  EXPECT_EQ(GetEncodeUIDBySignUID(FHandle, tooLong.c_str(), buffer.data()), -103);
  EXPECT_EQ(buffer, HostBuffer());
}

TEST_F(IdentifiersTest, NeitherOperationNeedsTheLibrary) {
  auto buffer = HostBuffer();
  ASSERT_EQ(GetCurrentUserUID(FHandle, buffer.data()), 0);
  ASSERT_EQ(GetEncodeUIDBySignUID(FHandle, "000200000001", buffer.data()), 0);
  EXPECT_EQ(static_cast<TKestrel4Engine *>(static_cast<TCryptoEngine *>(FHandle))->FKestrelDLL,
            nullptr);
}

} // namespace
