// The file version reader: it parses whatever file the library search finds
// under the name of the provider library, so any bytes at all may reach it.
#include "fuzz_support.h"

#include "platform/platform.h"

#include <cstring>

namespace {

std::uint32_t Le32(const std::uint8_t *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// True when the input holds, somewhere, a "FileVersion" note record
// (namesz 12, descsz of at least 8, type 1) whose four numbers are v.
bool HoldsNoteWith(const std::uint8_t *data, std::size_t size, const platform::FileVersion &v) {
  static constexpr char kName[12] = "FileVersion";
  for (std::size_t i = 0; i + 32 <= size; ++i) {
    const std::uint8_t *p = data + i;
    if (Le32(p) == 12 && Le32(p + 4) >= 8 && Le32(p + 8) == 1 &&
        std::memcmp(p + 12, kName, sizeof kName) == 0 && Le16(p + 24) == v.Major &&
        Le16(p + 26) == v.Minor && Le16(p + 28) == v.Release && Le16(p + 30) == v.Build)
      return true;
  }
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const cefuzz::TempFolder folder("ce-fuzz-version");
  static const std::string file = folder.Path() + "/libkestrel.so";
  cefuzz::WriteScratchFile(file, data, size);

  const std::optional<platform::FileVersion> version = platform::FileVersionOf(file);
  if (version) {
    // A version is only ever read from an ELF file's own note.
    FUZZ_CHECK(size >= 4 && std::memcmp(data,
                                        "\x7f"
                                        "ELF",
                                        4) == 0);
    FUZZ_CHECK(HoldsNoteWith(data, size, *version));
  }
  return 0;
}
