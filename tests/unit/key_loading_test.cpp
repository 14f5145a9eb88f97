// Key loading through the binding, with the call-recording double loaded as
// kestrel.dll: as a key driver that keeps a slot table (InitKey loads the
// device's keys into it, ResetKeyEx takes keys out), and as it is.
#include "include/ce_kestrel.h"
#include "kestrel/kestrel_dll.h"
#include "support/rgenutil.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using cetest::Slot;
using kestrel::TDriverSlotInfo;

const std::string kEncKey = "0001000001"; // the user's keys on the key device
const std::string kSignKey = "000100000101";
const std::string kOtherEnc = "0002000001"; // another user's keys in the driver
const std::string kOtherSign = "000200000101";

// The host's key-device request function notes each call in the double's
// log, in order with the library calls.
cetest::RecordingDouble *g_log = nullptr;
void CE_STDCALL RecordRequest(int32_t state) {
  if (g_log != nullptr)
    g_log->Note("TM(" + std::to_string(state) + ")");
}

bool StartsWith(const std::string &text, const std::string &prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The marker the log puts after a key path the caller ended with two NULs.
const std::string kSecondNul = "\\0";

// A binding over the double under a fresh root.
class DoubleBindingTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Dll.FAllEntryPoints);
    g_log = &Root.Double();
    Dll.FTMRequestFunc = RecordRequest;
    Root.Double().ClearLog();
  }
  void TearDown() override { g_log = nullptr; }
  cetest::RecordingDouble &Double() { return Root.Double(); }

  cetest::DoubleRoot Root;
  TKestrelDLL Dll{KestrelUnit()};
};

class KeyLoadingTest : public DoubleBindingTest {
protected:
  void SetUp() override {
    DoubleBindingTest::SetUp();
    Double().SetKeyDevice(kEncKey, kSignKey);
  }
  void TearDown() override {
    EXPECT_EQ(BadArguments() + FBadArguments, 0);
    EXPECT_EQ(Double().UnterminatedTexts(), 0);
    DoubleBindingTest::TearDown();
  }

  int32_t Load(const std::string &key, bool slot0, bool resetOnStart = true,
               const std::string &path = "A:\\", int32_t life = 60, int32_t idle = 5,
               int32_t wait = 5) {
    FBadArguments += BadArguments();
    Double().ClearLog();
    return Dll.LoadKey(key, slot0, path, {life, idle, resetOnStart, wait});
  }

  // The log in short: "GetDrvInfo", "InitKey(<key path>)",
  // "ResetKeyEx(<key number>)", and the requests "TM(<state>)".
  std::vector<std::string> CallsMade() {
    std::vector<std::string> calls;
    for (const std::string &line : Double().Log()) {
      const auto args = cetest::RecordingDouble::Arguments(line);
      if (line == "GetDrvInfo()")
        calls.push_back("GetDrvInfo");
      else if (StartsWith(line, "InitKey(") && !args.empty())
        calls.push_back("InitKey(" + WithoutSecondNul(args[0]) + ")");
      else if (StartsWith(line, "ResetKeyEx(") && !args.empty())
        calls.push_back("ResetKeyEx(" + args[0] + ")");
      else
        calls.push_back(line);
    }
    return calls;
  }
  // Calls with other arguments than the module always passes: a key path
  // with its second NUL and an empty second text, reset mode 1.
  int BadArguments() {
    int bad = 0;
    for (const std::string &line : Double().Log()) {
      const auto args = cetest::RecordingDouble::Arguments(line);
      if (StartsWith(line, "InitKey("))
        bad += args.size() != 2 || WithoutSecondNul(args[0]) == args[0] || args[1] != "";
      else if (StartsWith(line, "ResetKeyEx("))
        bad += args.size() != 2 || args[1] != "1";
    }
    return bad;
  }
  static std::string WithoutSecondNul(const std::string &path) {
    const bool marked =
        path.size() >= kSecondNul.size() &&
        path.compare(path.size() - kSecondNul.size(), kSecondNul.size(), kSecondNul) == 0;
    return marked ? path.substr(0, path.size() - kSecondNul.size()) : path;
  }
  std::string LastInitPath() {
    std::string path;
    for (const std::string &call : CallsMade())
      if (StartsWith(call, "InitKey("))
        path = call.substr(8, call.size() - 9);
    return path;
  }

  static std::vector<std::string> CachedKeys() {
    std::vector<std::string> keys;
    for (const auto &item : KestrelUnit().KeyCache)
      keys.push_back(item.first);
    return keys;
  }
  static TKeyCacheEntry &Entry(const std::string &key) {
    auto &cache = KestrelUnit().KeyCache;
    auto found = std::find_if(cache.begin(), cache.end(), [&](auto &i) { return i.first == key; });
    if (found == cache.end())
      throw std::runtime_error("not cached: " + key);
    return found->second;
  }
  long Count(const std::string &prefix) {
    const auto calls = CallsMade();
    return std::count_if(calls.begin(), calls.end(),
                         [&](const std::string &c) { return StartsWith(c, prefix); });
  }
  // A full driver of other users' keys, slots 0 to count - 1.
  static std::vector<TDriverSlotInfo> OtherKeys(int32_t count) {
    std::vector<TDriverSlotInfo> slots;
    for (int32_t i = 0; i < count; ++i) {
      const std::string n = std::to_string(1000 + i);
      slots.push_back(Slot(n + "000001", n + "00000101", i));
    }
    return slots;
  }

  int FBadArguments = 0;
};

using Calls = std::vector<std::string>;

TEST_F(KeyLoadingTest, KeyNumberOfWrongLengthIsRefusedWithoutLibraryCall) {
  for (const std::string key : {"00010000011", "", "0001", "0001000001011"})
    EXPECT_EQ(Load(key, true), TKestrelDLL::kBadUID) << key;
  EXPECT_TRUE(CallsMade().empty());
  EXPECT_TRUE(CachedKeys().empty());
}

TEST_F(KeyLoadingTest, AbsentKeyIsLoadedAndBothKeysOfItsRecordAreCached) {
  EXPECT_EQ(Load(kEncKey, false), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "InitKey(A:\\)", "GetDrvInfo"}));
  EXPECT_EQ(CachedKeys(), (Calls{kEncKey, kSignKey}));
  EXPECT_TRUE(KestrelUnit().KeyCachePrimed);

  // The signature key came with it and is used as it is.
  EXPECT_EQ(Load(kSignKey, false), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, KeyWithinItsLimitsIsUsedAndOnlyItsUseIsRecorded) {
  ASSERT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  const double loaded = Entry(kEncKey).LoadTime;
  ASSERT_EQ(Load(kEncKey, false, true, "A:\\", 100, 7), 0);
  EXPECT_EQ(Count("InitKey"), 0);
  EXPECT_EQ(Count("ResetKeyEx"), 0);
  EXPECT_EQ(Entry(kEncKey).LoadTime, loaded);
  EXPECT_EQ(Entry(kEncKey).LifeTime, 60);
  EXPECT_EQ(Entry(kEncKey).IdleTime, 7);
  EXPECT_EQ(Entry(kSignKey).IdleTime, 7);
  EXPECT_EQ(Entry(kSignKey).LifeTime, 60);
}

TEST_F(KeyLoadingTest, ZeroTimeOutsReloadTheKeyBeforeEveryOperation) {
  const Calls reload{"GetDrvInfo", "ResetKeyEx(0001000001)", "InitKey(A:\\)", "GetDrvInfo"};
  ASSERT_EQ(Load(kEncKey, false, true, "A:\\", 0, 5), 0);
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 0, 5), 0);
  EXPECT_EQ(CallsMade(), reload);
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 0), 0);
  EXPECT_EQ(CallsMade(), reload);
  // Loaded with an idle time of 0, the key keeps it until it is used again.
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  EXPECT_EQ(CallsMade(), reload);
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, ElapsedLifeOrIdleTimeReloadsTheKey) {
  ASSERT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  Entry(kEncKey).LastUseTime -= 6 * kSecondInDays;
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  EXPECT_EQ(Count("ResetKeyEx"), 1);
  EXPECT_EQ(Count("InitKey"), 1);

  Entry(kEncKey).LoadTime -= 61 * kSecondInDays;
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  EXPECT_EQ(Count("InitKey"), 1);
}

TEST_F(KeyLoadingTest, ResetOnStartReloadsKeysAlreadyInTheDriver) {
  Double().SetSlots({Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 2)});
  EXPECT_EQ(Load(kEncKey, false, true), 0);
  EXPECT_EQ(CallsMade(),
            (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "InitKey(A:\\)", "GetDrvInfo"}));
  EXPECT_EQ(CachedKeys(), (Calls{kEncKey, kSignKey}));
}

TEST_F(KeyLoadingTest, NoResetOnStartAdoptsKeysAlreadyInTheDriver) {
  Double().SetSlots({Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 2)});
  EXPECT_EQ(Load(kEncKey, false, false), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "GetDrvInfo"}));
  EXPECT_EQ(CachedKeys(), (Calls{kOtherEnc, kOtherSign, kEncKey, kSignKey}));
  EXPECT_TRUE(KestrelUnit().KeyCachePrimed);
}

TEST_F(KeyLoadingTest, CachedKeyInSlot3FreesSlot0FirstThenReloadsItself) {
  Double().SetSlots({Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 3)});
  EXPECT_EQ(Load(kEncKey, true, false), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "ResetKeyEx(0002000001)", "ResetKeyEx(0001000001)",
                                "InitKey(A:\\)", "GetDrvInfo"}));
  EXPECT_EQ(Double().Slots().back().SlotNo, 0);
}

TEST_F(KeyLoadingTest, UncachedKeyInSlot3IsResetFirstThenSlot0IsFreed) {
  Double().SetSlots({Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 3)});
  EXPECT_EQ(Load(kEncKey, true, true), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "ResetKeyEx(0002000001)",
                                "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, KeyAlreadyInSlot0NeedsNoSlotFreed) {
  Double().SetSlots({Slot(kEncKey, kSignKey, 0), Slot(kOtherEnc, kOtherSign, 1)});
  EXPECT_EQ(Load(kEncKey, true, false), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, FullDriverFreesSlot0BeforeInitKey) {
  Double().SetSlots(OtherKeys(kestrel::kMaxDriverSlots));
  EXPECT_EQ(Load(kEncKey, false, true), 0);
  EXPECT_EQ(CallsMade(),
            (Calls{"GetDrvInfo", "ResetKeyEx(1000000001)", "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, ResettingTheKeyItselfMakesRoomInAFullDriver) {
  auto slots = OtherKeys(kestrel::kMaxDriverSlots - 1);
  slots.push_back(Slot(kEncKey, kSignKey, 15));
  Double().SetSlots(slots);
  EXPECT_EQ(Load(kEncKey, false, true), 0);
  EXPECT_EQ(CallsMade(),
            (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, FreeSlot0TriesTheSignatureKeyWhenTheEncryptionKeyIsRefused) {
  Double().SetSlots({Slot(kOtherEnc, kOtherSign, 0)});
  Double().PushResult("ResetKeyEx", 39); // the encryption key's reset is refused
  EXPECT_EQ(Load(kEncKey, true), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "ResetKeyEx(0002000001)", "ResetKeyEx(000200000101)",
                                "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, DriverRefusingAResetGivesMinus6AndLoadsNothing) {
  Double().SetSlots({Slot(kOtherEnc, kOtherSign, 0)});
  Double().SetResult("ResetKeyEx", 39); // every reset is refused
  EXPECT_EQ(Load(kEncKey, true), TKestrelDLL::kKeyDriverError);
  EXPECT_EQ(Count("InitKey"), 0);

  Double().SetSlots({Slot(kEncKey, kSignKey, 4)});
  EXPECT_EQ(Load(kEncKey, false), TKestrelDLL::kKeyDriverError);
  EXPECT_EQ(Count("InitKey"), 0);
  EXPECT_TRUE(CachedKeys().empty());
}

TEST_F(KeyLoadingTest, CachedKeyNoLongerInTheDriverIsLoadedWithoutReset) {
  ASSERT_EQ(Load(kEncKey, false), 0);
  Double().SetSlots({}); // reset by somebody else
  EXPECT_EQ(Load(kEncKey, false), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, PathOfNoKeyDeviceGetsOneInitKeyAndTheFailureLeavesTheCache) {
  Double().PushResult("InitKey", 36);
  EXPECT_EQ(Load(kEncKey, false), 36);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "InitKey(A:\\)"}));
  EXPECT_TRUE(CachedKeys().empty());
  EXPECT_FALSE(KestrelUnit().KeyCachePrimed);
}

TEST_F(KeyLoadingTest, LowerCaseDeviceNameShowsTheRequestAndWithdrawsIt) {
  Double().PushResult("InitKey", 36);
  Double().PushResult("InitKey", 36);
  EXPECT_EQ(Load(kEncKey, false, true, "tm:com1"), 0);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "InitKey(tm:com1)", "TM(0)", "InitKey(tm:com1)",
                                "InitKey(tm:com1)", "TM(1)", "GetDrvInfo"}));
  // The retries wait for the device between attempts.
  const auto initTimes = Double().CallTimes("InitKey");
  ASSERT_EQ(initTimes.size(), 3u);
  for (std::size_t i = 1; i < initTimes.size(); ++i)
    EXPECT_GE(initTimes[i] - initTimes[i - 1], std::chrono::milliseconds(450));
}

TEST_F(KeyLoadingTest, WaitTimeOutCountsFromTheRequestAndTheRequestIsShownOnce) {
  // The first attempt alone takes longer than the wait time-out.
  Double().PushDelay("InitKey", std::chrono::milliseconds(1200));
  Double().SetResult("InitKey", 36);
  EXPECT_EQ(Load(kEncKey, false, true, "TM:COM1", 60, 5, 1), 36);
  EXPECT_GE(Count("InitKey"), 2);
  EXPECT_EQ(Count("TM(0)"), 1);
  EXPECT_EQ(Count("TM(1)"), 1);
  ASSERT_GE(CallsMade().size(), 3u);
  EXPECT_EQ(CallsMade()[2], "TM(0)");
  EXPECT_EQ(CallsMade().back(), "TM(1)");
  EXPECT_TRUE(CachedKeys().empty());
}

TEST_F(KeyLoadingTest, NamedDeviceWithoutRequestFunctionGetsOneAttempt) {
  Dll.FTMRequestFunc = nullptr;
  Double().PushResult("InitKey", 36);
  EXPECT_EQ(Load(kEncKey, false, true, "TM:COM1"), 36);
  EXPECT_EQ(CallsMade(), (Calls{"GetDrvInfo", "InitKey(TM:COM1)"}));
}

TEST_F(KeyLoadingTest, LongKeyPathIsCutTo255Characters) {
  const std::string path(300, 'p');
  EXPECT_EQ(Load(kEncKey, false, true, path), 0);
  EXPECT_EQ(LastInitPath(), path.substr(0, 255));
}

TEST_F(KeyLoadingTest, Generation5SlotRecordsAreConverted) {
  kestrel::TDriverSlotInfo5 record{};
  std::memcpy(record.Num, kEncKey.c_str(), kEncKey.size() + 1);
  std::memcpy(record.NumP, kSignKey.c_str(), kSignKey.size() + 1);
  record.SlotInfo = 0xFFFF;
  record.Spare[0] = 0xAB;
  record.Spare[1] = 0xCD;
  record.SlotNo = 3;
  unsigned char raw[kestrel::kSlotTableBytes] = {};
  std::memcpy(raw, &record, sizeof record);

  const auto table = TKestrelDLL::DecodeSlotTable(raw, 1, 5);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(std::string(table[0].Num), kEncKey);
  EXPECT_EQ(std::string(table[0].NumP), kSignKey);
  EXPECT_EQ(table[0].SlotInfo, 0xFFFF);
  EXPECT_EQ(table[0].SlotNo, 3);
  // Generation 4 reads the same bytes as one 32-bit field.
  EXPECT_NE(TKestrelDLL::DecodeSlotTable(raw, 1, 4)[0].SlotInfo, 0xFFFF);
}

TEST_F(KeyLoadingTest, SlotCountIsBoundedByTheTable) {
  unsigned char raw[kestrel::kSlotTableBytes] = {};
  EXPECT_EQ(TKestrelDLL::DecodeSlotTable(raw, 1000, 4).size(), 16u);
  EXPECT_EQ(TKestrelDLL::DecodeSlotTable(raw, -5, 5).size(), 0u);

  Double().SetReportedSlotCount(1000);
  EXPECT_EQ(Load(kEncKey, false, false), 0);
}

TEST_F(KeyLoadingTest, ClearKeyCacheEmptiesTheCacheButKeysInTheDriverAreNotAdoptedAgain) {
  Double().SetSlots({Slot(kEncKey, kSignKey, 0)});
  ASSERT_EQ(Load(kEncKey, false, false), 0);
  ASSERT_FALSE(CachedKeys().empty());

  ClearKeyCache();
  EXPECT_TRUE(CachedKeys().empty());
  EXPECT_TRUE(KestrelUnit().KeyCachePrimed);

  EXPECT_EQ(Load(kEncKey, false, false), 0);
  EXPECT_EQ(CallsMade(),
            (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "InitKey(A:\\)", "GetDrvInfo"}));
}

// The same call orders in the double's own log, its slot table as set.
class KeyLoadingWithDoubleTest : public DoubleBindingTest {
protected:
  std::vector<std::string> Log() { return Double().Log(); }
};

TEST_F(KeyLoadingWithDoubleTest, EncryptionKeyInSlot3CachedOrNot) {
  const auto table =
      std::vector{cetest::Slot(kOtherEnc, kOtherSign, 0), cetest::Slot(kEncKey, kSignKey, 3)};
  Root.Double().SetSlots(table);
  // Not in the cache: the key itself is reset first, then slot 0 is freed.
  EXPECT_EQ(Dll.LoadKey(kEncKey, true, "A:\\", {60, 5, true, 5}), 0);
  EXPECT_EQ(Log(),
            (Calls{"GetDrvInfo()", "ResetKeyEx(\"0001000001\",1)", "ResetKeyEx(\"0002000001\",1)",
                   "InitKey(\"A:\\\\0\",\"\")", "GetDrvInfo()"}));

  // Now cached but still reported in slot 3: slot 0 is freed first, then the
  // key is reset and loaded again.
  Root.Double().ClearLog();
  EXPECT_EQ(Dll.LoadKey(kEncKey, true, "A:\\", {60, 5, true, 5}), 0);
  EXPECT_EQ(Log(),
            (Calls{"GetDrvInfo()", "ResetKeyEx(\"0002000001\",1)", "ResetKeyEx(\"0001000001\",1)",
                   "InitKey(\"A:\\\\0\",\"\")", "GetDrvInfo()"}));
  EXPECT_TRUE(Double().CallsOf("TM").empty()); // no request for a plain path
}

TEST_F(KeyLoadingWithDoubleTest, LowerCaseDeviceWaitsBehindTheRequest) {
  Root.Double().PushResult("InitKey", 36);
  Root.Double().PushResult("InitKey", 36);
  EXPECT_EQ(Dll.LoadKey(kSignKey, false, "tm:com1", {60, 5, true, 5}), 0);
  EXPECT_EQ(Root.Double().CallsOf("InitKey"), Calls(3, "InitKey(\"tm:com1\\0\",\"\")"));
  EXPECT_EQ(Double().CallsOf("TM"), (Calls{"TM(0)", "TM(1)"}));
}

TEST_F(KeyLoadingWithDoubleTest, PlainPathGetsOneInitKeyAndBadNumberNoCall) {
  Root.Double().SetResult("InitKey", 36);
  EXPECT_EQ(Dll.LoadKey(kEncKey, true, "A:\\", {60, 5, true, 5}), 36);
  EXPECT_EQ(Root.Double().CallsOf("InitKey").size(), 1u);
  EXPECT_TRUE(Double().CallsOf("TM").empty());

  Root.Double().ClearLog();
  EXPECT_EQ(Dll.LoadKey("00010000011", true, "A:\\", {60, 5, true, 5}), TKestrelDLL::kBadUID);
  EXPECT_TRUE(Log().empty());
}

TEST(KeyLoadingWithDouble5, Generation5TableIsReadThroughTheConversion) {
  cetest::DoubleRoot root(cetest::Provider::Double5);
  TKestrelDLL dll(KestrelUnit());
  ASSERT_TRUE(dll.FAllEntryPoints);
  ASSERT_EQ(KestrelUnit().LoadedGeneration(), 5);
  kestrel::TDriverSlotInfo5 record{};
  std::memcpy(record.Num, kEncKey.c_str(), kEncKey.size() + 1);
  std::memcpy(record.NumP, kSignKey.c_str(), kSignKey.size() + 1);
  record.SlotInfo = 0x1234;
  record.Spare[0] = 0xFF;
  record.Spare[1] = 0xFF;
  record.SlotNo = 0;
  root.Double().SetOutput("GetDrvInfo",
                          std::string_view(reinterpret_cast<const char *>(&record), sizeof record));
  root.Double().ClearLog();
  // Adopted from the driver, already in slot 0: nothing to load.
  EXPECT_EQ(dll.LoadKey(kEncKey, true, "A:\\", {60, 5, false, 5}), 0);
  EXPECT_EQ(root.Double().Log(), (Calls{"GetDrvInfo()", "GetDrvInfo()"}));
}

} // namespace
