// Encrypting a memory block for a list of recipients and decrypting one in
// place, each library call waiting for the key device while the host shows
// its request window.
#include "kestrel/call_arguments.h"
#include "kestrel/device_wait.h"
#include "kestrel/kestrel_dll.h"

#include <algorithm>

namespace {

// A recipient array is at least one recipient followed by the closing 0, and
// that 0 is its only one: an earlier 0 would end the list before the library
// reached the recipients the caller sized the output for.
bool IsWellFormedRecipientArray(const std::vector<uint16_t> &recipients) {
  return recipients.size() >= 2 && recipients.back() == 0 &&
         std::find(recipients.begin(), recipients.end() - 1, 0) == recipients.end() - 1;
}

} // namespace

int32_t TKestrelDLL::EncryptMemory(const std::string &secretPath, const void *input, int32_t length,
                                   void *output, uint16_t ownKey,
                                   const std::vector<uint16_t> &recipients,
                                   const std::string &keySerial, int32_t waitTimeOut) {
  if (!EntryPointsPresent(FEnCryptMem))
    return kNotInitialized;
  if (!kestrel::IsBlock(input, length) || output == nullptr)
    return kInvalidParameters;
  if (!IsWellFormedRecipientArray(recipients))
    return kBadRecipients;
  const std::vector<uint16_t> list(recipients); // the library gets a copy of its own
  return RunDeviceWaitLoop(secretPath, waitTimeOut, FTMRequestFunc, IsDeviceWaitCode, [&] {
    return kestrel::Widen(
        FEnCryptMem(input, length, output, ownKey, list.data(), keySerial.c_str()));
  });
}

int32_t TKestrelDLL::DecryptMemory(const std::string &secretPath, void *block, int32_t *length,
                                   uint16_t ownKey, char *sender, int32_t waitTimeOut) {
  if (!EntryPointsPresent(FDeCryptMem, FGetMemSenderID))
    return kNotInitialized;
  if (!kestrel::IsBlock(block, length) || sender == nullptr)
    return kInvalidParameters;
  // Without a known sender the block stays encrypted.
  if (const int32_t result = kestrel::Widen(FGetMemSenderID(block, *length, sender)); result != 0)
    return result;
  return RunDeviceWaitLoop(secretPath, waitTimeOut, FTMRequestFunc, IsDeviceWaitCode,
                           [&] { return kestrel::Widen(FDeCryptMem(block, length, ownKey)); });
}
