#include "fuzz_support.h"

#include "directory.h"
#include "key_driver.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <unistd.h>

namespace cefuzz {
namespace {

using namespace kestrel_provider;

// A private key that follows from a label: its Streebog hash with the top
// bits cleared, which keeps it below the group order.
Key256 FixedPrivateKey(const std::string &label) {
  const auto digest = crypto::Streebog256(
      ByteView(reinterpret_cast<const std::uint8_t *>(label.data()), label.size()));
  Key256 key(ByteView(digest.data(), digest.size()));
  key.data()[31] &= 0x1F;
  key.data()[0] |= 0x01;
  return key;
}

SecretKeyFile FixedKey(Generation generation, KeyKind kind, const std::string &id) {
  SecretKeyFile key;
  key.generation = generation;
  key.kind = kind;
  key.id = id;
  key.privateKey = FixedPrivateKey("ce_kestrel fuzz user " + id);
  key.publicKey = crypto::DerivePublicKey(key.privateKey);
  return key;
}

} // namespace

void Fail(const char *file, int line, const char *condition) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  std::abort();
}

GeneratedKeys FixedKeys(Generation generation, std::string_view number) {
  const std::string id = std::string(number) + "000001";
  GeneratedKeys keys;
  keys.encryption = FixedKey(generation, KeyKind::Encryption, id);
  keys.signature = FixedKey(generation, KeyKind::Signature, id + "01");
  keys.encryptionPublic = BuildSignedPublicKeyBlock(
      {generation, KeyKind::Encryption, keys.encryption.id, keys.encryption.publicKey, {}},
      keys.encryption.privateKey);
  keys.signaturePublic = BuildSignedPublicKeyBlock(
      {generation, KeyKind::Signature, keys.signature.id, keys.signature.publicKey, {}},
      keys.signature.privateKey);
  return keys;
}

Bytes BuildDirectoryOf(Generation generation, std::initializer_list<std::string_view> numbers) {
  const GeneratedKeys owner = FixedKeys(generation, kOwner);
  DirectoryFile file;
  file.generation = generation;
  file.owner = owner.encryption.id;
  file.identity = {0x4B, 0x53, 0x50, 0x52, 0x01};
  file.version = 3;
  for (std::string_view number : numbers) {
    const GeneratedKeys keys = FixedKeys(generation, number);
    for (const Bytes *block : {&keys.encryptionPublic, &keys.signaturePublic}) {
      DirectoryEntry entry;
      entry.block = *block;
      if (ParsePublicKeyBlock(block->data(), block->size(), generation, entry.key) != 0)
        Fail(__FILE__, __LINE__, "a fixed public key block parses");
      entry.makerKind = KeyKind::Encryption;
      entry.maker = owner.encryption.id;
      file.entries.push_back(std::move(entry));
    }
  }
  return BuildDirectory(file, DirectoryKey(owner.encryption.privateKey, owner.encryption.id));
}

const Environment &Environment::Get() {
  static const Environment environment;
  return environment;
}

Environment::Environment() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ce-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    Fail(__FILE__, __LINE__, "mkdtemp");
  root_ = pattern;
  const GeneratedKeys owner = FixedKeys(Generation::G4, kOwner);
  directoryKey_ = kestrel_provider::DirectoryKey(owner.encryption.privateKey, owner.encryption.id);
  for (Generation generation : {Generation::G4, Generation::G5}) {
    std::filesystem::create_directories(PublicDir(generation));
    const Bytes directory = BuildDirectoryOf(generation, {kOwner, kPeer});
    if (!platform::WriteFileAtomically(JoinPath(PublicDir(generation), kDirectoryFileName),
                                       directory.data(), directory.size()))
      Fail(__FILE__, __LINE__, "the directory file is written");
  }
  // The driver holds keys, not generations: the generation 4 files serve both.
  KeyDriver::Instance().Clear();
  for (std::string_view number : {kOwner, kPeer}) {
    const GeneratedKeys keys = FixedKeys(Generation::G4, number);
    if (KeyDriver::Instance().LoadPair(keys.encryption, keys.signature) != 0)
      Fail(__FILE__, __LINE__, "the fixed keys load");
  }
}

Environment::~Environment() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string Environment::PublicDir(Generation generation) const {
  return root_ + (generation == Generation::G4 ? "/public4" : "/public5");
}

std::string Environment::Scratch(std::string_view name) const {
  const std::string path = root_ + "/" + std::string(name);
  std::filesystem::create_directories(path);
  return path;
}

TempFolder::TempFolder(std::string_view prefix) {
  // In memory where the system offers it: a file rewritten for every input
  // then costs no disk flush.
  std::error_code error;
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  std::string pattern = (base / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr)
    Fail(__FILE__, __LINE__, "mkdtemp");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteScratchFile(const std::string &path, const std::uint8_t *data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out)
    Fail(__FILE__, __LINE__, "a scratch file is written");
}

std::string HostText(const std::uint8_t *data, std::size_t size) {
  std::size_t n = 0;
  while (n < size && data[n] != 0)
    ++n;
  return std::string(reinterpret_cast<const char *>(data), n);
}

} // namespace cefuzz
