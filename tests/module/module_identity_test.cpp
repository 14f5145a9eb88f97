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
// A text entry (DT_SONAME, DT_RUNPATH) of a loaded library's dynamic
// section, or what kept it from being read.
std::string DynamicTextOf(const char *path, ElfW(Sxword) tag) {
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
  ElfW(Xword) offset = 0;
  bool found = false;
  for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_STRTAB)
      strings = reinterpret_cast<const char *>(d->d_un.d_ptr);
    else if (d->d_tag == tag) {
      offset = d->d_un.d_val;
      found = true;
    }
  }
  return strings != nullptr && found ? std::string(strings + offset) : "(none)";
}

std::string SonameOf(const char *path) { return DynamicTextOf(path, DT_SONAME); }

// The libraries a host loads look for their dependencies beside themselves
// only: every RUNPATH entry starts at $ORIGIN or the root. An empty or
// relative entry would be searched from the host's current directory, where
// anybody may have put a library of the same name.
TEST(ModuleIdentity, LibrariesSearchNoFolderRelativeToTheCurrentOne) {
  for (const char *library : {CE_MODULE_FILE, CE_PROVIDER_FILE}) {
    SCOPED_TRACE(library);
    const std::string runpath = DynamicTextOf(library, DT_RUNPATH);
    ASSERT_FALSE(runpath.starts_with("(not loadable")) << runpath;
    if (runpath == "(none)")
      continue;
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = runpath.find(':', start);
      const std::string entry = runpath.substr(start, end - start);
      EXPECT_TRUE(entry.starts_with("$ORIGIN") || entry.starts_with("/"))
          << "entry \"" << entry << "\" of " << runpath;
      if (end == std::string::npos)
        break;
      start = end + 1;
    }
  }
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
