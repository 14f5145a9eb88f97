// Several users in one process, as on a bank's server: each user has a key
// pair in some slot of the driver and a directory of their own. Every
// directory operation finds the directory owner's key whichever slot holds
// it, and the key report works whatever else is loaded.
#include "directory_test_support.h"

#include <thread>

using namespace kestrel_provider;
using namespace provider_test;

namespace {

class SeveralUsers : public ProviderUsers {
protected:
  // `count` users, all loaded (user i in slot i), each with a directory
  // holding every user's keys, filled while every user is loaded.
  void MakeUsers(int count) {
    for (int i = 0; i < count; ++i) {
      users.push_back(MakeUser("00" + std::to_string(10 * count + i)));
      ASSERT_EQ(lib.InitKey(users.back().device.c_str(), ""), 0);
    }
    for (const User &owner : users)
      for (const User &user : users)
        for (const std::string &id : {user.E(), user.S()})
          ASSERT_EQ(Add(owner, id), 0) << owner.E() << " " << id;
  }

  // An encrypted block from the user in slot 0 for `to`, read with the
  // directory of the user in slot 0.
  Bytes EncryptFromSlot0(const User &to, const Bytes &plain) {
    const auto own = static_cast<std::uint16_t>(std::stoi(users[0].Number()));
    const std::uint16_t recipients[] = {static_cast<std::uint16_t>(std::stoi(to.Number())), 0};
    Bytes block(plain.size() + 37 + 48);
    EXPECT_EQ(lib.CryptoInit("", users[0].dir.c_str()), 0);
    EXPECT_EQ(lib.EnCryptMem(plain.data(), static_cast<int32_t>(plain.size()), block.data(), own,
                             recipients, ""),
              0);
    lib.CryptoDone();
    return block;
  }

  std::vector<User> users;
};

TEST_P(SeveralUsers, AUsersKeyReportWorksWhileAnotherUsersKeyIsLoaded) {
  const User a = MakeUser("0017");
  const User b = MakeUser("0042");
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  ASSERT_EQ(Add(a, b.S()), 0);
  ASSERT_EQ(lib.ResetKeyEx(a.E().c_str(), 1), 0);
  ASSERT_EQ(lib.InitKey(b.device.c_str(), ""), 0);
  Bytes out(BlockSize(), 0);
  ASSERT_EQ(lib.ExtractKey(a.dir.c_str(), b.S().c_str(), out.data()), 0);
  EXPECT_EQ(out, Block(b.S()));
  // B cannot change A's directory.
  EXPECT_EQ(Add(a, b.E()), 6) << "A's key is not loaded";
}

TEST_P(SeveralUsers, TwoAndFourUsersInterleaveEveryOperation) {
  for (int count : {2, 4}) {
    SCOPED_TRACE(count);
    users.clear();
    MakeUsers(count);
    const Bytes plain = {'o', 'r', 'd', 'e', 'r'};
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < count; ++i) {
        const User &user = users[static_cast<std::size_t>(i)];
        const User &next = users[static_cast<std::size_t>((i + 1) % count)];
        // The report, a removal and an inclusion in the user's directory,
        // whichever slot the user's key is in.
        Bytes out(BlockSize(), 0);
        ASSERT_EQ(lib.ExtractKey(user.dir.c_str(), next.S().c_str(), out.data()), 0);
        EXPECT_EQ(out, Block(next.S()));
        ASSERT_EQ(Del(user, next.E()), 0);
        ASSERT_EQ(Extract(user, next.E()), 117);
        ASSERT_EQ(Add(user, next.E()), 0);
        // The user signs; the next one checks with their own directory.
        const Check check = CheckSeparate(next, plain, SignSeparate(user, plain));
        EXPECT_EQ(check.code, 0);
        EXPECT_EQ(check.signer, user.S());
        EXPECT_EQ(check.verdict, 0);
        // The user in slot 0 encrypts for the user, who decrypts with their
        // own directory.
        Bytes block = EncryptFromSlot0(user, plain);
        ASSERT_EQ(lib.CryptoInit("", user.dir.c_str()), 0);
        int32_t length = static_cast<int32_t>(block.size());
        EXPECT_EQ(lib.DeCryptMem(block.data(), &length,
                                 static_cast<std::uint16_t>(std::stoi(user.Number()))),
                  0);
        EXPECT_EQ(Bytes(block.begin(), block.begin() + length), plain);
        lib.CryptoDone();
      }
    }
    // The same from one thread per user at once.
    std::vector<std::thread> threads;
    std::vector<int> failures(users.size(), 0);
    for (std::size_t i = 0; i < users.size(); ++i)
      threads.emplace_back([&, i] {
        const User &user = users[i];
        const User &next = users[(i + 1) % users.size()];
        for (int round = 0; round < 5; ++round) {
          Bytes out(BlockSize(), 0);
          failures[i] += lib.ExtractKey(user.dir.c_str(), next.S().c_str(), out.data()) != 0;
          failures[i] += Del(user, next.E()) != 0;
          failures[i] += Add(user, next.E()) != 0;
          Bytes signature(255);
          int32_t length = 0;
          failures[i] += lib.SignMemSeparateEx(plain.data(), static_cast<int32_t>(plain.size()),
                                               &length, user.S().c_str(), signature.data()) != 0;
        }
      });
    for (auto &t : threads)
      t.join();
    for (std::size_t i = 0; i < users.size(); ++i)
      EXPECT_EQ(failures[i], 0) << users[i].E();
    for (const User &user : users)
      ASSERT_EQ(lib.ResetKeyEx(user.E().c_str(), 1), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Generations, SeveralUsers, testing::Values(4, 5), GenerationName);

} // namespace
