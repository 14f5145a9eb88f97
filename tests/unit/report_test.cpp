// The key report against the call-recording double loaded as the library:
// its exact text, its length for both block sizes, and what the host's
// buffer looks like afterwards.
#include "engine/kestrel4_engine.h"
#include "include/ce_kestrel.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/kestrel_access.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;

constexpr char kSentinel = '\x5A';
constexpr const char *kUID = "000200000001";

// Bytes 0, 1, 2, ... as the library would hand out a public key block.
std::string Block(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(i % 256);
  return bytes;
}

// A host buffer of GetMaxReportSize bytes and one more, all sentinels.
std::vector<char> HostBuffer() { return std::vector<char>(1025, kSentinel); }

// The text the buffer holds up to the first sentinel.
std::string Written(const std::vector<char> &buffer) {
  std::string text(buffer.begin(), buffer.end());
  return text.substr(0, text.find(kSentinel));
}

// The text split at CR LF; the part after the last CR LF is the last item.
std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

class ReportTest : public ::testing::Test {
protected:
  // The double of generation 4, or of generation 5 for 304-byte blocks.
  explicit ReportTest(int32_t blockSize = 240)
      : FRoot(blockSize == 304 ? cetest::Provider::Double5 : cetest::Provider::Double) {
    Double().SetOutput("ExtractKey", Block(static_cast<std::size_t>(blockSize)));
    E().SetCryptoParamValue(kParamPathToPublic, "C:\\pub");
  }
  TKestrel4Engine &E() { return FEngine; }
  cetest::RecordingDouble &Double() { return FRoot.Double(); }

  cetest::DoubleRoot FRoot;
  TKestrel4Engine FEngine;
};

class ReportGeneration5Test : public ReportTest {
protected:
  ReportGeneration5Test() : ReportTest(304) {}
};

TEST_F(ReportTest, A240ByteBlockGivesTheExactLayoutIn655Bytes) {
  auto buffer = HostBuffer();
  ASSERT_EQ(E().GetReport(kUID, buffer.data()), 0);
  EXPECT_EQ(buffer[655], kSentinel) << "no NUL, the byte after the text untouched";
  const std::string text = Written(buffer);
  ASSERT_EQ(text.size(), 655u);

  const auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 18u); // UID, PKey, 13 full dump lines, the short one, two empty
  EXPECT_EQ(lines[0], "UID=000200000001");
  EXPECT_EQ(lines[1], "PKey=");
  EXPECT_EQ(lines[2], "0001 0203 0405 0607 0809 0A0B 0C0D 0E0F 1011 ");
  EXPECT_EQ(lines[3], "1213 1415 1617 1819 1A1B 1C1D 1E1F 2021 2223 ");
  for (std::size_t i = 2; i < 15; ++i)
    EXPECT_EQ(lines[i].size(), 45u) << "full line " << i;
  EXPECT_EQ(lines[14], "D8D9 DADB DCDD DEDF E0E1 E2E3 E4E5 E6E7 E8E9 ");
  EXPECT_EQ(lines[15], "EAEB ECED EEEF ");
  EXPECT_EQ(text.substr(text.size() - 19), "EAEB ECED EEEF \r\n\r\n");
  EXPECT_EQ(lines[16], "");
  EXPECT_EQ(lines[17], "");
}

TEST_F(ReportTest, ZeroBytesAreDumpedLikeAnyOther) {
  Double().SetOutput("ExtractKey", std::string(240, '\0'));
  auto buffer = HostBuffer();
  ASSERT_EQ(E().GetReport(kUID, buffer.data()), 0);
  const std::string text = Written(buffer);
  EXPECT_EQ(text.size(), 655u);
  EXPECT_EQ(Lines(text)[2], "0000 0000 0000 0000 0000 0000 0000 0000 0000 ");
}

TEST_F(ReportTest, TheIdentifierIsReportedAsGivenAndLooksUpTheRootExpandedDirectory) {
  E().SetEngineRootPath("D:\\Bank");
  E().SetCryptoParamValue(kParamPathToPublic, "%zevroot%\\pub");
  auto buffer = HostBuffer();
  ASSERT_EQ(E().GetReport("ab", buffer.data()), 0);
  // Only the placeholder is replaced: no delimiter is appended.
  EXPECT_THAT(Double().FirstArguments("ExtractKey"), ElementsAre("D:\\BANK\\PUB", "ab"));
  EXPECT_EQ(Written(buffer).size(), 643u + 2u);
  EXPECT_EQ(Lines(Written(buffer))[0], "UID=ab");
}

TEST_F(ReportTest, AnIdentifierAbsentFromTheDirectoryLeavesTheBufferUntouched) {
  Double().SetOutput("ExtractKey", "");
  Double().SetResult("ExtractKey", 117);
  auto buffer = HostBuffer();
  EXPECT_EQ(E().GetReport(kUID, buffer.data()), 117);
  EXPECT_EQ(buffer, HostBuffer());
}

TEST_F(ReportTest, NilArgumentsAreRefusedWithoutALibraryCall) {
  auto buffer = HostBuffer();
  EXPECT_EQ(E().GetReport(kUID, nullptr), -2);
  EXPECT_EQ(E().GetReport(nullptr, buffer.data()), -2);
  EXPECT_EQ(buffer, HostBuffer());
  EXPECT_TRUE(Double().Log().empty());
}

TEST_F(ReportTest, AReportThatWouldNotFitTheMaximumIsRefusedAndNothingWritten) {
  auto buffer = HostBuffer();
  const std::string longest(381, '7');
  ASSERT_EQ(E().GetReport(longest.c_str(), buffer.data()), 0);
  EXPECT_EQ(Written(buffer).size(), 1024u) << "exactly GetMaxReportSize";
  EXPECT_EQ(buffer[1024], kSentinel);

  buffer = HostBuffer();
  const std::string tooLong(382, '7');
  EXPECT_EQ(E().GetReport(tooLong.c_str(), buffer.data()), -2);
  EXPECT_EQ(buffer, HostBuffer());
}

// An entry point has the library's calling convention, which a lambda lacks
// on 32-bit Windows. A C++ exception cannot leave a library built on its own
// (32-bit Windows unwinds each with its own runtime), so the raising entry
// point is a function of the test put into the binding.
kestrel::Result KESTREL_STDCALL ExtractKeyThatRaises(const char *, const char *, void *) {
  throw std::runtime_error("directory vanished");
}

TEST_F(ReportTest, AnExceptionIsCapturedUnderTheReportsName) {
  // The directory read raises.
  ASSERT_EQ(E().GetCryptoAPI(), 0);
  TKestrelDLLTestAccess::FExtractKey(*E().FKestrelDLL) = &ExtractKeyThatRaises;
  auto buffer = HostBuffer();
  EXPECT_EQ(E().GetReport(kUID, buffer.data()), -102);
  EXPECT_THAT(E().FLastException.GetText(),
              ::testing::AllOf(::testing::StartsWith("TKestrel4Engine.GetReport: "),
                               ::testing::EndsWith(": directory vanished")));
  EXPECT_EQ(buffer, HostBuffer());
}

TEST_F(ReportGeneration5Test, A304ByteBlockGives821Bytes) {
  auto buffer = HostBuffer();
  ASSERT_EQ(E().GetReport(kUID, buffer.data()), 0);
  EXPECT_EQ(buffer[821], kSentinel);
  const std::string text = Written(buffer);
  ASSERT_EQ(text.size(), 821u);
  const auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 21u); // UID, PKey, 16 full dump lines, the short one, two empty
  // 16 full lines end at byte 288 (0x120); the last 16 bytes run to 0x12F.
  EXPECT_EQ(lines[17], "0E0F 1011 1213 1415 1617 1819 1A1B 1C1D 1E1F ");
  EXPECT_EQ(lines[18], "2021 2223 2425 2627 2829 2A2B 2C2D 2E2F ");
}

TEST_F(ReportGeneration5Test, TheLongestIdentifierThatFitsIs215Characters) {
  auto buffer = HostBuffer();
  EXPECT_EQ(E().GetReport(std::string(215, 'u').c_str(), buffer.data()), 0);
  EXPECT_EQ(Written(buffer).size(), 1024u);
  buffer = HostBuffer();
  EXPECT_EQ(E().GetReport(std::string(216, 'u').c_str(), buffer.data()), -2);
  EXPECT_EQ(buffer, HostBuffer());
}

// Without any library: the connection's code, and nothing written.
TEST(ReportWithoutLibraryTest, TheMissingLibraryIsReportedAndTheBufferUntouched) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TKestrel4Engine engine;
  auto buffer = HostBuffer();
  EXPECT_EQ(engine.GetReport(kUID, buffer.data()), -113);
  EXPECT_EQ(buffer, HostBuffer());
  EXPECT_EQ(engine.GetMaxReportSize(), 1024);
}

// The two pairs of exports reach the same operations.
TEST_F(ReportTest, GetPublicKeyPropertiesIsTheReportUnderAnotherName) {
  CE_HANDLE handle = static_cast<TCryptoEngine *>(&E());
  auto viaReport = HostBuffer();
  auto viaProperties = HostBuffer();
  EXPECT_EQ(::GetReport(handle, kUID, viaReport.data()), 0);
  EXPECT_EQ(::GetPublicKeyProperties(handle, kUID, viaProperties.data()), 0);
  EXPECT_EQ(viaProperties, viaReport);
  EXPECT_EQ(Written(viaReport).size(), 655u);
  EXPECT_EQ(::GetMaxReportSize(handle), 1024);
  EXPECT_EQ(::GetMaxPublicKeyPropertiesLength(handle), 1024);

  Double().SetResult("ExtractKey", 117);
  auto untouched = HostBuffer();
  EXPECT_EQ(::GetPublicKeyProperties(handle, kUID, untouched.data()), 117);
  EXPECT_EQ(untouched, HostBuffer());
}

} // namespace
