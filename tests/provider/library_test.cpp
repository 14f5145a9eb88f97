// The provider through its entry points, loaded from the built library of
// each generation: key driver and devices, encryption, signatures and the
// public key directory.
#include "provider_test_support.h"

#include "directory.h"
#include "formats.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

using namespace provider_test;
using kestrel_provider::Generation;
using kestrel_provider::JoinPath;
using testing::AnyOf;

namespace {

const std::set<int> kDeviceWaitCodes = {6, 34, 35, 36, 101, 105, 106};

class ProviderLibrary : public testing::TestWithParam<int> {
protected:
  void SetUp() override {
    ASSERT_NE(lib.handle, nullptr) << lib.Path();
    ASSERT_EQ(lib.found, 32);
  }

  Generation Gen() const { return GetParam() == 5 ? Generation::G5 : Generation::G4; }
  std::size_t BlockSize() const { return kestrel_provider::PublicKeyBlockSize(Gen()); }

  kestrel_provider::GeneratedKeys MakeUser(const std::string &name, std::string_view number) {
    return MakeKeyDevice(tmp.File(name), keys, Gen(), number);
  }
  std::string Device(const std::string &name) const { return tmp.File(name); }
  Bytes PublicFile(const std::string &id) const { return ReadFile(JoinPath(keys, id + ".pub")); }

  // Loads the user into the lowest free slot and, with the user in slot 0,
  // fills their own directory with the given public keys.
  void BuildDirectory(const std::string &device, const std::string &dir, const std::string &owner,
                      const std::vector<std::string> &ids) {
    ASSERT_EQ(lib.InitKey(device.c_str(), ""), 0);
    std::filesystem::create_directories(dir);
    for (const auto &id : ids)
      ASSERT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(id).data(), owner.c_str(), 'E'), 0) << id;
  }

  // Two users: A (0017) in slot 0 and B (0042) in slot 1, each with a
  // directory holding both users' public keys.
  void TwoUsers() {
    a = MakeUser("devA", "0017");
    b = MakeUser("devB", "0042");
    dirA = tmp.File("pubA");
    dirB = tmp.File("pubB");
    const std::vector<std::string> all = {a.encryption.id, a.signature.id, b.encryption.id,
                                          b.signature.id};
    BuildDirectory(Device("devB"), dirB, b.encryption.id, all);
    ASSERT_EQ(lib.ResetKeyEx(b.encryption.id.c_str(), 1), 0);
    BuildDirectory(Device("devA"), dirA, a.encryption.id, all);
    ASSERT_EQ(lib.InitKey(Device("devB").c_str(), ""), 0);
  }

  Bytes Encrypt(const Bytes &plain, std::vector<std::uint16_t> recipients) {
    recipients.push_back(0);
    EXPECT_EQ(lib.CryptoInit("", dirA.c_str()), 0);
    Bytes out(plain.size() + 37 + 48 * (recipients.size() - 1));
    EXPECT_EQ(lib.EnCryptMem(plain.data(), static_cast<int32_t>(plain.size()), out.data(), 17,
                             recipients.data(), ""),
              0);
    lib.CryptoDone();
    return out;
  }

  int Decrypt(Bytes &block, const std::string &dir, std::uint16_t own) {
    EXPECT_EQ(lib.CryptoInit("", dir.c_str()), 0);
    int32_t length = static_cast<int32_t>(block.size());
    const int rc = lib.DeCryptMem(block.data(), &length, own);
    if (rc == 0)
      block.resize(static_cast<std::size_t>(length));
    lib.CryptoDone();
    return rc;
  }

  Library lib{LibraryPath(GetParam())};
  TempDir tmp;
  std::string keys = tmp.Sub("keys");
  kestrel_provider::GeneratedKeys a, b;
  std::string dirA, dirB;
};

TEST_P(ProviderLibrary, FileVersionTellsTheGeneration) {
  const auto version = platform::FileVersionOf(lib.Path());
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->Major, GetParam());
}

TEST_P(ProviderLibrary, KeyDevicesAreResolvedAtEveryCall) {
  MakeUser("devA", "0017");
  EXPECT_EQ(lib.InitKey(tmp.File("missing").c_str(), ""), 36);
  EXPECT_EQ(lib.InitKey(tmp.Sub("empty").c_str(), ""), 6);

  // A named device is absent until its variable names an existing folder.
  platform::UnsetEnvironment("KESTREL_DEVICE_TM_COM1");
  EXPECT_EQ(lib.InitKey("tm:com1", ""), 36);
  platform::SetEnvironment("KESTREL_DEVICE_TM_COM1", tmp.File("inserted"));
  EXPECT_EQ(lib.InitKey("TM:COM1", ""), 36);
  std::filesystem::copy(Device("devA"), tmp.File("inserted"));
  EXPECT_EQ(lib.InitKey("tm:com1", ""), 0);
  EXPECT_EQ(lib.InitKey("TM:COM1", ""), 37); // already loaded
  platform::SetEnvironment("KESTREL_DEVICE_TM_A4_P", tmp.File("empty"));
  EXPECT_EQ(lib.InitKey("TM:A4.P", ""), 6);
  platform::UnsetEnvironment("KESTREL_DEVICE_TM_COM1");
  platform::UnsetEnvironment("KESTREL_DEVICE_TM_A4_P");
}

TEST_P(ProviderLibrary, DamagedKeyFilesAreRefused) {
  MakeUser("devA", "0017");
  const std::string file = JoinPath(Device("devA"), "sign.key");
  Bytes key = ReadFile(file);
  for (std::size_t i : {0u, 9u, 30u, 100u, 159u}) {
    Bytes bad = key;
    bad[i] ^= 0x01;
    WriteFile(file, bad);
    EXPECT_EQ(lib.InitKey(Device("devA").c_str(), ""), 6) << i;
  }
  WriteFile(file, Bytes(key.begin(), key.end() - 1));
  EXPECT_EQ(lib.InitKey(Device("devA").c_str(), ""), 6);
  WriteFile(file, key);
  EXPECT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0);
}

TEST_P(ProviderLibrary, DriverReportsSlotsInItsGenerationsLayout) {
  MakeUser("devA", "0017");
  MakeUser("devB", "0042");
  ASSERT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0);
  ASSERT_EQ(lib.InitKey(Device("devB").c_str(), ""), 0);
  ASSERT_EQ(lib.ResetKeyEx("0017000001", 1), 0);

  std::array<std::uint8_t, 16 * 32> table;
  table.fill(0xAA);
  int32_t count = -1;
  ASSERT_EQ(lib.GetDrvInfo(reinterpret_cast<KestrelSlotInfo *>(table.data()), &count), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(table.data())), "0042000001");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(table.data() + 11)), "004200000101");
  std::int32_t slotNo = 0;
  std::memcpy(&slotNo, table.data() + 28, 4);
  EXPECT_EQ(slotNo, 1); // B stays in slot 1 after slot 0 was freed
  if (GetParam() == 5) {
    EXPECT_EQ(table[24], 3);
    EXPECT_EQ(table[25], 0);
  } else {
    std::int32_t info = 0;
    std::memcpy(&info, table.data() + 24, 4);
    EXPECT_EQ(info, 3);
  }
  EXPECT_EQ(table[32], 0xAA); // nothing written past the reported records

  // The freed slot 0 is the lowest free one again.
  ASSERT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0);
  ASSERT_EQ(lib.GetDrvInfo(reinterpret_cast<KestrelSlotInfo *>(table.data()), &count), 0);
  ASSERT_EQ(count, 2);
  std::memcpy(&slotNo, table.data() + 28, 4);
  EXPECT_EQ(slotNo, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(table.data())), "0017000001");

  EXPECT_EQ(lib.ResetKeyEx("004200000101", 1), 0); // either key frees the pair
  EXPECT_EQ(lib.ResetKeyEx("0042000001", 1), 6);
  EXPECT_EQ(lib.ResetKeyEx("00420", 1), 7);
  EXPECT_EQ(lib.GetDrvInfo(nullptr, &count), 7);
}

TEST_P(ProviderLibrary, DriverHoldsSixteenPairs) {
  for (int i = 0; i < 16; ++i) {
    const std::string number = "01" + std::to_string(10 + i);
    MakeUser("dev" + number, number);
    ASSERT_EQ(lib.InitKey(Device("dev" + number).c_str(), ""), 0) << i;
  }
  MakeUser("dev0200", "0200");
  EXPECT_EQ(lib.InitKey(Device("dev0200").c_str(), ""), 38);
  ASSERT_EQ(lib.ResetKeyEx("0115000001", 1), 0);
  EXPECT_EQ(lib.InitKey(Device("dev0200").c_str(), ""), 0);
}

TEST_P(ProviderLibrary, EncryptedBlockHasTheDocumentedSizeAndDecrypts) {
  TwoUsers();
  Bytes plain(1000);
  for (std::size_t i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<std::uint8_t>(i * 31);
  Bytes block = Encrypt(plain, {42, 17, 42});
  ASSERT_EQ(block.size(), plain.size() + 37 + 48 * 3);

  char sender[11] = {};
  EXPECT_EQ(lib.GetMemSenderID(block.data(), static_cast<int32_t>(block.size()), sender), 0);
  EXPECT_STREQ(sender, "0017000001");
  uint16_t numbers[4] = {};
  int32_t count = 4;
  EXPECT_EQ(lib.GetCryptKeysM(block.data(), static_cast<int32_t>(block.size()), numbers, &count),
            0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(numbers[0], 42);
  EXPECT_EQ(numbers[1], 17);

  Bytes forA = block;
  ASSERT_EQ(Decrypt(forA, dirA, 17), 0);
  EXPECT_EQ(forA, plain);
  Bytes forB = block;
  ASSERT_EQ(Decrypt(forB, dirB, 42), 0);
  EXPECT_EQ(forB, plain);
  // Every message gets fresh keys: the same plaintext encrypts differently.
  EXPECT_NE(Encrypt(plain, {42, 17, 42}), block);
}

TEST_P(ProviderLibrary, AnyChangedByteOfAnEncryptedBlockIsDetected) {
  TwoUsers();
  const Bytes plain = {'p', 'a', 'y', ' ', '1', '0', '0'};
  const Bytes block = Encrypt(plain, {42});
  ASSERT_EQ(block.size(), plain.size() + 85);
  for (std::size_t i = 0; i < block.size(); ++i) {
    Bytes bad = block;
    bad[i] ^= (i == 0 ? 0x01 : 0x10);
    const Bytes before = bad;
    const int rc = Decrypt(bad, dirB, 42);
    if (i == 0)
      EXPECT_EQ(rc, 11) << "format byte";
    else if (i < 11)
      EXPECT_THAT(rc, AnyOf(4, 11, 117)) << "sender byte " << i;
    else if (i < 13)
      EXPECT_THAT(rc, AnyOf(4, 11, 129)) << "count byte " << i;
    else if (i >= 37 && i < 45)
      EXPECT_THAT(rc, AnyOf(4, 129)) << "recipient identifier byte " << i;
    else
      EXPECT_EQ(rc, 4) << "byte " << i;
    EXPECT_EQ(bad, before) << "a failed decryption leaves the block as it was, byte " << i;
  }
  Bytes truncated(block.begin(), block.end() - 1);
  EXPECT_EQ(Decrypt(truncated, dirB, 42), 4);
  Bytes extended = block;
  extended.push_back(0);
  EXPECT_EQ(Decrypt(extended, dirB, 42), 4);
}

TEST_P(ProviderLibrary, DecryptionFailuresHaveTheirOwnCodes) {
  TwoUsers();
  Bytes plain(64, 'x');
  Bytes notEncrypted = plain;
  EXPECT_EQ(Decrypt(notEncrypted, dirB, 42), 11);
  char sender[11];
  EXPECT_EQ(lib.GetMemSenderID(plain.data(), 64, sender), 11);

  // B is no recipient of a block for A alone: not a device-wait code.
  Bytes forA = Encrypt(plain, {17});
  const int notRecipient = Decrypt(forA, dirB, 42);
  EXPECT_NE(notRecipient, 0);
  EXPECT_EQ(kDeviceWaitCodes.count(notRecipient), 0u) << notRecipient;

  // The sender's key is missing from the directory: 117.
  const std::string bare = tmp.File("bare");
  ASSERT_EQ(lib.ResetKeyEx(b.encryption.id.c_str(), 1), 0);
  ASSERT_EQ(lib.ResetKeyEx(a.encryption.id.c_str(), 1), 0);
  BuildDirectory(Device("devB"), bare, b.encryption.id, {b.encryption.id});
  ASSERT_EQ(lib.ResetKeyEx(b.encryption.id.c_str(), 1), 0);
  ASSERT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0); // A in slot 0 again
  ASSERT_EQ(lib.InitKey(Device("devB").c_str(), ""), 0);
  Bytes forB = Encrypt(plain, {42});
  EXPECT_EQ(Decrypt(forB, bare, 42), 117);
  // A recipient missing from the sender's directory: 117 as well.
  Bytes out(64 + 85);
  const uint16_t unknown[] = {99, 0};
  ASSERT_EQ(lib.CryptoInit("", dirA.c_str()), 0);
  EXPECT_EQ(lib.EnCryptMem(plain.data(), 64, out.data(), 17, unknown, ""), 117);
  // The own key number must be the key in slot 0.
  const uint16_t toB[] = {42, 0};
  EXPECT_EQ(lib.EnCryptMem(plain.data(), 64, out.data(), 42, toB, ""), 101);
  // No key with the own number loaded: key not found.
  int32_t length = static_cast<int32_t>(forB.size());
  EXPECT_EQ(lib.DeCryptMem(forB.data(), &length, 55), 6);
  lib.CryptoDone();
  // Without an open context nothing is encrypted.
  EXPECT_EQ(lib.EnCryptMem(plain.data(), 64, out.data(), 17, toB, ""), 8);
}

TEST_P(ProviderLibrary, DetachedSignaturesVerifyAndReportTheSigner) {
  TwoUsers();
  const Bytes data = {'o', 'r', 'd', 'e', 'r'};
  std::array<std::uint8_t, 255> signature{};
  int32_t length = 0;
  ASSERT_EQ(
      lib.SignMemSeparateEx(data.data(), 5, &length, a.signature.id.c_str(), signature.data()), 0);
  EXPECT_GT(length, 0);
  EXPECT_LE(length, 255);

  ASSERT_EQ(lib.SignInit("", dirB.c_str()), 0);
  uint8_t count = 0;
  KestrelSignStatus *status = nullptr;
  ASSERT_EQ(lib.CheckMemSeparate(data.data(), 5, length, &count, &status, signature.data()), 0);
  ASSERT_EQ(count, 1);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(std::string(status[0].Signer, 12), a.signature.id);
  EXPECT_EQ(status[0].Verdict, 0);
  EXPECT_EQ(lib.FreeMemory(status), 0);
  EXPECT_EQ(lib.FreeMemory(status), 7); // not twice

  Bytes changed = data;
  changed[0] = 'O';
  ASSERT_EQ(lib.CheckMemSeparate(changed.data(), 5, length, &count, &status, signature.data()), 0);
  EXPECT_EQ(status[0].Verdict, 1);
  lib.FreeMemory(status);

  // A signer whose key the directory lacks: verdict 2.
  const std::string bare = tmp.File("bare");
  ASSERT_EQ(lib.ResetKeyEx(a.encryption.id.c_str(), 1), 0);
  BuildDirectory(Device("devA"), bare, a.encryption.id, {a.encryption.id});
  lib.SignDone();
  ASSERT_EQ(lib.SignInit("", bare.c_str()), 0);
  ASSERT_EQ(lib.CheckMemSeparate(data.data(), 5, length, &count, &status, signature.data()), 0);
  EXPECT_EQ(status[0].Verdict, 2);
  lib.FreeMemory(status);

  EXPECT_EQ(lib.CheckMemSeparate(data.data(), 5, 10, &count, &status, data.data()), 12);
  EXPECT_EQ(lib.CheckMemSeparate(data.data(), 5, length - 1, &count, &status, signature.data()),
            10);
  EXPECT_EQ(lib.SignMemSeparateEx(data.data(), 5, &length, "009900000101", signature.data()), 6);
  lib.SignDone();
  EXPECT_EQ(lib.CheckMemSeparate(data.data(), 5, length, &count, &status, signature.data()), 8);
}

TEST_P(ProviderLibrary, AttachedSignaturesStackAndComeOffNewestFirst) {
  TwoUsers();
  Bytes block(10 + 2 * 353, 0);
  std::memcpy(block.data(), "0123456789", 10);
  int32_t length = 10;
  ASSERT_EQ(lib.SignMemEx(block.data(), &length, a.signature.id.c_str()), 0);
  const int32_t once = length;
  EXPECT_GT(once, 10);
  EXPECT_LE(once, 10 + 353);
  ASSERT_EQ(lib.SignMemEx(block.data(), &length, b.signature.id.c_str()), 0);
  EXPECT_LE(length, once + 353);

  ASSERT_EQ(lib.SignInit("", dirA.c_str()), 0);
  uint8_t count = 0;
  KestrelSignStatus *status = nullptr;
  ASSERT_EQ(lib.check_mem_sign(block.data(), length, &count, &status), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(std::string(status[0].Signer, 12), b.signature.id); // newest first
  EXPECT_EQ(std::string(status[1].Signer, 12), a.signature.id);
  EXPECT_EQ(status[0].Verdict, 0);
  EXPECT_EQ(status[1].Verdict, 0);
  lib.FreeMemory(status);

  // Removing one takes the newest off; the older one still checks out.
  int32_t shorter = length;
  ASSERT_EQ(lib.Del_Mem_Sign(block.data(), &shorter, 1), 0);
  EXPECT_EQ(shorter, once);
  ASSERT_EQ(lib.check_mem_sign(block.data(), shorter, &count, &status), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::string(status[0].Signer, 12), a.signature.id);
  EXPECT_EQ(status[0].Verdict, 0);
  lib.FreeMemory(status);

  // Changed data spoils every signature over it.
  block[3] ^= 1;
  ASSERT_EQ(lib.check_mem_sign(block.data(), length, &count, &status), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(status[0].Verdict, 1);
  EXPECT_EQ(status[1].Verdict, 1);
  lib.FreeMemory(status);

  // An unsigned block: no records, nothing to remove.
  status = nullptr;
  ASSERT_EQ(lib.check_mem_sign(block.data(), 10, &count, &status), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(lib.FreeMemory(status), 0);
  int32_t ten = 10;
  EXPECT_EQ(lib.Del_Mem_Sign(block.data(), &ten, 1), 12);
  EXPECT_EQ(ten, 10);
  lib.SignDone();
}

TEST_P(ProviderLibrary, DirectoryAddsExtractsAndRemovesKeys) {
  a = MakeUser("devA", "0017");
  b = MakeUser("devB", "0042");
  const std::string dir = tmp.Sub("dir");
  Bytes out(BlockSize(), 0);
  EXPECT_EQ(lib.ExtractKey(tmp.File("nodir").c_str(), "0042000001", out.data()), 122);
  // The owner's key must be in slot 0.
  EXPECT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(b.encryption.id).data(), "0017000001", 'E'), 6);
  ASSERT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0);
  EXPECT_EQ(lib.ExtractKey(dir.c_str(), "0042000001", out.data()), 117);
  EXPECT_EQ(lib.AddOpenKey(tmp.File("nodir").c_str(), PublicFile(b.encryption.id).data(),
                           "0017000001", 'E'),
            122);
  EXPECT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(b.encryption.id).data(), "0017000001", 'S'), 7);
  ASSERT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(b.encryption.id).data(), "0017000001", 'E'), 0);
  ASSERT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(b.signature.id).data(), "001700000101", 'S'), 0);
  ASSERT_EQ(lib.ExtractKey(dir.c_str(), "004200000101", out.data()), 0);
  EXPECT_EQ(out, PublicFile(b.signature.id));

  // A changed key block header is refused.
  Bytes changed = PublicFile(b.encryption.id);
  changed[9] ^= 1;
  EXPECT_EQ(lib.AddOpenKey(dir.c_str(), changed.data(), "0017000001", 'E'), 121);

  EXPECT_EQ(lib.DelOpenKey(dir.c_str(), "004200000101", "0017000001", 'E'), 0);
  EXPECT_EQ(lib.ExtractKey(dir.c_str(), "004200000101", out.data()), 117);
  EXPECT_EQ(lib.DelOpenKey(dir.c_str(), "004200000101", "0017000001", 'E'), 117);
  EXPECT_EQ(lib.ExtractKey(dir.c_str(), "0042000001", out.data()), 0);
}

TEST_P(ProviderLibrary, ChangedOrPlantedDirectoryEntriesAreDetected) {
  a = MakeUser("devA", "0017");
  b = MakeUser("devB", "0042");
  const std::string dir = tmp.Sub("dir");
  ASSERT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0);
  ASSERT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(b.encryption.id).data(), "0017000001", 'E'), 0);
  ASSERT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(a.encryption.id).data(), "0017000001", 'E'), 0);
  const std::string file = JoinPath(dir, "kestrel.spr");
  const Bytes good = ReadFile(file);
  const std::size_t entry = BlockSize() + 24;
  const std::size_t h = kestrel_provider::kDirectoryHeaderSize;
  ASSERT_EQ(good.size(), h + 2 * entry);
  Bytes out(BlockSize());
  const auto extract = [&](const Bytes &content) {
    WriteFile(file, content);
    return lib.ExtractKey(dir.c_str(), "0042000001", out.data());
  };

  Bytes bad = good;
  bad[13] ^= 1; // owner identifier: now a user whose key is not loaded
  // The loaded owner's device knows this folder as its own: the report does
  // not read it unchecked.
  EXPECT_EQ(extract(bad), 131);
  EXPECT_EQ(lib.DelOpenKey(dir.c_str(), "0042000001", "0017000001", 'E'), 131);
  bad = good;
  bad[50] ^= 1; // header MAC
  EXPECT_EQ(extract(bad), 124);
  bad = good;
  bad[h + 30] ^= 1; // first entry's key
  EXPECT_EQ(extract(bad), 111);
  bad = good;
  std::fill(bad.begin() + h + entry - 8, bad.begin() + h + entry, 0); // MAC removed
  EXPECT_THAT(extract(bad), AnyOf(124, 125));
  // A planted entry: a valid key block with a MAC its writer had to guess.
  bad = good;
  Bytes planted(good.begin() + h, good.begin() + h + entry);
  const Bytes stranger = kestrel_provider::GenerateKeys(Gen(), "0066", "000001").encryptionPublic;
  std::copy(stranger.begin(), stranger.end(), planted.begin());
  bad.insert(bad.end(), planted.begin(), planted.end());
  bad[8] = 3;
  EXPECT_THAT(extract(bad), AnyOf(111, 124));
  // Two entries swapped.
  bad = good;
  std::swap_ranges(bad.begin() + h, bad.begin() + h + entry, bad.begin() + h + entry);
  EXPECT_EQ(extract(bad), 124);
  bad = Bytes(good.begin(), good.end() - 1);
  EXPECT_EQ(extract(bad), 118);
  bad = Bytes(good.begin(), good.begin() + 10);
  EXPECT_EQ(extract(bad), 118);
  EXPECT_EQ(extract(good), 0);

  // A directory protected by another user's key: B cannot change it; the
  // key report still reads it (the block checked on its own).
  ASSERT_EQ(lib.ResetKeyEx("0017000001", 1), 0);
  ASSERT_EQ(lib.InitKey(Device("devB").c_str(), ""), 0);
  EXPECT_EQ(lib.ExtractKey(dir.c_str(), "0042000001", out.data()), 0);
  EXPECT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(a.signature.id).data(), "0042000001", 'E'), 131);
  EXPECT_EQ(ReadFile(file), good);
}

TEST_P(ProviderLibrary, ExtractWithoutTheOwnersKeyChecksTheBlockOnItsOwn) {
  a = MakeUser("devA", "0017");
  b = MakeUser("devB", "0042");
  const std::string dir = tmp.Sub("dir");
  ASSERT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0);
  ASSERT_EQ(lib.AddOpenKey(dir.c_str(), PublicFile(b.signature.id).data(), "0017000001", 'E'), 0);
  ASSERT_EQ(lib.ResetKeyEx("0017000001", 1), 0);

  // The driver is empty: the key is handed out as stored.
  Bytes out(BlockSize(), 0);
  ASSERT_EQ(lib.ExtractKey(dir.c_str(), "004200000101", out.data()), 0);
  EXPECT_EQ(out, PublicFile(b.signature.id));
  EXPECT_EQ(lib.ExtractKey(dir.c_str(), "0042000001", out.data()), 117);

  // A changed block is still refused, and nothing is written out.
  const std::string file = JoinPath(dir, "kestrel.spr");
  const Bytes good = ReadFile(file);
  Bytes bad = good;
  bad[kestrel_provider::kDirectoryHeaderSize + 30] ^= 1; // inside the key
  WriteFile(file, bad);
  Bytes untouched(BlockSize(), 0x5A);
  EXPECT_EQ(lib.ExtractKey(dir.c_str(), "004200000101", untouched.data()), 121);
  EXPECT_EQ(untouched, Bytes(BlockSize(), 0x5A));

  // With some other user's key loaded the block is still checked on its own.
  ASSERT_EQ(lib.InitKey(Device("devB").c_str(), ""), 0);
  EXPECT_EQ(lib.ExtractKey(dir.c_str(), "004200000101", untouched.data()), 121);
  WriteFile(file, good);
  ASSERT_EQ(lib.ExtractKey(dir.c_str(), "004200000101", out.data()), 0);
  EXPECT_EQ(out, PublicFile(b.signature.id));
}

TEST_P(ProviderLibrary, ConcurrentWritersLoseNoEntry) {
  a = MakeUser("devA", "0017");
  const std::string dir = tmp.Sub("dir");
  ASSERT_EQ(lib.InitKey(Device("devA").c_str(), ""), 0);
  std::vector<Bytes> blocks;
  for (int i = 0; i < 8; ++i)
    blocks.push_back(kestrel_provider::GenerateKeys(Gen(), "03" + std::to_string(10 + i), "000001")
                         .encryptionPublic);
  std::vector<std::thread> writers;
  std::vector<int> results(blocks.size(), -1);
  for (std::size_t i = 0; i < blocks.size(); ++i)
    writers.emplace_back(
        [&, i] { results[i] = lib.AddOpenKey(dir.c_str(), blocks[i].data(), "0017000001", 'E'); });
  for (auto &t : writers)
    t.join();
  Bytes out(BlockSize());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(results[i], 0);
    const std::string id = "03" + std::to_string(10 + i) + "000001";
    ASSERT_EQ(lib.ExtractKey(dir.c_str(), id.c_str(), out.data()), 0) << id;
    EXPECT_EQ(out, blocks[i]);
  }
}

TEST_P(ProviderLibrary, BadArgumentsGiveCodesNotCrashes) {
  uint8_t count = 0;
  KestrelSignStatus *status = nullptr;
  int32_t length = 5;
  char text[32] = {};
  uint16_t list[2] = {1, 0};
  Bytes buffer(512);
  EXPECT_EQ(lib.InitKey(nullptr, ""), 7);
  EXPECT_EQ(lib.ResetKeyEx(nullptr, 1), 7);
  EXPECT_EQ(lib.GetDrvInfo(reinterpret_cast<KestrelSlotInfo *>(buffer.data()), nullptr), 7);
  EXPECT_EQ(lib.FreeMemory(buffer.data()), 7);
  EXPECT_EQ(lib.SignInit(nullptr, ""), 7);
  EXPECT_EQ(lib.SignLogIn(nullptr), 7);
  EXPECT_EQ(lib.SignLogIn("001700000101"), 6);
  EXPECT_EQ(lib.SignLogOut(), 0);
  EXPECT_EQ(lib.DelSign(nullptr, 1), 7);
  EXPECT_EQ(lib.SignFile(nullptr, nullptr, nullptr), 7);
  EXPECT_EQ(lib.check_file_sign("x", nullptr, &status), 7);
  EXPECT_EQ(lib.SignMem(nullptr, &length), 7);
  EXPECT_EQ(lib.SignMem(buffer.data(), nullptr), 7);
  EXPECT_EQ(lib.SignMemEx(buffer.data(), &length, nullptr), 7);
  length = 0;
  EXPECT_EQ(lib.SignMemEx(buffer.data(), &length, "001700000101"), 10);
  EXPECT_EQ(lib.check_mem_sign(nullptr, 5, &count, &status), 7);
  EXPECT_EQ(lib.check_mem_sign(buffer.data(), 0, &count, &status), 10);
  EXPECT_EQ(lib.Del_Mem_Sign(buffer.data(), nullptr, 1), 7);
  EXPECT_EQ(lib.SignMemSeparate(buffer.data(), 5, nullptr, buffer.data()), 7);
  EXPECT_EQ(lib.SignMemSeparateEx(buffer.data(), -1, &length, "001700000101", buffer.data()), 10);
  EXPECT_EQ(lib.CheckMemSeparate(buffer.data(), 5, 0, &count, &status, buffer.data()), 10);
  EXPECT_EQ(lib.CheckMemSeparate(buffer.data(), 5, 5, nullptr, &status, buffer.data()), 7);
  EXPECT_EQ(lib.CryptoInit("", nullptr), 7);
  EXPECT_EQ(lib.EnCryptFile(nullptr, nullptr, 1, list, ""), 7);
  EXPECT_EQ(lib.DeCryptFile(nullptr, nullptr, 1), 7);
  EXPECT_EQ(lib.GetCryptKeysF(nullptr, list, &length), 7);
  EXPECT_EQ(lib.GetCryptKeysM(buffer.data(), 5, nullptr, &length), 7);
  EXPECT_EQ(lib.DeCryptMem(buffer.data(), nullptr, 1), 7);
  length = -3;
  EXPECT_EQ(lib.DeCryptMem(buffer.data(), &length, 1), 10);
  EXPECT_EQ(lib.EnCryptMem(nullptr, 5, buffer.data(), 1, list, ""), 7);
  EXPECT_EQ(lib.EnCryptMem(buffer.data(), 0, buffer.data(), 1, list, ""), 10);
  const uint16_t empty[] = {0};
  EXPECT_EQ(lib.EnCryptMem(buffer.data(), 5, buffer.data(), 1, empty, ""), 7);
  EXPECT_EQ(lib.EnCryptMem(buffer.data(), 5, buffer.data(), 1, list, "12AB"), 7);
  EXPECT_EQ(lib.GetFileSenderID(nullptr, text), 7);
  EXPECT_EQ(lib.GetMemSenderID(buffer.data(), 5, nullptr), 7);
  EXPECT_EQ(lib.AddOpenKey(nullptr, buffer.data(), "0017000001", 'E'), 7);
  EXPECT_EQ(lib.AddOpenKey("x", nullptr, "0017000001", 'E'), 7);
  EXPECT_EQ(lib.AddOpenKey("x", buffer.data(), "0017000001", 'Q'), 7);
  EXPECT_EQ(lib.GetAlias(nullptr, text), 7);
  EXPECT_EQ(lib.ExtractKey("x", "0017", buffer.data()), 7);
  EXPECT_EQ(lib.ExtractKey("x", "0017000001", nullptr), 7);
  EXPECT_EQ(lib.DelOpenKey("x", "0017000001", nullptr, 'E'), 7);
  EXPECT_EQ(lib.SignDone(), 0);
  EXPECT_EQ(lib.CryptoDone(), 0);
}

TEST_P(ProviderLibrary, FileEntryPointsWorkOnWholeFiles) {
  TwoUsers();
  const std::string plain = tmp.File("plain.txt"), enc = tmp.File("plain.enc"),
                    dec = tmp.File("plain.dec"), signedFile = tmp.File("plain.sig");
  WriteFile(plain, Bytes{'h', 'e', 'l', 'l', 'o'});
  const uint16_t toB[] = {42, 0};
  ASSERT_EQ(lib.CryptoInit("", dirA.c_str()), 0);
  ASSERT_EQ(lib.EnCryptFile(plain.c_str(), enc.c_str(), 17, toB, ""), 0);
  char sender[11] = {};
  EXPECT_EQ(lib.GetFileSenderID(enc.c_str(), sender), 0);
  EXPECT_STREQ(sender, "0017000001");
  uint16_t numbers[1];
  int32_t count = 1;
  EXPECT_EQ(lib.GetCryptKeysF(enc.c_str(), numbers, &count), 0);
  EXPECT_EQ(numbers[0], 42);
  ASSERT_EQ(lib.CryptoInit("", dirB.c_str()), 0);
  ASSERT_EQ(lib.DeCryptFile(enc.c_str(), dec.c_str(), 42), 0);
  EXPECT_EQ(ReadFile(dec), ReadFile(plain));
  EXPECT_EQ(lib.DeCryptFile(tmp.File("none").c_str(), dec.c_str(), 42), 21);
  lib.CryptoDone();

  ASSERT_EQ(lib.SignLogIn(a.signature.id.c_str()), 0);
  ASSERT_EQ(lib.SignFile(plain.c_str(), signedFile.c_str(), a.signature.id.c_str()), 0);
  ASSERT_EQ(lib.SignInit("", dirB.c_str()), 0);
  uint8_t n = 0;
  KestrelSignStatus *status = nullptr;
  ASSERT_EQ(lib.check_file_sign(signedFile.c_str(), &n, &status), 0);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(status[0].Verdict, 0);
  lib.FreeMemory(status);
  ASSERT_EQ(lib.DelSign(signedFile.c_str(), 1), 0);
  EXPECT_EQ(ReadFile(signedFile), ReadFile(plain));
  // SignMem signs with the logged-in key.
  Bytes block(5 + 353, 'z');
  int32_t length = 5;
  ASSERT_EQ(lib.SignMem(block.data(), &length), 0);
  ASSERT_EQ(lib.check_mem_sign(block.data(), length, &n, &status), 0);
  EXPECT_EQ(std::string(status[0].Signer, 12), a.signature.id);
  lib.FreeMemory(status);
  char alias[13] = {};
  EXPECT_EQ(lib.GetAlias(a.signature.id.c_str(), alias), 0);
  EXPECT_EQ(std::string(alias), a.signature.id);
  lib.SignDone();
}

INSTANTIATE_TEST_SUITE_P(Generations, ProviderLibrary, testing::Values(4, 5),
                         [](const testing::TestParamInfo<int> &info) {
                           return "Generation" + std::to_string(info.param);
                         });

} // namespace
