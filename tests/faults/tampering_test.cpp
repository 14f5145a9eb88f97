// Tampering through the module's exports with the project's provider: every
// byte of an encrypted block, of a detached signature, of a signed block and
// of a public key file changed in turn, and each cut at every shorter length.
// None of them is ever accepted, nothing crashes, and on failure the host's
// buffers and the public key directory are as they were.
#include "tests/stress/stress_support.h"

#include "engine/kestrel4_engine.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using cestress::Pattern;
using cestress::TEngine;
using cestress::TKeyUser;

class TamperingTest : public ::testing::TestWithParam<cetest::Provider> {
protected:
  void SetUp() override {
    if (!cestress::ProviderWithKeyToolAvailable(GetParam()))
      GTEST_SKIP() << "the provider or its key tool is not built";
    Root.Install(GetParam());
    Root.SetAsRoot();
    ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, "0001", A, GetParam()));
    ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, "0002", B, GetParam()));
    for (auto [engine, user] : {std::pair{&EA, &A}, {&EB, &B}}) {
      ASSERT_NO_FATAL_FAILURE(engine->Configure(*user));
      ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(*engine, A));
      ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(*engine, B));
    }
  }

  // Runs check on every variant of original: each byte inverted, then each
  // length from 0 to one short of the whole. check gets the variant and
  // returns the operation's result, which must never be 0.
  int Sweep(const std::string &original,
            const std::function<int32_t(std::string &variant, const std::string &what)> &check) {
    int tried = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
      std::string variant = original;
      variant[i] = static_cast<char>(~variant[i]);
      const std::string what = "byte " + std::to_string(i) + " inverted";
      EXPECT_NE(check(variant, what), 0) << what << " was accepted";
      ++tried;
    }
    for (std::size_t length = 0; length < original.size(); ++length) {
      std::string variant = original.substr(0, length);
      const std::string what = "cut to " + std::to_string(length) + " bytes";
      EXPECT_NE(check(variant, what), 0) << what << " was accepted";
      ++tried;
    }
    return tried;
  }

  cetest::TestRoot Root;
  TKeyUser A, B;
  TEngine EA, EB;
  const std::string Plain = Pattern(40, 11);
};

TEST_P(TamperingTest, NoChangedOrCutEncryptedBlockDecrypts) {
  std::string block = Plain + std::string(85, '\0');
  int32_t length = static_cast<int32_t>(Plain.size());
  ASSERT_EQ(EncodeData(EA.Handle(), block.data(), &length, "0002"), 0);
  ASSERT_EQ(length, 125);
  {
    std::string copy = block;
    char sender[256] = {};
    ASSERT_EQ(DecodeData(EB.Handle(), copy.data(), &length, sender), 0) << "the block is good";
    length = 125;
  }
  const int tried = Sweep(block, [&](std::string &variant, const std::string &what) {
    // The host's buffer: the variant followed by bytes that must stay.
    std::string buffer = variant + std::string(16, '#');
    const std::string before = buffer;
    auto size = static_cast<int32_t>(variant.size());
    char sender[256] = {};
    const int32_t result = DecodeData(EB.Handle(), buffer.data(), &size, sender);
    if (result != 0) {
      EXPECT_EQ(buffer, before) << what;
      EXPECT_EQ(size, static_cast<int32_t>(variant.size())) << what;
    }
    return result;
  });
  RecordProperty("variants", tried);
}

TEST_P(TamperingTest, NoChangedOrCutDetachedSignatureVerifies) {
  std::string signature(static_cast<std::size_t>(GetMaxSignatureLength(EA.Handle())), '\0');
  int32_t signatureLength = 0;
  ASSERT_EQ(SignData(EA.Handle(), Plain.data(), static_cast<int32_t>(Plain.size()),
                     signature.data(), &signatureLength, nullptr),
            0);
  signature.resize(static_cast<std::size_t>(signatureLength));
  char signer[256] = {};
  ASSERT_EQ(VerifyData(EB.Handle(), Plain.data(), static_cast<int32_t>(Plain.size()),
                       signature.data(), signatureLength, signer),
            0);
  ASSERT_EQ(std::string(signer), A.SignUID);
  const int tried = Sweep(signature, [&](std::string &variant, const std::string &what) {
    std::string out(256, '#');
    const std::string data = Plain;
    const int32_t result =
        VerifyData(EB.Handle(), data.data(), static_cast<int32_t>(data.size()), variant.data(),
                   static_cast<int32_t>(variant.size()), out.data());
    if (result != 0) {
      EXPECT_EQ(out, std::string(256, '#')) << what << ": a signer named for a bad signature";
    }
    EXPECT_EQ(data, Plain);
    return result;
  });
  // The data changed under a good signature.
  const int triedData = Sweep(Plain, [&](std::string &variant, const std::string &) {
    std::string out(256, '#');
    if (variant.empty())
      return VerifyData(EB.Handle(), Plain.data(), 0, signature.data(), signatureLength,
                        out.data());
    return VerifyData(EB.Handle(), variant.data(), static_cast<int32_t>(variant.size()),
                      signature.data(), signatureLength, out.data());
  });
  RecordProperty("variants", tried + triedData);
}

TEST_P(TamperingTest, NoChangedOrCutSignedBlockGivesUpItsSignature) {
  std::string block =
      Plain + std::string(static_cast<std::size_t>(GetMaxSignAddition(EA.Handle())), '\0');
  auto length = static_cast<int32_t>(Plain.size());
  ASSERT_EQ(AddSign(EA.Handle(), block.data(), &length, nullptr), 0);
  block.resize(static_cast<std::size_t>(length));
  {
    std::string copy = block;
    int32_t copyLength = length;
    char signer[256] = {};
    ASSERT_EQ(RemoveSign(EB.Handle(), copy.data(), &copyLength, signer), 0) << "the block is good";
    ASSERT_EQ(copy.substr(0, Plain.size()), Plain);
  }
  const int tried = Sweep(block, [&](std::string &variant, const std::string &what) {
    std::string buffer = variant + std::string(16, '#');
    const std::string before = buffer;
    auto size = static_cast<int32_t>(variant.size());
    std::string signer(256, '#');
    const int32_t result = RemoveSign(EB.Handle(), buffer.data(), &size, signer.data());
    if (result != 0) {
      EXPECT_EQ(buffer, before) << what;
      EXPECT_EQ(size, static_cast<int32_t>(variant.size())) << what;
    }
    return result;
  });
  RecordProperty("variants", tried);
}

TEST_P(TamperingTest, NoChangedOrCutPublicKeyFileIsIncluded) {
  // A correspondent's key file of A's directory, included once already.
  const auto read = [](const std::string &modulePath) {
    std::ifstream in(platform::NativePath(modulePath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string directory = read(A.PublicDir + "\\kestrel.spr");
  ASSERT_FALSE(directory.empty());
  const std::string original = read(B.SignPublicFile());
  const std::string file = Root.PathOf("tampered.pub");
  const int tried = Sweep(original, [&](std::string &variant, const std::string &what) {
    std::ofstream(platform::NativePath(file), std::ios::binary | std::ios::trunc) << variant;
    const int32_t result = IncludePublicKey(EA.Handle(), file.c_str());
    EXPECT_EQ(read(A.PublicDir + "\\kestrel.spr"), directory) << what;
    return result;
  });
  RecordProperty("variants", tried);
}

INSTANTIATE_TEST_SUITE_P(Generations, TamperingTest,
                         ::testing::Values(cetest::Provider::Kestrel4, cetest::Provider::Kestrel5),
                         [](const auto &info) {
                           return info.param == cetest::Provider::Kestrel5 ? "Generation5"
                                                                           : "Generation4";
                         });

} // namespace
