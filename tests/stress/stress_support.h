// Shared by the stress, fault and tampering tests: users of the project's
// provider (keys made by the provider's key tool, a public key directory per
// user), engines opened and configured through the module's exports, and a
// watchdog that turns a hang into a failure.
#pragma once

#include "include/ce_kestrel.h"
#include "tests/support/test_root.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace cestress {

struct TKeyUser {
  std::string Number;    // "0001"
  std::string EncodeUID; // "0001000001"
  std::string SignUID;   // "000100000101"
  std::string Device;    // key folder (module form)
  std::string PublicDir; // public key directory (module form)
  std::string KeyFiles;  // where the public key files are (module form)

  std::string EncodePublicFile() const { return KeyFiles + "\\" + EncodeUID + ".pub"; }
  std::string SignPublicFile() const { return KeyFiles + "\\" + SignUID + ".pub"; }
};

// True when the provider of the generation and its key tool were built.
bool ProviderWithKeyToolAvailable(cetest::Provider provider = cetest::Provider::Kestrel4);

// Makes the user's keys (of the provider's generation) and an empty public
// key directory under the root. Fails the test (fatally) when the key tool
// does not.
void MakeKeyUser(const cetest::TestRoot &root, const std::string &number, TKeyUser &user,
                 cetest::Provider provider = cetest::Provider::Kestrel4);

// An engine of the module (GetCryptObj), freed with DoneEngine.
class TEngine {
public:
  TEngine();
  ~TEngine();
  TEngine(const TEngine &) = delete;
  TEngine &operator=(const TEngine &) = delete;
  CE_HANDLE Handle() const { return FHandle; }
  // Sets the parameters of the user's keys and directory.
  void Configure(const TKeyUser &user);
  void Set(int32_t param, const std::string &value);

private:
  CE_HANDLE FHandle;
};

// Puts the public keys of `of` into the directory of the engine's user.
void IncludeKeys(TEngine &into, const TKeyUser &of);

// Bytes that differ from call to call of one generator.
std::string Pattern(std::size_t size, uint32_t seed);

// The text of a result code, as the host reads it.
std::string ErrorText(CE_HANDLE engine, int32_t code);

// Ends the process with a message (a failed test) when it is not destroyed
// within the limit: a deadlock fails the test instead of hanging it.
class TWatchdog {
public:
  TWatchdog(std::chrono::seconds limit, std::string what);
  ~TWatchdog();
  TWatchdog(const TWatchdog &) = delete;
  TWatchdog &operator=(const TWatchdog &) = delete;

private:
  std::mutex FMutex;
  std::condition_variable FDone;
  bool FFinished = false;
  std::thread FThread;
};

} // namespace cestress
