// kestrel-keys: makes a user's key pair on a key device and describes
// public key files.
//
//   kestrel-keys new --device DIR --number NNNN [--serial SSSSSS]
//                    [--generation 4|5] [--public-out DIR2]
//   kestrel-keys show FILE
#include "key_driver.h"
#include "keygen.h"
#include "platform/cp1251.h"
#include "platform/platform.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

using namespace kestrel_provider;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void Usage() {
  std::cerr << "usage: kestrel-keys new --device DIR --number NNNN [--serial SSSSSS]\n"
               "                        [--generation 4|5] [--public-out DIR2]\n"
               "       kestrel-keys show FILE\n";
}

// Command-line paths in the form the platform layer takes (Windows-1251).
std::string ArgumentPath(const std::string &arg) {
#if defined(_WIN32)
  return arg;
#else
  return platform::Utf8ToCp1251(arg);
#endif
}

std::string Hex(const std::uint8_t *p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

// Restricts files created from here on to their owner (POSIX).
class OwnerOnlyFiles {
public:
#if defined(_WIN32)
  OwnerOnlyFiles() = default;
#else
  OwnerOnlyFiles() : previous_(::umask(077)) {}
  ~OwnerOnlyFiles() { ::umask(previous_); }

private:
  mode_t previous_;
#endif
};

void RemoveFile(const std::string &path) {
  std::error_code ignored;
  std::filesystem::remove(platform::NativePath(path), ignored);
}

int New(const std::map<std::string, std::string> &options) {
  const auto get = [&](const std::string &name) -> std::optional<std::string> {
    const auto it = options.find(name);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  };
  const auto device = get("--device");
  const auto number = get("--number");
  if (!device || !number) {
    std::cerr << "kestrel-keys: --device and --number are required\n";
    return kExitUsage;
  }
  const std::string series = get("--serial").value_or("000001");
  const std::string generationText = get("--generation").value_or("4");
  if (generationText != "4" && generationText != "5") {
    std::cerr << "kestrel-keys: --generation must be 4 or 5\n";
    return kExitUsage;
  }
  const Generation generation = generationText == "5" ? Generation::G5 : Generation::G4;
  const std::string deviceDir = ArgumentPath(*device);
  const std::string publicDir = ArgumentPath(get("--public-out").value_or(*device));

  GeneratedKeys keys;
  try {
    keys = GenerateKeys(generation, *number, series);
  } catch (const std::invalid_argument &) {
    std::cerr << "kestrel-keys: --number must be 4 digits and --serial 6 digits\n";
    return kExitUsage;
  }
  for (const auto &dir : {deviceDir, publicDir}) {
    std::error_code error;
    std::filesystem::create_directories(platform::NativePath(dir), error);
    if (!platform::DirectoryExists(dir)) {
      std::cerr << "kestrel-keys: cannot create directory " << dir << "\n";
      return kExitFailure;
    }
  }
  const std::string encryptionFile = JoinPath(deviceDir, kEncryptionKeyFile);
  const std::string signatureFile = JoinPath(deviceDir, kSignatureKeyFile);
  if (platform::FileExists(encryptionFile) || platform::FileExists(signatureFile)) {
    std::cerr << "kestrel-keys: " << deviceDir << " already holds a key; not overwritten\n";
    return kExitFailure;
  }

  // Each file is written beside its target and renamed into place; when a
  // later file fails, the ones written before are removed again.
  std::vector<std::string> written;
  const auto write = [&](const std::string &path, const Bytes &data) {
    if (!platform::WriteFileAtomically(path, data.data(), data.size()))
      return false;
    written.push_back(path);
    return true;
  };
  bool ok;
  {
    [[maybe_unused]] OwnerOnlyFiles ownerOnly;
    SecretBuffer encryption, signature;
    encryption.bytes() = BuildSecretKeyFile(keys.encryption);
    signature.bytes() = BuildSecretKeyFile(keys.signature);
    ok = write(encryptionFile, encryption.bytes()) && write(signatureFile, signature.bytes());
  }
  ok = ok && write(JoinPath(publicDir, keys.encryption.id + ".pub"), keys.encryptionPublic) &&
       write(JoinPath(publicDir, keys.signature.id + ".pub"), keys.signaturePublic);
  if (!ok) {
    for (const auto &path : written)
      RemoveFile(path);
    std::cerr << "kestrel-keys: cannot write the key files\n";
    return kExitFailure;
  }
  std::cout << "encode-uid=" << keys.encryption.id << "\n"
            << "sign-uid=" << keys.signature.id << "\n";
  return 0;
}

int Show(const std::string &file) {
  const std::string path = ArgumentPath(file);
  platform::ReadOnlyFile in(path);
  if (!in.IsOpen()) {
    std::cerr << "kestrel-keys: cannot open " << file << "\n";
    return kExitFailure;
  }
  const std::int64_t size = in.Size();
  std::optional<Generation> generation;
  if (size == static_cast<std::int64_t>(PublicKeyBlockSize(Generation::G4)))
    generation = Generation::G4;
  else if (size == static_cast<std::int64_t>(PublicKeyBlockSize(Generation::G5)))
    generation = Generation::G5;
  if (!generation) {
    std::cerr << "kestrel-keys: " << file << " is not a public key file (size " << size << ")\n";
    return kExitFailure;
  }
  Bytes data(static_cast<std::size_t>(size));
  PublicKeyBlock block;
  if (in.Read(data.data(), data.size()) != data.size() ||
      ParsePublicKeyBlock(data.data(), data.size(), *generation, block) != 0) {
    std::cerr << "kestrel-keys: " << file << " is damaged or not a public key file\n";
    return kExitFailure;
  }
  std::cout << "identifier=" << block.id << "\n"
            << "kind=" << (block.kind == KeyKind::Encryption ? "encryption" : "signature") << "\n"
            << "generation=" << static_cast<int>(block.generation) << "\n"
            << "algorithm=GOST R 34.10-2012 256-bit, tc26 set A\n"
            << "key-x=" << Hex(block.key.data(), 32) << "\n"
            << "key-y=" << Hex(block.key.data() + 32, 32) << "\n";
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "show")
      return Show(args[1]);
    if (!args.empty() && args[0] == "new" && args.size() % 2 == 1) {
      std::map<std::string, std::string> options;
      for (std::size_t i = 1; i < args.size(); i += 2) {
        const std::string &name = args[i];
        if (name != "--device" && name != "--number" && name != "--serial" &&
            name != "--generation" && name != "--public-out") {
          std::cerr << "kestrel-keys: unknown option " << name << "\n";
          Usage();
          return kExitUsage;
        }
        options[name] = args[i + 1];
      }
      return New(options);
    }
    Usage();
    return kExitUsage;
  } catch (const std::exception &e) {
    std::cerr << "kestrel-keys: " << e.what() << "\n";
    return kExitFailure;
  }
}
