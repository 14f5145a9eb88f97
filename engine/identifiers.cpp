// The user's identifiers: the current signature key identifier, and the
// encryption identifier that belongs to a signature identifier.
#include "engine/kestrel4_engine.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// A signature identifier is its encryption identifier followed by eight more
// characters.
constexpr std::size_t kSignUIDSuffix = 8;

} // namespace

int32_t TKestrel4Engine::GetCurrentUID(char *buffer) {
  if (buffer == nullptr)
    return CE_ERR_BAD_ARGUMENT;
  try {
    const std::string &uid = ParamValue(kParamSignUID);
    // The host's buffer holds GetMaxUIDLength bytes, the NUL included; an
    // identifier that does not fit is refused rather than handed back cut
    // or unterminated.
    if (static_cast<int64_t>(uid.size()) >= GetMaxUIDLength())
      return CE_ERR_STRING_LENGTH;
    std::memcpy(buffer, uid.c_str(), uid.size() + 1);
    return CE_OK;
  } catch (const std::exception &e) {
    return CaptureException("GetCurrentUID", e);
  }
}

int32_t TKestrel4Engine::GetEncodeUIDBySignUID(const char *signUID, char *encodeUID) {
  if (signUID == nullptr || encodeUID == nullptr)
    return CE_ERR_BAD_ARGUMENT;
  const std::string_view sign(signUID);
  if (sign.size() <= kSignUIDSuffix)
    return CE_ERR_SIGN_UID_LENGTH;
  const std::string encode(sign.substr(0, sign.size() - kSignUIDSuffix));
  const int32_t capacity = GetMaxUIDLength();
  // Refused when it does not fit with its NUL: never an unterminated text.
  if (static_cast<int64_t>(encode.size()) >= capacity ||
      !CopyStrToBuffer(encode.c_str(), encodeUID, capacity))
    return CE_ERR_STRING_LENGTH;
  return CE_OK;
}
