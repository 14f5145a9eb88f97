// The device-wait loop on its own, with a scripted library call.
#include "kestrel/device_wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_log;

void CE_STDCALL RecordRequest(int32_t state) {
  g_log.push_back("TM(" + std::to_string(state) + ")");
}

// A library call that answers with the scripted results, then with `last`.
struct TScriptedCall {
  std::deque<int32_t> Results;
  int32_t Last = 0;
  int32_t operator()() {
    g_log.push_back("call");
    if (Results.empty())
      return Last;
    const int32_t result = Results.front();
    Results.pop_front();
    return result;
  }
};

using Log = std::vector<std::string>;

TEST(DeviceWait, KeyDeviceNamesAreMatchedExactlyAfterUpperCasingLatinLetters) {
  for (const char *name : {"TM:A4.P", "TM:COM0", "TM:COM1", "TM:COM2", "SC:GSR4", "SC:TOWT",
                           "tm:com1", "Sc:Towt", "tm:a4.p"})
    EXPECT_TRUE(IsKeyDevice(name)) << name;
  for (const char *name :
       {"", "A:\\", "a:", "TM:COM3", "TM:COM1 ", " TM:COM1", "TM:COM1\\", "TM-COM1", "SC:GSR"})
    EXPECT_FALSE(IsKeyDevice(name)) << name;
}

TEST(DeviceWait, DeviceWaitCodesAreExactlyTheKeyReadingFailures) {
  std::vector<int32_t> waitCodes;
  for (int32_t code = -200; code <= 1200; ++code)
    if (IsDeviceWaitCode(code))
      waitCodes.push_back(code);
  EXPECT_EQ(waitCodes, (std::vector<int32_t>{6, 34, 35, 36, 101, 105, 106}));
  EXPECT_FALSE(IsAnyFailure(0));
  EXPECT_TRUE(IsAnyFailure(-3));
  EXPECT_TRUE(IsAnyFailure(7));
}

TEST(DeviceWait, WithoutAWindowTheCallIsMadeOnce) {
  struct {
    const char *Path;
    CE_TM_REQUEST_FUNC Request;
    int32_t Result;
  } cases[] = {
      {"A:\\", RecordRequest, 36},   // no key device named
      {"TM:COM1", nullptr, 36},      // no request function set
      {"TM:COM1", RecordRequest, 7}, // a result that does not wait for the device
      {"TM:COM1", RecordRequest, 0}, // success
  };
  for (const auto &c : cases) {
    g_log.clear();
    TScriptedCall call{{}, c.Result};
    EXPECT_EQ(RunDeviceWaitLoop(c.Path, 5, c.Request, IsDeviceWaitCode, std::ref(call)), c.Result);
    EXPECT_EQ(g_log, Log{"call"}) << c.Path << " " << c.Result;
  }
}

TEST(DeviceWait, DeviceThatAppearsEndsTheWaitWithoutAFurtherCall) {
  g_log.clear();
  TScriptedCall call{{106, 36}, 0};
  EXPECT_EQ(RunDeviceWaitLoop("sc:gsr4", 5, RecordRequest, IsDeviceWaitCode, std::ref(call)), 0);
  EXPECT_EQ(g_log, (Log{"call", "TM(0)", "call", "call", "TM(1)"}));
}

TEST(DeviceWait, OtherErrorsWhileWaitingAreRetriedUntilTheTimeOut) {
  g_log.clear();
  TScriptedCall call{{36}, 7};
  EXPECT_EQ(RunDeviceWaitLoop("TM:COM2", 1, RecordRequest, IsDeviceWaitCode, std::ref(call)), 7);
  ASSERT_GE(g_log.size(), 4u);
  EXPECT_EQ(std::count(g_log.begin(), g_log.end(), "TM(0)"), 1);
  EXPECT_EQ(g_log.back(), "TM(1)");
  // Every retry waits for the device: a one-second wait holds a few calls.
  EXPECT_LE(std::count(g_log.begin(), g_log.end(), "call"), 5);
}

TEST(DeviceWait, RequestIsWithdrawnWhenTheCallThrows) {
  g_log.clear();
  int calls = 0;
  const auto call = [&]() -> int32_t {
    g_log.push_back("call");
    if (++calls == 2)
      throw std::runtime_error("library fault");
    return 35;
  };
  EXPECT_THROW(RunDeviceWaitLoop("TM:COM0", 5, RecordRequest, IsDeviceWaitCode, call),
               std::runtime_error);
  EXPECT_EQ(g_log, (Log{"call", "TM(0)", "call", "TM(1)"}));
}

} // namespace
