// Placeholder until the public key directory calls land.
#include "kestrel/kestrel_dll.h"

int32_t TKestrelDLL::AddPublicKey(const std::string &, const std::string &, const std::string &,
                                  uint8_t) {
  return kNotInitialized;
}
int32_t TKestrelDLL::DeletePublicKey(const std::string &, const std::string &, uint8_t,
                                     const std::string &) {
  return kNotInitialized;
}
int32_t TKestrelDLL::ExtractPublicKey(const std::string &, const std::string &, std::string &) {
  return kNotInitialized;
}
