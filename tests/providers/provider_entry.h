// Definitions of the library's entry points in the test providers: the
// declarations come from the provider's header, the definitions add the
// export on Windows (the header leaves it to a .def file there).
#pragma once

#include "provider/include/kestrel.h"

#if defined(_WIN32)
#define TP_ENTRY extern "C" __declspec(dllexport) uint16_t KESTREL_CALL
#else
#define TP_ENTRY extern "C" uint16_t KESTREL_CALL
#endif

#ifndef TP_VERSION_MAJOR
#error "TP_VERSION_MAJOR, TP_VERSION_MINOR, TP_VERSION_RELEASE and TP_VERSION_BUILD are required"
#endif
