// Placeholder until the engine's result texts land.
#include "engine/kestrel4_engine.h"

void TKestrel4Engine::GetCryptoErrorString(int32_t code, char *buffer) {
  TCryptoEngine::GetCryptoErrorString(code, buffer);
}
