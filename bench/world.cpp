// Building the benchmarks' world: users, directories, sessions and the
// provider copy.
#include "bench/world.h"

#include "directory.h"
#include "formats.h"
#include "key_driver.h"
#include "keygen.h"
#include "platform/cp1251.h"
#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>

namespace bench {
namespace fs = std::filesystem;

std::string ProgramPath(const std::string &name) { return platform::ExecutableDirectory() + name; }

void Check(cehost::Session &session, int32_t code, const char *what) {
  if (code != 0)
    throw std::runtime_error(std::string(what) + ": " + session.ErrorText(code) + " (code " +
                             std::to_string(code) + ")");
}

void CheckProvider(int code, const char *what) {
  if (code != 0)
    throw std::runtime_error(std::string(what) + ": provider code " + std::to_string(code));
}

World &World::Get() {
  static World world;
  return world;
}

World::World() {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  root_ = fs::temp_directory_path() / ("ce-bench-" + std::to_string(stamp));
  exchange_ = root_ / "exchange";
  fs::create_directories(exchange_);
  for (int i = 0; i <= kMaxRecipients; ++i) {
    char number[8];
    std::snprintf(number, sizeof number, "%04d", i + 1);
    users_.push_back(MakeUser(number));
  }

  api_ = std::make_unique<cehost::ModuleApi>(cehost::DefaultModulePath());
  if (!api_->Loaded())
    throw std::runtime_error("cannot load the module: " + api_->Error());
  cehost::Profile reloading = Sender().profile;
  reloading.values["Last operation key time out"].assign(1, '0');
  sessions_.push_back(std::make_unique<cehost::Session>(*api_, Sender().profile));
  sessions_.push_back(std::make_unique<cehost::Session>(*api_, reloading));
  sessions_.push_back(std::make_unique<cehost::Session>(*api_, Recipient().profile));
  for (int i = 0; i < 8; ++i)
    sessions_.push_back(std::make_unique<cehost::Session>(*api_, Sender().profile));

  // The sender encrypts for every recipient and checks its own signatures;
  // the first recipient decrypts from the sender and checks its signatures.
  Include(SenderSession(), Sender(), true);
  Include(SenderSession(), Sender(), false);
  for (int i = 0; i < kMaxRecipients; ++i)
    Include(SenderSession(), Recipient(i), false);
  Include(RecipientSession(), Sender(), true);
  Include(RecipientSession(), Sender(), false);
  Include(RecipientSession(), Recipient(), false);
  LoadDirectProvider();
}

World::~World() {
  sized_.clear();
  sessions_.clear();
  api_.reset();
  if (directHandle_ != nullptr)
    platform::FreeLibraryHandle(directHandle_);
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

User World::MakeUser(const std::string &number) {
  User user;
  user.number = number;
  const fs::path home = root_ / ("user" + number);
  user.keys = home / "keys";
  user.publicDir = home / "public";
  fs::create_directories(user.keys);
  fs::create_directories(user.publicDir);
  const fs::path log = home / "keys.log";
  const std::string command = "\"" + ProgramPath("kestrel-keys") + "\" new --device \"" +
                              user.keys.string() + "\" --number " + number + " --public-out \"" +
                              exchange_.string() + "\" > \"" + log.string() + "\" 2>&1";
  if (std::system(command.c_str()) != 0)
    throw std::runtime_error("kestrel-keys failed for " + number);
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("encode-uid=", 0) == 0)
      user.encodeUid = line.substr(11);
    else if (line.rfind("sign-uid=", 0) == 0)
      user.signUid = line.substr(9);
  }
  if (user.encodeUid.size() != 10 || user.signUid.size() != 12)
    throw std::runtime_error("kestrel-keys gave no identifiers for " + number);
  cehost::Profile &p = user.profile;
  p.rootPath = root_.string();
  p.values["Path to secret"] = user.keys.string();
  p.values["Path to public"] = user.publicDir.string();
  p.values["Key device"] = user.keys.string();
  p.values["Encode UID"] = user.encodeUid;
  p.values["Sign UID"] = user.signUid;
  p.values["Key request time out"] = "36000";
  p.values["Last operation key time out"] = "36000";
  return user;
}

void World::Include(cehost::Session &session, const User &of, bool signatureKey) {
  const std::string file =
      (exchange_ / ((signatureKey ? of.signUid : of.encodeUid) + ".pub")).string();
  const std::string name = platform::Utf8ToCp1251(file);
  Check(session,
        signatureKey ? api_->IncludePublicKey(session.Handle(), name.c_str())
                     : api_->IncludePublicEncodeKey(session.Handle(), name.c_str()),
        "including a public key");
}

void World::LoadDirectProvider() {
  const fs::path source =
      fs::path(platform::ExecutableDirectory()) / ".." / "lib" / "libkestrel.so";
  const fs::path copy = root_ / "direct" / "libkestrel.so";
  fs::create_directories(copy.parent_path());
  fs::copy_file(source, copy);
  directHandle_ = platform::LoadLibraryFile(copy.string());
  if (directHandle_ == nullptr)
    throw std::runtime_error("cannot load " + copy.string());
  auto bind = [&](auto &slot, const char *name) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
        platform::FindSymbol(directHandle_, name));
    if (slot == nullptr)
      throw std::runtime_error(std::string("the provider has no ") + name);
  };
  Provider &p = direct_;
  bind(p.InitKey, "InitKey");
  bind(p.ResetKeyEx, "ResetKeyEx");
  bind(p.FreeMemory, "FreeMemory");
  bind(p.SignInit, "SignInit");
  bind(p.SignDone, "SignDone");
  bind(p.SignMemEx, "SignMemEx");
  bind(p.check_mem_sign, "check_mem_sign");
  bind(p.Del_Mem_Sign, "Del_Mem_Sign");
  bind(p.SignMemSeparateEx, "SignMemSeparateEx");
  bind(p.CheckMemSeparate, "CheckMemSeparate");
  bind(p.CryptoInit, "CryptoInit");
  bind(p.CryptoDone, "CryptoDone");
  bind(p.EnCryptMem, "EnCryptMem");
  bind(p.DeCryptMem, "DeCryptMem");
  CheckProvider(p.InitKey(Sender().keys.string().c_str(), ""), "InitKey (sender)");
  CheckProvider(p.InitKey(Recipient().keys.string().c_str(), ""), "InitKey (recipient)");
}

cehost::Session &World::SizedDirectorySession(int entries) {
  using namespace kestrel_provider;
  if (auto found = sized_.find(entries); found != sized_.end())
    return *found->second;
  std::ifstream keyFile(Sender().keys / std::string(kEncryptionKeyFile), std::ios::binary);
  Bytes secret((std::istreambuf_iterator<char>(keyFile)), std::istreambuf_iterator<char>());
  SecretKeyFile owner;
  if (ParseSecretKeyFile(secret.data(), secret.size(), owner) != 0)
    throw std::runtime_error("cannot read the sender's key file");
  const auto block = [&](const std::string &id) {
    std::ifstream in(exchange_ / (id + ".pub"), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  DirectoryFile file{Generation::G4, owner.id, {}};
  file.version = 1;
  crypto::RandomBytes(file.identity.data(), file.identity.size());
  const auto add = [&](Bytes bytes) {
    DirectoryEntry entry;
    entry.block = std::move(bytes);
    entry.maker = owner.id;
    file.entries.push_back(std::move(entry));
  };
  add(block(Recipient().encodeUid));
  add(block(Sender().signUid));
  for (int i = 2; i < entries; ++i) {
    // Numbers 5000-9999 of series 9xxxxx: none of the world's users.
    char number[8], series[8];
    std::snprintf(number, sizeof number, "%04d", 5000 + i % 5000);
    std::snprintf(series, sizeof series, "9%05d", i / 5000);
    add(GenerateKeys(Generation::G4, number, series).encryptionPublic);
  }
  const fs::path dir = root_ / ("directory-" + std::to_string(entries));
  fs::create_directories(dir);
  const Bytes data = BuildDirectory(file, DirectoryKey(owner.privateKey, owner.id));
  std::ofstream(dir / std::string(kDirectoryFileName), std::ios::binary)
      .write(reinterpret_cast<const char *>(data.data()),
             static_cast<std::streamsize>(data.size()));
  cehost::Profile profile = Sender().profile;
  profile.values["Path to public"] = dir.string();
  return *(sized_[entries] = std::make_unique<cehost::Session>(*api_, profile));
}

std::string World::RecipientList(int n) const {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0)
      out.push_back(';');
    out.append(Recipient(i).number);
  }
  return out;
}

std::vector<std::uint16_t> World::RecipientNumbers(int n) const {
  std::vector<std::uint16_t> out;
  for (int i = 0; i < n; ++i)
    out.push_back(static_cast<std::uint16_t>(std::stoi(Recipient(i).number)));
  out.push_back(0);
  return out;
}

} // namespace bench
