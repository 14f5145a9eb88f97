// Placeholder until public key management lands.
#include "engine/kestrel4_engine.h"

int32_t TKestrel4Engine::IncludePublicKey(const char *path) {
  return TCryptoEngine::IncludePublicKey(path);
}
int32_t TKestrel4Engine::IncludePublicEncodeKey(const char *path) {
  return TCryptoEngine::IncludePublicEncodeKey(path);
}
int32_t TKestrel4Engine::RemoveCertificate(const char *uid) {
  return TCryptoEngine::RemoveCertificate(uid);
}
void TKestrel4Engine::ClearCash() {}
