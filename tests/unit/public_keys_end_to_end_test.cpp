// Public key management, the key report and a whole host session end to end:
// the exports of the module driving the project's provider, with users whose
// keys the provider's key tool made, all in one process.
#include "engine/kestrel4_engine.h"
#include "include/ce_kestrel.h"
#include "kestrel/kestrel_dll.h"
#include "platform/platform.h"
#include "tests/support/child_process.h"
#include "tests/support/module_state.h"
#include "tests/support/test_root.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using cetest::Provider;

constexpr char kSentinel = '\x5A';
constexpr int32_t kKeyAbsentFromDirectory = 117; // the provider's code

std::string Data(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>((i * 13 + 5) % 256);
  return data;
}

std::string ReadFile(const std::string &modulePath) {
  std::ifstream in(platform::NativePath(modulePath), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A user of the host: the keys the key tool made, a public key directory of
// its own, and an engine handle configured for them.
struct TUser {
  std::string Number;
  std::string EncodeUID;
  std::string SignUID;
  std::string KeyFiles;        // where the key tool put the public key files
  std::string PublicDirectory; // the user's directory
  CE_HANDLE Engine = nullptr;

  std::string EncodePublicFile() const { return KeyFiles + "\\" + EncodeUID + ".pub"; }
  std::string SignPublicFile() const { return KeyFiles + "\\" + SignUID + ".pub"; }
};

class PublicKeysEndToEndTest : public ::testing::TestWithParam<Provider> {
protected:
  void SetUp() override {
#if !defined(CE_TEST_KEY_TOOL)
    GTEST_SKIP() << "the provider's key tool is not built";
#else
    if (!cetest::ProviderAvailable(GetParam()))
      GTEST_SKIP() << "the provider is not built";
    Root.Install(GetParam());
    MakeUser(A, "0001");
    MakeUser(B, "0002");
#endif
  }

  void TearDown() override {
    DoneEngine(A.Engine);
    DoneEngine(B.Engine);
  }

  int32_t BlockSize() const { return GetParam() == Provider::Kestrel5 ? 304 : 240; }

  void MakeUser(TUser &user, const std::string &number) {
#if defined(CE_TEST_KEY_TOOL)
    const std::string device = "device" + number;
    const std::string files = "files" + number;
    const cetest::ProgramRun run = cetest::RunProgram(
        CE_TEST_KEY_TOOL, {"new", "--device", (Root.Native() / device).string(), "--number", number,
                           "--generation", GetParam() == Provider::Kestrel5 ? "5" : "4",
                           "--public-out", (Root.Native() / files).string()});
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    user.Number = number;
    user.EncodeUID = number + "000001";
    user.SignUID = number + "00000101";
    ASSERT_NE(run.Output.find("sign-uid=" + user.SignUID), std::string::npos) << run.Output;
    user.KeyFiles = Root.PathOf(files);
    std::filesystem::create_directories(Root.Native() / ("public" + number));
    user.PublicDirectory = Root.PathOf("public" + number);

    user.Engine = GetCryptObj(0);
    ASSERT_NE(user.Engine, nullptr);
    // The host's root, so that "%ZEVRoot%" in its paths means it.
    SetRootPath(user.Engine, Root.Path().c_str());
    Set(user, kParamPathToSecret, Root.PathOf(device));
    Set(user, kParamKeyDevice, Root.PathOf(device));
    Set(user, kParamPathToPublic, "%ZEVRoot%\\public" + number);
    Set(user, kParamEncodeUID, user.EncodeUID);
    Set(user, kParamSignUID, user.SignUID);
#else
    (void)user;
    (void)number;
#endif
  }

  static void Set(const TUser &user, int32_t param, const std::string &value) {
    ASSERT_EQ(SetCryptoParamValue(user.Engine, param, value.c_str()), 0);
  }

  // Both public keys of `of` into the directory of `into`.
  static void Include(const TUser &into, const TUser &of) {
    ASSERT_EQ(IncludePublicEncodeKey(into.Engine, of.EncodePublicFile().c_str()), 0);
    ASSERT_EQ(IncludePublicKey(into.Engine, of.SignPublicFile().c_str()), 0);
  }

  static std::string Sign(const TUser &user, const std::string &data) {
    char signature[255];
    int32_t length = 0;
    EXPECT_EQ(SignData(user.Engine, data.data(), static_cast<int32_t>(data.size()), signature,
                       &length, nullptr),
              0);
    return std::string(signature, static_cast<std::size_t>(length));
  }

  static int32_t Verify(const TUser &user, const std::string &data, const std::string &signature,
                        std::string *signer = nullptr) {
    char uid[255] = {};
    const int32_t result =
        VerifyData(user.Engine, data.data(), static_cast<int32_t>(data.size()), signature.data(),
                   static_cast<int32_t>(signature.size()), uid);
    if (signer != nullptr)
      *signer = uid;
    return result;
  }

  // Encrypts as `user` for the recipients; the result code and the block.
  static std::pair<int32_t, std::string> Encode(const TUser &user, const std::string &plain,
                                                const char *recipients) {
    std::vector<char> buffer(plain.size() +
                             static_cast<std::size_t>(GetMaxAdditionEx(user.Engine, recipients)));
    std::copy(plain.begin(), plain.end(), buffer.begin());
    auto size = static_cast<int32_t>(plain.size());
    const int32_t result = EncodeData(user.Engine, buffer.data(), &size, recipients);
    return {result, std::string(buffer.data(), static_cast<std::size_t>(size))};
  }

  cetest::TestRoot Root;
  TUser A, B;
};

TEST_P(PublicKeysEndToEndTest, IncludedKeysLetAUserVerifyACorrespondentAndEncryptForThem) {
  Include(B, B);
  const std::string data = Data(500);
  const std::string signature = Sign(B, data);

  Include(A, A);
  EXPECT_EQ(Verify(A, data, signature), CE_PUBLIC_KEY_NOT_FOUND) << "B's key is not known yet";
  EXPECT_NE(Encode(A, data, B.Number.c_str()).first, 0);

  Include(A, B);
  std::string signer;
  EXPECT_EQ(Verify(A, data, signature, &signer), 0);
  EXPECT_EQ(signer, B.SignUID);

  Include(B, A);
  const auto [encoded, block] = Encode(A, data, B.Number.c_str());
  ASSERT_EQ(encoded, 0);
  std::string received = block;
  auto size = static_cast<int32_t>(received.size());
  char sender[255] = {};
  ASSERT_EQ(DecodeData(B.Engine, received.data(), &size, sender), 0);
  EXPECT_EQ(received.substr(0, static_cast<std::size_t>(size)), data);
  EXPECT_STREQ(sender, A.EncodeUID.c_str());
}

TEST_P(PublicKeysEndToEndTest, ARemovedKeyNoLongerVerifiesAndOwnKeysCannotBeRemoved) {
  Include(B, B);
  Include(A, A);
  Include(A, B);
  const std::string data = Data(64);
  const std::string signature = Sign(B, data);
  ASSERT_EQ(Verify(A, data, signature), 0);

  EXPECT_EQ(RemoveCertificate(A.Engine, B.SignUID.c_str()), 0);
  EXPECT_EQ(Verify(A, data, signature), CE_PUBLIC_KEY_NOT_FOUND);
  EXPECT_EQ(RemoveCertificate(A.Engine, B.SignUID.c_str()), kKeyAbsentFromDirectory);

  EXPECT_EQ(RemoveCertificate(A.Engine, B.EncodeUID.c_str()), 0);
  EXPECT_NE(Encode(A, data, B.Number.c_str()).first, 0) << "B's encryption key is gone";

  EXPECT_EQ(RemoveCertificate(A.Engine, A.SignUID.c_str()), -111);
  EXPECT_EQ(RemoveCertificate(A.Engine, A.EncodeUID.c_str()), -111);
  EXPECT_EQ(Verify(A, data, Sign(A, data)), 0) << "the own keys are still there";
}

TEST_P(PublicKeysEndToEndTest, AnIdentifierOfElevenCharactersIsRefusedBeforeAnyKeyIsLoaded) {
  EXPECT_EQ(RemoveCertificate(A.Engine, "00020000010"), -10);
  EXPECT_EQ(KestrelUnit().LoadedLibrary(), nullptr) << "the library was not even loaded";
  EXPECT_TRUE(KestrelUnit().KeyCache.empty());
}

TEST_P(PublicKeysEndToEndTest, AKeyFileOfOneByteTooManyIsRefusedAndTheDirectoryUntouched) {
  Include(A, A);
  const std::string directoryFile = A.PublicDirectory + "\\kestrel.spr";
  const std::string before = ReadFile(directoryFile);
  ASSERT_FALSE(before.empty());

  std::string bytes = ReadFile(B.SignPublicFile());
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(BlockSize()));
  bytes.push_back('\0');
  const std::string longer = Root.PathOf("longer.pub");
  std::ofstream(platform::NativePath(longer), std::ios::binary) << bytes;
  EXPECT_EQ(IncludePublicKey(A.Engine, longer.c_str()), -115);
  EXPECT_EQ(ReadFile(directoryFile), before);

  EXPECT_EQ(IncludePublicKey(A.Engine, Root.PathOf("absent.pub").c_str()), -8);
  char text[255];
  GetCryptoErrorString(A.Engine, -115, text);
  EXPECT_STREQ(text, "Invalid public key file.");
}

TEST_P(PublicKeysEndToEndTest, AKeyFileUnderTheRootPlaceholderIsFoundUnderTheRoot) {
  Include(B, B);
  Include(A, A);
  const std::string underRoot = "%ZEVRoot%\\files0002\\" + B.SignUID + ".pub";
  ASSERT_EQ(IncludePublicKey(A.Engine, underRoot.c_str()), 0);
  const std::string data = Data(32);
  EXPECT_EQ(Verify(A, data, Sign(B, data)), 0);
}

TEST_P(PublicKeysEndToEndTest, TheReportDumpsTheKeyAsIncluded) {
  Include(A, A);
  Include(A, B);
  std::vector<char> buffer(1025, kSentinel);
  ASSERT_EQ(GetReport(A.Engine, B.SignUID.c_str(), buffer.data()), 0);

  const auto length = static_cast<std::size_t>(BlockSize() == 240 ? 655 : 821);
  EXPECT_EQ(buffer[length], kSentinel) << "no NUL after the text";
  EXPECT_NE(buffer[length - 1], kSentinel);
  const std::string text(buffer.data(), length);
  EXPECT_EQ(text.substr(0, 25), "UID=" + B.SignUID + "\r\nPKey=\r\n");
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");

  // The first dump line holds the first 18 bytes of the key file.
  const std::string key = ReadFile(B.SignPublicFile());
  std::string firstLine;
  for (std::size_t i = 0; i < 18; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(key[i]));
    firstLine += digits;
    if (i % 2 == 1)
      firstLine += ' ';
  }
  EXPECT_EQ(text.substr(25, 47), firstLine + "\r\n");

  std::vector<char> properties(1025, kSentinel);
  EXPECT_EQ(GetPublicKeyProperties(A.Engine, B.SignUID.c_str(), properties.data()), 0);
  EXPECT_EQ(properties, buffer);
}

TEST_P(PublicKeysEndToEndTest, TheReportOfAKeyNotInTheDirectoryLeavesTheBufferUntouched) {
  Include(A, A);
  std::vector<char> buffer(1025, kSentinel);
  EXPECT_EQ(GetReport(A.Engine, B.SignUID.c_str(), buffer.data()), kKeyAbsentFromDirectory);
  EXPECT_EQ(buffer, std::vector<char>(1025, kSentinel));
}

// A host's whole session through the exports: keys exchanged, a message
// encrypted, decrypted, signed and verified, signatures added and removed,
// a report, a key removed, and the key cache cleared in between.
TEST_P(PublicKeysEndToEndTest, AWholeHostSession) {
  for (const TUser *into : {&A, &B})
    for (const TUser *of : {&A, &B})
      Include(*into, *of);

  char uid[255];
  ASSERT_EQ(GetCurrentUserUID(A.Engine, uid), 0);
  EXPECT_EQ(uid, A.SignUID);
  ASSERT_EQ(GetEncodeUIDBySignUID(A.Engine, B.SignUID.c_str(), uid), 0);
  EXPECT_EQ(uid, B.Number);

  // A encrypts a signed order for B (recipient named by the derived number).
  const std::string order = "PAYMENT ORDER 1207; 125000.00 RUB";
  const std::string signature = Sign(A, order);
  const auto [encoded, block] = Encode(A, order, uid);
  ASSERT_EQ(encoded, 0);

  ClearCash(B.Engine); // every key is loaded afresh from here on
  std::string received = block;
  auto size = static_cast<int32_t>(received.size());
  char sender[255] = {};
  ASSERT_EQ(DecodeData(B.Engine, received.data(), &size, sender), 0);
  received.resize(static_cast<std::size_t>(size));
  EXPECT_EQ(received, order);
  std::string signer;
  EXPECT_EQ(Verify(B, received, signature, &signer), 0);
  EXPECT_EQ(signer, A.SignUID);
  std::string altered = received;
  altered[8] = 'X';
  EXPECT_EQ(Verify(B, altered, signature), CE_SIGNATURE_WRONG);

  // B signs the order in place, A checks and strips the attached signature.
  std::vector<char> signedBlock(order.size() +
                                static_cast<std::size_t>(GetMaxSignAddition(B.Engine)));
  std::copy(order.begin(), order.end(), signedBlock.begin());
  auto signedSize = static_cast<int32_t>(order.size());
  ASSERT_EQ(AddSign(B.Engine, signedBlock.data(), &signedSize, nullptr), 0);
  EXPECT_GT(signedSize, static_cast<int32_t>(order.size()));
  EXPECT_EQ(UpdateCertificateCash(A.Engine, 0), 0); // clears the cache as well
  char remover[255] = {};
  ASSERT_EQ(RemoveSign(A.Engine, signedBlock.data(), &signedSize, remover), 0);
  EXPECT_EQ(std::string(signedBlock.data(), static_cast<std::size_t>(signedSize)), order);
  EXPECT_EQ(remover, B.SignUID);

  // The report on B's key, then B's key goes.
  std::vector<char> report(static_cast<std::size_t>(GetMaxReportSize(A.Engine)), '\0');
  ASSERT_EQ(GetReport(A.Engine, B.SignUID.c_str(), report.data()), 0);
  EXPECT_EQ(std::string(report.data()).size(), BlockSize() == 240 ? 655u : 821u);
  ASSERT_EQ(RemoveCertificate(A.Engine, B.SignUID.c_str()), 0);
  EXPECT_EQ(Verify(A, order, Sign(B, order)), CE_PUBLIC_KEY_NOT_FOUND);
  std::vector<char> none(1024, kSentinel);
  EXPECT_EQ(GetPublicKeyProperties(A.Engine, B.SignUID.c_str(), none.data()),
            kKeyAbsentFromDirectory);

  ClearCash(A.Engine);
  EXPECT_TRUE(KestrelUnit().KeyCache.empty());
  EXPECT_EQ(Verify(A, order, Sign(A, order)), 0) << "A still works after the cache was cleared";
}

INSTANTIATE_TEST_SUITE_P(Generations, PublicKeysEndToEndTest,
                         ::testing::Values(Provider::Kestrel4, Provider::Kestrel5),
                         [](const auto &info) {
                           return info.param == Provider::Kestrel5 ? std::string("Generation5")
                                                                   : std::string("Generation4");
                         });

} // namespace
