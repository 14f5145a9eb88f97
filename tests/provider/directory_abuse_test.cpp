// The directory under load and abuse: an update that would make the file
// larger than readers take, a lock held by another process, the temporary
// files of killed writers, other users of the machine, and a FIFO in the
// directory file's place.
#include "directory_test_support.h"

#include "formats.h"

#include <fstream>
#include <functional>
#include <future>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace kestrel_provider;
using namespace provider_test;

namespace {

constexpr int kDirectoryFull = 133;
constexpr int kDirectoryBusy = 134;

class DirectoryAbuse : public ProviderUsers {
protected:
  void SetUp() override {
    ProviderUsers::SetUp();
    a = MakeUser("0017");
    b = MakeUser("0042");
    ASSERT_EQ(lib.InitKey(a.device.c_str(), ""), 0);
    ASSERT_EQ(Add(a, a.E()), 0);
  }
  std::string LockFile() const { return JoinPath(a.dir, kDirectoryLockName); }

  User a, b;
};

TEST_P(DirectoryAbuse, AnUpdatePastTheReadersLimitFailsAndLeavesTheFileAsItWas) {
  // A directory at its limit: the owner's key many times over and B's.
  DirectoryFile file;
  file.generation = Gen();
  file.owner = a.E();
  file.version = 7;
  DirectoryEntry filler;
  filler.block = Block(a.E());
  filler.maker = a.E();
  file.entries.assign(MaxDirectoryEntries(Gen()) - 1, filler);
  DirectoryEntry entryB = filler;
  entryB.block = Block(b.E());
  file.entries.push_back(entryB);
  const Bytes full = BuildDirectory(file, DirectoryKey(a.keys.encryption.privateKey, a.E()));
  ASSERT_LE(full.size(), 64u * 1024 * 1024);
  WriteFile(a.DirectoryFile(), full);

  EXPECT_EQ(Add(a, b.S()), kDirectoryFull);
  EXPECT_EQ(ReadFile(a.DirectoryFile()), full);
  // Readers and the removal that makes room still work.
  EXPECT_EQ(Extract(a, b.E()), 0);
  ASSERT_EQ(Del(a, b.E()), 0);
  EXPECT_EQ(Add(a, b.S()), 0);
}

TEST_P(DirectoryAbuse, WritersKilledMidUpdateLeaveNoTemporaryFileBehind) {
  // What a writer killed between writing its copy and renaming it leaves.
  const std::string left = a.DirectoryFile() + ".tmp.4194301.0";
  // Files that only look like a writer's copy are somebody else's: only the
  // names the writers give (".tmp.<process>.<number>") are removed.
  std::vector<std::string> others = {JoinPath(a.dir, "notes.tmp.1.0")};
  for (const char *suffix :
       {".tmp.notes", ".tmp.1", ".tmp..1", ".tmp.1.x", ".tmp.1.2.bak", ".tmp.1.2.3", ".tmp.-1.2"})
    others.push_back(a.DirectoryFile() + suffix);
  std::ofstream(platform::NativePath(left)) << "half a directory";
  for (const std::string &path : others)
    std::ofstream(platform::NativePath(path)) << "somebody's file";
  ASSERT_EQ(Add(a, b.E()), 0);
  EXPECT_FALSE(std::filesystem::exists(platform::NativePath(left)));
  for (const std::string &path : others)
    EXPECT_TRUE(std::filesystem::exists(platform::NativePath(path))) << path;
  EXPECT_EQ(Extract(a, b.E()), 0);

#if !defined(_WIN32)
  // A real writer killed at a few moments of its updates.
  for (int delay : {1000, 4000, 12000, 30000}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;)
        if (Add(a, b.S()) != 0 || Del(a, b.S()) != 0)
          ::_exit(1);
    }
    ::usleep(static_cast<useconds_t>(delay));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  ASSERT_EQ(Add(a, b.S()), 0);
  for (const auto &entry : std::filesystem::directory_iterator(platform::NativePath(a.dir)))
    EXPECT_FALSE(platform::IsTemporaryNameOf(entry.path().filename().string(), kDirectoryFileName))
        << entry.path();
  EXPECT_EQ(Extract(a, b.S()), 0);
#endif
}

#if !defined(_WIN32)
TEST_P(DirectoryAbuse, ALockHeldByAnotherProcessMakesWritersGiveUpNotHang) {
  // The other process takes the directory's lock, or the lock of the
  // versions-seen record on the owner's device, and keeps it for a minute,
  // far longer than a writer waits. A writer that could not record its
  // version would leave the older copy acceptable: it gives up before it
  // changes anything.
  for (const std::string &lockFile : {LockFile(), JoinPath(a.device, "kestrel.ver.lck")}) {
    SCOPED_TRACE(lockFile);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
      const int fd = ::open(platform::NativePath(lockFile).c_str(), O_RDONLY);
      const char locked = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
      (void)!::write(ready[1], &locked, 1);
      ::sleep(60);
      ::_exit(0);
    }
    char locked = 0;
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    ASSERT_EQ(locked, 'y');
    const Bytes before = ReadFile(a.DirectoryFile());
    const Bytes record = ReadFile(JoinPath(a.device, "kestrel.ver"));
    EXPECT_EQ(Add(a, b.E()), kDirectoryBusy);
    EXPECT_EQ(Del(a, a.E()), kDirectoryBusy);
    EXPECT_EQ(ReadFile(a.DirectoryFile()), before);
    EXPECT_EQ(ReadFile(JoinPath(a.device, "kestrel.ver")), record);
    EXPECT_EQ(Extract(a, a.E()), 0) << "readers of a recorded version take no lock";
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(Add(a, b.E()), 0);
    ASSERT_EQ(Del(a, b.E()), 0);
  }
}

TEST_P(DirectoryAbuse, OtherUsersCanNeitherReadNorWriteTheDirectoryOrItsLock) {
  // Files made before with wider rights are narrowed at the next update.
  ::chmod(platform::NativePath(a.DirectoryFile()).c_str(), 0666);
  ::chmod(platform::NativePath(LockFile()).c_str(), 0666);
  ASSERT_EQ(Add(a, b.E()), 0);
  for (const std::string &path :
       {a.DirectoryFile(), LockFile(), JoinPath(a.device, "kestrel.ver")}) {
    struct stat st {};
    ASSERT_EQ(::stat(platform::NativePath(path).c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
  }
  // A lock file replaced by a link to another file of the owner's: the
  // update is refused and that file keeps its rights.
  const std::string other = tmp.File("shared.txt");
  std::ofstream(other) << "shared";
  ::chmod(other.c_str(), 0644);
  std::filesystem::remove(platform::NativePath(LockFile()));
  std::filesystem::create_symlink(other, platform::NativePath(LockFile()));
  EXPECT_EQ(Add(a, b.S()), 109);
  struct stat st {};
  ASSERT_EQ(::stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_P(DirectoryAbuse, AFifoInPlaceOfTheDirectoryIsAMissingFileNotAHang) {
  // Opening a FIFO for reading waits for a writer; whoever can write the
  // folder could so hang every reader of the directory.
  const std::string fifo = platform::NativePath(a.DirectoryFile());
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Bytes data{'x'};
  const Bytes signature = SignSeparate(a, data);
  struct Case {
    const char *what;
    std::function<int()> call;
    int expected;
  };
  const Case cases[] = {
      {"a key looked up", [&] { return Extract(a, a.E()); }, 117},
      {"a signature checked (code 0, verdict 2)",
       [&] {
         const Check r = CheckSeparate(a, data, signature);
         return r.code != 0 ? r.code : r.verdict;
       },
       2},
      // The device knows a directory here: no new one is started in place.
      {"a key added", [&] { return Add(a, b.E()); }, 128},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    auto result = std::async(std::launch::async, k.call);
    // A reader caught in the open is let go by a writer coming and going.
    for (int waited = 0;
         result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready; ++waited) {
      if (waited == 1000)
        ADD_FAILURE() << "still waiting after 10 s";
      if (waited >= 1000)
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_EQ(result.get(), k.expected);
  }
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}
#endif

INSTANTIATE_TEST_SUITE_P(Generations, DirectoryAbuse, testing::Values(4, 5), GenerationName);

} // namespace
