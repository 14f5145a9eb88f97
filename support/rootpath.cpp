// The process-wide installation root and the library search that uses it.
#include "support/rootpath.h"

#include <stdexcept>
#include <string_view>

namespace {

std::string WithTrailingBackslash(std::string path) {
  if (path.empty() || path.back() != '\\')
    path += '\\';
  return path;
}

bool HasDirectoryPart(std::string_view name) { return platform::DirectoryPartLength(name) > 0; }

// The directory part of a full file name, with its trailing separator.
std::string DirectoryPart(const std::string &fileName) {
  return fileName.substr(0, platform::DirectoryPartLength(fileName));
}

// The existence test of the search: the file the platform would load for
// this library name.
bool LibraryFileExists(const std::string &path) {
  return platform::FileExists(platform::LibraryFileName(path));
}

} // namespace

void TRootPathUnit::SetRootDirectory(const std::string &path) {
  std::string requested = WithTrailingBackslash(path);
  if (!RootPath.empty()) {
    if (RootPath == requested)
      return;
    throw std::runtime_error("Could not set ZEVRoot to '" + path + "'. Already set to '" +
                             RootPath + "'.");
  }

  std::vector<std::string> dirs = {requested + "EXE\\", requested + "SYSTEM\\",
                                   requested + "USER\\"};
  std::string searchPath = platform::GetEnvironment("Path").value_or(std::string());
  searchPath = searchPath.substr(0, searchPath.find('\0'));
  for (const std::string &dir : dirs)
    searchPath = searchPath.empty() ? dir : dir + ";" + searchPath;

  // Everything that can fail is done: commit the root, then the environment.
  RootPath = std::move(requested);
  RootDirs = std::move(dirs);
  (void)platform::SetEnvironment("Path", searchPath); // a failed write is ignored
}

std::string TRootPathUnit::FindLibraryFile(const std::string &fileName) const {
  if (HasDirectoryPart(fileName))
    return fileName;

  std::string beside = platform::ExecutableDirectory();
  if (!beside.empty()) {
    beside += fileName;
    if (LibraryFileExists(beside))
      return beside;
  }
  for (const std::string &dir : RootDirs) {
    std::string candidate = dir + fileName;
    if (LibraryFileExists(candidate))
      return candidate;
  }
  return fileName;
}

platform::ModuleHandle TRootPathUnit::LoadLibraryFromRoot(const std::string &fileName) const {
  return platform::LoadLibraryFile(FindLibraryFile(fileName));
}

platform::ModuleHandle TRootPathUnit::LoadCryptoLibrary(const std::string &fileName) const {
  if (platform::ModuleHandle handle = LoadLibraryFromRoot(fileName))
    return handle;

  // Beside the host-side module; when none is loaded the platform answers
  // with the host executable's file name.
  const std::string hostModule = platform::ModuleFileName(platform::LoadedModule("CryptLib.dll"));
  if (hostModule.empty())
    return nullptr;
  return LoadLibraryFromRoot(DirectoryPart(hostModule) + fileName);
}
