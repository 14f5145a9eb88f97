// Loading the user's keys into the key driver, with the process-wide cache of
// keys known to be loaded and the wait for a removable key device.
#include "kestrel/call_arguments.h"
#include "kestrel/device_wait.h"
#include "kestrel/kestrel_dll.h"

#include "kestrel/key_identifiers.h"
#include "kestrel/key_load_plan.h"
#include "platform/platform.h"
#include "support/rgenutil.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace {

using kestrel::kEncryptionKeyIdLength;
using kestrel::kSignatureKeyIdLength;
// The key path InitKey receives is cut to this many characters.
constexpr std::size_t kMaxKeyPathLength = 255;

using TKeyCache = decltype(TKestrelUnit::KeyCache);

TKeyCache::iterator FindCacheEntry(TKeyCache &cache, const std::string &keyNumber) {
  return std::find_if(cache.begin(), cache.end(),
                      [&](const auto &item) { return item.first == keyNumber; });
}

// A fixed-size text field of a slot record, never read past its end.
template <std::size_t N> std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

void MarkLoaded(TKeyCacheEntry &entry, double now, int32_t lifeTime, int32_t idleTime) {
  entry.LoadTime = now;
  entry.LastUseTime = now;
  entry.LifeTime = lifeTime;
  entry.IdleTime = idleTime;
}

} // namespace

void TKestrelUnit::ClearKeyCache() {
  TLockGuard lock(KeyCacheLock);
  while (!KeyCache.empty())
    KeyCache.erase(KeyCache.begin());
}

TKestrelDLL::TSlotTable TKestrelDLL::DecodeSlotTable(const unsigned char *raw, int32_t count,
                                                     int32_t generation) {
  // The library cannot report more records than the table holds.
  TSlotTable table(static_cast<std::size_t>(std::clamp(count, 0, kestrel::kMaxDriverSlots)));
  for (std::size_t i = 0; i < table.size(); ++i) {
    const unsigned char *record = raw + i * sizeof(kestrel::TDriverSlotInfo);
    kestrel::TDriverSlotInfo &slot = table[i];
    if (generation >= 5) {
      kestrel::TDriverSlotInfo5 slot5;
      std::memcpy(&slot5, record, sizeof slot5);
      std::memcpy(slot.Num, slot5.Num, sizeof slot.Num);
      std::memcpy(slot.NumP, slot5.NumP, sizeof slot.NumP);
      slot.SlotInfo = slot5.SlotInfo; // 16 bits widened without sign
      slot.SlotNo = slot5.SlotNo;
    } else {
      std::memcpy(&slot, record, sizeof slot);
    }
  }
  return table;
}

TKestrelDLL::TSlotTable TKestrelDLL::ReadSlotTable() {
  std::array<unsigned char, kestrel::kSlotTableBytes> raw{};
  int32_t count = 0;
  FGetDrvInfo(raw.data(), &count); // the result is of no use: the count tells
  return DecodeSlotTable(raw.data(), count, FUnit.LoadedGeneration());
}

int32_t TKestrelDLL::FindKeySlot(const TSlotTable &table, const std::string &keyNumber) {
  const bool encryptionKey = keyNumber.size() == kEncryptionKeyIdLength;
  for (const auto &slot : table) {
    const std::string loaded = encryptionKey ? FieldText(slot.Num) : FieldText(slot.NumP);
    if (loaded == keyNumber)
      return slot.SlotNo;
  }
  return -1;
}

int32_t TKestrelDLL::ResetKey(const std::string &keyNumber) {
  const std::string argument = kestrel::DoubleTerminated(keyNumber);
  return kestrel::Widen(FResetKeyEx(argument.c_str(), 1));
}

int32_t TKestrelDLL::FreeSlot0(const TSlotTable &table) {
  const auto slot0 = std::find_if(table.begin(), table.end(),
                                  [](const kestrel::TDriverSlotInfo &s) { return s.SlotNo == 0; });
  if (slot0 == table.end())
    return 0;
  const std::string num = FieldText(slot0->Num);
  const std::string numP = FieldText(slot0->NumP);
  if (num.empty() && numP.empty())
    return 0;
  if (ResetKey(num) == 0 || ResetKey(numP) == 0)
    return 0;
  return kKeyDriverError;
}

void TKestrelDLL::PrimeKeyCache(const TSlotTable &table, int32_t lifeTime, int32_t idleTime) {
  TKeyCache &cache = FUnit.KeyCache;
  try {
    const double now = platform::NowLocalDays();
    TKeyCacheEntry entry;
    MarkLoaded(entry, now, lifeTime, idleTime);
    for (const auto &slot : table) {
      for (const std::string &number : {FieldText(slot.Num), FieldText(slot.NumP)})
        if (!number.empty())
          cache.emplace_back(number, entry);
    }
  } catch (const std::exception &) {
    // Keys not adopted are reset and reloaded at their first use.
  }
}

std::string TKestrelDLL::GetPairedKeyId(const std::string &keyNumber) {
  const TSlotTable table = ReadSlotTable();
  const bool encryptionKey = keyNumber.size() == kEncryptionKeyIdLength;
  for (const auto &slot : table) {
    if (encryptionKey && FieldText(slot.Num) == keyNumber)
      return FieldText(slot.NumP);
    if (!encryptionKey && FieldText(slot.NumP) == keyNumber)
      return FieldText(slot.Num);
  }
  return {};
}

void TKestrelDLL::RefreshCacheEntry(const std::string &keyNumber, bool freshLoad, int32_t lifeTime,
                                    int32_t idleTime) {
  if (keyNumber.empty())
    return;
  TKeyCache &cache = FUnit.KeyCache;
  const double now = platform::NowLocalDays();
  const auto found = FindCacheEntry(cache, keyNumber);
  if (found == cache.end()) {
    TKeyCacheEntry entry;
    MarkLoaded(entry, now, lifeTime, idleTime);
    try {
      cache.emplace_back(keyNumber, entry);
    } catch (const std::bad_alloc &) {
      // The paired key stays uncached and is simply reloaded at its next use.
    }
    return;
  }
  TKeyCacheEntry &entry = found->second;
  if (freshLoad) {
    entry.LoadTime = now;
    entry.LifeTime = lifeTime;
  }
  entry.LastUseTime = now;
  entry.IdleTime = idleTime;
}

int32_t TKestrelDLL::WaitInitKey(const std::string &keyPath, int32_t waitTimeOut) {
  const std::string path = kestrel::DoubleTerminated(keyPath, kMaxKeyPathLength);
  return RunDeviceWaitLoop(keyPath, waitTimeOut, FTMRequestFunc, IsAnyFailure,
                           [&] { return kestrel::Widen(FInitKey(path.c_str(), "")); });
}

namespace {

// The key may be used for this many seconds more since the given time; a
// limit of 0 allows no use at all.
bool WithinLimit(int32_t seconds, double since, double now) {
  return seconds != 0 && !IsTimeElapsed(seconds, since, now);
}

} // namespace

TKeyLoadPlan PlanKeyLoad(const TKeyState &key, bool requireSlot0,
                         const TKeyAccessSettings &settings, double now) {
  TKeyLoadPlan plan{};
  std::size_t steps = 0;
  const auto add = [&](TKeyStep step) { plan[steps++] = step; };
  const bool slot0Wanted = requireSlot0 && key.Slot != 0;

  if (key.Cached == nullptr) {
    // Not known to be loaded: reset whatever the driver holds under this
    // number, make room, and load the key.
    int32_t driverKeys = key.DriverKeys;
    if (key.Slot != -1) {
      add(TKeyStep::ResetKey);
      --driverKeys;
    }
    if ((requireSlot0 || driverKeys == kestrel::kMaxDriverSlots) && key.Slot != 0)
      add(TKeyStep::FreeSlot0);
    add(TKeyStep::InitKey);
    add(TKeyStep::AddEntry);
    return plan;
  }

  if (slot0Wanted)
    add(TKeyStep::FreeSlot0);
  if (key.Slot == -1) {
    // Cached, but the driver no longer holds it.
    add(TKeyStep::InitKey);
    add(TKeyStep::MarkLoaded);
    return plan;
  }
  // Usable while every limit, the given ones and those it was loaded with,
  // allows it, and where the operation needs it.
  const TKeyCacheEntry &entry = *key.Cached;
  const bool usable = WithinLimit(settings.LifeTime, entry.LoadTime, now) &&
                      WithinLimit(settings.IdleTime, entry.LastUseTime, now) &&
                      WithinLimit(entry.LifeTime, entry.LoadTime, now) &&
                      WithinLimit(entry.IdleTime, entry.LastUseTime, now) && !slot0Wanted;
  if (usable) {
    add(TKeyStep::MarkUsed);
    return plan;
  }
  // Too old, idle too long, or not in slot 0 where it is needed: reload it.
  add(TKeyStep::ResetKey);
  add(TKeyStep::InitKey);
  add(TKeyStep::MarkLoaded);
  return plan;
}

int32_t TKestrelDLL::LoadKey(const std::string &keyNumber, bool requireSlot0,
                             const std::string &keyPath, const TKeyAccessSettings &settings) {
  if (keyNumber.size() != kEncryptionKeyIdLength && keyNumber.size() != kSignatureKeyIdLength)
    return kBadUID;
  if (FGetDrvInfo == nullptr || FResetKeyEx == nullptr || FInitKey == nullptr)
    return kNotInitialized;

  const TSlotTable table = ReadSlotTable();
  const int32_t slot = FindKeySlot(table, keyNumber);

  TLockGuard lock(FUnit.KeyCacheLock);
  if (!FUnit.KeyCachePrimed && !settings.ResetOnStart) {
    PrimeKeyCache(table, settings.LifeTime, settings.IdleTime);
    FUnit.KeyCachePrimed = true;
  }

  const auto cached = FindCacheEntry(FUnit.KeyCache, keyNumber);
  const TKeyState key{cached != FUnit.KeyCache.end() ? &cached->second : nullptr, slot,
                      static_cast<int32_t>(table.size())};
  const TKeyLoadPlan plan = PlanKeyLoad(key, requireSlot0, settings, platform::NowLocalDays());
  for (const TKeyStep step : plan) {
    if (step == TKeyStep::Done)
      break;
    if (const int32_t result = TakeKeyStep(step, keyNumber, keyPath, table, settings); result != 0)
      return result;
  }
  return 0;
}

int32_t TKestrelDLL::TakeKeyStep(TKeyStep step, const std::string &keyNumber,
                                 const std::string &keyPath, const TSlotTable &table,
                                 const TKeyAccessSettings &settings) {
  // The paired key of the same driver record shares the load or the use.
  const auto refreshPaired = [&](bool freshLoad) CE_REQUIRES(FUnit.KeyCacheLock) {
    RefreshCacheEntry(GetPairedKeyId(keyNumber), freshLoad, settings.LifeTime, settings.IdleTime);
  };
  const auto cachedEntry = [&]() CE_REQUIRES(FUnit.KeyCacheLock) -> TKeyCacheEntry & {
    const auto found = FindCacheEntry(FUnit.KeyCache, keyNumber);
    CE_ASSERT(found != FUnit.KeyCache.end());
    return found->second;
  };

  switch (step) {
  case TKeyStep::Done:
    return 0;
  case TKeyStep::ResetKey:
    return ResetKey(keyNumber) == 0 ? 0 : kKeyDriverError;
  case TKeyStep::FreeSlot0:
    return FreeSlot0(table);
  case TKeyStep::InitKey:
    return WaitInitKey(keyPath, settings.WaitTimeOut);
  case TKeyStep::AddEntry:
    try {
      TKeyCacheEntry entry;
      MarkLoaded(entry, platform::NowLocalDays(), settings.LifeTime, settings.IdleTime);
      FUnit.KeyCache.emplace_back(keyNumber, entry);
    } catch (const std::bad_alloc &) {
      return kOutOfMemory;
    }
    FUnit.KeyCachePrimed = true;
    refreshPaired(true);
    return 0;
  case TKeyStep::MarkLoaded:
    MarkLoaded(cachedEntry(), platform::NowLocalDays(), settings.LifeTime, settings.IdleTime);
    refreshPaired(true);
    return 0;
  case TKeyStep::MarkUsed: {
    TKeyCacheEntry &entry = cachedEntry();
    entry.LastUseTime = platform::NowLocalDays();
    entry.IdleTime = settings.IdleTime;
    refreshPaired(false);
    return 0;
  }
  }
  return 0;
}
