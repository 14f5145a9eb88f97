// Placeholder until the key report lands.
#include "engine/kestrel4_engine.h"

int32_t TKestrel4Engine::GetMaxReportSize() { return 1024; }
int32_t TKestrel4Engine::GetReport(const char *uid, char *buffer) {
  return TCryptoEngine::GetReport(uid, buffer);
}
