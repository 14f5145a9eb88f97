// Placeholder until the engine's library connection lands.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"

int32_t TKestrel4Engine::GetCryptoAPI() { return -113; }
int32_t TKestrel4Engine::InitCrypto() { return -100; }
int32_t TKestrel4Engine::InitSign() { return -100; }
void TKestrel4Engine::DoneCrypto() { FCryptoInitialized = false; }
void TKestrel4Engine::DoneSign() { FSignInitialized = false; }
