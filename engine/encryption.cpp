// Placeholder until encryption lands.
#include "engine/kestrel4_engine.h"

int32_t TKestrel4Engine::EncodeData(void *data, int32_t *size, const char *abonents) {
  return TCryptoEngine::EncodeData(data, size, abonents);
}
int32_t TKestrel4Engine::DecodeData(void *data, int32_t *size, char *senderUID) {
  return TCryptoEngine::DecodeData(data, size, senderUID);
}
