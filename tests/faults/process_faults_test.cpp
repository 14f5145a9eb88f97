// Faults of the file system and of processes (POSIX): a full disk while the
// signed-data file or the public key directory is written (a file size limit
// in a child process), a process killed at random moments while it updates
// the directory, and processes updating one directory at the same time. The
// old data stays whole, failures are reported, nothing is lost.
#if !defined(_WIN32)

#include "tests/stress/stress_support.h"

#include "engine/kestrel4_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <csignal>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using cestress::TEngine;
using cestress::TKeyUser;

constexpr int32_t kFileOperationError = -106;
constexpr int32_t kDirectoryWrite = 109; // the provider: cannot write the directory
constexpr int32_t kNoPublicKey = 117;

std::string ReadFile(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Files of the folder whose names contain ".tmp." (writes that did not end).
std::vector<std::string> TemporaryFiles(const std::filesystem::path &folder) {
  std::vector<std::string> found;
  for (const auto &entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().find(".tmp.") != std::string::npos)
      found.push_back(entry.path().filename().string());
  return found;
}

// Runs body in a child process whose files may grow to `limit` bytes at
// most (writes beyond fail with EFBIG instead of raising SIGXFSZ); returns
// the child's result.
int32_t InChildWithFileLimit(rlim_t limit, const std::function<int32_t()> &body) {
  int fds[2];
  if (::pipe(fds) != 0)
    return INT32_MIN;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    int32_t result = INT32_MIN + 1;
    if (::setrlimit(RLIMIT_FSIZE, &rl) == 0)
      result = body();
    (void)!::write(fds[1], &result, sizeof result);
    ::_exit(0);
  }
  ::close(fds[1]);
  int32_t result = INT32_MIN;
  if (child > 0) {
    if (::read(fds[0], &result, sizeof result) != sizeof result)
      result = INT32_MIN;
    ::waitpid(child, nullptr, 0);
  }
  ::close(fds[0]);
  return result;
}

TEST(FullDiskTest, SignedDataThatDoesNotFitFailsAndTheOldFileStays) {
  cetest::TempDirectory folder;
  const TEngine engine;
  const std::string file = folder.PathOf("order.sig");
  const std::string old = "the signed order as it was";
  ASSERT_EQ(SaveSignedDataToFile(engine.Handle(), old.data(), 10, old.data() + 10,
                                 static_cast<int32_t>(old.size()) - 10, file.c_str()),
            0);
  const std::string data(4000, 'D');
  const std::string signature(84, 'S');
  const auto save = [&](int32_t dataLength) {
    return [&, dataLength] {
      return SaveSignedDataToFile(engine.Handle(), data.data(), dataLength, signature.data(),
                                  static_cast<int32_t>(signature.size()), file.c_str());
    };
  };
  // 4084 bytes against a limit of 1000: the write fails.
  EXPECT_EQ(InChildWithFileLimit(1000, save(4000)), kFileOperationError);
  EXPECT_EQ(ReadFile(folder.Native() / "order.sig"), old);
  EXPECT_TRUE(TemporaryFiles(folder.Native()).empty());
  // Under the same limit a file that fits is written.
  EXPECT_EQ(InChildWithFileLimit(1000, save(500)), 0);
  EXPECT_EQ(ReadFile(folder.Native() / "order.sig"), data.substr(0, 500) + signature);
}

// A's public key directory holding A's and B's keys, and correspondents
// K1 and K2 whose keys get included and removed.
class DirectoryFaultsTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!cestress::ProviderWithKeyToolAvailable())
      GTEST_SKIP() << "the provider or its key tool is not built";
    Root.Install(cetest::Provider::Kestrel4);
    Root.SetAsRoot();
    for (auto [user, number] : {std::pair{&A, "0001"}, {&B, "0002"}, {&K1, "0011"}, {&K2, "0012"}})
      ASSERT_NO_FATAL_FAILURE(cestress::MakeKeyUser(Root, number, *user));
    ASSERT_NO_FATAL_FAILURE(EA.Configure(A));
    ASSERT_NO_FATAL_FAILURE(EA.Set(kParamUse0SlotForVerify, "Yes"));
    ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(EA, A));
    ASSERT_NO_FATAL_FAILURE(cestress::IncludeKeys(EA, B));
    Directory = Root.Native() / "public0001";
  }

  std::filesystem::path DirectoryFile() const { return Directory / "kestrel.spr"; }

  // A still encrypts for B with its directory.
  void ExpectDirectoryWorks() {
    std::string buffer = "still usable" + std::string(85, '\0');
    int32_t length = 12;
    EXPECT_EQ(EncodeData(EA.Handle(), buffer.data(), &length, "0002"), 0);
  }

  // Whether a key is in the directory; it is not afterwards.
  bool TakeOut(const TKeyUser &key) {
    const int32_t result = RemoveCertificate(EA.Handle(), key.EncodeUID.c_str());
    EXPECT_TRUE(result == 0 || result == kNoPublicKey) << "result " << result;
    return result == 0;
  }

  cetest::TestRoot Root;
  TKeyUser A, B, K1, K2;
  TEngine EA;
  std::filesystem::path Directory;
};

TEST_F(DirectoryFaultsTest, ADirectoryUpdateThatDoesNotFitFailsAndTheOldDirectoryStays) {
  const std::string old = ReadFile(DirectoryFile());
  ASSERT_FALSE(old.empty());
  // Room for the old directory but not for one more entry.
  const int32_t result = InChildWithFileLimit(old.size() + 100, [&] {
    return IncludePublicEncodeKey(EA.Handle(), K1.EncodePublicFile().c_str());
  });
  EXPECT_EQ(result, kDirectoryWrite);
  EXPECT_EQ(ReadFile(DirectoryFile()), old);
  EXPECT_TRUE(TemporaryFiles(Directory).empty());
  ExpectDirectoryWorks();
  EXPECT_FALSE(TakeOut(K1));
  // With room the same update goes through.
  EXPECT_EQ(InChildWithFileLimit(
                old.size() + 1000,
                [&] { return IncludePublicEncodeKey(EA.Handle(), K1.EncodePublicFile().c_str()); }),
            0);
  EXPECT_TRUE(TakeOut(K1));
}

TEST_F(DirectoryFaultsTest, AWriterKilledAtRandomMomentsLeavesTheOldOrTheNewDirectory) {
  // The child counts its finished updates in memory shared with the parent.
  auto *finished = static_cast<int *>(
      ::mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(finished, MAP_FAILED);
  *finished = 0;
  const std::string k1 = K1.EncodePublicFile();
  const std::string k2 = K2.EncodePublicFile();
  std::mt19937 random(20240607);
  constexpr int kKills = 20;
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::function<int32_t()> updates[] = {
          [&] { return IncludePublicEncodeKey(EA.Handle(), k1.c_str()); },
          [&] { return IncludePublicEncodeKey(EA.Handle(), k2.c_str()); },
          [&] { return RemoveCertificate(EA.Handle(), K1.EncodeUID.c_str()); },
          [&] { return RemoveCertificate(EA.Handle(), K2.EncodeUID.c_str()); }};
      for (std::size_t i = 0;; i = (i + 1) % std::size(updates)) {
        if (updates[i]() != 0)
          ::_exit(1);
        __atomic_add_fetch(finished, 1, __ATOMIC_RELAXED);
      }
    }
    ::usleep(std::uniform_int_distribution<useconds_t>(5000, 120000)(random));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    // The directory is whole, with or without each key; the lock is free.
    ExpectDirectoryWorks();
    TakeOut(K1);
    TakeOut(K2);
    ASSERT_FALSE(HasFailure()) << "after kill " << kill + 1;
  }
  EXPECT_GT(*finished, 0) << "the writer never finished an update";
  RecordProperty("kills", kKills);
  RecordProperty("updates_finished", *finished);
  // A killed writer may leave its unfinished copy beside the directory; it is
  // never read as the directory, and the next update removes it.
  RecordProperty("copies_left", static_cast<int>(TemporaryFiles(Directory).size()));
  EXPECT_EQ(IncludePublicEncodeKey(EA.Handle(), k1.c_str()), 0);
  EXPECT_TRUE(TemporaryFiles(Directory).empty());
  ::munmap(finished, sizeof(int));
}

TEST_F(DirectoryFaultsTest, WritersInSeveralProcessesLoseNoUpdate) {
  // Each child includes and removes its own key many times and leaves it
  // included; the parent includes and removes a third one meanwhile.
  constexpr int kRounds = 15;
  const auto writer = [&](const TKeyUser &key) {
    const std::string file = key.EncodePublicFile();
    for (int i = 0; i < kRounds; ++i)
      if (IncludePublicEncodeKey(EA.Handle(), file.c_str()) != 0 ||
          RemoveCertificate(EA.Handle(), key.EncodeUID.c_str()) != 0)
        ::_exit(1);
    ::_exit(IncludePublicEncodeKey(EA.Handle(), file.c_str()) == 0 ? 0 : 1);
  };
  std::vector<pid_t> children;
  for (const TKeyUser *key : {&K1, &K2}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
      writer(*key);
    children.push_back(child);
  }
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(IncludePublicEncodeKey(EA.Handle(), A.EncodePublicFile().c_str()), 0);
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed: " << status;
  }
  EXPECT_TRUE(TakeOut(K1));
  EXPECT_TRUE(TakeOut(K2));
  ExpectDirectoryWorks();
}

} // namespace

#endif // !_WIN32
