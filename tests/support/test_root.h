// A temporary installation root for tests, and the providers a test can put
// under it. The test programs find no provider of their own: a test gets
// exactly the provider it installs, and with none the library is missing.
#pragma once

#include <filesystem>
#include <string>

namespace cetest {

enum class Provider {
  Kestrel4,        // the project's provider, generation 4 (when built)
  Kestrel5,        // the project's provider, generation 5 (when built)
  Minimal4,        // every entry point, doing nothing; file version 4.3
  Minimal5,        // the same with file version 5.0
  WithoutGetAlias, // version 4.3, lacking GetAlias
  Double,          // the call-recording double, version 4.9 (generation 4)
  Double5,         // the call-recording double, version 5.1 (generation 5)
};

// The built file of a provider (native path), empty when it was not built.
std::filesystem::path ProviderArtifact(Provider provider);
bool ProviderAvailable(Provider provider);
// Other build artifacts the search tests use: the stand-in for the host-side
// module "CryptLib.dll" and the probe program.
std::filesystem::path HostModuleArtifact();
std::filesystem::path SearchProbeArtifact();

// The platform's file name of a library: "kestrel.dll" -> "libkestrel.so" on POSIX.
std::string PlatformLibraryName(const std::string &windowsName);

// The module's form of a native path (Windows-1251, backslashes).
std::string ModulePath(const std::filesystem::path &native);

// A fresh temporary directory, removed with everything in it at the end.
class TempDirectory {
public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory &) = delete;
  TempDirectory &operator=(const TempDirectory &) = delete;

  const std::filesystem::path &Native() const { return native_; }
  // The directory in the module's form, without a trailing backslash.
  const std::string &Path() const { return path_; }
  // A file or directory under it, in the module's form ("EXE\kestrel.dll").
  std::string PathOf(const std::string &relative) const;
  // Copies a file to relative (directories are created); returns the copy's
  // path in the module's form.
  std::string CopyFile(const std::filesystem::path &source, const std::string &relative) const;

private:
  std::filesystem::path native_;
  std::string path_;
};

// An installation root: a temporary directory whose providers go into its
// EXE, SYSTEM or USER directory.
class TestRoot : public TempDirectory {
public:
  // Copies the provider to <root>\<dir>\ under the platform's file name of
  // "kestrel.dll" and returns that path (module form). Fails the test when
  // the provider was not built: check ProviderAvailable first for the
  // project's provider.
  std::string Install(Provider provider, const std::string &dir = "EXE") const;
  // Makes this the module's root (SetRootDirectory).
  void SetAsRoot() const;
};

} // namespace cetest
