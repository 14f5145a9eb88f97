// Placeholder until the memory signing calls land.
#include "kestrel/kestrel_dll.h"

int32_t TKestrelDLL::SignMemory(const std::string &, const void *, int32_t, void *, int32_t *,
                                const std::string &, int32_t) {
  return kNotInitialized;
}
int32_t TKestrelDLL::VerifyMemory(const void *, int32_t, const void *, int32_t, std::string &) {
  return kNotInitialized;
}
int32_t TKestrelDLL::AddSignature(void *, int32_t *, const std::string &) {
  return kNotInitialized;
}
int32_t TKestrelDLL::DeleteSignature(void *, int32_t *, std::string &) { return kNotInitialized; }
