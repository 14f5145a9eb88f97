// Gives every test a fresh module: a module instance of its own from before
// its fixture is made until after it is gone.
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

bool g_providerPinned = false;

class FreshModulePerTest : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo &) override {
    module_ = std::make_unique<TModuleInstance>();
    g_providerPinned = platform::LoadedModule("kestrel.dll") != nullptr;
  }
  void OnTestEnd(const testing::TestInfo &) override { module_.reset(); }

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
