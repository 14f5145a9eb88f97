// Rolling the directory back: an older copy of kestrel.spr put back after a
// key was removed. The directory's header carries a version number under its
// MAC, and the owner's key device keeps the highest version seen of each of
// the owner's directories; an older copy is refused with a code of its own.
#include "directory_test_support.h"

#include "formats.h"

using namespace kestrel_provider;
using namespace provider_test;

namespace {

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
  // The record is on the device, not in the process: loaded again, the key
  // still refuses the copy.
  ASSERT_EQ(lib.ResetKeyEx(a.E().c_str(), 1), 0);
  ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
  EXPECT_EQ(Extract(a, b.S()), kRolledBack);

  // The current copy works; so does a new directory in place of the old one.
  WriteFile(a.DirectoryFile(), removed);
  EXPECT_EQ(Extract(a, b.S()), 117);
  EXPECT_EQ(Extract(a, b.E()), 0);
  ASSERT_TRUE(std::filesystem::remove(platform::NativePath(a.DirectoryFile())));
  EXPECT_EQ(Add(a, b.S()), 0);
  EXPECT_EQ(CheckSeparate(a, data, signature).verdict, 0);
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
  record[30] ^= 0x40; // in the first record, under the MAC
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

INSTANTIATE_TEST_SUITE_P(Generations, DirectoryRollback, testing::Values(4, 5), GenerationName);

} // namespace
