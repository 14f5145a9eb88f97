// What a process keeps of a directory belongs to the file it read, whatever
// name the folder was given: the same folder named otherwise (a link, a
// trailing separator, "\.", other letter case) sees a removal made through
// its own name, and a copy of the directory in another folder (a hard link
// to the old file, or a plain copy) is refused as older once the process
// has seen the newer version, as a fresh process would refuse it, and once
// another process recorded a newer one on the owner's device.
#include "directory_test_support.h"

#include <cctype>
#include <functional>

using namespace kestrel_provider;
using namespace provider_test;
namespace fs = std::filesystem;

namespace {

constexpr int kVerdictNoKey = 2;
constexpr int kRolledBack = 132;

class KeptDirectoryPaths : public ProviderUsers {
protected:
  void SetUp() override {
    ProviderUsers::SetUp();
    a = MakeUser("0017");
    b = MakeUser("0042");
    ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
    ASSERT_EQ(lib.InitKey(b.device.c_str(), ""), 0);
    for (const std::string &id : {a.E(), a.S(), b.E()})
      ASSERT_EQ(Add(a, id), 0) << id;
    signature = SignSeparate(b, data);
  }
  // b's signature checked through the directory in `folder`: the verdict,
  // or the code.
  int VerifyThrough(const std::string &folder) {
    User reader = a;
    reader.dir = folder;
    const Check r = CheckSeparate(reader, data, signature);
    return r.code != 0 ? r.code : r.verdict;
  }
  // A folder of its own holding `file` under the directory's name.
  std::string FolderWith(const std::string &name,
                         const std::function<void(const fs::path &, const fs::path &)> &file) {
    const std::string folder = tmp.Sub(name);
    file(platform::NativePath(a.DirectoryFile()),
         fs::path(platform::NativePath(folder)) / kDirectoryFileName);
    return folder;
  }

  User a, b;
  const Bytes data{'o', 'r', 'd', 'e', 'r'};
  Bytes signature;
};

TEST_P(KeptDirectoryPaths, ARemovalIsSeenThroughEveryNameAndEveryCopy) {
  struct Case {
    const char *what;
    std::function<std::string()> folder; // made after b's key was added
    int afterRemoval;                    // through that folder
  };
  const auto upper = [](std::string s) {
    for (char &c : s)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  const Case cases[] = {
    {"the folder itself", [&] { return a.dir; }, kVerdictNoKey},
    {"a trailing separator", [&] { return a.dir + "\\"; }, kVerdictNoKey},
    {"a \\. component", [&] { return a.dir + "\\.\\"; }, kVerdictNoKey},
    {"its last name in capitals",
     [&] {
       return (fs::path(a.dir).parent_path() / upper(fs::path(a.dir).filename().string())).string();
     },
     kVerdictNoKey},
#if !defined(_WIN32)
    {"a symbolic link to the folder",
     [&] {
       const std::string link = tmp.File("link");
       fs::create_directory_symlink(a.dir, link);
       return link;
     },
     kVerdictNoKey},
    {"another folder with a hard link to the file",
     [&] {
       return FolderWith("linked", [](const fs::path &from, const fs::path &to) {
         fs::remove(to);
         fs::create_hard_link(from, to);
       });
     },
     kRolledBack},
#endif
    {"another folder with a copy of the file",
     [&] {
       return FolderWith("copied", [](const fs::path &from, const fs::path &to) {
         fs::copy_file(from, to, fs::copy_options::overwrite_existing);
       });
     },
     kRolledBack},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_EQ(Add(a, b.S()), 0);
    const std::string folder = k.folder();
    Settle(JoinPath(folder, kDirectoryFileName));
    // Twice: the second call is served from what the first one kept.
    ASSERT_EQ(VerifyThrough(folder), 0);
    ASSERT_EQ(VerifyThrough(folder), 0);
    ASSERT_EQ(Del(a, b.S()), 0);
    EXPECT_EQ(VerifyThrough(folder), k.afterRemoval);
    EXPECT_EQ(VerifyThrough(a.dir), kVerdictNoKey);
  }
}

TEST_P(KeptDirectoryPaths, AKeptCopyIsCheckedAgainWhenAnotherProcessChangesTheRecord) {
  // Another process (here the provider's code linked into the test, with a
  // key driver of its own) changes the owner's device record while this
  // process keeps a copy from another folder checked: the copy's own file
  // never changes, the record file does.
  const auto removal = [&] {
    ASSERT_EQ(KeyDriver::Instance().Load(a.device), 0);
    EXPECT_EQ(DeletePublicKey(a.dir, Gen(), b.S(), a.E(), KeyKind::Encryption), 0);
    KeyDriver::Instance().Clear();
  };
  const auto retirement = [&] {
    const LoadedKey owner{a.E(), a.keys.encryption.privateKey, a.device, nullptr, 0};
    bool known = false;
    EXPECT_EQ(RetireDirectory(owner, a.dir, known), 0);
    EXPECT_TRUE(known);
  };
  const std::pair<const char *, std::function<void()>> cases[] = {
      {"a key removed", removal}, {"the directory given up", retirement}};
  for (const auto &[what, change] : cases) {
    SCOPED_TRACE(what);
    ASSERT_EQ(Add(a, b.S()), 0);
    const std::string copy =
        FolderWith(std::string("copy-") + what, [](const fs::path &from, const fs::path &to) {
          fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        });
    Settle(JoinPath(copy, kDirectoryFileName));
    ASSERT_EQ(VerifyThrough(copy), 0);
    ASSERT_EQ(VerifyThrough(copy), 0);
    change();
    EXPECT_EQ(VerifyThrough(copy), kRolledBack);
  }
}

INSTANTIATE_TEST_SUITE_P(Generations, KeptDirectoryPaths, testing::Values(4, 5), GenerationName);

} // namespace
