#include "tests/support/test_root.h"

#include "platform/cp1251.h"
#include "platform/platform.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <system_error>

namespace cetest {
namespace {

// Build artifacts arrive as the build system's paths; under Wine a Unix
// path is reached through the drive that maps the Unix root.
std::filesystem::path Artifact(const char *path) {
  std::string p = path;
#if defined(_WIN32)
  if (!p.empty() && p.front() == '/')
    p = "Z:" + p;
#endif
  return std::filesystem::path(p).make_preferred();
}

std::filesystem::path FreshDirectory() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (;;) {
    const std::string name = "ce-test-" + std::to_string(random()) + "-" +
                             std::to_string(stamp % 1000000) + "-" +
                             std::to_string(counter.fetch_add(1));
    std::filesystem::path candidate = base / name;
    if (std::filesystem::create_directory(candidate))
      return std::filesystem::canonical(candidate);
  }
}

} // namespace

std::filesystem::path ProviderArtifact(Provider provider) {
  switch (provider) {
  case Provider::Kestrel4:
#if defined(CE_TEST_PROVIDER_REAL4)
    return Artifact(CE_TEST_PROVIDER_REAL4);
#else
    return {};
#endif
  case Provider::Kestrel5:
#if defined(CE_TEST_PROVIDER_REAL5)
    return Artifact(CE_TEST_PROVIDER_REAL5);
#else
    return {};
#endif
  case Provider::Minimal4:
    return Artifact(CE_TEST_PROVIDER_MIN4);
  case Provider::Minimal5:
    return Artifact(CE_TEST_PROVIDER_MIN5);
  case Provider::WithoutGetAlias:
    return Artifact(CE_TEST_PROVIDER_NO_ALIAS);
  case Provider::Double:
    return Artifact(CE_TEST_PROVIDER_DOUBLE);
  case Provider::Double5:
    return Artifact(CE_TEST_PROVIDER_DOUBLE5);
  }
  return {};
}

bool ProviderAvailable(Provider provider) {
  const std::filesystem::path file = ProviderArtifact(provider);
  std::error_code ec;
  return !file.empty() && std::filesystem::is_regular_file(file, ec);
}

std::filesystem::path HostModuleArtifact() { return Artifact(CE_TEST_HOST_MODULE); }
std::filesystem::path SearchProbeArtifact() { return Artifact(CE_TEST_SEARCH_PROBE); }

std::string PlatformLibraryName(const std::string &windowsName) {
  return platform::LibraryFileName(windowsName);
}

std::string ModulePath(const std::filesystem::path &native) {
  const std::u8string utf8 = native.u8string();
  std::string path = platform::Utf8ToCp1251(std::string(utf8.begin(), utf8.end()));
  for (char &c : path)
    if (c == '/')
      c = '\\';
  return path;
}

TempDirectory::TempDirectory() : native_(FreshDirectory()), path_(ModulePath(native_)) {}

TempDirectory::~TempDirectory() {
  std::error_code ignored; // a library still loaded from here may stay behind on Windows
  std::filesystem::remove_all(native_, ignored);
}

std::string TempDirectory::PathOf(const std::string &relative) const {
  return path_ + "\\" + relative;
}

std::string TempDirectory::CopyFile(const std::filesystem::path &source,
                                    const std::string &relative) const {
  const std::string target = PathOf(relative);
  const std::filesystem::path native(platform::NativePath(target));
  std::filesystem::create_directories(native.parent_path());
  std::filesystem::copy_file(source, native, std::filesystem::copy_options::overwrite_existing);
  return target;
}

std::string TestRoot::Install(Provider provider, const std::string &dir) const {
  const std::filesystem::path artifact = ProviderArtifact(provider);
  EXPECT_FALSE(artifact.empty()) << "provider not built";
  return CopyFile(artifact, dir + "\\" + PlatformLibraryName("kestrel.dll"));
}

void TestRoot::SetAsRoot() const { SetRootDirectory(Path()); }

} // namespace cetest
