// The benchmarks' world: a temporary root with a sender (key number 0001)
// and up to 64 recipients (0002 onwards), made with kestrel-keys, their
// public key directories filled through the module, host sessions on the
// module, and a private copy of the provider library for calling its entry
// points directly. Built once per process, removed at exit.
#pragma once

#include "host/module_api.h"
#include "host/session.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace bench {

constexpr int kMaxRecipients = 64;

struct User {
  std::string number; // four digits
  std::string encodeUid;
  std::string signUid;
  std::filesystem::path keys; // key device directory
  std::filesystem::path publicDir;
  cehost::Profile profile;
};

// The provider's entry points as the benchmarks call them (POSIX calling
// convention; provider/include/kestrel.h cannot share a unit with the
// module's header, which declares exports of the same names).
struct SignStatus {
  char Signer[12];
  std::uint8_t Reserved[123];
  std::uint8_t Verdict;
};

struct Provider {
  using U16 = std::uint16_t;
  U16 (*InitKey)(const char *, const char *) = nullptr;
  U16 (*ResetKeyEx)(const char *, std::int32_t) = nullptr;
  U16 (*FreeMemory)(void *) = nullptr;
  U16 (*SignInit)(const char *, const char *) = nullptr;
  U16 (*SignDone)() = nullptr;
  U16 (*SignMemEx)(void *, std::int32_t *, const char *) = nullptr;
  U16 (*check_mem_sign)(const void *, std::int32_t, std::uint8_t *, SignStatus **) = nullptr;
  U16 (*Del_Mem_Sign)(void *, std::int32_t *, std::int32_t) = nullptr;
  U16(*SignMemSeparateEx)
  (const void *, std::int32_t, std::int32_t *, const char *, void *) = nullptr;
  U16(*CheckMemSeparate)
  (const void *, std::int32_t, std::int32_t, std::uint8_t *, SignStatus **, const void *) = nullptr;
  U16 (*CryptoInit)(const char *, const char *) = nullptr;
  U16 (*CryptoDone)() = nullptr;
  U16 (*EnCryptMem)(const void *, std::int32_t, void *, U16, const U16 *, const char *) = nullptr;
  U16 (*DeCryptMem)(void *, std::int32_t *, U16) = nullptr;
};

class World {
public:
  // The process-wide world; throws std::runtime_error when it cannot be made.
  static World &Get();

  ~World();
  World(const World &) = delete;
  World &operator=(const World &) = delete;

  const User &Sender() const { return users_[0]; }
  const User &Recipient(int i = 0) const { return users_[static_cast<std::size_t>(i) + 1]; }
  // "0002;0003;..." for the first n recipients.
  std::string RecipientList(int n) const;
  std::vector<std::uint16_t> RecipientNumbers(int n) const; // closed by 0

  cehost::ModuleApi &Api() { return *api_; }
  // Host sessions: the sender's with its keys cached, one whose keys are
  // reloaded for every call, the recipient's, and `extra` more of the
  // sender's (one engine per host thread).
  cehost::Session &SenderSession() { return *sessions_[0]; }
  cehost::Session &ReloadingSession() { return *sessions_[1]; }
  cehost::Session &RecipientSession() { return *sessions_[2]; }
  cehost::Session &SenderEngine(int i) { return *sessions_[3 + static_cast<std::size_t>(i)]; }

  // A private copy of the provider library, so its key slots are its own.
  // The sender's keys are in slot 0, the first recipient's in slot 1.
  Provider &Direct() { return direct_; }

  const std::filesystem::path &Root() const { return root_; }

  // A session of the sender whose public key directory holds `entries`
  // keys: the first recipient's encryption key, the sender's signature key
  // and other correspondents' keys (made once, written by the provider's
  // own format code under the sender's directory key).
  cehost::Session &SizedDirectorySession(int entries);

private:
  World();
  User MakeUser(const std::string &number);
  void Include(cehost::Session &session, const User &of, bool signatureKey);
  void LoadDirectProvider();

  std::filesystem::path root_;
  std::filesystem::path exchange_;
  std::vector<User> users_;
  std::unique_ptr<cehost::ModuleApi> api_;
  std::vector<std::unique_ptr<cehost::Session>> sessions_;
  std::map<int, std::unique_ptr<cehost::Session>> sized_;
  platform::ModuleHandle directHandle_ = nullptr;
  Provider direct_;
};

// The path of a program built beside the benchmarks (kestrel-keys).
std::string ProgramPath(const std::string &name);

// Throws std::runtime_error with the module's text unless code is 0.
void Check(cehost::Session &session, int32_t code, const char *what);
void CheckProvider(int code, const char *what);

} // namespace bench
