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

const TKeyAccessSettings kLimits{60, 5, true, 5};

// The plans the cases expect.
const TKeyLoadPlan kLoad{S::InitKey, S::AddEntry};
const TKeyLoadPlan kResetAndLoad{S::ResetKey, S::InitKey, S::AddEntry};
const TKeyLoadPlan kClearSlot0AndLoad{S::FreeSlot0, S::InitKey, S::AddEntry};
const TKeyLoadPlan kUse{S::MarkUsed};
const TKeyLoadPlan kLoadAgain{S::InitKey, S::MarkLoaded};
const TKeyLoadPlan kReload{S::ResetKey, S::InitKey, S::MarkLoaded};
const TKeyLoadPlan kResetClearSlot0AndLoad{S::ResetKey, S::FreeSlot0, S::InitKey, S::AddEntry};
const TKeyLoadPlan kClearSlot0AndReload{S::FreeSlot0, S::ResetKey, S::InitKey, S::MarkLoaded};
const TKeyLoadPlan kClearSlot0AndLoadAgain{S::FreeSlot0, S::InitKey, S::MarkLoaded};

struct TCase {
  const char *Name;
  std::optional<TKeyCacheEntry> Cached;
  int32_t Slot;
  int32_t DriverKeys;
  bool RequireSlot0;
  TKeyLoadPlan Expected;
  TKeyAccessSettings Settings = kLimits;
};

TEST(KeyLoadPlan, FromTheDriverAndTheCache) {
  const TCase cases[] = {
      // Not cached: whatever the driver holds under the number is reset first.
      {"absent", std::nullopt, -1, 1, false, kLoad},
      {"absent, slot 0 needed", std::nullopt, -1, 1, true, kClearSlot0AndLoad},
      {"in slot 3, slot 0 needed", std::nullopt, 3, 2, true, kResetClearSlot0AndLoad},
      {"in slot 0, slot 0 needed", std::nullopt, 0, 2, true, kResetAndLoad},
      {"absent, driver full", std::nullopt, -1, 16, false, kClearSlot0AndLoad},
      {"in slot 5 of a full driver", std::nullopt, 5, 16, false, kResetAndLoad},
      // Cached and within every limit.
      {"fresh in slot 0", Entry(0, 0), 0, 1, true, kUse},
      {"fresh in slot 3", Entry(0, 0), 3, 4, false, kUse},
      {"at the limits", Entry(59, 4), 2, 4, false, kUse},
      {"loaded long ago, used just now", Entry(30, 1), 0, 1, false, kUse},
      // Cached but not where the driver or the operation needs it.
      {"fresh in slot 3, slot 0 needed", Entry(0, 0), 3, 4, true, kClearSlot0AndReload},
      {"driver lost it", Entry(0, 0), -1, 0, false, kLoadAgain},
      {"driver lost it, slot 0 needed", Entry(0, 0), -1, 0, true, kClearSlot0AndLoadAgain},
      // Cached, a limit run out or set to 0: reset and load again.
      {"life time over", Entry(61, 0), 0, 1, false, kReload},
      {"idle too long", Entry(10, 6), 0, 1, false, kReload},
      {"own life time shorter", Entry(31, 0, 30, 5), 0, 1, false, kReload},
      {"own idle time shorter", Entry(3, 3, 60, 2), 0, 1, false, kReload},
      {"clock set back", Entry(-61, 0), 0, 1, false, kReload},
      {"given life time 0", Entry(0, 0), 0, 1, false, kReload, {0, 5, true, 5}},
      {"given idle time 0", Entry(0, 0), 0, 1, false, kReload, {60, 0, true, 5}},
      {"own life time 0", Entry(0, 0, 0, 5), 0, 1, false, kReload},
      {"own idle time 0", Entry(0, 0, 60, 0), 0, 1, false, kReload},
  };
  for (const TCase &c : cases) {
    const TKeyState key{c.Cached ? &*c.Cached : nullptr, c.Slot, c.DriverKeys};
    EXPECT_EQ(PlanKeyLoad(key, c.RequireSlot0, c.Settings, kNow), c.Expected) << c.Name;
  }
}

} // namespace
