// Gives every test a fresh module: a module instance of its own from before
// its fixture is made until after it is gone, and the process's library
// search path as the test found it.
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace {

bool g_providerPinned = false;

// Setting a root puts its directories in front of the process's "Path"
// (which Windows searches for a library named without a directory, and
// which processes a test starts inherit). The module keeps that for the
// process; a test's root goes with its module, so the next test does not
// find the libraries of an earlier test's root through it.
class TSearchPathRestorer {
public:
  TSearchPathRestorer() : FSaved(platform::GetEnvironment(kName)) {}
  ~TSearchPathRestorer() {
    if (FSaved)
      (void)platform::SetEnvironment(kName, *FSaved);
    else
      (void)platform::UnsetEnvironment(kName);
  }
  TSearchPathRestorer(const TSearchPathRestorer &) = delete;
  TSearchPathRestorer &operator=(const TSearchPathRestorer &) = delete;

private:
  static constexpr const char *kName = "Path";
  std::optional<std::string> FSaved;
};

class FreshModulePerTest : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo &) override {
    searchPath_ = std::make_unique<TSearchPathRestorer>();
    module_ = std::make_unique<TModuleInstance>();
    g_providerPinned = platform::LoadedModule("kestrel.dll") != nullptr;
  }
  void OnTestEnd(const testing::TestInfo &) override {
    module_.reset();
    searchPath_.reset();
  }

  std::unique_ptr<TSearchPathRestorer> searchPath_;
  std::unique_ptr<TModuleInstance> module_;
};

class ResetPerTest : public testing::EmptyTestEventListener {
public:
  explicit ResetPerTest(void (*reset)()) : reset_(reset) {}

private:
  void OnTestStart(const testing::TestInfo &) override { reset_(); }
  void (*reset_)();
};

const bool registered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new FreshModulePerTest);
  return true;
}();

} // namespace

bool cetest::ResetBeforeEachTest(void (*reset)()) {
  testing::UnitTest::GetInstance()->listeners().Append(new ResetPerTest(reset));
  return true;
}

bool cetest::ProviderPinnedInProcess() { return g_providerPinned; }
