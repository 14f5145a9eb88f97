// Placeholder until the result texts land.
#include "kestrel/kestrel_dll.h"

void TKestrelDLL::GetErrorText(char *, int32_t, int32_t) {}
