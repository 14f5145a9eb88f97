// Stands in for the host-side module "CryptLib.dll": the library search
// also looks beside it. It needs no content of its own.
#if defined(_WIN32)
extern "C" __declspec(dllexport) int HostModuleMarker(void) { return 1; }
#else
extern "C" __attribute__((visibility("default"))) int HostModuleMarker(void) { return 1; }
#endif
