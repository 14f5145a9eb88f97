// The process-wide installation root and the library search that uses it.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

// The root state of one module context (engine/module_context.h): created at
// module load and released at unload.
struct TRootPathUnit {
  std::string RootPath;              // empty until set; ends with a backslash
  std::vector<std::string> RootDirs; // RootPath + EXE\, SYSTEM\, USER\ once set

  // Sets the root once; raises when a different root is already set.
  void SetRootDirectory(const std::string &path);
  // Resolves a library file name to the path to load; never fails.
  std::string FindLibraryFile(const std::string &fileName) const;
  platform::ModuleHandle LoadLibraryFromRoot(const std::string &fileName) const;
  // LoadLibraryFromRoot, then a second attempt beside the module "CryptLib.dll".
  platform::ModuleHandle LoadCryptoLibrary(const std::string &fileName) const;
};
