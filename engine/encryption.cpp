// Encrypting a host buffer in place for a list of recipients, and decrypting
// one in place with the user's own key.
#include "engine/key_operation.h"
#include "engine/recipients.h"
#include "kestrel/kestrel_dll.h"

#include <cstring>
#include <limits>
#include <memory>

int32_t TKestrel4Engine::EncodeData(void *data, int32_t *size, const char *abonents) {
  std::vector<uint16_t> recipients; // N key numbers and the closing 0
  uint16_t ownKey = 0;
  int32_t encodedSize = 0;
  std::unique_ptr<uint8_t[]> work; // receives the library's output

  TKeyOperation operation;
  operation.Name = "EncodeData";
  operation.Context = TLibraryContext::Crypto;
  operation.KeyParam = kParamEncodeUID;
  operation.RequireSlot0 = true;
  operation.BeforeSettings = [&]() -> int32_t {
    return data == nullptr || size == nullptr || *size < 1 ? CE_ERR_BAD_ARGUMENT : 0;
  };
  operation.BeforeLock = [&]() -> int32_t {
    const bool given = abonents != nullptr && *abonents != '\0';
    if (const int32_t result = ReadRecipientList(
            given ? std::string_view(abonents) : ParamValue(kParamEncryptForKeyNumber), recipients);
        result != 0)
      return result;
    const std::optional<uint16_t> own = ReadKeyNumber(ParamValue(kParamEncodeUID));
    if (!own)
      return CE_ERR_ENCODE_UID_SETTINGS;
    ownKey = *own;
    // The host sized its buffer as GetMaxAdditionEx told it for the list it
    // passes (nil or empty: the configured one): a block that would not fit
    // is refused, as is one whose size the host could not be told.
    const int32_t addition = EncryptionAddition(recipients.size() - 1);
    const int64_t total = int64_t{*size} + addition;
    if (addition > GetMaxAdditionEx(abonents) || total > std::numeric_limits<int32_t>::max())
      return CE_ERR_BAD_ARGUMENT;
    encodedSize = static_cast<int32_t>(total);
    return 0;
  };
  operation.BeforeKey = [&]() -> int32_t {
    work = std::make_unique_for_overwrite<uint8_t[]>(static_cast<std::size_t>(encodedSize));
    return 0;
  };
  operation.Work = [&](TKestrelDLL &binding, const TKeyAccessSettings &settings) {
    const int32_t result =
        binding.EncryptMemory(ParamValue(kParamPathToSecret), data, *size, work.get(), ownKey,
                              recipients, ParamValue(kParamKeySerialNumber), settings.WaitTimeOut);
    if (result == 0) {
      std::memcpy(data, work.get(), static_cast<std::size_t>(encodedSize));
      *size = encodedSize;
    }
    return result;
  };
  return RunKeyOperation(operation);
}

int32_t TKestrel4Engine::DecodeData(void *data, int32_t *size, char *senderUID) {
  uint16_t ownKey = 0;

  TKeyOperation operation;
  operation.Name = "DecodeData";
  operation.Context = TLibraryContext::Crypto;
  operation.KeyParam = kParamEncodeUID;
  operation.RequireSlot0 = false;
  // The arguments are looked at only once the library is ready.
  operation.BeforeKey = [&]() -> int32_t {
    if (size == nullptr || *size < 1 || data == nullptr)
      return CE_ERR_BAD_ARGUMENT;
    const std::optional<uint16_t> own = ReadKeyNumber(ParamValue(kParamEncodeUID));
    if (!own)
      return CE_ERR_ENCODE_UID_SETTINGS;
    ownKey = *own;
    return 0;
  };
  // A nil sender buffer is refused by the binding, after the key was loaded.
  operation.Work = [&](TKestrelDLL &binding, const TKeyAccessSettings &settings) {
    return binding.DecryptMemory(ParamValue(kParamPathToSecret), data, size, ownKey, senderUID,
                                 settings.WaitTimeOut);
  };
  return RunKeyOperation(operation);
}
