// Detached signatures over memory blocks (make, verify) and signatures
// attached to a block in place (add, check and remove).
#include "kestrel/call_arguments.h"
#include "kestrel/device_wait.h"
#include "kestrel/kestrel_dll.h"
#include "support/exception_text.h"

namespace {

// Signer key numbers shorter than this are refused before the library sees them.
constexpr std::size_t kMinSignerLength = 6;

// The status array the library allocated for a signature check. Once the
// check has succeeded the array belongs to the binding, which hands it back
// to the library's FreeMemory whichever way it ends; after a failed check
// the library has handed out nothing.
class TStatusArray {
public:
  explicit TStatusArray(kestrel::PFreeMemory freeMemory) : FFreeMemory(freeMemory) {}
  ~TStatusArray() {
    if (FOwned && FStatus != nullptr && FFreeMemory != nullptr)
      FFreeMemory(FStatus);
  }
  TStatusArray(const TStatusArray &) = delete;
  TStatusArray &operator=(const TStatusArray &) = delete;

  void **Address() { return &FStatus; }
  uint8_t *Count() { return &FCount; }
  // The library's result of the check; a successful check hands the array over.
  int32_t Checked(kestrel::Result result) {
    FOwned = result == 0;
    return kestrel::Widen(result);
  }

  // The outcome of the first signature: 0 with its signer's key number, -4
  // when the library found no signature, 1000 + verdict when it did not
  // check out.
  int32_t FirstSignature(std::string &signer) const {
    if (FCount < 1)
      return TKestrelDLL::kBadSignaturesCount;
    if (FStatus == nullptr)
      throw EAssertionFailed("Kestrel reported signatures without status records");
    const auto *record = static_cast<const char *>(FStatus);
    if (const auto verdict = static_cast<uint8_t>(record[kestrel::kStatusVerdictOffset]);
        verdict != 0)
      return kestrel::kVerdictBase + verdict;
    signer.assign(record, kestrel::kStatusSignerLength);
    return 0;
  }

private:
  kestrel::PFreeMemory FFreeMemory;
  void *FStatus = nullptr;
  uint8_t FCount = 0;
  bool FOwned = false;
};

} // namespace

int32_t TKestrelDLL::SignMemory(const std::string &secretPath, const void *data, int32_t length,
                                void *signature, int32_t *signatureLength,
                                const std::string &keyNumber, int32_t waitTimeOut) {
  if (!EntryPointsPresent(FSignMemSeparateEx))
    return kNotInitialized;
  if (!kestrel::IsBlock(data, length) || signature == nullptr || signatureLength == nullptr)
    return kInvalidParameters;
  if (keyNumber.size() < kMinSignerLength)
    return kBadUID;
  return RunDeviceWaitLoop(secretPath, waitTimeOut, FTMRequestFunc, IsDeviceWaitCode, [&] {
    return kestrel::Widen(
        FSignMemSeparateEx(data, length, signatureLength, keyNumber.c_str(), signature));
  });
}

int32_t TKestrelDLL::VerifyMemory(const void *data, int32_t length, const void *signature,
                                  int32_t signatureLength, std::string &signer) {
  if (!EntryPointsPresent(FCheckMemSeparate))
    return kNotInitialized;
  if (!kestrel::IsBlock(data, length) || signature == nullptr)
    return kInvalidParameters;
  TStatusArray status(FFreeMemory);
  if (const int32_t result = status.Checked(FCheckMemSeparate(
          data, length, signatureLength, status.Count(), status.Address(), signature));
      result != 0)
    return result;
  return status.FirstSignature(signer);
}

int32_t TKestrelDLL::AddSignature(void *block, int32_t *length, const std::string &keyNumber) {
  RequireEntryPoints("AddSignature", FSignMemEx);
  if (!kestrel::IsBlock(block, length))
    return kInvalidParameters;
  if (keyNumber.size() < kMinSignerLength)
    return kBadUID;
  return kestrel::Widen(FSignMemEx(block, length, keyNumber.c_str()));
}

int32_t TKestrelDLL::DeleteSignature(void *block, int32_t *length, std::string &signer) {
  RequireEntryPoints("DeleteSignature", Fcheck_mem_sign, FDel_Mem_Sign, FFreeMemory);
  if (!kestrel::IsBlock(block, length))
    return kInvalidParameters;
  TStatusArray status(FFreeMemory);
  if (const int32_t result =
          status.Checked(Fcheck_mem_sign(block, *length, status.Count(), status.Address()));
      result != 0)
    return result;
  // Only a valid first signature is taken off the block.
  if (const int32_t result = status.FirstSignature(signer); result != 0)
    return result;
  return kestrel::Widen(FDel_Mem_Sign(block, length, 1));
}
