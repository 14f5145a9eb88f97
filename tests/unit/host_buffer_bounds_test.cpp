// Every export that writes into a host buffer, with the buffer exactly as
// large as the module's size queries tell and an inaccessible page right
// after it, driven to the largest output the export can produce. A byte
// written past what the host was told ends the test with a crash.
#include "engine/kestrel4_engine.h"
#include "engine/recipients.h"
#include "include/ce_kestrel.h"
#include "kestrel/key_identifiers.h"
#include "tests/support/child_process.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using cetest::GuardedBuffer;
using cetest::Provider;

constexpr int kManyRecipients = 64;
constexpr std::size_t kLongText = 5000;

std::string Repeated(const std::string &entry, int count) {
  std::string list = entry;
  for (int i = 1; i < count; ++i)
    list += ";" + entry;
  return list;
}

std::string Data(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>((i * 11 + 7) % 256);
  return data;
}

// A size a query answered, as a buffer size; fails the test for "unknown".
std::size_t Told(int32_t size) {
  EXPECT_GT(size, 0);
  return size > 0 ? static_cast<std::size_t>(size) : 0;
}

// A guarded buffer holding data at its start.
std::unique_ptr<GuardedBuffer> HostBlock(const std::string &data, std::size_t size) {
  auto buffer = std::make_unique<GuardedBuffer>(size);
  std::memcpy(buffer->Data(), data.data(), data.size());
  return buffer;
}

// The text a host reads from a buffer: up to its NUL, which must be inside.
std::string TerminatedText(const GuardedBuffer &buffer) {
  const void *nul = std::memchr(buffer.Data(), '\0', buffer.Size());
  EXPECT_NE(nul, nullptr) << "no NUL inside the buffer";
  return nul == nullptr ? std::string() : std::string(buffer.Chars());
}

class TEngineHandle {
public:
  TEngineHandle() : FHandle(GetCryptObj(0)) {}
  ~TEngineHandle() { DoneEngine(FHandle); }
  TEngineHandle(const TEngineHandle &) = delete;
  TEngineHandle &operator=(const TEngineHandle &) = delete;
  operator CE_HANDLE() const { return FHandle; }
  TCryptoEngine &Object() const { return *static_cast<TCryptoEngine *>(FHandle); }

private:
  CE_HANDLE FHandle;
};

void Set(CE_HANDLE engine, int32_t param, const std::string &value) {
  ASSERT_EQ(SetCryptoParamValue(engine, param, value.c_str()), 0);
}

// The guard itself: the last byte is the host's, the next one faults.
TEST(GuardedBufferDeathTest, TheByteAfterTheBufferIsInaccessible) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{255}, std::size_t{4096}}) {
    SCOPED_TRACE(size);
    GuardedBuffer buffer(size);
    if (size > 0) {
      static_cast<volatile char *>(buffer.Data())[size - 1] = 'x';
      EXPECT_EQ(buffer.Bytes().back(), 'x');
    }
    EXPECT_DEATH(static_cast<volatile char *>(buffer.Data())[size] = 'x', "");
  }
}

// --- against the recording double ----------------------------------------------

class HostBufferBoundsTest : public ::testing::Test {
protected:
  void SetUp() override {
    Set(Engine, kParamEncodeUID, "0001000001");
    Set(Engine, kParamSignUID, "000100000101");
  }

  cetest::DoubleRoot Root;
  TEngineHandle Engine;
};

TEST_F(HostBufferBoundsTest, EncodeDataWritesNoMoreThanGetMaxAdditionExToldForTheListPassed) {
  const std::string many = Repeated("0002", kManyRecipients);
  struct TCase {
    const char *Name;
    std::string Configured; // "Encrypt for key number"
    const char *Given;      // the list passed to both calls
    int32_t Result;
    int Recipients;
  } cases[] = {
      {"64 configured, nil list", many, nullptr, 0, kManyRecipients},
      {"64 configured, empty list", many, "", 0, kManyRecipients},
      {"one configured, nil list", "0002", nullptr, 0, 1},
      {"64 given", "0002", many.c_str(), 0, kManyRecipients},
      {"64 configured, one of them bad", many + ";00x2", nullptr, CE_ERR_ENCODE_UID_SETTINGS, 0},
      {"64 configured and a trailing separator", many + ";", "", CE_ERR_ENCODE_UID_SETTINGS, 0},
      {"blanks given", many, " \t", CE_ERR_BAD_ABONENTS, 0},
  };
  const std::string plain = Data(100);
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    Set(Engine, kParamEncryptForKeyNumber, c.Configured);
    const int32_t addition = GetMaxAdditionEx(Engine, c.Given);
    if (c.Given == nullptr || *c.Given == '\0') {
      EXPECT_GE(addition, 255) << "a value a host relies on today";
    }
    const auto host = HostBlock(plain, plain.size() + Told(addition));
    auto size = static_cast<int32_t>(plain.size());
    ASSERT_EQ(EncodeData(Engine, host->Data(), &size, c.Given), c.Result);
    if (c.Result == 0) {
      // The double writes the input followed by the overhead in bytes of 0xE5.
      const auto overhead = static_cast<std::size_t>(
          kestrel::EncryptedBlockOverhead(static_cast<std::size_t>(c.Recipients)));
      ASSERT_EQ(size, static_cast<int32_t>(plain.size() + overhead));
      EXPECT_EQ(host->Bytes(static_cast<std::size_t>(size)), plain + std::string(overhead, '\xE5'));
    } else {
      EXPECT_EQ(size, 100);
      EXPECT_EQ(host->Bytes(plain.size()), plain);
      EXPECT_EQ(host->Bytes().substr(plain.size()),
                std::string(host->Size() - plain.size(), '\xA5'));
    }
  }
  EXPECT_EQ(GetMaxEncodeAddition(Engine), GetMaxAdditionEx(Engine, nullptr));
}

// A descendant that announces less than the configured list needs: the
// engine refuses to encrypt rather than write past what it announced.
class TFixedAdditionEngine : public TKestrel4Engine {
public:
  int32_t GetMaxEncodeAddition() override { return 255; }
};

TEST_F(HostBufferBoundsTest, EncodeDataRefusesABlockLargerThanTheEngineAnnounces) {
  TFixedAdditionEngine engine;
  ASSERT_EQ(engine.SetCryptoParamValue(kParamEncodeUID, "0001000001"), 0);
  const std::string many = Repeated("0002", kManyRecipients);
  ASSERT_EQ(engine.SetCryptoParamValue(kParamEncryptForKeyNumber, many.c_str()), 0);
  const std::string plain = Data(100);
  const auto host = HostBlock(plain, plain.size() + Told(engine.GetMaxAdditionEx(nullptr)));
  int32_t size = 100;
  EXPECT_EQ(engine.EncodeData(host->Data(), &size, nullptr), CE_ERR_BAD_ARGUMENT);
  EXPECT_EQ(size, 100);
  EXPECT_FALSE(Root.Double().WasCalled("EnCryptMem"));
  // With the list passed the same engine knows its size and encrypts.
  EXPECT_EQ(engine.EncodeData(host->Data(), &size, "0002;0003;0004;0005"), 0);
  EXPECT_EQ(size, 100 + 4 * 48 + 37);
}

// A descendant that announces no room at all gets nothing written.
class TNoRoomEngine : public TKestrel4Engine {
public:
  int32_t GetMaxUIDLength() override { return 0; }
  int32_t GetMaxErrorStringLength() override { return 0; }
  int32_t GetMaxReportSize() override { return -1; }
};

TEST_F(HostBufferBoundsTest, NoRoomAnnouncedMeansNothingWritten) {
  TNoRoomEngine engine;
  ASSERT_EQ(engine.SetCryptoParamValue(kParamSignUID, "000100000101"), 0);
  engine.FLastException.SetText("an exception text");
  GuardedBuffer none(0); // its pointer is the inaccessible page itself
  for (int32_t code : {0, -2, -102, -113, 5, 1001})
    engine.GetCryptoErrorString(code, none.Chars());
  EXPECT_EQ(engine.GetCurrentUID(none.Chars()), CE_ERR_STRING_LENGTH);
  EXPECT_EQ(engine.GetEncodeUIDBySignUID("000100000101", none.Chars()), CE_ERR_STRING_LENGTH);
  EXPECT_EQ(engine.GetReport("000100000101", none.Chars()), CE_ERR_BAD_ARGUMENT);
}

TEST(HostBufferSizes, EncryptionSizesSaturateInsteadOfWrapping) {
  // 48 x 44739241 + 37 is the largest addition below 2^31.
  EXPECT_EQ(EncryptionAddition(44739241), 2147483605);
  EXPECT_EQ(EncryptionAddition(44739242), INT32_MAX);
  EXPECT_EQ(EncryptionAddition(static_cast<std::size_t>(-1)), INT32_MAX);
  TKestrel4Engine engine;
  EXPECT_EQ(engine.GetMaxEncodeAdditionByCount(3), 765);
  EXPECT_EQ(engine.GetMaxEncodeAdditionByCount(1 << 24), INT32_MAX);
  EXPECT_EQ(engine.GetMaxEncodeAdditionByCount(INT32_MAX), INT32_MAX);
  TCryptoEngine base;
  EXPECT_EQ(base.GetMaxEncodeAdditionByCount(1 << 24), INT32_MAX);
}

TEST_F(HostBufferBoundsTest, ErrorTextsFitGetMaxErrorStringLength) {
  // The longest texts: a long exception text, the library's texts (the
  // double is loaded for them), and every engine text.
  Engine.Object().FLastException.SetText(std::string(kLongText, 'x'));
  std::vector<int32_t> codes = {INT_MIN, INT_MAX, 1000, 1001, 1002, 1255, 65535};
  for (int32_t code = -130; code <= 140; ++code)
    codes.push_back(code);
  const std::size_t size = Told(GetMaxErrorStringLength(Engine));
  for (int32_t code : codes) {
    SCOPED_TRACE(code);
    GuardedBuffer text(size);
    GetCryptoErrorString(Engine, code, text.Chars());
    const std::string written = TerminatedText(text);
    if (code == CE_ERR_EXCEPTION) {
      EXPECT_EQ(written.size(), size - 1) << "the long text is cut to the buffer";
    } else if (code != 0) {
      EXPECT_FALSE(written.empty());
    }
  }
  GuardedBuffer last(size);
  GetLastErrorMessage(Engine, last.Chars());
  EXPECT_EQ(TerminatedText(last), "");
}

TEST_F(HostBufferBoundsTest, IdentifiersFitGetMaxUIDLength) {
  const std::size_t size = Told(GetMaxUIDLength(Engine));
  struct TCase {
    std::size_t Length; // of the identifier handed back
    int32_t Result;
  } cases[] = {
      {12, 0}, {size - 1, 0}, {size, CE_ERR_STRING_LENGTH}, {kLongText, CE_ERR_STRING_LENGTH}};
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Length);
    const std::string uid(c.Length, '7');
    Set(Engine, kParamSignUID, uid);
    GuardedBuffer current(size);
    EXPECT_EQ(GetCurrentUserUID(Engine, current.Chars()), c.Result);
    // A sign identifier is the encryption identifier and 8 more characters.
    const std::string sign = uid + "00000101";
    GuardedBuffer encode(size);
    EXPECT_EQ(GetEncodeUIDBySignUID(Engine, sign.c_str(), encode.Chars()), c.Result);
    if (c.Result == 0) {
      EXPECT_EQ(TerminatedText(current), uid);
      EXPECT_EQ(TerminatedText(encode), uid);
    } else {
      EXPECT_TRUE(current.Untouched());
      EXPECT_TRUE(encode.Untouched());
    }
  }
}

TEST_F(HostBufferBoundsTest, ParameterNamesAndValuesFitTheirMaximumLengthAndANul) {
  // The read-out holds the reported maximum of characters and the NUL.
  const std::size_t nameSize = Told(GetMaxCryptoParamNameLength(Engine)) + 1;
  const std::size_t valueSize = Told(GetMaxCryptoParamValueLength(Engine)) + 1;
  const std::string value(kLongText, 'v');
  const int32_t count = GetCryptoParamNumber(Engine);
  for (int32_t index = 1; index <= count; ++index)
    Set(Engine, index, value);
  for (int32_t index = -1; index <= count + 1; ++index) {
    SCOPED_TRACE(index);
    GuardedBuffer name(nameSize);
    GetCryptoParamName(Engine, index, name.Chars());
    GuardedBuffer read(valueSize);
    GetCryptoParamValue(Engine, index, read.Chars());
    const bool valid = index >= 1 && index <= count;
    EXPECT_EQ(TerminatedText(name).empty(), !valid);
    EXPECT_EQ(TerminatedText(read), valid ? value.substr(0, valueSize - 1) : "");
  }
}

TEST_F(HostBufferBoundsTest, GetParamInfoWritesNoMoreThanTheSizeItReports) {
  for (int32_t index = 1; index <= GetCryptoParamNumber(Engine); ++index) {
    SCOPED_TRACE(index);
    int32_t kind = 0;
    int32_t need = 0;
    ASSERT_EQ(GetParamInfo(Engine, index, &kind, nullptr, &need), 0);
    if (need == 0)
      continue; // a parameter without a description
    GuardedBuffer exact(static_cast<std::size_t>(need));
    int32_t size = need;
    EXPECT_EQ(GetParamInfo(Engine, index, &kind, exact.Chars(), &size), 0);
    EXPECT_EQ(TerminatedText(exact).size() + 1, static_cast<std::size_t>(need));
    // One byte short: refused, the needed size told, nothing written.
    GuardedBuffer short_(static_cast<std::size_t>(need - 1));
    size = need - 1;
    EXPECT_EQ(GetParamInfo(Engine, index, &kind, short_.Chars(), &size), CE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(size, need);
    EXPECT_TRUE(short_.Untouched());
  }
  GuardedBuffer match(sizeof(int32_t));
  EXPECT_EQ(CertAndRequestTransferMatch(Engine, 0, 0, static_cast<int32_t *>(match.Data())), 0);
}

// The longest report: the largest public key block (generation 5) and the
// longest identifier whose report still fits.
TEST(HostBufferBoundsReport, TheLongestReportFitsGetMaxReportSize) {
  cetest::DoubleRoot root(Provider::Double5);
  root.Double().SetOutput("ExtractKey", std::string(304, '\x3C'));
  TEngineHandle engine;
  const std::size_t size = Told(GetMaxReportSize(engine));
  ASSERT_EQ(static_cast<int32_t>(size), GetMaxPublicKeyPropertiesLength(engine));
  // The report's length for a 12-character identifier: the bytes up to the
  // fill that stays after it.
  GuardedBuffer probe(size);
  ASSERT_EQ(GetReport(engine, "000200000101", probe.Chars()), 0);
  const std::size_t shortReport = probe.Bytes().find('\xA5');
  ASSERT_NE(shortReport, std::string::npos);
  const std::size_t longest = 12 + size - shortReport;
  for (std::size_t length : {longest, longest + 1, kLongText}) {
    SCOPED_TRACE(length);
    const std::string uid(length, '9');
    GuardedBuffer report(size);
    const int32_t result = GetPublicKeyProperties(engine, uid.c_str(), report.Chars());
    if (length == longest) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(report.Bytes().substr(0, 4 + length), "UID=" + uid);
      EXPECT_EQ(report.Bytes().substr(size - 4), "\r\n\r\n");
    } else {
      EXPECT_EQ(result, CE_ERR_BAD_ARGUMENT);
      EXPECT_TRUE(report.Untouched());
    }
  }
}

// --- against the project's provider --------------------------------------------

// One user whose keys the provider's key tool made, with its own public keys
// in its directory.
class HostBufferBoundsProviderTest : public ::testing::TestWithParam<Provider> {
protected:
  void SetUp() override {
#if !defined(CE_TEST_KEY_TOOL)
    GTEST_SKIP() << "the provider's key tool is not built";
#else
    if (!cetest::ProviderAvailable(GetParam()))
      GTEST_SKIP() << "the provider is not built";
    Root.Install(GetParam());
    Root.SetAsRoot();
    const cetest::ProgramRun run = cetest::RunProgram(
        CE_TEST_KEY_TOOL, {"new", "--device", (Root.Native() / "device").string(), "--number",
                           "0001", "--public-out", (Root.Native() / "files").string(),
                           "--generation", GetParam() == Provider::Kestrel5 ? "5" : "4"});
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    std::filesystem::create_directories(Root.Native() / "public");
    Set(Engine, kParamPathToSecret, Root.PathOf("device"));
    Set(Engine, kParamKeyDevice, Root.PathOf("device"));
    Set(Engine, kParamPathToPublic, Root.PathOf("public"));
    Set(Engine, kParamEncodeUID, kEncodeUID);
    Set(Engine, kParamSignUID, kSignUID);
    ASSERT_EQ(IncludePublicEncodeKey(Engine, Root.PathOf("files\\" + kEncodeUID + ".pub").c_str()),
              0);
    ASSERT_EQ(IncludePublicKey(Engine, Root.PathOf("files\\" + kSignUID + ".pub").c_str()), 0);
#endif
  }

  inline static const std::string kEncodeUID = "0001000001";
  inline static const std::string kSignUID = "000100000101";
  cetest::TestRoot Root;
  TEngineHandle Engine;
};

TEST_P(HostBufferBoundsProviderTest, ABlockForManyConfiguredRecipientsAndItsDecryption) {
  // The user is every recipient: the list names its own key 64 times.
  Set(Engine, kParamEncryptForKeyNumber, Repeated("0001", kManyRecipients));
  const std::string plain = Data(1000);
  const auto host = HostBlock(plain, plain.size() + Told(GetMaxAdditionEx(Engine, nullptr)));
  auto size = static_cast<int32_t>(plain.size());
  ASSERT_EQ(EncodeData(Engine, host->Data(), &size, nullptr), 0);
  ASSERT_EQ(size, static_cast<int32_t>(plain.size()) + 48 * kManyRecipients + 37);

  // Decrypted in a buffer of exactly the block; the sender into one of
  // GetMaxUIDLength bytes.
  const auto block =
      HostBlock(host->Bytes(static_cast<std::size_t>(size)), static_cast<std::size_t>(size));
  GuardedBuffer sender(Told(GetMaxUIDLength(Engine)));
  ASSERT_EQ(DecodeData(Engine, block->Data(), &size, sender.Chars()), 0);
  EXPECT_EQ(block->Bytes(static_cast<std::size_t>(size)), plain);
  EXPECT_EQ(TerminatedText(sender), kEncodeUID);
}

TEST_P(HostBufferBoundsProviderTest, DetachedAndAttachedSignaturesAndTheirSigners) {
  const std::string data = Data(3000);
  GuardedBuffer signature(Told(GetMaxSignatureLength(Engine)));
  int32_t length = 0;
  ASSERT_EQ(SignData(Engine, data.data(), static_cast<int32_t>(data.size()), signature.Data(),
                     &length, nullptr),
            0);
  ASSERT_GT(length, 0);
  GuardedBuffer signer(Told(GetMaxUIDLength(Engine)));
  EXPECT_EQ(VerifyData(Engine, data.data(), static_cast<int32_t>(data.size()), signature.Data(),
                       length, signer.Chars()),
            0);
  EXPECT_EQ(TerminatedText(signer), kSignUID);
  GuardedBuffer checked(Told(GetMaxUIDLength(Engine)));
  EXPECT_EQ(VerifySignWOCheckValidity(Engine, data.data(), static_cast<int32_t>(data.size()),
                                      signature.Data(), length, checked.Chars()),
            0);
  EXPECT_EQ(TerminatedText(checked), kSignUID);

  // Three signatures attached, each into a buffer of the block and
  // GetMaxSignAddition, then taken off again one by one.
  std::string block = data;
  for (int i = 0; i < 3; ++i) {
    const auto host = HostBlock(block, block.size() + Told(GetMaxSignAddition(Engine)));
    auto size = static_cast<int32_t>(block.size());
    ASSERT_EQ(AddSign(Engine, host->Data(), &size, nullptr), 0);
    ASSERT_GT(static_cast<std::size_t>(size), block.size());
    block = host->Bytes(static_cast<std::size_t>(size));
  }
  for (int i = 0; i < 3; ++i) {
    const auto host = HostBlock(block, block.size());
    auto size = static_cast<int32_t>(block.size());
    GuardedBuffer removed(Told(GetMaxUIDLength(Engine)));
    ASSERT_EQ(RemoveSign(Engine, host->Data(), &size, removed.Chars()), 0);
    EXPECT_EQ(TerminatedText(removed), kSignUID);
    block = host->Bytes(static_cast<std::size_t>(size));
  }
  EXPECT_EQ(block, data);

  GuardedBuffer report(Told(GetMaxReportSize(Engine)));
  EXPECT_EQ(GetReport(Engine, kSignUID.c_str(), report.Chars()), 0);
  EXPECT_EQ(report.Bytes().substr(0, 16), "UID=" + kSignUID);
}

INSTANTIATE_TEST_SUITE_P(Generations, HostBufferBoundsProviderTest,
                         ::testing::Values(Provider::Kestrel4, Provider::Kestrel5),
                         [](const auto &info) {
                           return info.param == Provider::Kestrel5 ? "Kestrel5" : "Kestrel4";
                         });

} // namespace
