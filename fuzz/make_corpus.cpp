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

// A copy of the seed with one change.
Bytes Changed(Bytes bytes, std::size_t at, std::uint8_t mask = 0x01) {
  bytes[at] ^= mask;
  return bytes;
}

void Envelopes() {
  const std::string directory = cefuzz::Environment::Get().PublicDir(Generation::G4);
  struct Seed {
    const char *name;
    std::size_t size;
    std::vector<std::uint16_t> recipients;
  };
  Bytes twoRecipients;
  for (const Seed &seed :
       {Seed{"owner-to-peer-1", 1, {2}}, Seed{"owner-to-peer-100", 100, {2}},
        Seed{"owner-to-owner-and-peer-64", 64, {1, 2}}, Seed{"owner-to-owner-300", 300, {1}},
        Seed{"owner-to-peer-and-owner-17", 17, {2, 1}}, Seed{"owner-to-peer-1000", 1000, {2}}}) {
    const Bytes plain = Patterned(seed.size);
    Bytes block(plain.size() + EnvelopeOverhead(seed.recipients.size()));
    if (EncryptBlock(Generation::G4, directory, plain.data(), plain.size(), block.data(), 1,
                     seed.recipients, "") != 0)
      cefuzz::Fail(__FILE__, __LINE__, "a seed block is encrypted");
    Write("provider_envelope", seed.name, block);
    if (twoRecipients.empty() && seed.recipients.size() == 2) {
      twoRecipients = block;
      block[0] = 0xE1; // the earlier format, no longer read
      Write("provider_envelope", "earlier-format", block);
    }
  }
  // Blocks of the current format with one change each: every one passes the
  // header and is refused by a later check.
  const Bytes &b = twoRecipients;
  const std::size_t record = kEnvelopeHeaderSize; // the first recipient record
  Write("provider_envelope", "changed-sender", Changed(b, 1, 0x08));
  Write("provider_envelope", "changed-ukm", Changed(b, 13));
  Write("provider_envelope", "changed-iv", Changed(b, 21));
  Write("provider_envelope", "changed-block-mac", Changed(b, 29));
  Write("provider_envelope", "changed-recipient-number", Changed(b, record + 1));
  Write("provider_envelope", "changed-wrapped-key", Changed(b, record + 8));
  Write("provider_envelope", "changed-recipient-mac", Changed(b, record + 40));
  Write("provider_envelope", "changed-second-recipient-mac",
        Changed(b, record + kEnvelopeRecipientSize + 40));
  Write("provider_envelope", "changed-ciphertext", Changed(b, b.size() - 1));
  Write("provider_envelope", "one-recipient-fewer", Changed(b, 11, 0x03));
  Write("provider_envelope", "cut-by-one", Bytes(b.begin(), b.end() - 1));
  Bytes longer = b;
  longer.push_back(0);
  Write("provider_envelope", "one-byte-more", longer);
  Write("provider_envelope", "not-encrypted", Text("plain text, not a block"));
}

void DetachedSignatures() {
  const auto message = Text(cefuzz::kSignedMessage);
  for (std::string_view number : {cefuzz::kOwner, cefuzz::kPeer, cefuzz::kStranger}) {
    const GeneratedKeys keys = cefuzz::FixedKeys(Generation::G4, number);
    DetachedSignature s;
    s.signer = keys.signature.id;
    s.value = crypto::Sign(keys.signature.privateKey, DetachedDigest(message, s.signer));
    Write("provider_detached_signature", "signed-by-" + std::string(number),
          BuildDetachedSignature(s));
    if (number == cefuzz::kOwner) {
      s.value = crypto::Sign(keys.signature.privateKey, DetachedDigest(Text("other"), s.signer));
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
  // Well-formed records that nobody signed, on top of the genuine ones.
  for (int i = 0; i < 3; ++i) {
    AttachedSignature junk;
    junk.signer = std::string(i == 0 ? cefuzz::kOwner : cefuzz::kStranger) + "00000101";
    junk.coveredLength = static_cast<std::uint32_t>(block.size());
    junk.value.fill(static_cast<std::uint8_t>(0x30 + i));
    block.resize(block.size() + kAttachedRecordSize);
    BuildAttachedRecord(junk, block.data() + junk.coveredLength);
  }
  Write("provider_signed_block", "junk-records", block);
}

void KeysAndDirectories() {
  const GeneratedKeys owner = cefuzz::FixedKeys(Generation::G4, cefuzz::kOwner);
  const Key256 directoryKey = DirectoryKey(owner.encryption.privateKey, owner.encryption.id);
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
    const Bytes two = cefuzz::BuildDirectoryOf(generation, {cefuzz::kOwner, cefuzz::kPeer});
    Write("provider_directory", g + "-owner-and-peer", two);
    Write("provider_directory", g + "-empty", cefuzz::BuildDirectoryOf(generation, {}));
    Write("provider_directory", g + "-owner-only",
          cefuzz::BuildDirectoryOf(generation, {cefuzz::kOwner}));
    Write("provider_directory", g + "-three-users",
          cefuzz::BuildDirectoryOf(generation, {cefuzz::kOwner, cefuzz::kPeer, cefuzz::kStranger}));
    // The same directory with one change each: each passes the structure
    // and is refused by a MAC or the block's own check.
    const std::size_t entry = kDirectoryHeaderSize;
    const std::size_t block = PublicKeyBlockSize(generation);
    Write("provider_directory", g + "-changed-owner", Changed(two, 12, 0x08));
    Write("provider_directory", g + "-changed-identity", Changed(two, 24));
    Write("provider_directory", g + "-changed-version", Changed(two, 40));
    Write("provider_directory", g + "-changed-header-mac", Changed(two, 48));
    Write("provider_directory", g + "-changed-key", Changed(two, entry + 30));
    Write("provider_directory", g + "-changed-maker", Changed(two, entry + block + 1));
    Write("provider_directory", g + "-changed-entry-mac", Changed(two, entry + block + 16));
    Write("provider_directory", g + "-cut-by-one", Bytes(two.begin(), two.end() - 1));
    // Entries that check out under the MACs, in an order or number no writer
    // makes: the same key twice, a newer version.
    DirectoryFile file;
    if (VerifyDirectory(two.data(), two.size(), generation, directoryKey, file) != 0)
      cefuzz::Fail(__FILE__, __LINE__, "a seed directory checks out");
    file.version = 1000;
    file.entries.push_back(file.entries.front());
    Write("provider_directory", g + "-key-twice", BuildDirectory(file, directoryKey));
  }
  // Records of directory versions seen, as the owner's key device keeps them.
  const Key256 seenKey = SeenVersionsKey(owner.encryption.privateKey, owner.encryption.id);
  SeenVersions seen{owner.encryption.id, {}, {}};
  Write("provider_directory", "seen-none", BuildSeenVersions(seen, seenKey));
  for (std::uint8_t i = 1; i <= 3; ++i)
    seen.records.push_back({DirectoryIdentity{i, 0x5A, i}, 1000u * i});
  Write("provider_directory", "seen-three", BuildSeenVersions(seen, seenKey));
  // The earlier format: the same records, no folders (a 24-byte header).
  Bytes earlier = BuildSeenVersions(seen, seenKey);
  earlier[4] = 1;
  earlier.erase(earlier.begin() + 24, earlier.begin() + 32);
  const auto earlierMac =
      crypto::Gost28147Imit(seenKey, ByteView(earlier.data(), earlier.size() - 8));
  std::copy(earlierMac.begin(), earlierMac.end(), earlier.end() - 8);
  Write("provider_directory", "seen-earlier-format", earlier);
  for (std::uint8_t i = 1; i <= 2; ++i)
    seen.folders.push_back({FolderKey{0xF0, i}, DirectoryIdentity{i, 0x5A, i}});
  seen.records.push_back({DirectoryIdentity{9, 0x5A, 9}, kRetiredVersion});
  Write("provider_directory", "seen-folders-and-retired", BuildSeenVersions(seen, seenKey));
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

void HostProfiles() {
  Write("host_profile", "profile",
        "# client\nRoot path = /srv/client\nPath to public = /srv/client/public\n"
        "Key device = TM:COM1\nEncode UID = 0001000001\nSign UID = 000100000101\n"
        "Encrypt for key number = 0002;0003\n");
  Write("host_profile", "bom-crlf-cyrillic",
        "\xEF\xBB\xBFPath to secret = /home/\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87\xD0\xB8\r\n"
        "  Sign UID=000100000101  \r\n\r\n");
  Write("host_profile", "given-twice", "Sign UID = 1\nSign UID = 2\n");
  Write("host_profile", "no-equals", "Sign UID 000100000101\n");
  int n = 0;
  for (std::string_view text :
       {"0002,0003", "0002 0003;0004000001", "0002abc", " ; ", "0002;;x", "000200000101\t0003"})
    Write("host_profile", "recipients-" + std::to_string(++n), text);
}

// A little-endian ELF file of 32 or 64 bits whose section table holds a
// null section and one note section with the given notes.
Bytes ElfWithNotes(bool is64, const Bytes &notes) {
  const std::size_t header = is64 ? 64 : 52;
  const std::size_t entry = is64 ? 64 : 40;
  Bytes file(header + notes.size() + 2 * entry, 0);
  auto put = [&file](std::size_t offset, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      file[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  const std::uint8_t ident[] = {0x7F, 'E', 'L', 'F', static_cast<std::uint8_t>(is64 ? 2 : 1), 1, 1};
  std::copy(std::begin(ident), std::end(ident), file.begin());
  put(16, 3, 2); // a shared object
  const std::size_t table = header + notes.size();
  put(is64 ? 0x28 : 0x20, table, is64 ? 8 : 4);
  put(is64 ? 0x3A : 0x2E, entry, 2);
  put(is64 ? 0x3C : 0x30, 2, 2);
  std::copy(notes.begin(), notes.end(), file.begin() + static_cast<std::ptrdiff_t>(header));
  const std::size_t note = table + entry;
  put(note + 4, 7, 4); // SHT_NOTE
  put(note + (is64 ? 0x18 : 0x10), header, is64 ? 8 : 4);
  put(note + (is64 ? 0x20 : 0x14), notes.size(), is64 ? 8 : 4);
  return file;
}

// One note record: owner name, type and descriptor, each padded to 4 bytes.
Bytes Note(std::string_view name, std::uint32_t type, const Bytes &desc) {
  Bytes note;
  auto put32 = [&note](std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
      note.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  put32(static_cast<std::uint32_t>(name.size() + 1));
  put32(static_cast<std::uint32_t>(desc.size()));
  put32(type);
  note.insert(note.end(), name.begin(), name.end());
  note.push_back(0);
  while (note.size() % 4 != 0)
    note.push_back(0);
  note.insert(note.end(), desc.begin(), desc.end());
  while (note.size() % 4 != 0)
    note.push_back(0);
  return note;
}

Bytes Version(std::uint16_t major, std::uint16_t minor, std::uint16_t release,
              std::uint16_t build) {
  Bytes desc;
  for (std::uint16_t part : {major, minor, release, build}) {
    desc.push_back(static_cast<std::uint8_t>(part));
    desc.push_back(static_cast<std::uint8_t>(part >> 8));
  }
  return desc;
}

void FileVersions() {
  const Bytes v4 = Note("FileVersion", 1, Version(4, 2, 0, 1));
  const Bytes buildId = Note("GNU", 3, Patterned(20));
  Write("platform_file_version", "elf64-4.2", ElfWithNotes(true, v4));
  Write("platform_file_version", "elf64-5.0",
        ElfWithNotes(true, Note("FileVersion", 1, Version(5, 0, 0, 1))));
  Write("platform_file_version", "elf32-4.9",
        ElfWithNotes(false, Note("FileVersion", 1, Version(4, 9, 3, 7))));
  Bytes both = buildId;
  both.insert(both.end(), v4.begin(), v4.end());
  Write("platform_file_version", "elf64-build-id-then-version", ElfWithNotes(true, both));
  Write("platform_file_version", "elf64-build-id-only", ElfWithNotes(true, buildId));
  Write("platform_file_version", "elf64-wrong-type",
        ElfWithNotes(true, Note("FileVersion", 2, Version(5, 0, 0, 0))));
  const Bytes whole = ElfWithNotes(true, v4);
  Write("platform_file_version", "elf64-truncated", Bytes(whole.begin(), whole.begin() + 100));
  Write("platform_file_version", "not-elf", Text("MZ\x90 a Windows library, not ELF"));
}

void Paths() {
  // Relative to the tree the target builds (fuzz/platform_native_path.cpp).
  const char *const paths[] = {"Keys\\Secret.KEY",
                               "KEYS\\secret.key",
                               "keys\\КЛЮЧИ\\ключ.PUB",
                               "PUBLIC\\BANK.PUB",
                               "public\\",
                               "ЁЛКА.txt",
                               "ёлка.TXT.SIG",
                               "cafe.txt",
                               "Keys\\..\\Public\\.\\bank.pub",
                               "Keys\\\\Secret.key",
                               "no\\such\\Keys",
                               "STRASSE",
                               "x?.bin",
                               ""};
  int n = 0;
  for (const char *path : paths)
    Write("platform_native_path", "path-" + std::to_string(++n), platform::Utf8ToCp1251(path));
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
  HostProfiles();
  FileVersions();
  Paths();
  std::printf("seeds written to %s\n", argv[1]);
  return 0;
}
