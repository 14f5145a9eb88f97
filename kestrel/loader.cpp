// Placeholder until the library loader lands.
#include "kestrel/kestrel_dll.h"

TKestrelUnit::~TKestrelUnit() = default;
TKestrelDLL::TKestrelDLL() = default;
int32_t TKestrelDLL::InitCrypto(const std::string &, const std::string &) { return -1; }
int32_t TKestrelDLL::DoneCrypto() { return -1; }
int32_t TKestrelDLL::InitSign(const std::string &, const std::string &) { return -1; }
int32_t TKestrelDLL::DoneSign() { return -1; }
