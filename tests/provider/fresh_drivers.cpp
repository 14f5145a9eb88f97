// Every test of the provider starts with empty key drivers, as it would in a
// process of its own: the built libraries stay loaded once a test has loaded
// them, and so do the keys a test left in their drivers. The drivers are
// emptied through the libraries' own entry points, and the linked core's
// driver directly.
#include "provider_test_support.h"

#include <cstring>
#include <string>

namespace {

// Both generations' libraries have the same file name, so each is reached
// by its path; loading one that no test has loaded yet changes nothing, its
// driver is empty.
void EmptyDriverOf(int generation) {
  const provider_test::Library lib(provider_test::LibraryPath(generation));
  if (lib.GetDrvInfo == nullptr || lib.ResetKeyEx == nullptr)
    return; // not built: the tests that need it say so
  KestrelSlotInfo table[KESTREL_MAX_SLOTS] = {};
  int32_t count = 0;
  ASSERT_EQ(lib.GetDrvInfo(table, &count), 0);
  for (int32_t i = 0; i < count && i < KESTREL_MAX_SLOTS; ++i) {
    const std::string number(table[i].Num, ::strnlen(table[i].Num, sizeof table[i].Num));
    EXPECT_EQ(lib.ResetKeyEx(number.c_str(), 1), 0) << number;
  }
  count = -1;
  ASSERT_EQ(lib.GetDrvInfo(table, &count), 0);
  EXPECT_EQ(count, 0) << lib.Path() << " still holds keys";
}

class FreshDrivers : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo &) override {
    EmptyDriverOf(4);
    EmptyDriverOf(5);
    kestrel_provider::KeyDriver::Instance().Clear();
  }
};

// GoogleTest owns the listeners it is given.
const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshDrivers);
  return true;
}();

} // namespace
