// Placeholder until key loading lands.
#include "kestrel/kestrel_dll.h"

int32_t TKestrelDLL::LoadKey(const std::string &, bool, const std::string &, int32_t, int32_t,
                             bool, int32_t) {
  return kNotInitialized;
}
