// Placeholder until signing lands.
#include "engine/kestrel4_engine.h"

int32_t TKestrel4Engine::SignData(const void *data, int32_t dataLength, void *signature,
                                  int32_t *signatureLength, const char *signerUID) {
  return TCryptoEngine::SignData(data, dataLength, signature, signatureLength, signerUID);
}
int32_t TKestrel4Engine::VerifyData(const void *data, int32_t dataLength, const void *signature,
                                    int32_t signatureLength, char *signerUID) {
  return TCryptoEngine::VerifyData(data, dataLength, signature, signatureLength, signerUID);
}
int32_t TKestrel4Engine::AddSign(void *data, int32_t *length, const char *signerUID) {
  return TCryptoEngine::AddSign(data, length, signerUID);
}
int32_t TKestrel4Engine::RemoveSignature(void *data, int32_t *length, char *signerUID) {
  return TCryptoEngine::RemoveSignature(data, length, signerUID);
}
