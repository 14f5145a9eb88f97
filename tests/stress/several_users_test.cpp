// Several users served by one process through the module's exports, as on a
// bank's server: two and four engines, each with its own keys and public key
// directory, take turns at every operation (and then run at once), so that
// each user's keys sit in whichever driver slot the last operations left
// them. "Use 0 slot for verify signature" is "No": removals and checks
// find the owner's key in any slot.
#include "tests/stress/stress_support.h"

#include "engine/kestrel4_engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

using cestress::TEngine;
using cestress::TKeyUser;

class SeveralUsersTest : public ::testing::TestWithParam<cetest::Provider> {
protected:
  void SetUp() override {
    if (!cestress::ProviderWithKeyToolAvailable(GetParam()))
      GTEST_SKIP() << "the provider or its key tool is not built";
    Root.Install(GetParam());
    Root.SetAsRoot();
  }

  // `count` users numbered from `first`, each directory holding everybody's keys.
  void MakeUsers(int first, int count) {
    Users.clear();
    Engines.clear();
    for (int i = 0; i < count; ++i) {
      Users.emplace_back();
      ASSERT_NO_FATAL_FAILURE(
          cestress::MakeKeyUser(Root, "00" + std::to_string(first + i), Users.back(), GetParam()));
      Engines.push_back(std::make_unique<TEngine>());
      ASSERT_NO_FATAL_FAILURE(Engines.back()->Configure(Users.back()));
      Engines.back()->Set(kParamUse0SlotForVerify, "No");
    }
    for (auto &engine : Engines)
      for (const TKeyUser &user : Users)
        ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(*engine, user));
  }

  // Every operation as user i, with the next user as correspondent; the
  // number of failed checks.
  int Turn(std::size_t i, const std::string &data) {
    const TKeyUser &user = Users[i];
    const TKeyUser &next = Users[(i + 1) % Users.size()];
    CE_HANDLE own = Engines[i]->Handle();
    CE_HANDLE other = Engines[(i + 1) % Users.size()]->Handle();
    int failed = 0;
    std::vector<char> report(static_cast<std::size_t>(GetMaxReportSize(own)), '\0');
    failed += GetReport(own, next.SignUID.c_str(), report.data()) != 0;
    failed += RemoveCertificate(own, next.EncodeUID.c_str()) != 0;
    failed += IncludePublicEncodeKey(own, next.EncodePublicFile().c_str()) != 0;

    std::string signature(static_cast<std::size_t>(GetMaxSignatureLength(own)), '\0');
    int32_t signatureLength = 0;
    failed += SignData(own, data.data(), static_cast<int32_t>(data.size()), signature.data(),
                       &signatureLength, nullptr) != 0;
    char signer[256] = {};
    failed += VerifyData(other, data.data(), static_cast<int32_t>(data.size()), signature.data(),
                         signatureLength, signer) != 0;
    failed += user.SignUID != signer;

    std::vector<char> block(data.size() +
                            static_cast<std::size_t>(GetMaxAdditionEx(own, next.Number.c_str())));
    std::copy(data.begin(), data.end(), block.begin());
    auto size = static_cast<int32_t>(data.size());
    failed += EncodeData(own, block.data(), &size, next.Number.c_str()) != 0;
    char sender[256] = {};
    failed += DecodeData(other, block.data(), &size, sender) != 0;
    failed += std::string(block.data(), static_cast<std::size_t>(size)) != data;
    failed += user.EncodeUID != sender;
    return failed;
  }

  cetest::TestRoot Root;
  std::vector<TKeyUser> Users;
  std::vector<std::unique_ptr<TEngine>> Engines;
};

TEST_P(SeveralUsersTest, TwoAndFourUsersTakeTurnsAtEveryOperation) {
  for (int count : {2, 4}) {
    SCOPED_TRACE(count);
    ASSERT_NO_FATAL_FAILURE(MakeUsers(10 * count, count));
    const std::string data = cestress::Pattern(300, static_cast<uint32_t>(count));
    for (int round = 0; round < 3; ++round)
      for (std::size_t i = 0; i < Users.size(); ++i)
        EXPECT_EQ(Turn(i, data), 0) << Users[i].EncodeUID << " round " << round;
  }
}

TEST_P(SeveralUsersTest, FourUsersAtOnce) {
  ASSERT_NO_FATAL_FAILURE(MakeUsers(60, 4));
  const cestress::TWatchdog watchdog(std::chrono::seconds(240), "four users at once");
  std::vector<int> failed(Users.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < Users.size(); ++i)
    threads.emplace_back([&, i] {
      const std::string data = cestress::Pattern(100 + i, static_cast<uint32_t>(i));
      for (int round = 0; round < 4; ++round)
        failed[i] += Turn(i, data);
    });
  for (auto &thread : threads)
    thread.join();
  for (std::size_t i = 0; i < Users.size(); ++i)
    EXPECT_EQ(failed[i], 0) << Users[i].EncodeUID;
}

INSTANTIATE_TEST_SUITE_P(Generations, SeveralUsersTest,
                         ::testing::Values(cetest::Provider::Kestrel4, cetest::Provider::Kestrel5),
                         [](const auto &info) {
                           return info.param == cetest::Provider::Kestrel5 ? "Generation5"
                                                                           : "Generation4";
                         });

} // namespace
