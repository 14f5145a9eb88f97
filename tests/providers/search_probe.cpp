// A host program for the library search tests: it can be copied anywhere,
// so that "beside the host executable" means a directory the test chose.
// Usage: ce_search_probe [root]. Sets the root when one is given, builds a
// binding and prints what it found on one line:
//   loaded=<0|1> all=<0|1> generation=<4|5> file=<library file name>
#include "engine/module_context.h"
#include "kestrel/kestrel_dll.h"

#include <cstdio>
#include <exception>

int main(int argc, char **argv) {
  try {
    TModuleContext &module = TModuleContext::Current();
    if (argc > 1)
      module.RootPath.SetRootDirectory(argv[1]);
    const TKestrelDLL binding(module.Kestrel);
    const TKestrelUnit &unit = module.Kestrel;
    const std::string file =
        unit.LoadedLibrary() != nullptr ? platform::ModuleFileName(unit.LoadedLibrary()) : "";
    std::printf("loaded=%d all=%d generation=%d file=%s\n", binding.FLoaded ? 1 : 0,
                binding.FAllEntryPoints ? 1 : 0, static_cast<int>(unit.LoadedGeneration()),
                file.c_str());
    return 0;
  } catch (const std::exception &e) {
    std::printf("error=%s\n", e.what());
    return 1;
  }
}
