// The module file tells what it is without being loaded (its file version),
// and on POSIX the names a host or the linker load it by reach it.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <link.h>
#endif

namespace {

TEST(ModuleIdentity, FileVersionIsTheProjectVersion) {
  const std::array<unsigned, 4> expected{CE_EXPECTED_VERSION};
  const auto version = platform::FileVersionOf(CE_MODULE_FILE);
  ASSERT_TRUE(version.has_value()) << CE_MODULE_FILE << " carries no file version";
  EXPECT_EQ(
      (std::array<unsigned, 4>{version->Major, version->Minor, version->Release, version->Build}),
      expected);
}

#if !defined(_WIN32)
// The SONAME recorded in the loaded module's dynamic section.
std::string SonameOf(const char *path) {
  struct Closer {
    void operator()(void *handle) const { ::dlclose(handle); }
  };
  const std::unique_ptr<void, Closer> handle(::dlopen(path, RTLD_NOW | RTLD_LOCAL));
  if (!handle)
    return "(not loadable: " + std::string(::dlerror()) + ")";
  link_map *map = nullptr;
  if (::dlinfo(handle.get(), RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
    return "(no link map)";
  const char *strings = nullptr;
  ElfW(Xword) soname = 0;
  bool hasSoname = false;
  for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_STRTAB)
      strings = reinterpret_cast<const char *>(d->d_un.d_ptr);
    else if (d->d_tag == DT_SONAME) {
      soname = d->d_un.d_val;
      hasSoname = true;
    }
  }
  return strings != nullptr && hasSoname ? std::string(strings + soname) : "(no SONAME)";
}

TEST(ModuleIdentity, SonameIsTheNameHostsLoadAndLinksReachTheVersionedFile) {
  namespace fs = std::filesystem;
  EXPECT_EQ(SonameOf(CE_MODULE_FILE), CE_MODULE_SONAME);
  EXPECT_EQ(fs::path(CE_MODULE_SONAME_FILE).filename(), CE_MODULE_SONAME);

  const std::array<unsigned, 4> expected{CE_EXPECTED_VERSION};
  const std::string fullVersion = ".so." + std::to_string(expected[0]) + "." +
                                  std::to_string(expected[1]) + "." + std::to_string(expected[2]);
  EXPECT_TRUE(std::string(CE_MODULE_FILE).ends_with(fullVersion)) << CE_MODULE_FILE;

  // The SONAME link and the development link, each a symbolic link that
  // ends at the versioned file.
  for (const char *link : {CE_MODULE_SONAME_FILE, CE_MODULE_LINKER_FILE}) {
    SCOPED_TRACE(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::equivalent(link, CE_MODULE_FILE));
  }
}
#endif

} // namespace
