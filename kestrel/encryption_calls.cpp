// Placeholder until the memory encryption calls land.
#include "kestrel/kestrel_dll.h"

int32_t TKestrelDLL::EncryptMemory(const std::string &, const void *, int32_t, void *, uint16_t,
                                   const std::vector<uint16_t> &, const std::string &, int32_t) {
  return kNotInitialized;
}
int32_t TKestrelDLL::DecryptMemory(const std::string &, void *, int32_t *, uint16_t, char *,
                                   int32_t) {
  return kNotInitialized;
}
