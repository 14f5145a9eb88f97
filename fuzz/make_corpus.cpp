// Writes the seed corpora of the fuzz targets: blocks, signatures, keys and
// directories made by the provider's own code with the fixed users' keys,
// and texts for the engine's readers. Usage: fuzz_make_corpus FOLDER (the
// checked-in corpora are fuzz/corpus).
#include "fuzz_support.h"

#include "key_driver.h"
#include "operations.h"
#include "platform/cp1251.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace kestrel_provider;

namespace {

std::filesystem::path gRoot;

void Write(const std::string &target, const std::string &name, const Bytes &bytes) {
  const auto folder = gRoot / target;
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out)
    cefuzz::Fail(__FILE__, __LINE__, "a seed is written");
}

void Write(const std::string &target, const std::string &name, std::string_view text) {
  Write(target, name, Bytes(text.begin(), text.end()));
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Patterned(std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return data;
}

void Envelopes() {
  const std::string directory = cefuzz::Environment::Get().PublicDir(Generation::G4);
  struct Seed {
    const char *name;
    std::size_t size;
    std::vector<std::uint16_t> recipients;
  };
  for (const Seed &seed :
       {Seed{"owner-to-peer-1", 1, {2}}, Seed{"owner-to-peer-100", 100, {2}},
        Seed{"owner-to-owner-and-peer-64", 64, {1, 2}}, Seed{"owner-to-owner-300", 300, {1}}}) {
    const Bytes plain = Patterned(seed.size);
    Bytes block(plain.size() + EnvelopeOverhead(seed.recipients.size()));
    if (EncryptBlock(Generation::G4, directory, plain.data(), plain.size(), block.data(), 1,
                     seed.recipients, "") != 0)
      cefuzz::Fail(__FILE__, __LINE__, "a seed block is encrypted");
    Write("provider_envelope", seed.name, block);
  }
  Write("provider_envelope", "not-encrypted", Text("plain text, not a block"));
}

void DetachedSignatures() {
  const auto message = Text(cefuzz::kSignedMessage);
  for (std::string_view number : {cefuzz::kOwner, cefuzz::kPeer, cefuzz::kStranger}) {
    const GeneratedKeys keys = cefuzz::FixedKeys(Generation::G4, number);
    DetachedSignature s;
    s.signer = keys.signature.id;
    s.value = crypto::Sign(keys.signature.privateKey, crypto::Streebog256(message));
    Write("provider_detached_signature", "signed-by-" + std::string(number),
          BuildDetachedSignature(s));
    if (number == cefuzz::kOwner) {
      s.value = crypto::Sign(keys.signature.privateKey, crypto::Streebog256(Text("other")));
      const Bytes wrong = BuildDetachedSignature(s);
      Write("provider_detached_signature", "other-message", wrong);
      Write("provider_detached_signature", "truncated", Bytes(wrong.begin(), wrong.begin() + 20));
    }
  }
}

void SignedBlocks() {
  Bytes block = Patterned(40);
  Write("provider_signed_block", "unsigned", block);
  for (std::string_view number : {cefuzz::kOwner, cefuzz::kPeer, cefuzz::kStranger}) {
    const std::string signer = std::string(number) + "00000101";
    std::size_t length = block.size();
    block.resize(length + kAttachedRecordSize);
    if (SignAttached(block.data(), length, signer) != 0)
      cefuzz::Fail(__FILE__, __LINE__, "a seed block is signed");
    Write("provider_signed_block", "signatures-to-" + std::string(number), block);
  }
}

void KeysAndDirectories() {
  for (Generation generation : {Generation::G4, Generation::G5}) {
    const std::string g = generation == Generation::G4 ? "g4" : "g5";
    for (std::string_view number : {cefuzz::kOwner, cefuzz::kStranger}) {
      const GeneratedKeys keys = cefuzz::FixedKeys(generation, number);
      const std::string user(number);
      Write("provider_public_key", g + "-encryption-" + user, keys.encryptionPublic);
      Write("provider_public_key", g + "-signature-" + user, keys.signaturePublic);
      Write("provider_key_file", g + "-encryption-" + user, BuildSecretKeyFile(keys.encryption));
      Write("provider_key_file", g + "-signature-" + user, BuildSecretKeyFile(keys.signature));
    }
    Write("provider_directory", g + "-owner-and-peer",
          cefuzz::BuildDirectoryOf(generation, {cefuzz::kOwner, cefuzz::kPeer}));
    Write("provider_directory", g + "-empty", cefuzz::BuildDirectoryOf(generation, {}));
  }
  // Records of directory versions seen, as the owner's key device keeps them.
  const GeneratedKeys owner = cefuzz::FixedKeys(Generation::G4, cefuzz::kOwner);
  const Key256 seenKey = SeenVersionsKey(owner.encryption.privateKey, owner.encryption.id);
  SeenVersions seen{owner.encryption.id, {}};
  Write("provider_directory", "seen-none", BuildSeenVersions(seen, seenKey));
  for (std::uint8_t i = 1; i <= 3; ++i)
    seen.records.push_back({DirectoryIdentity{i, 0x5A, i}, 1000u * i});
  Write("provider_directory", "seen-three", BuildSeenVersions(seen, seenKey));
}

void Texts() {
  int n = 0;
  for (std::string_view text : {"0002", "0001;0002000001;0003", " 0002 ;0003;", "$10;x1F;0x0002",
                                "0000", "0002;;0003", "-1;+2", "abcd", "\t\r\n"})
    Write("engine_recipients", "list-" + std::to_string(++n), text);
  n = 0;
  for (std::string_view text :
       {"0", "17", "  +17", "-17", "2147483647", "-2147483648", "2147483648", "$7FFFFFFF",
        "0x80000000", "-0x80000000", "X1f", "17 ", "0x", "", "99999999999"})
    Write("engine_integer", "int-" + std::to_string(++n), text);
  // Parameters 1 to 12, one a line.
  const std::string no = platform::Utf8ToCp1251("Нет");
  const std::string yes = platform::Utf8ToCp1251("Да");
  const std::string defaults = "A:\\\n%ZEVRoot%\\Public\n\n0001000001\n000100000101\n0002;0003\n"
                               "TM:COM1\n60\n5\nNo\nYes\n5";
  Write("engine_parameters", "defaults", defaults);
  Write("engine_parameters", "texts",
        "%zevroot%\nB\n123456\n0001\n0001000001\n\na:\n\n$10\n" + yes + "\n " + no + " \n-1");
  Write("engine_parameters", "bad-time-outs", "\n\n\n\n\n\n\nabc\n99999999999\nYes\nno\nx");
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  gRoot = argv[1];
  // The stranger signs too: its keys go into the driver beside the others.
  cefuzz::Environment::Get();
  const GeneratedKeys stranger = cefuzz::FixedKeys(Generation::G4, cefuzz::kStranger);
  if (KeyDriver::Instance().LoadPair(stranger.encryption, stranger.signature) != 0)
    cefuzz::Fail(__FILE__, __LINE__, "the stranger's keys load");
  Envelopes();
  DetachedSignatures();
  SignedBlocks();
  KeysAndDirectories();
  Texts();
  std::printf("seeds written to %s\n", argv[1]);
  return 0;
}
