// Detached signatures (make and verify) and signatures attached to a host
// buffer in place (add and remove), all with the user's signature key.
#include "engine/key_operation.h"
#include "kestrel/kestrel_dll.h"

#include <cstring>

namespace {

// The signer named by the caller, or the user's own signature key.
std::string ChooseSigner(const char *signerUID, const std::string &signUID) {
  return signerUID != nullptr && *signerUID != '\0' ? std::string(signerUID) : signUID;
}

// Hands a signer's key number to the host: its 12 characters and a NUL.
void CopySigner(const std::string &signer, char *signerUID) {
  std::memcpy(signerUID, signer.data(), signer.size());
  signerUID[signer.size()] = '\0';
}

// A signing operation: its name, its slot requirement and its library work.
TKeyOperation SigningOperation(const char *name, bool requireSlot0) {
  TKeyOperation operation;
  operation.Name = name;
  operation.Context = TLibraryContext::Sign;
  operation.KeyParam = kParamSignUID; // the key loaded is always the user's own
  operation.RequireSlot0 = requireSlot0;
  return operation;
}

} // namespace

int32_t TKestrel4Engine::SignData(const void *data, int32_t dataLength, void *signature,
                                  int32_t *signatureLength, const char *signerUID) {
  TKeyOperation operation = SigningOperation("SignData", false);
  // The key is loaded before the arguments are looked at.
  operation.AfterKey = [&]() -> int32_t {
    return dataLength < 1 || data == nullptr || signature == nullptr || signatureLength == nullptr
               ? CE_ERR_BAD_ARGUMENT
               : 0;
  };
  operation.Work = [&](TKestrelDLL &binding, const TKeyAccessSettings &settings) {
    *signatureLength = 0;
    return binding.SignMemory(ParamValue(kParamPathToSecret), data, dataLength, signature,
                              signatureLength, ChooseSigner(signerUID, ParamValue(kParamSignUID)),
                              settings.WaitTimeOut);
  };
  return RunKeyOperation(operation);
}

int32_t TKestrel4Engine::VerifyData(const void *data, int32_t dataLength, const void *signature,
                                    int32_t signatureLength, char *signerUID) {
  TKeyOperation operation = SigningOperation("VerifyData", ReadUse0SlotForVerify());
  operation.AfterKey = [&]() -> int32_t {
    return dataLength < 1 || data == nullptr || signatureLength < 1 || signature == nullptr ||
                   signerUID == nullptr
               ? CE_ERR_BAD_ARGUMENT
               : 0;
  };
  operation.Work = [&](TKestrelDLL &binding, const TKeyAccessSettings &) {
    std::string signer;
    const int32_t result =
        binding.VerifyMemory(data, dataLength, signature, signatureLength, signer);
    if (result == 0)
      CopySigner(signer, signerUID);
    return result;
  };
  return RunKeyOperation(operation);
}

int32_t TKestrel4Engine::AddSign(void *data, int32_t *length, const char *signerUID) {
  TKeyOperation operation = SigningOperation("AddSign", false);
  operation.AfterKey = [&]() -> int32_t {
    return length == nullptr || *length < 1 || data == nullptr ? CE_ERR_BAD_ARGUMENT : 0;
  };
  operation.Work = [&](TKestrelDLL &binding, const TKeyAccessSettings &) {
    return binding.AddSignature(data, length, ChooseSigner(signerUID, ParamValue(kParamSignUID)));
  };
  return RunKeyOperation(operation);
}

int32_t TKestrel4Engine::RemoveSignature(void *data, int32_t *length, char *signerUID) {
  TKeyOperation operation = SigningOperation("RemoveSignature", ReadUse0SlotForVerify());
  // Bad arguments end the operation before any key is loaded.
  operation.BeforeKey = [&]() -> int32_t {
    return length == nullptr || *length < 1 || data == nullptr || signerUID == nullptr
               ? CE_ERR_BAD_ARGUMENT
               : 0;
  };
  operation.Work = [&](TKestrelDLL &binding, const TKeyAccessSettings &) {
    std::string signer;
    const int32_t result = binding.DeleteSignature(data, length, signer);
    if (result == 0)
      CopySigner(signer, signerUID);
    return result;
  };
  return RunKeyOperation(operation);
}
