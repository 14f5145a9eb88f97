// Test support for the provider: loading a built library by path with its
// 32 entry points, temporary folders, hex helpers and fixed keys.
#pragma once

#include "provider/include/kestrel.h"

#include "key_driver.h"
#include "keygen.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

namespace provider_test {

using kestrel_provider::Bytes;

inline Bytes FromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

inline std::string ToHex(const std::uint8_t *p, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}
template <typename C> std::string ToHex(const C &c) { return ToHex(c.data(), c.size()); }

// A deterministic random source for the tests that pin formats.
inline kestrel_provider::crypto::RandomSource CountingRandom(std::uint8_t start = 1) {
  auto next = std::make_shared<std::uint8_t>(start);
  return [next](std::uint8_t *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      out[i] = (*next)++;
  };
}

// A fresh folder under the temporary directory, removed at the end.
class TempDir {
public:
  TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("kestrel-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Path() const { return path_.string(); }
  std::string Sub(const std::string &name) const {
    std::filesystem::create_directories(path_ / name);
    return (path_ / name).string();
  }
  std::string File(const std::string &name) const { return (path_ / name).string(); }

private:
  std::filesystem::path path_;
};

inline Bytes ReadFile(const std::string &path) {
  platform::ReadOnlyFile f(path);
  Bytes out(f.IsOpen() ? static_cast<std::size_t>(f.Size()) : 0);
  if (!out.empty())
    f.Read(out.data(), out.size());
  return out;
}

inline void WriteFile(const std::string &path, const Bytes &data) {
  ASSERT_TRUE(platform::WriteFileAtomically(path, data.data(), data.size()));
}

// Writes a fresh key pair onto a key folder and its public key files
// (<identifier>.pub) into publicOut; returns the keys.
inline kestrel_provider::GeneratedKeys MakeKeyDevice(const std::string &device,
                                                     const std::string &publicOut,
                                                     kestrel_provider::Generation generation,
                                                     std::string_view number,
                                                     std::string_view series = "000001") {
  using namespace kestrel_provider;
  GeneratedKeys keys = GenerateKeys(generation, number, series);
  std::filesystem::create_directories(device);
  std::filesystem::create_directories(publicOut);
  WriteFile(JoinPath(device, kEncryptionKeyFile), BuildSecretKeyFile(keys.encryption));
  WriteFile(JoinPath(device, kSignatureKeyFile), BuildSecretKeyFile(keys.signature));
  WriteFile(JoinPath(publicOut, keys.encryption.id + ".pub"), keys.encryptionPublic);
  WriteFile(JoinPath(publicOut, keys.signature.id + ".pub"), keys.signaturePublic);
  return keys;
}

// A built provider library loaded by path, with its entry points.
struct Library {
  explicit Library(std::string path) {
#if defined(_WIN32)
    if (!path.empty() && path[0] == '/') {
      for (char &c : path)
        if (c == '/')
          c = '\\';
      path = "Z:" + path;
    }
#endif
    path_ = path;
    handle = platform::LoadLibraryFile(path);
    if (handle == nullptr)
      return;
#define KESTREL_RESOLVE(name) name = reinterpret_cast<decltype(&::name)>(Find(#name))
    KESTREL_RESOLVE(InitKey);
    KESTREL_RESOLVE(ResetKeyEx);
    KESTREL_RESOLVE(GetDrvInfo);
    KESTREL_RESOLVE(FreeMemory);
    KESTREL_RESOLVE(SignInit);
    KESTREL_RESOLVE(SignDone);
    KESTREL_RESOLVE(SignLogIn);
    KESTREL_RESOLVE(SignLogOut);
    KESTREL_RESOLVE(DelSign);
    KESTREL_RESOLVE(SignFile);
    KESTREL_RESOLVE(check_file_sign);
    KESTREL_RESOLVE(SignMem);
    KESTREL_RESOLVE(SignMemEx);
    KESTREL_RESOLVE(check_mem_sign);
    KESTREL_RESOLVE(Del_Mem_Sign);
    KESTREL_RESOLVE(SignMemSeparate);
    KESTREL_RESOLVE(SignMemSeparateEx);
    KESTREL_RESOLVE(CheckMemSeparate);
    KESTREL_RESOLVE(CryptoInit);
    KESTREL_RESOLVE(CryptoDone);
    KESTREL_RESOLVE(EnCryptFile);
    KESTREL_RESOLVE(DeCryptFile);
    KESTREL_RESOLVE(GetCryptKeysF);
    KESTREL_RESOLVE(GetCryptKeysM);
    KESTREL_RESOLVE(DeCryptMem);
    KESTREL_RESOLVE(EnCryptMem);
    KESTREL_RESOLVE(GetFileSenderID);
    KESTREL_RESOLVE(GetMemSenderID);
    KESTREL_RESOLVE(AddOpenKey);
    KESTREL_RESOLVE(GetAlias);
    KESTREL_RESOLVE(ExtractKey);
    KESTREL_RESOLVE(DelOpenKey);
#undef KESTREL_RESOLVE
  }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;
  ~Library() { platform::FreeLibraryHandle(handle); }

  void *Find(const char *name) {
    void *p = platform::FindSymbol(handle, name);
    if (p != nullptr)
      ++found;
    return p;
  }
  const std::string &Path() const { return path_; }

  platform::ModuleHandle handle = nullptr;
  int found = 0;
  std::string path_;
  decltype(&::InitKey) InitKey = nullptr;
  decltype(&::ResetKeyEx) ResetKeyEx = nullptr;
  decltype(&::GetDrvInfo) GetDrvInfo = nullptr;
  decltype(&::FreeMemory) FreeMemory = nullptr;
  decltype(&::SignInit) SignInit = nullptr;
  decltype(&::SignDone) SignDone = nullptr;
  decltype(&::SignLogIn) SignLogIn = nullptr;
  decltype(&::SignLogOut) SignLogOut = nullptr;
  decltype(&::DelSign) DelSign = nullptr;
  decltype(&::SignFile) SignFile = nullptr;
  decltype(&::check_file_sign) check_file_sign = nullptr;
  decltype(&::SignMem) SignMem = nullptr;
  decltype(&::SignMemEx) SignMemEx = nullptr;
  decltype(&::check_mem_sign) check_mem_sign = nullptr;
  decltype(&::Del_Mem_Sign) Del_Mem_Sign = nullptr;
  decltype(&::SignMemSeparate) SignMemSeparate = nullptr;
  decltype(&::SignMemSeparateEx) SignMemSeparateEx = nullptr;
  decltype(&::CheckMemSeparate) CheckMemSeparate = nullptr;
  decltype(&::CryptoInit) CryptoInit = nullptr;
  decltype(&::CryptoDone) CryptoDone = nullptr;
  decltype(&::EnCryptFile) EnCryptFile = nullptr;
  decltype(&::DeCryptFile) DeCryptFile = nullptr;
  decltype(&::GetCryptKeysF) GetCryptKeysF = nullptr;
  decltype(&::GetCryptKeysM) GetCryptKeysM = nullptr;
  decltype(&::DeCryptMem) DeCryptMem = nullptr;
  decltype(&::EnCryptMem) EnCryptMem = nullptr;
  decltype(&::GetFileSenderID) GetFileSenderID = nullptr;
  decltype(&::GetMemSenderID) GetMemSenderID = nullptr;
  decltype(&::AddOpenKey) AddOpenKey = nullptr;
  decltype(&::GetAlias) GetAlias = nullptr;
  decltype(&::ExtractKey) ExtractKey = nullptr;
  decltype(&::DelOpenKey) DelOpenKey = nullptr;
};

inline std::string LibraryPath(int generation) {
  return generation == 5 ? KESTREL5_LIBRARY_PATH : KESTREL4_LIBRARY_PATH;
}

} // namespace provider_test
