// Placeholder until the root path and library search land.
#include "support/rootpath.h"

void SetRootDirectory(const std::string &) {}
std::string FindLibraryFile(const std::string &fileName) { return fileName; }
platform::ModuleHandle LoadLibraryFromRoot(const std::string &) { return nullptr; }
platform::ModuleHandle LoadCryptoLibrary(const std::string &) { return nullptr; }
