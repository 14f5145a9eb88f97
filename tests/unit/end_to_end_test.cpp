// Encryption and signatures end to end with the project's provider: users
// with key devices of their own (made by the provider's key tool) and public
// key directories of their own, all in one process.
#include "key_operation_support.h"

#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/child_process.h"
#include "tests/support/test_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using cetest::Provider;
using keyop_test::ExpectEngineIdle;
using keyop_test::Set;

// The provider's code for a block whose MAC does not match.
constexpr int32_t kBlockDamaged = 4;

std::string Data(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>((i * 7 + 3) % 256);
  return data;
}

// A user: the key device and public key files the key tool made, a public
// key directory, and an engine configured for them.
struct TUser {
  std::string Number;
  std::string EncodeUID;
  std::string SignUID;
  std::string KeyFiles; // where the key tool put the public key files
  std::unique_ptr<TKestrel4Engine> Engine = std::make_unique<TKestrel4Engine>();

  std::string EncodePublicFile() const { return KeyFiles + "\\" + EncodeUID + ".pub"; }
  std::string SignPublicFile() const { return KeyFiles + "\\" + SignUID + ".pub"; }
};

class EndToEndTest : public ::testing::TestWithParam<Provider> {
protected:
  void SetUp() override {
#if !defined(CE_TEST_KEY_TOOL)
    GTEST_SKIP() << "the provider's key tool is not built";
#else
    if (!cetest::ProviderAvailable(GetParam()))
      GTEST_SKIP() << "the provider is not built";
    Root.Install(GetParam());
    Root.SetAsRoot();
    for (auto [user, number] : {std::pair{&A, "0001"}, {&B, "0002"}, {&C, "0003"}})
      MakeUser(*user, number);
    // Everybody knows their own keys; A and B know each other's, C only its own.
    for (TUser *user : {&A, &B, &C})
      Include(*user, *user);
    Include(A, B);
    Include(B, A);
    Include(A, C);
#endif
  }

  void MakeUser(TUser &user, const std::string &number) {
#if defined(CE_TEST_KEY_TOOL)
    const std::string device = "device" + number;
    const std::string files = "files" + number;
    const cetest::ProgramRun run = cetest::RunProgram(
        CE_TEST_KEY_TOOL, {"new", "--device", (Root.Native() / device).string(), "--number", number,
                           "--public-out", (Root.Native() / files).string(), "--generation",
                           GetParam() == Provider::Kestrel5 ? "5" : "4"});
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    user.Number = number;
    user.EncodeUID = number + "000001";
    user.SignUID = number + "00000101";
    ASSERT_NE(run.Output.find("encode-uid=" + user.EncodeUID), std::string::npos) << run.Output;
    ASSERT_NE(run.Output.find("sign-uid=" + user.SignUID), std::string::npos) << run.Output;
    user.KeyFiles = Root.PathOf(files);
    const std::string directory = "public" + number;
    std::filesystem::create_directories(Root.Native() / directory);

    TKestrel4Engine &engine = *user.Engine;
    Set(engine, kParamPathToSecret, Root.PathOf(device));
    Set(engine, kParamKeyDevice, Root.PathOf(device));
    Set(engine, kParamPathToPublic, Root.PathOf(directory));
    Set(engine, kParamEncodeUID, user.EncodeUID);
    Set(engine, kParamSignUID, user.SignUID);
#else
    (void)user;
    (void)number;
#endif
  }

  // Puts both public keys of `of` into the directory of `into`.
  static void Include(TUser &into, const TUser &of) {
    ASSERT_EQ(into.Engine->IncludePublicEncodeKey(of.EncodePublicFile().c_str()), 0);
    ASSERT_EQ(into.Engine->IncludePublicKey(of.SignPublicFile().c_str()), 0);
  }

  // Encrypts `plain` as `from` for the recipients; the host buffer has room
  // for the block and nothing more.
  static std::string Encode(TUser &from, const std::string &plain, const char *recipients,
                            std::size_t overhead) {
    std::vector<char> buffer(plain.size() + overhead);
    std::copy(plain.begin(), plain.end(), buffer.begin());
    auto size = static_cast<int32_t>(plain.size());
    EXPECT_EQ(from.Engine->EncodeData(buffer.data(), &size, recipients), 0);
    EXPECT_EQ(size, static_cast<int32_t>(plain.size() + overhead));
    ExpectEngineIdle(*from.Engine);
    return std::string(buffer.data(), static_cast<std::size_t>(size));
  }

  // Decrypts a block as `user`: the result, the plaintext and the sender.
  struct TDecoded {
    int32_t Result;
    std::string Data;
    std::string Sender;
  };
  static TDecoded Decode(TUser &user, const std::string &block) {
    std::string buffer = block;
    auto size = static_cast<int32_t>(buffer.size());
    char sender[255] = {};
    const int32_t result = user.Engine->DecodeData(buffer.data(), &size, sender);
    ExpectEngineIdle(*user.Engine);
    return {result, buffer.substr(0, static_cast<std::size_t>(size)), sender};
  }

  cetest::TestRoot Root;
  TUser A, B, C;
};

TEST_P(EndToEndTest, AEncryptsForBAndBLearnsTheSender) {
  const std::string plain = Data(100);
  const std::string block = Encode(A, plain, "0002", 85); // 100 -> 185
  EXPECT_NE(block.substr(85), plain);

  const TDecoded decoded = Decode(B, block);
  EXPECT_EQ(decoded.Result, 0);
  EXPECT_EQ(decoded.Data, plain);
  EXPECT_EQ(decoded.Sender, A.EncodeUID);
  // A is no recipient of that block.
  EXPECT_NE(Decode(A, block).Result, 0);
}

TEST_P(EndToEndTest, AEncryptsForSeveralRecipientsAndEachOfThemDecrypts) {
  const std::string plain = Data(100);
  // The recipients from the parameter, with full identifiers for two of them.
  Set(*A.Engine, kParamEncryptForKeyNumber, "0001;0002000001;0003");
  const std::string block = Encode(A, plain, nullptr, 3 * 48 + 37); // 100 -> 281
  for (TUser *user : {&A, &B}) {
    const TDecoded decoded = Decode(*user, block);
    EXPECT_EQ(decoded.Result, 0) << user->Number;
    EXPECT_EQ(decoded.Data, plain) << user->Number;
    EXPECT_EQ(decoded.Sender, A.EncodeUID) << user->Number;
  }
  const std::string forBoth = Encode(A, plain, "0001;0002", 2 * 48 + 37);
  EXPECT_EQ(Decode(B, forBoth).Data, plain);
  EXPECT_EQ(Decode(A, forBoth).Data, plain);
}

TEST_P(EndToEndTest, ATamperedBlockFailsAndLeavesTheHostBufferAsItWas) {
  std::string block = Encode(A, Data(100), "0002", 85);
  block[150] = static_cast<char>(block[150] ^ 0x01);
  std::string buffer = block;
  auto size = static_cast<int32_t>(buffer.size());
  char sender[255] = {};
  EXPECT_EQ(B.Engine->DecodeData(buffer.data(), &size, sender), kBlockDamaged);
  EXPECT_EQ(size, 185);
  EXPECT_EQ(buffer, block);
  ExpectEngineIdle(*B.Engine);
}

TEST_P(EndToEndTest, DetachedSignaturesVerifyAndNameTheSigner) {
  const std::string data = Data(1024);
  char signature[255];
  int32_t length = 0;
  ASSERT_EQ(A.Engine->SignData(data.data(), 1024, signature, &length, nullptr), 0);
  ExpectEngineIdle(*A.Engine);
  ASSERT_GT(length, 0);
  ASSERT_LE(length, A.Engine->GetMaxSignatureLength());

  char signer[255];
  std::fill(std::begin(signer), std::end(signer), '#');
  EXPECT_EQ(B.Engine->VerifyData(data.data(), 1024, signature, length, signer), 0);
  EXPECT_EQ(std::string(signer, 13), A.SignUID + '\0');
  ExpectEngineIdle(*B.Engine);

  std::string changed = data;
  changed[512] = static_cast<char>(changed[512] ^ 0x80);
  EXPECT_EQ(B.Engine->VerifyData(changed.data(), 1024, signature, length, signer), 1001);
  // C does not have A's public key.
  EXPECT_EQ(C.Engine->VerifyData(data.data(), 1024, signature, length, signer), 1002);
  ExpectEngineIdle(*C.Engine);
}

TEST_P(EndToEndTest, TwoAttachedSignaturesComeOffAgainOneByOne) {
  const std::string original = Data(10);
  const int32_t room = A.Engine->GetMaxSignAddition();
  std::vector<char> block(original.size() + 2 * static_cast<std::size_t>(room), '#');
  std::copy(original.begin(), original.end(), block.begin());
  int32_t length = 10;
  std::vector<int32_t> lengths{length};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(A.Engine->AddSign(block.data(), &length, nullptr), 0);
    EXPECT_GT(length, lengths.back());
    EXPECT_LE(length, lengths.back() + room);
    lengths.push_back(length);
    ExpectEngineIdle(*A.Engine);
  }
  for (int i = 0; i < 2; ++i) {
    char signer[255] = {};
    ASSERT_EQ(B.Engine->RemoveSignature(block.data(), &length, signer), 0);
    EXPECT_STREQ(signer, A.SignUID.c_str());
    lengths.pop_back();
    EXPECT_EQ(length, lengths.back());
    ExpectEngineIdle(*B.Engine);
  }
  EXPECT_EQ(std::string(block.data(), static_cast<std::size_t>(length)), original);
  char signer[255] = {};
  EXPECT_EQ(B.Engine->RemoveSignature(block.data(), &length, signer),
            TKestrelDLL::kBadSignaturesCount);
}

TEST_P(EndToEndTest, AnAlteredSignedBlockIsLeftAsItWas) {
  std::vector<char> block(10 + 353);
  const std::string original = Data(10);
  std::copy(original.begin(), original.end(), block.begin());
  int32_t length = 10;
  ASSERT_EQ(A.Engine->AddSign(block.data(), &length, nullptr), 0);
  block[3] = static_cast<char>(block[3] ^ 0x01);
  const std::vector<char> signedBlock = block;
  const int32_t signedLength = length;
  char signer[255] = {};
  EXPECT_EQ(B.Engine->RemoveSignature(block.data(), &length, signer), 1001);
  EXPECT_EQ(length, signedLength);
  EXPECT_EQ(block, signedBlock);
  EXPECT_STREQ(signer, "");
}

INSTANTIATE_TEST_SUITE_P(Generations, EndToEndTest,
                         ::testing::Values(Provider::Kestrel4, Provider::Kestrel5),
                         [](const auto &info) {
                           return info.param == Provider::Kestrel5 ? "Generation5" : "Generation4";
                         });

} // namespace
