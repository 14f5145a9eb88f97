// The decision how to make a key ready, from what the driver and the cache
// tell: reuse, reload, load, and when slot 0 is cleared first.
#include "kestrel/kestrel_dll.h"
#include "kestrel/key_load_plan.h"
#include "support/rgenutil.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using S = TKeyStep;

constexpr double kNow = 46000.5; // a local date-time in days
constexpr double kSecond = kSecondInDays;

// A record loaded and used `loaded` and `used` seconds ago.
TKeyCacheEntry Entry(double loaded, double used, int32_t lifeTime = 60, int32_t idleTime = 5) {
  return {kNow - loaded * kSecond, kNow - used * kSecond, lifeTime, idleTime};
}

struct TCase {
  const char *Name;
  std::optional<TKeyCacheEntry> Cached;
  int32_t Slot;
  int32_t DriverKeys;
  bool RequireSlot0;
  TKeyAccessSettings Settings;
  TKeyLoadPlan Expected;
};

const TKeyAccessSettings kLimits{60, 5, true, 5};

TEST(KeyLoadPlan, FromTheDriverAndTheCache) {
  const TCase cases[] = {
      // Not cached: whatever the driver holds under the number is reset first.
      {"absent", std::nullopt, -1, 1, false, kLimits, {S::InitKey, S::AddEntry}},
      {"absent, slot 0 needed",
       std::nullopt,
       -1,
       1,
       true,
       kLimits,
       {S::FreeSlot0, S::InitKey, S::AddEntry}},
      {"in slot 3, slot 0 needed",
       std::nullopt,
       3,
       2,
       true,
       kLimits,
       {S::ResetKey, S::FreeSlot0, S::InitKey, S::AddEntry}},
      {"in slot 0, slot 0 needed",
       std::nullopt,
       0,
       2,
       true,
       kLimits,
       {S::ResetKey, S::InitKey, S::AddEntry}},
      {"absent, driver full",
       std::nullopt,
       -1,
       16,
       false,
       kLimits,
       {S::FreeSlot0, S::InitKey, S::AddEntry}},
      {"in slot 5 of a full driver",
       std::nullopt,
       5,
       16,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::AddEntry}},
      // Cached and within every limit.
      {"fresh in slot 0", Entry(0, 0), 0, 1, true, kLimits, {S::MarkUsed}},
      {"fresh in slot 3", Entry(0, 0), 3, 4, false, kLimits, {S::MarkUsed}},
      {"at the limits", Entry(59, 4), 2, 4, false, kLimits, {S::MarkUsed}},
      // Cached but not usable where it is.
      {"fresh in slot 3, slot 0 needed",
       Entry(0, 0),
       3,
       4,
       true,
       kLimits,
       {S::FreeSlot0, S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"driver lost it", Entry(0, 0), -1, 0, false, kLimits, {S::InitKey, S::MarkLoaded}},
      {"driver lost it, slot 0 needed",
       Entry(0, 0),
       -1,
       0,
       true,
       kLimits,
       {S::FreeSlot0, S::InitKey, S::MarkLoaded}},
      // Cached, a limit run out or set to 0: reset and load again.
      {"life time over",
       Entry(61, 0),
       0,
       1,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"idle too long",
       Entry(10, 6),
       0,
       1,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"own life time shorter",
       Entry(31, 0, 30, 5),
       0,
       1,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"own idle time shorter",
       Entry(3, 3, 60, 2),
       0,
       1,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"clock set back",
       Entry(-61, 0),
       0,
       1,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"given life time 0",
       Entry(0, 0),
       0,
       1,
       false,
       {0, 5, true, 5},
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"given idle time 0",
       Entry(0, 0),
       0,
       1,
       false,
       {60, 0, true, 5},
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"own life time 0",
       Entry(0, 0, 0, 5),
       0,
       1,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
      {"own idle time 0",
       Entry(0, 0, 60, 0),
       0,
       1,
       false,
       kLimits,
       {S::ResetKey, S::InitKey, S::MarkLoaded}},
  };
  for (const TCase &c : cases) {
    const TKeyState key{c.Cached ? &*c.Cached : nullptr, c.Slot, c.DriverKeys};
    EXPECT_EQ(PlanKeyLoad(key, c.RequireSlot0, c.Settings, kNow), c.Expected) << c.Name;
  }
}

} // namespace
