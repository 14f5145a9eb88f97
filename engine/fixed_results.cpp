// Operations this engine answers with fixed results, and its size queries
// for signatures and encrypted blocks.
#include "engine/kestrel4_engine.h"
#include "engine/recipients.h"

#include "support/rgenutil.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {
constexpr int32_t kSignatureAddition = 98;

// What a block for the entries of the list adds to its plaintext. Entries
// are counted as they stand (untrimmed, empty ones included), so a list with
// k separators counts k + 1 recipients; saturates at the largest size.
// Counted without making the entries: a list of millions of separators must
// saturate, not run out of memory in 32 bits.
int32_t ListAddition(std::string_view list) {
  return EncryptionAddition(static_cast<std::size_t>(CountListItems(list)));
}
} // namespace

bool TKestrel4Engine::IsDifferentKeys() { return true; }
int32_t TKestrel4Engine::SignFile(val) { return CE_ERR_LIBRARY_NOT_INITIALIZED; }
int32_t TKestrel4Engine::VerifyFile(val, val) { return CE_ERR_LIBRARY_NOT_INITIALIZED; }
int32_t TKestrel4Engine::RemoveSignaturesFromFile(val) { return CE_ERR_LIBRARY_NOT_INITIALIZED; }
int32_t TKestrel4Engine::TransPrivateKeyFromFileToTM() { return 0; }
int32_t TKestrel4Engine::TransSignatureFromFileToTM() { return 0; }
int32_t TKestrel4Engine::GetRemoteGenType() { return -1; }

int32_t TKestrel4Engine::GetMaxSignAddition() {
  return GetMaxSignatureLength() + kSignatureAddition;
}

int32_t TKestrel4Engine::GetMaxEncodeAddition() {
  // EncodeData without a list of its own encrypts for the configured
  // recipients: the answer covers them, and never falls below the base value
  // a host may have sized its buffers by. A configured list that does not
  // read is counted the same way; EncodeData refuses it and writes nothing.
  return std::max(TCryptoEngine::GetMaxEncodeAddition(),
                  ListAddition(ParamValue(kParamEncryptForKeyNumber)));
}

int32_t TKestrel4Engine::GetMaxAdditionEx(const char *abonents) {
  if (abonents == nullptr || *abonents == '\0')
    return GetMaxEncodeAddition();
  return ListAddition(abonents);
}
