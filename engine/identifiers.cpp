// Placeholder until the identifier operations land.
#include "engine/kestrel4_engine.h"

int32_t TKestrel4Engine::GetCurrentUID(char *buffer) { return TCryptoEngine::GetCurrentUID(buffer); }
int32_t TKestrel4Engine::GetEncodeUIDBySignUID(const char *signUID, char *encodeUID) {
  return TCryptoEngine::GetEncodeUIDBySignUID(signUID, encodeUID);
}
