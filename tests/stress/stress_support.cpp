#include "tests/stress/stress_support.h"

#include "engine/kestrel4_engine.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace cestress {

bool ProviderWithKeyToolAvailable(cetest::Provider provider) {
#if defined(CE_TEST_KEY_TOOL)
  // The key tool is built with the tests whenever its path is defined.
  return cetest::ProviderAvailable(provider);
#else
  (void)provider;
  return false;
#endif
}

void MakeKeyUser(const cetest::TestRoot &root, const std::string &number, TKeyUser &user,
                 cetest::Provider provider) {
#if defined(CE_TEST_KEY_TOOL)
  const std::string device = "device" + number;
  const std::string files = "files" + number;
  const std::string directory = "public" + number;
  const cetest::ProgramRun run = cetest::RunProgram(
      CE_TEST_KEY_TOOL, {"new", "--device", (root.Native() / device).string(), "--number", number,
                         "--public-out", (root.Native() / files).string(), "--generation",
                         provider == cetest::Provider::Kestrel5 ? "5" : "4"});
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  user.Number = number;
  user.EncodeUID = number + "000001";
  user.SignUID = number + "00000101";
  ASSERT_NE(run.Output.find("encode-uid=" + user.EncodeUID), std::string::npos) << run.Output;
  user.Device = root.PathOf(device);
  user.KeyFiles = root.PathOf(files);
  std::filesystem::create_directories(root.Native() / directory);
  user.PublicDir = root.PathOf(directory);
#else
  (void)root;
  (void)number;
  (void)user;
  (void)provider;
  FAIL() << "the provider's key tool is not built";
#endif
}

TEngine::TEngine() : FHandle(GetCryptObj(0)) {}

TEngine::~TEngine() { DoneEngine(FHandle); }

void TEngine::Set(int32_t param, const std::string &value) {
  ASSERT_EQ(SetCryptoParamValue(FHandle, param, value.c_str()), 0) << "parameter " << param;
}

void TEngine::Configure(const TKeyUser &user) {
  Set(kParamPathToSecret, user.Device);
  Set(kParamKeyDevice, user.Device);
  Set(kParamPathToPublic, user.PublicDir);
  Set(kParamEncodeUID, user.EncodeUID);
  Set(kParamSignUID, user.SignUID);
}

void IncludeKeys(TEngine &into, const TKeyUser &of) {
  ASSERT_EQ(IncludePublicEncodeKey(into.Handle(), of.EncodePublicFile().c_str()), 0);
  ASSERT_EQ(IncludePublicKey(into.Handle(), of.SignPublicFile().c_str()), 0);
}

std::string Pattern(std::size_t size, uint32_t seed) {
  std::string data(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char &c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

std::string ErrorText(CE_HANDLE engine, int32_t code) {
  std::string text(static_cast<std::size_t>(GetMaxErrorStringLength(engine)) + 1, '\0');
  GetCryptoErrorString(engine, code, text.data());
  return text.c_str();
}

TWatchdog::TWatchdog(std::chrono::seconds limit, std::string what)
    : FThread([this, limit, what = std::move(what)] {
        std::unique_lock<std::mutex> lock(FMutex);
        if (!FDone.wait_for(lock, limit, [this] { return FFinished; })) {
          std::fprintf(stderr, "watchdog: %s did not finish within %lld s (deadlock?)\n",
                       what.c_str(), static_cast<long long>(limit.count()));
          std::fflush(stderr);
          std::_Exit(3);
        }
      }) {}

TWatchdog::~TWatchdog() {
  {
    const std::lock_guard<std::mutex> lock(FMutex);
    FFinished = true;
  }
  FDone.notify_all();
  FThread.join();
}

} // namespace cestress
