// Users of the built provider library for the directory tests: each with a
// key device, a public key directory of their own and public key files, and
// the directory entry points called as that user.
#pragma once

#include "directory.h"
#include "provider_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace provider_test {

// Lets the file's times age past the window in which the provider does not
// keep a directory (a later change could keep them as they are), so that
// the next read is kept and the change after it must be seen through it.
inline void Settle(const std::string &file) {
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const auto since =
      std::filesystem::last_write_time(platform::NativePath(file)).time_since_epoch();
  if (std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() % 1'000'000'000 == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(2200)); // whole-second file times
}

class ProviderUsers : public testing::TestWithParam<int> {
protected:
  struct User {
    kestrel_provider::GeneratedKeys keys;
    std::string device;
    std::string dir;
    const std::string &E() const { return keys.encryption.id; }
    const std::string &S() const { return keys.signature.id; }
    std::string Number() const { return E().substr(0, 4); }
    std::string DirectoryFile() const {
      return kestrel_provider::JoinPath(dir, kestrel_provider::kDirectoryFileName);
    }
  };

  void SetUp() override {
    ASSERT_NE(lib.handle, nullptr) << lib.Path();
    ASSERT_EQ(lib.found, 32);
  }

  kestrel_provider::Generation Gen() const {
    return GetParam() == 5 ? kestrel_provider::Generation::G5 : kestrel_provider::Generation::G4;
  }
  std::size_t BlockSize() const { return kestrel_provider::PublicKeyBlockSize(Gen()); }

  // A user numbered `number`: keys on tmp/dev<number>, an empty directory
  // tmp/pub<number>, public key files in tmp/keys.
  User MakeUser(const std::string &number) {
    User user;
    user.device = tmp.File("dev" + number);
    user.dir = tmp.Sub("pub" + number);
    user.keys = MakeKeyDevice(user.device, keys, Gen(), number);
    return user;
  }
  Bytes Block(const std::string &id) const {
    return ReadFile(kestrel_provider::JoinPath(keys, id + ".pub"));
  }

  // Directory entry points as the owner of the directory.
  int Add(const User &owner, const Bytes &block) {
    return lib.AddOpenKey(owner.dir.c_str(), block.data(), owner.E().c_str(), 'E');
  }
  int Add(const User &owner, const std::string &id) { return Add(owner, Block(id)); }
  int Del(const User &owner, const std::string &id) {
    return lib.DelOpenKey(owner.dir.c_str(), id.c_str(), owner.S().c_str(), 'S');
  }
  int Extract(const User &owner, const std::string &id) {
    Bytes out(BlockSize(), 0);
    return lib.ExtractKey(owner.dir.c_str(), id.c_str(), out.data());
  }

  // Checks a detached signature of `data` against the directory of
  // `reader`: the code, and the signer and verdict of the first record.
  struct Check {
    int code = -1;
    std::string signer;
    int verdict = -1;
  };
  Check CheckSeparate(const User &reader, const Bytes &data, const Bytes &signature) {
    Check result;
    EXPECT_EQ(lib.SignInit("", reader.dir.c_str()), 0);
    uint8_t count = 0;
    KestrelSignStatus *status = nullptr;
    result.code = lib.CheckMemSeparate(data.data(), static_cast<int32_t>(data.size()),
                                       static_cast<int32_t>(signature.size()), &count, &status,
                                       signature.data());
    if (result.code == 0 && count > 0) {
      result.signer.assign(status[0].Signer, 12);
      result.verdict = status[0].Verdict;
    }
    lib.FreeMemory(status);
    lib.SignDone();
    return result;
  }
  Bytes SignSeparate(const User &signer, const Bytes &data) {
    Bytes signature(255);
    int32_t length = 0;
    EXPECT_EQ(lib.SignMemSeparateEx(data.data(), static_cast<int32_t>(data.size()), &length,
                                    signer.S().c_str(), signature.data()),
              0);
    signature.resize(static_cast<std::size_t>(length));
    return signature;
  }

  Library lib{LibraryPath(GetParam())};
  TempDir tmp;
  std::string keys = tmp.Sub("keys");
};

inline std::string GenerationName(const testing::TestParamInfo<int> &info) {
  return "Generation" + std::to_string(info.param);
}

} // namespace provider_test
