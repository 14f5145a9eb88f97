// Operations this engine answers with fixed results, and its size queries
// for signatures and encrypted blocks.
#include "engine/kestrel4_engine.h"

#include "support/rgenutil.h"

#include <cstdint>
#include <limits>

namespace {
constexpr int32_t kLibraryNotInitialized = -100;
constexpr int32_t kSignatureAddition = 98;
constexpr int64_t kBlockOverhead = 37;
constexpr int64_t kPerRecipient = 48;
} // namespace

bool TKestrel4Engine::IsDifferentKeys() { return true; }
int32_t TKestrel4Engine::SignFile(val) { return kLibraryNotInitialized; }
int32_t TKestrel4Engine::VerifyFile(val, val) { return kLibraryNotInitialized; }
int32_t TKestrel4Engine::RemoveSignaturesFromFile(val) { return kLibraryNotInitialized; }
int32_t TKestrel4Engine::TransPrivateKeyFromFileToTM() { return 0; }
int32_t TKestrel4Engine::TransSignatureFromFileToTM() { return 0; }
int32_t TKestrel4Engine::GetRemoteGenType() { return -1; }

int32_t TKestrel4Engine::GetMaxSignAddition() {
  return GetMaxSignatureLength() + kSignatureAddition;
}

int32_t TKestrel4Engine::GetMaxAdditionEx(const char *abonents) {
  if (abonents == nullptr || *abonents == '\0')
    return GetMaxEncodeAddition();
  // Entries are counted as they stand: untrimmed, empty ones included.
  const int64_t addition = kPerRecipient * CountListItems(abonents) + kBlockOverhead;
  return addition > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                        : static_cast<int32_t>(addition);
}
