// The provider keeps what does not change between calls: key objects per
// loaded key, checked public keys by their bytes, and the checked directory
// while its file is unchanged. None of it may outlive what it was made from:
// the directory changed, replaced, rolled back or cut between two calls by
// another process or another engine, and the loaded key reset or replaced,
// are seen by the very next call.
#include "directory_test_support.h"

#include "formats.h"

#include <functional>

using namespace kestrel_provider;
using namespace provider_test;
namespace fs = std::filesystem;

namespace {

constexpr int kNoKey = 117;
constexpr int kWrongLength = 118;
constexpr int kHeaderChanged = 124;
constexpr int kRolledBack = 132;
constexpr int kKeyNotFound = 6;

// Overwrites the file in place: same file number, as `cp` over it does.
void OverwriteInPlace(const std::string &path, const Bytes &data) {
  std::FILE *f = std::fopen(platform::NativePath(path).c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
  std::fclose(f);
  fs::resize_file(platform::NativePath(path), data.size());
}

class StaleCache : public ProviderUsers {
protected:
  void SetUp() override {
    ProviderUsers::SetUp();
    a = MakeUser("0017");
    b = MakeUser("0042");
    c = MakeUser("0043");
    for (const User *u : {&a, &b, &c})
      ASSERT_EQ(lib.InitKey(u->device.c_str(), ""), 0);
    for (const std::string &id : {a.E(), a.S(), b.E(), b.S()})
      ASSERT_EQ(Add(a, id), 0) << id;
    older = ReadFile(a.DirectoryFile());
    ASSERT_EQ(Add(a, c.E()), 0);
    signature = SignSeparate(b, data);
  }

  // The verdict of b's signature through a's directory, or the code.
  int Verify() {
    const Check r = CheckSeparate(a, data, signature);
    return r.code != 0 ? r.code : r.verdict;
  }
  int EncryptFor(const User &to) {
    EXPECT_EQ(lib.CryptoInit("", a.dir.c_str()), 0);
    Bytes out(data.size() + 37 + 48);
    const std::uint16_t list[] = {static_cast<std::uint16_t>(std::stoi(to.Number())), 0};
    const int code = lib.EnCryptMem(data.data(), static_cast<int32_t>(data.size()), out.data(),
                                    static_cast<std::uint16_t>(std::stoi(a.Number())), list, "");
    lib.CryptoDone();
    return code;
  }
  // `from` as a's key would write it, at a version above every one written
  // so far, with the entry of `gone` (if given) holding `in` instead: the
  // same size.
  Bytes Rewritten(const Bytes &from, const std::string &gone = {}, const std::string &in = {}) {
    const Key256 key = DirectoryKey(a.keys.encryption.privateKey, a.E());
    DirectoryFile file;
    EXPECT_EQ(VerifyDirectory(from.data(), from.size(), Gen(), key, file), 0);
    for (auto &entry : file.entries)
      if (!gone.empty() && entry.key.id == gone) {
        entry.block = Block(in);
        entry.key.id = in;
      }
    file.version = ++version;
    return BuildDirectory(file, key);
  }
  User Another(const std::string &name, const std::string &number) {
    User user;
    user.device = tmp.File(name);
    user.dir = tmp.Sub(name + "-public");
    user.keys = MakeKeyDevice(user.device, user.dir, Gen(), number);
    return user;
  }

  User a, b, c;
  Bytes older; // before c's encryption key was added
  const Bytes data{'o', 'r', 'd', 'e', 'r'};
  Bytes signature;
  std::uint64_t version = 1000;
};

TEST_P(StaleCache, EveryChangeBetweenCallsIsSeenByTheNextCall) {
  struct Case {
    const char *what;
    std::function<void()> change;
    int verify;  // b's signature through a's directory afterwards: verdict or code
    int encrypt; // a encrypting for c afterwards
  };
  const std::string file = a.DirectoryFile();
  const Case cases[] = {
      {"another engine of this process removes b's signature key",
       [&] { ASSERT_EQ(Del(a, b.S()), 0); }, 2, 0},
      {"another process renames a newer version over it (same size, same second)",
       [&] { WriteFile(file, Rewritten(ReadFile(file), b.S(), c.S())); }, 2, 0},
      {"the same, written in place with its modification time put back",
       [&] {
         const auto time = fs::last_write_time(platform::NativePath(file));
         OverwriteInPlace(file, Rewritten(ReadFile(file), b.S(), c.S()));
         fs::last_write_time(platform::NativePath(file), time);
       },
       2, 0},
      {"an older copy renamed over it", [&] { WriteFile(file, older); }, kRolledBack, kRolledBack},
      {"an older copy copied back in place", [&] { OverwriteInPlace(file, older); }, kRolledBack,
       kRolledBack},
      {"the file cut short in place",
       [&] { fs::resize_file(platform::NativePath(file), ReadFile(file).size() - 1); },
       kWrongLength, kWrongLength},
      {"the file cut to its header",
       [&] { OverwriteInPlace(file, Bytes(older.begin(), older.begin() + 56)); }, kWrongLength,
       kWrongLength},
      {"one byte of an entry changed in place, the header left alone",
       [&] {
         Bytes now = ReadFile(file);
         now[kDirectoryHeaderSize + 3 * DirectoryEntrySize(Gen()) + 30] ^= 1;
         OverwriteInPlace(file, now);
       },
       111, 0},
      {"the file removed", [&] { fs::remove(platform::NativePath(file)); }, 2, kNoKey},
  };
  const Bytes original = ReadFile(file);
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    WriteFile(file, Rewritten(original));
    Settle(file);
    // Twice: the second call is served from what the first one kept.
    ASSERT_EQ(Verify(), 0);
    ASSERT_EQ(Verify(), 0);
    ASSERT_EQ(EncryptFor(c), 0);
    k.change();
    EXPECT_EQ(Verify(), k.verify);
    EXPECT_EQ(EncryptFor(c), k.encrypt);
  }
}

TEST_P(StaleCache, AResetOrReplacedKeyIsNeverServedFromWhatItsEarlierLoadChecked) {
  Settle(a.DirectoryFile());
  ASSERT_EQ(Verify(), 0);
  ASSERT_EQ(Verify(), 0);
  // The owner's key reset: nothing checks the directory any more.
  ASSERT_EQ(lib.ResetKeyEx(a.E().c_str(), 1), 0);
  EXPECT_EQ(Verify(), 131); // other users' keys are loaded, not the owner's
  for (const User *u : {&b, &c})
    ASSERT_EQ(lib.ResetKeyEx(u->S().c_str(), 1), 0);
  EXPECT_EQ(Verify(), kKeyNotFound);
  // Another key under the owner's identifiers: the directory is not its own.
  const User impostor = Another("impostor", "0017");
  ASSERT_EQ(lib.InitKey(impostor.device.c_str(), ""), 0);
  EXPECT_EQ(Verify(), kHeaderChanged);
  ASSERT_EQ(lib.ResetKeyEx(impostor.E().c_str(), 1), 0);
  // The owner's own key loaded again checks it afresh.
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  EXPECT_EQ(Verify(), 0);

  // The signer's key replaced by a new pair under the same identifiers: the
  // next signature is made with the new key, which a's directory does not
  // hold, so it no longer verifies; the old key signs nothing any more.
  ASSERT_EQ(lib.InitKey(b.device.c_str(), ""), 0);
  const Bytes before = SignSeparate(b, data);
  ASSERT_EQ(lib.ResetKeyEx(b.E().c_str(), 1), 0);
  const User renewed = Another("renewed", "0042");
  ASSERT_EQ(lib.InitKey(renewed.device.c_str(), ""), 0);
  signature = SignSeparate(renewed, data);
  EXPECT_EQ(Verify(), 1);
  signature = before;
  EXPECT_EQ(Verify(), 0);
}

TEST_P(StaleCache, ASettledDirectoryIsReadOnceAndEachChangeOnceMore) {
  // The provider's code linked into this test, with its own key driver and
  // kept directories: it stands for another process next to the library.
  KeyDriver &driver = KeyDriver::Instance();
  ASSERT_EQ(driver.Load(a.device), 0);
  const auto lookup = [&](const std::string &id) {
    PublicKeyBlock key;
    return LookupPublicKey(a.dir, Gen(), id, KeyKind::Signature, key);
  };
  Settle(a.DirectoryFile());
  const std::uint64_t start = DirectoryReads();
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(lookup(b.S()), 0);
  EXPECT_EQ(DirectoryReads() - start, 1u) << "an unchanged file is checked once";
  // The library (this process's other provider) removes b's key: seen.
  ASSERT_EQ(Del(a, b.S()), 0);
  EXPECT_EQ(lookup(b.S()), kNoKey);
  EXPECT_EQ(DirectoryReads() - start, 2u);
  // The key reloaded: checked afresh even though the file is the same.
  Settle(a.DirectoryFile());
  ASSERT_EQ(lookup(a.S()), 0);
  ASSERT_EQ(driver.Reset(a.E()), 0);
  ASSERT_EQ(driver.Load(a.device), 0);
  const std::uint64_t before = DirectoryReads();
  ASSERT_EQ(lookup(a.S()), 0);
  EXPECT_EQ(DirectoryReads() - before, 1u);
  driver.Clear();
}

INSTANTIATE_TEST_SUITE_P(Generations, StaleCache, testing::Values(4, 5), GenerationName);

} // namespace
