// The file version as an ELF note ("FileVersion", type 1, four 16-bit
// numbers: major, minor, release, build) that can be read from the file
// without loading it.
#include <cstdint>

#ifndef KESTREL_VERSION_MAJOR
#error "KESTREL_VERSION_* must be defined"
#endif

namespace {

struct VersionNote {
  std::uint32_t nameSize;
  std::uint32_t descriptorSize;
  std::uint32_t type;
  char name[12];
  std::uint16_t version[4];
};

__attribute__((section(".note.kestrel.version"), used, aligned(4))) const VersionNote kNote = {
    12,
    8,
    1,
    "FileVersion",
    {KESTREL_VERSION_MAJOR, KESTREL_VERSION_MINOR, KESTREL_VERSION_RELEASE, KESTREL_VERSION_BUILD}};

} // namespace
