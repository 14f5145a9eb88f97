// Rolling the directory back: an older copy of kestrel.spr put back after a
// key was removed. The directory's header carries a version number under its
// MAC, and the owner's key device keeps the highest version seen of each of
// the owner's directories and which directory each folder holds; an older
// copy is refused with a code of its own, and a folder whose file went
// missing is not started anew behind the owner's back.
#include "directory_test_support.h"

#include "formats.h"

#include <functional>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace kestrel_provider;
using namespace provider_test;
namespace fs = std::filesystem;

namespace {

constexpr int kDeviceError = 36;
constexpr int kNoDirectoryFile = 128;
constexpr int kRolledBack = 132;

class DirectoryRollback : public ProviderUsers {
protected:
  void SetUp() override {
    ProviderUsers::SetUp();
    a = MakeUser("0017");
    b = MakeUser("0042");
    ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
    ASSERT_EQ(lib.InitKey(b.device.c_str(), ""), 0);
    for (const std::string &id : {a.E(), a.S(), b.E(), b.S()})
      ASSERT_EQ(Add(a, id), 0) << id;
    backup = ReadFile(a.DirectoryFile());
    ASSERT_EQ(Del(a, b.S()), 0);
    removed = ReadFile(a.DirectoryFile());
  }
  std::string SeenFile() const { return JoinPath(a.device, "kestrel.ver"); }

  User a, b;
  Bytes backup;  // B's signature key still in it
  Bytes removed; // after B's signature key was removed
  const Bytes data{'p', 'a', 'y'};
};

TEST_P(DirectoryRollback, ACopyFromBeforeARemovalIsRefusedByEveryOperation) {
  const Bytes signature = SignSeparate(b, data);
  WriteFile(a.DirectoryFile(), backup);
  EXPECT_EQ(Extract(a, b.S()), kRolledBack);
  EXPECT_EQ(CheckSeparate(a, data, signature).code, kRolledBack);
  EXPECT_EQ(Add(a, b.S()), kRolledBack);
  EXPECT_EQ(Del(a, b.E()), kRolledBack);
  EXPECT_EQ(ReadFile(a.DirectoryFile()), backup) << "a writer does not build on the old copy";
  // With its owner field naming someone not loaded, the key report would
  // read it unchecked: the loaded owner's device knows the copy.
  Bytes relabelled = backup;
  relabelled[12] = '9'; // owner 9017000001
  WriteFile(a.DirectoryFile(), relabelled);
  EXPECT_EQ(Extract(a, b.S()), kRolledBack);
  EXPECT_EQ(CheckSeparate(a, data, signature).code, 131);
  WriteFile(a.DirectoryFile(), backup);
  // The record is on the device, not in the process: loaded again, the key
  // still refuses the copy.
  ASSERT_EQ(lib.ResetKeyEx(a.E().c_str(), 1), 0);
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  EXPECT_EQ(Extract(a, b.S()), kRolledBack);

  // The current copy works.
  WriteFile(a.DirectoryFile(), removed);
  EXPECT_EQ(Extract(a, b.S()), 117);
  EXPECT_EQ(Extract(a, b.E()), 0);
}

TEST_P(DirectoryRollback, AFolderWhoseFileIsGoneIsNotStartedAnewUntilItsOwnerGivesItUp) {
  // A new directory would have an identity of its own, of which the old
  // copy is no older version: the device knows which directory the folder
  // holds, and writers refuse to start another there.
  const std::string native = platform::NativePath(a.DirectoryFile());
  struct Case {
    const char *what;
    std::function<void()> hide;
  };
  const Case cases[] = {
    {"deleted", [&] { fs::remove(native); }},
    {"a folder in its place",
     [&] {
       fs::remove(native);
       fs::create_directory(native);
     }},
#if !defined(_WIN32)
    {"a FIFO in its place",
     [&] {
       fs::remove(native);
       ASSERT_EQ(::mkfifo(native.c_str(), 0600), 0);
     }},
#endif
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    k.hide();
    EXPECT_EQ(Add(a, b.S()), kNoDirectoryFile);
    EXPECT_EQ(Del(a, b.E()), kNoDirectoryFile) << "a removal is not reported as done or absent";
    EXPECT_FALSE(fs::is_regular_file(native)) << "nothing was written in its place";
    fs::remove(native);
    WriteFile(a.DirectoryFile(), removed);
    EXPECT_EQ(Extract(a, b.E()), 0);
  }

  // The owner starts over: the directory is given up, so the next include
  // starts a new one, and every copy of the old one is refused.
  const Bytes signature = SignSeparate(b, data);
  fs::remove(native);
  const LoadedKey owner{a.E(), a.keys.encryption.privateKey, a.device, nullptr, 0};
  bool known = false;
  ASSERT_EQ(RetireDirectory(owner, a.dir, known), 0);
  EXPECT_TRUE(known);
  for (const std::string &id : {a.E(), a.S(), b.E(), b.S()})
    ASSERT_EQ(Add(a, id), 0) << id;
  ASSERT_EQ(Del(a, b.S()), 0);
  EXPECT_EQ(CheckSeparate(a, data, signature).verdict, 2);
  User elsewhere = a;
  elsewhere.dir = tmp.Sub("pub0017-copy");
  for (const Bytes &old : {backup, removed}) {
    WriteFile(a.DirectoryFile(), old);
    EXPECT_EQ(CheckSeparate(a, data, signature).code, kRolledBack);
    WriteFile(elsewhere.DirectoryFile(), old);
    EXPECT_EQ(Extract(elsewhere, b.E()), kRolledBack);
  }
  // A folder the device never knew a directory in: nothing to give up.
  ASSERT_EQ(RetireDirectory(owner, tmp.Sub("pub-never"), known), 0);
  EXPECT_FALSE(known);
}

TEST_P(DirectoryRollback, ReadersRecordNewerVersionsAndEachDirectoryKeepsItsOwn) {
  // Another copy of the library (another process) updates the directory; a
  // reader that sees the newer copy records it, so the older one is then
  // refused even though this device never wrote it.
  DirectoryFile newer;
  ASSERT_EQ(VerifyDirectory(removed.data(), removed.size(), Gen(),
                            DirectoryKey(a.keys.encryption.privateKey, a.E()), newer),
            0);
  newer.version += 5;
  newer.entries.pop_back();
  const Bytes written = BuildDirectory(newer, DirectoryKey(a.keys.encryption.privateKey, a.E()));
  WriteFile(a.DirectoryFile(), written);
  EXPECT_EQ(Extract(a, a.E()), 0);
  WriteFile(a.DirectoryFile(), removed);
  EXPECT_EQ(Extract(a, a.E()), kRolledBack);
  WriteFile(a.DirectoryFile(), written);

  // A second directory of the same owner has a version of its own: updating
  // either never makes the other look old.
  User second = a;
  second.dir = tmp.Sub("pub0017-second");
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Add(second, b.E()), 0);
    ASSERT_EQ(Del(second, b.E()), 0);
    ASSERT_EQ(Add(a, b.S()), 0);
    ASSERT_EQ(Extract(second, a.E()), 117);
    ASSERT_EQ(Extract(a, b.S()), 0);
  }
}

TEST_P(DirectoryRollback, ADamagedRecordCountsAsNoneAndIsWrittenAfresh) {
  // Whoever can change the key device can delete the record; a damaged one
  // is no worse, and is not trusted. (This is the limit of the check: a
  // record deleted or copied back together with the directory lets the old
  // copy through; docs/provider.md, threat model.)
  Bytes record = ReadFile(SeenFile());
  ASSERT_FALSE(record.empty());
  record[40] ^= 0x40; // in the first record, under the MAC
  WriteFile(SeenFile(), record);
  WriteFile(a.DirectoryFile(), backup);
  EXPECT_EQ(Extract(a, b.S()), 0);
  // That read recorded the backup's version; the current copy is newer and
  // raises it again, and the backup is refused once more.
  WriteFile(a.DirectoryFile(), removed);
  EXPECT_EQ(Extract(a, b.E()), 0);
  WriteFile(a.DirectoryFile(), backup);
  EXPECT_EQ(Extract(a, b.S()), kRolledBack);

  // Without the record the old copy passes again.
  ASSERT_TRUE(std::filesystem::remove(platform::NativePath(SeenFile())));
  EXPECT_EQ(Extract(a, b.S()), 0);
}

TEST_P(DirectoryRollback, ADeviceThatCannotBeWrittenStillRefusesWhatItHasRecorded) {
  // On a read-only device the record's lock cannot be opened for writing;
  // a folder in its place does the same here, for any user.
  const std::string lock = platform::NativePath(JoinPath(a.device, "kestrel.ver.lck"));
  std::filesystem::remove(lock);
  std::filesystem::create_directory(lock);
  const Bytes record = ReadFile(SeenFile());
  WriteFile(a.DirectoryFile(), backup);
  EXPECT_EQ(Extract(a, b.S()), kRolledBack);
  // A newer version cannot be recorded any more: the copy it replaces
  // passes again.
  WriteFile(a.DirectoryFile(), removed);
  EXPECT_EQ(Add(a, b.S()), 0);
  EXPECT_EQ(ReadFile(SeenFile()), record);
  WriteFile(a.DirectoryFile(), removed);
  EXPECT_EQ(Extract(a, b.E()), 0);
}

TEST_P(DirectoryRollback, ARecordThatCannotBeReadIsReportedNotTakenForNone) {
  const std::string native = platform::NativePath(SeenFile());
  const Bytes record = ReadFile(SeenFile());
  std::vector<std::pair<const char *, std::function<void()>>> cases = {
      {"a folder in its place", [&] { fs::create_directory(native); }}};
#if !defined(_WIN32)
  cases.push_back({"a FIFO in its place", [&] { ASSERT_EQ(::mkfifo(native.c_str(), 0600), 0); }});
#endif
  for (const auto &[what, replace] : cases) {
    SCOPED_TRACE(what);
    fs::remove(native);
    replace();
    WriteFile(a.DirectoryFile(), backup);
    EXPECT_EQ(Extract(a, b.S()), kDeviceError);
    EXPECT_EQ(CheckSeparate(a, data, SignSeparate(b, data)).code, kDeviceError);
    EXPECT_EQ(Del(a, b.E()), kDeviceError);
    EXPECT_EQ(ReadFile(a.DirectoryFile()), backup);
    fs::remove(native);
    WriteFile(SeenFile(), record);
    EXPECT_EQ(Extract(a, b.S()), kRolledBack);
  }
}

#if !defined(_WIN32)
TEST_P(DirectoryRollback, AnUpdateWhoseVersionCannotBeRecordedDoesNotCount) {
  // Every name the record's new copy could take is a folder: the device can
  // be locked and read, but the record not written.
  std::vector<std::string> blocked;
  for (int n = 0; n < 2048; ++n) {
    blocked.push_back(platform::NativePath(JoinPath(
        a.device, "kestrel.ver.tmp." + std::to_string(::getpid()) + "." + std::to_string(n))));
    fs::create_directory(blocked.back());
  }
  const Bytes record = ReadFile(SeenFile());
  User fresh = a;
  fresh.dir = tmp.Sub("pub0017-new");
  struct Case {
    const char *what;
    const User &owner;
    Bytes file; // as it must stay
  };
  const Case cases[] = {{"an update: the old file is put back", a, removed},
                        {"a new directory: its file is taken away", fresh, {}}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(Add(k.owner, b.S()), kDeviceError);
    EXPECT_EQ(ReadFile(k.owner.DirectoryFile()), k.file);
    EXPECT_EQ(ReadFile(SeenFile()), record);
  }
  EXPECT_EQ(Extract(a, b.S()), 117);
  for (const std::string &path : blocked)
    fs::remove(path);
  EXPECT_EQ(Add(a, b.S()), 0);
  WriteFile(a.DirectoryFile(), removed);
  EXPECT_EQ(Extract(a, b.E()), kRolledBack);
}
#endif

INSTANTIATE_TEST_SUITE_P(Generations, DirectoryRollback, testing::Values(4, 5), GenerationName);

} // namespace
