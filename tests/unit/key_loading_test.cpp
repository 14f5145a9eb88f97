// Key loading against an in-process key driver: the binding's entry points
// point at the functions below, which keep a slot table and log every call.
#include "include/ce_kestrel.h"
#include "kestrel/kestrel_dll.h"
#include "support/rgenutil.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestrel::TDriverSlotInfo;
using Clock = std::chrono::steady_clock;

const std::string kEncKey = "0001000001"; // the user's keys on the key device
const std::string kSignKey = "000100000101";
const std::string kOtherEnc = "0002000001"; // another user's keys in the driver
const std::string kOtherSign = "000200000101";

TDriverSlotInfo Slot(const std::string &num, const std::string &numP, int32_t slotNo) {
  TDriverSlotInfo slot{};
  std::memcpy(slot.Num, num.data(), std::min(num.size(), sizeof slot.Num - 1));
  std::memcpy(slot.NumP, numP.data(), std::min(numP.size(), sizeof slot.NumP - 1));
  slot.SlotNo = slotNo;
  return slot;
}

struct TFakeDriver {
  std::vector<TDriverSlotInfo> Slots;      // what the driver holds
  int32_t ReportedCount = -1;              // >= 0: the count GetDrvInfo reports instead
  std::deque<kestrel::Result> InitResults; // InitKey results in turn, then success
  kestrel::Result InitDefault = 0;
  std::chrono::milliseconds FirstInitDelay{0};
  std::set<std::string> RefuseReset;
  std::vector<std::string> Calls;
  std::vector<Clock::time_point> InitTimes;
  std::string LastInitPath;
  int BadArguments = 0;
};
TFakeDriver g_driver;

// A text the caller ended with two NULs.
bool DoubleTerminated(const char *text) { return text[std::strlen(text) + 1] == '\0'; }

kestrel::Result KESTREL_STDCALL FakeGetDrvInfo(void *table, int32_t *count) {
  g_driver.Calls.push_back("GetDrvInfo");
  auto *out = static_cast<unsigned char *>(table);
  std::memset(out, 0, kestrel::kSlotTableBytes);
  for (std::size_t i = 0; i < g_driver.Slots.size() && i < kestrel::kMaxDriverSlots; ++i)
    std::memcpy(out + i * sizeof(TDriverSlotInfo), &g_driver.Slots[i], sizeof(TDriverSlotInfo));
  *count = g_driver.ReportedCount >= 0 ? g_driver.ReportedCount
                                       : static_cast<int32_t>(g_driver.Slots.size());
  return 0;
}

kestrel::Result KESTREL_STDCALL FakeResetKeyEx(const char *keyNumber, int32_t mode) {
  const std::string number = keyNumber;
  g_driver.Calls.push_back("ResetKeyEx(" + number + ")");
  if (mode != 1 || !DoubleTerminated(keyNumber))
    ++g_driver.BadArguments;
  if (g_driver.RefuseReset.count(number) != 0)
    return 39;
  auto &slots = g_driver.Slots;
  slots.erase(std::remove_if(slots.begin(), slots.end(),
                             [&](const TDriverSlotInfo &s) {
                               return !number.empty() && (number == s.Num || number == s.NumP);
                             }),
              slots.end());
  return 0;
}

// Loads the device's keys into the lowest free slot.
kestrel::Result KESTREL_STDCALL FakeInitKey(const char *keyPath, const char *reserved) {
  g_driver.LastInitPath = keyPath;
  g_driver.Calls.push_back("InitKey(" + g_driver.LastInitPath + ")");
  if (!DoubleTerminated(keyPath) || std::strcmp(reserved, "") != 0)
    ++g_driver.BadArguments;
  if (g_driver.InitTimes.empty() && g_driver.FirstInitDelay.count() > 0)
    std::this_thread::sleep_for(g_driver.FirstInitDelay);
  g_driver.InitTimes.push_back(Clock::now());
  kestrel::Result result = g_driver.InitDefault;
  if (!g_driver.InitResults.empty()) {
    result = g_driver.InitResults.front();
    g_driver.InitResults.pop_front();
  }
  if (result != 0)
    return result;
  auto &slots = g_driver.Slots;
  if (std::any_of(slots.begin(), slots.end(), [](auto &s) { return kEncKey == s.Num; }))
    return 37; // "attempt to overwrite a key in KDRV": the module must reset first
  int32_t free = 0;
  while (std::any_of(slots.begin(), slots.end(), [&](auto &s) { return s.SlotNo == free; }))
    ++free;
  if (free >= kestrel::kMaxDriverSlots)
    return 38;
  slots.push_back(Slot(kEncKey, kSignKey, free));
  return 0;
}

void CE_STDCALL RecordRequest(int32_t state) {
  g_driver.Calls.push_back("TM(" + std::to_string(state) + ")");
}

class KeyLoadingTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_driver = TFakeDriver{};
    Dll.FGetDrvInfo = FakeGetDrvInfo;
    Dll.FResetKeyEx = FakeResetKeyEx;
    Dll.FInitKey = FakeInitKey;
    Dll.FTMRequestFunc = RecordRequest;
  }
  void TearDown() override { EXPECT_EQ(g_driver.BadArguments, 0); }

  int32_t Load(const std::string &key, bool slot0, bool resetOnStart = true,
               const std::string &path = "A:\\", int32_t life = 60, int32_t idle = 5,
               int32_t wait = 5) {
    g_driver.Calls.clear();
    return Dll.LoadKey(key, slot0, path, {life, idle, resetOnStart, wait});
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
  static long Count(const std::string &prefix) {
    return std::count_if(g_driver.Calls.begin(), g_driver.Calls.end(),
                         [&](const std::string &c) { return c.rfind(prefix, 0) == 0; });
  }

  TKestrelDLL Dll{KestrelUnit()};
};

using Calls = std::vector<std::string>;

TEST_F(KeyLoadingTest, KeyNumberOfWrongLengthIsRefusedWithoutLibraryCall) {
  for (const std::string key : {"00010000011", "", "0001", "0001000001011"})
    EXPECT_EQ(Load(key, true), TKestrelDLL::kBadUID) << key;
  EXPECT_TRUE(g_driver.Calls.empty());
  EXPECT_TRUE(CachedKeys().empty());
}

TEST_F(KeyLoadingTest, AbsentKeyIsLoadedAndBothKeysOfItsRecordAreCached) {
  EXPECT_EQ(Load(kEncKey, false), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "InitKey(A:\\)", "GetDrvInfo"}));
  EXPECT_EQ(CachedKeys(), (Calls{kEncKey, kSignKey}));
  EXPECT_TRUE(KestrelUnit().KeyCachePrimed);

  // The signature key came with it and is used as it is.
  EXPECT_EQ(Load(kSignKey, false), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "GetDrvInfo"}));
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
  EXPECT_EQ(g_driver.Calls, reload);
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 0), 0);
  EXPECT_EQ(g_driver.Calls, reload);
  // Loaded with an idle time of 0, the key keeps it until it is used again.
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  EXPECT_EQ(g_driver.Calls, reload);
  EXPECT_EQ(Load(kEncKey, false, true, "A:\\", 60, 5), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "GetDrvInfo"}));
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
  g_driver.Slots = {Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 2)};
  EXPECT_EQ(Load(kEncKey, false, true), 0);
  EXPECT_EQ(g_driver.Calls,
            (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "InitKey(A:\\)", "GetDrvInfo"}));
  EXPECT_EQ(CachedKeys(), (Calls{kEncKey, kSignKey}));
}

TEST_F(KeyLoadingTest, NoResetOnStartAdoptsKeysAlreadyInTheDriver) {
  g_driver.Slots = {Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 2)};
  EXPECT_EQ(Load(kEncKey, false, false), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "GetDrvInfo"}));
  EXPECT_EQ(CachedKeys(), (Calls{kOtherEnc, kOtherSign, kEncKey, kSignKey}));
  EXPECT_TRUE(KestrelUnit().KeyCachePrimed);
}

TEST_F(KeyLoadingTest, CachedKeyInSlot3FreesSlot0FirstThenReloadsItself) {
  g_driver.Slots = {Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 3)};
  EXPECT_EQ(Load(kEncKey, true, false), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "ResetKeyEx(0002000001)", "ResetKeyEx(0001000001)",
                                   "InitKey(A:\\)", "GetDrvInfo"}));
  EXPECT_EQ(g_driver.Slots.back().SlotNo, 0);
}

TEST_F(KeyLoadingTest, UncachedKeyInSlot3IsResetFirstThenSlot0IsFreed) {
  g_driver.Slots = {Slot(kOtherEnc, kOtherSign, 0), Slot(kEncKey, kSignKey, 3)};
  EXPECT_EQ(Load(kEncKey, true, true), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "ResetKeyEx(0002000001)",
                                   "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, KeyAlreadyInSlot0NeedsNoSlotFreed) {
  g_driver.Slots = {Slot(kEncKey, kSignKey, 0), Slot(kOtherEnc, kOtherSign, 1)};
  EXPECT_EQ(Load(kEncKey, true, false), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, FullDriverFreesSlot0BeforeInitKey) {
  for (int32_t i = 0; i < kestrel::kMaxDriverSlots; ++i) {
    const std::string n = std::to_string(1000 + i);
    g_driver.Slots.push_back(Slot(n + "000001", n + "00000101", i));
  }
  EXPECT_EQ(Load(kEncKey, false, true), 0);
  EXPECT_EQ(g_driver.Calls,
            (Calls{"GetDrvInfo", "ResetKeyEx(1000000001)", "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, ResettingTheKeyItselfMakesRoomInAFullDriver) {
  for (int32_t i = 0; i < kestrel::kMaxDriverSlots - 1; ++i) {
    const std::string n = std::to_string(1000 + i);
    g_driver.Slots.push_back(Slot(n + "000001", n + "00000101", i));
  }
  g_driver.Slots.push_back(Slot(kEncKey, kSignKey, 15));
  EXPECT_EQ(Load(kEncKey, false, true), 0);
  EXPECT_EQ(g_driver.Calls,
            (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, FreeSlot0TriesTheSignatureKeyWhenTheEncryptionKeyIsRefused) {
  g_driver.Slots = {Slot(kOtherEnc, kOtherSign, 0)};
  g_driver.RefuseReset = {kOtherEnc};
  EXPECT_EQ(Load(kEncKey, true), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "ResetKeyEx(0002000001)",
                                   "ResetKeyEx(000200000101)", "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, DriverRefusingAResetGivesMinus6AndLoadsNothing) {
  g_driver.Slots = {Slot(kOtherEnc, kOtherSign, 0)};
  g_driver.RefuseReset = {kOtherEnc, kOtherSign};
  EXPECT_EQ(Load(kEncKey, true), TKestrelDLL::kKeyDriverError);
  EXPECT_EQ(Count("InitKey"), 0);

  g_driver.Slots = {Slot(kEncKey, kSignKey, 4)};
  g_driver.RefuseReset = {kEncKey};
  EXPECT_EQ(Load(kEncKey, false), TKestrelDLL::kKeyDriverError);
  EXPECT_EQ(Count("InitKey"), 0);
  EXPECT_TRUE(CachedKeys().empty());
}

TEST_F(KeyLoadingTest, CachedKeyNoLongerInTheDriverIsLoadedWithoutReset) {
  ASSERT_EQ(Load(kEncKey, false), 0);
  g_driver.Slots.clear(); // reset by somebody else
  EXPECT_EQ(Load(kEncKey, false), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "InitKey(A:\\)", "GetDrvInfo"}));
}

TEST_F(KeyLoadingTest, PathOfNoKeyDeviceGetsOneInitKeyAndTheFailureLeavesTheCache) {
  g_driver.InitResults = {36};
  EXPECT_EQ(Load(kEncKey, false), 36);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "InitKey(A:\\)"}));
  EXPECT_TRUE(CachedKeys().empty());
  EXPECT_FALSE(KestrelUnit().KeyCachePrimed);
}

TEST_F(KeyLoadingTest, LowerCaseDeviceNameShowsTheRequestAndWithdrawsIt) {
  g_driver.InitResults = {36, 36};
  EXPECT_EQ(Load(kEncKey, false, true, "tm:com1"), 0);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "InitKey(tm:com1)", "TM(0)", "InitKey(tm:com1)",
                                   "InitKey(tm:com1)", "TM(1)", "GetDrvInfo"}));
  // The retries wait for the device between attempts.
  ASSERT_EQ(g_driver.InitTimes.size(), 3u);
  for (std::size_t i = 1; i < g_driver.InitTimes.size(); ++i)
    EXPECT_GE(g_driver.InitTimes[i] - g_driver.InitTimes[i - 1], std::chrono::milliseconds(450));
}

TEST_F(KeyLoadingTest, WaitTimeOutCountsFromTheRequestAndTheRequestIsShownOnce) {
  // The first attempt alone takes longer than the wait time-out.
  g_driver.FirstInitDelay = std::chrono::milliseconds(1200);
  g_driver.InitDefault = 36;
  EXPECT_EQ(Load(kEncKey, false, true, "TM:COM1", 60, 5, 1), 36);
  EXPECT_GE(Count("InitKey"), 2);
  EXPECT_EQ(Count("TM(0)"), 1);
  EXPECT_EQ(Count("TM(1)"), 1);
  EXPECT_EQ(g_driver.Calls[2], "TM(0)");
  EXPECT_EQ(g_driver.Calls.back(), "TM(1)");
  EXPECT_TRUE(CachedKeys().empty());
}

TEST_F(KeyLoadingTest, NamedDeviceWithoutRequestFunctionGetsOneAttempt) {
  Dll.FTMRequestFunc = nullptr;
  g_driver.InitResults = {36};
  EXPECT_EQ(Load(kEncKey, false, true, "TM:COM1"), 36);
  EXPECT_EQ(g_driver.Calls, (Calls{"GetDrvInfo", "InitKey(TM:COM1)"}));
}

TEST_F(KeyLoadingTest, LongKeyPathIsCutTo255Characters) {
  const std::string path(300, 'p');
  EXPECT_EQ(Load(kEncKey, false, true, path), 0);
  EXPECT_EQ(g_driver.LastInitPath, path.substr(0, 255));
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

  g_driver.ReportedCount = 1000;
  EXPECT_EQ(Load(kEncKey, false, false), 0);
}

TEST_F(KeyLoadingTest, ClearKeyCacheEmptiesTheCacheButKeysInTheDriverAreNotAdoptedAgain) {
  g_driver.Slots = {Slot(kEncKey, kSignKey, 0)};
  ASSERT_EQ(Load(kEncKey, false, false), 0);
  ASSERT_FALSE(CachedKeys().empty());

  ClearKeyCache();
  EXPECT_TRUE(CachedKeys().empty());
  EXPECT_TRUE(KestrelUnit().KeyCachePrimed);

  EXPECT_EQ(Load(kEncKey, false, false), 0);
  EXPECT_EQ(g_driver.Calls,
            (Calls{"GetDrvInfo", "ResetKeyEx(0001000001)", "InitKey(A:\\)", "GetDrvInfo"}));
}

// The same call orders through the real binding, with the call-recording
// double loaded as kestrel.dll.
class KeyLoadingWithDoubleTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_driver = TFakeDriver{};
    Dll = std::make_unique<TKestrelDLL>(KestrelUnit());
    ASSERT_TRUE(Dll->FAllEntryPoints);
    Dll->FTMRequestFunc = RecordRequest;
    Root.Double().ClearLog();
  }
  // The double's log; the host's request calls go to g_driver.Calls.
  std::vector<std::string> Log() { return Root.Double().Log(); }

  cetest::DoubleRoot Root;
  std::unique_ptr<TKestrelDLL> Dll;
};

TEST_F(KeyLoadingWithDoubleTest, EncryptionKeyInSlot3CachedOrNot) {
  const auto table =
      std::vector{cetest::Slot(kOtherEnc, kOtherSign, 0), cetest::Slot(kEncKey, kSignKey, 3)};
  Root.Double().SetSlots(table);
  // Not in the cache: the key itself is reset first, then slot 0 is freed.
  EXPECT_EQ(Dll->LoadKey(kEncKey, true, "A:\\", {60, 5, true, 5}), 0);
  EXPECT_EQ(Log(),
            (Calls{"GetDrvInfo()", "ResetKeyEx(\"0001000001\",1)", "ResetKeyEx(\"0002000001\",1)",
                   "InitKey(\"A:\\\\0\",\"\")", "GetDrvInfo()"}));

  // Now cached but still reported in slot 3: slot 0 is freed first, then the
  // key is reset and loaded again.
  Root.Double().ClearLog();
  EXPECT_EQ(Dll->LoadKey(kEncKey, true, "A:\\", {60, 5, true, 5}), 0);
  EXPECT_EQ(Log(),
            (Calls{"GetDrvInfo()", "ResetKeyEx(\"0002000001\",1)", "ResetKeyEx(\"0001000001\",1)",
                   "InitKey(\"A:\\\\0\",\"\")", "GetDrvInfo()"}));
  EXPECT_TRUE(g_driver.Calls.empty()); // no request for a plain path
}

TEST_F(KeyLoadingWithDoubleTest, LowerCaseDeviceWaitsBehindTheRequest) {
  Root.Double().PushResult("InitKey", 36);
  Root.Double().PushResult("InitKey", 36);
  EXPECT_EQ(Dll->LoadKey(kSignKey, false, "tm:com1", {60, 5, true, 5}), 0);
  EXPECT_EQ(Root.Double().CallsOf("InitKey"), Calls(3, "InitKey(\"tm:com1\\0\",\"\")"));
  EXPECT_EQ(g_driver.Calls, (Calls{"TM(0)", "TM(1)"}));
}

TEST_F(KeyLoadingWithDoubleTest, PlainPathGetsOneInitKeyAndBadNumberNoCall) {
  Root.Double().SetResult("InitKey", 36);
  EXPECT_EQ(Dll->LoadKey(kEncKey, true, "A:\\", {60, 5, true, 5}), 36);
  EXPECT_EQ(Root.Double().CallsOf("InitKey").size(), 1u);
  EXPECT_TRUE(g_driver.Calls.empty());

  Root.Double().ClearLog();
  EXPECT_EQ(Dll->LoadKey("00010000011", true, "A:\\", {60, 5, true, 5}), TKestrelDLL::kBadUID);
  EXPECT_TRUE(Log().empty());
}

TEST(KeyLoadingWithDouble5, Generation5TableIsReadThroughTheConversion) {
  cetest::DoubleRoot root(cetest::Provider::Double5);
  TKestrelDLL dll(KestrelUnit());
  ASSERT_TRUE(dll.FAllEntryPoints);
  ASSERT_EQ(KestrelUnit().LibraryGeneration, 5);
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
