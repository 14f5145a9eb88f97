/*
 * The file version of a POSIX shared library, readable from the file without
 * loading it (platform::FileVersionOf). It plays the part of the VERSIONINFO
 * resource a Windows DLL carries.
 *
 * Format: one ELF note in a section whose name begins with ".note" (the
 * assembler then gives it the type SHT_NOTE):
 *   namesz = 12, descsz = 8, type = 1, name = "FileVersion\0",
 *   desc   = four little-endian uint16: major, minor, release, build.
 *
 * Use: put CE_FILE_VERSION_NOTE(major, minor, release, build) once at file
 * scope in one C or C++ source of the library, e.g.
 *     #include "platform/file_version_note.h"
 *     CE_FILE_VERSION_NOTE(4, 2, 0, 17)
 * On Windows the macro expands to nothing: give the DLL a VERSIONINFO
 * resource (.rc) with the same FILEVERSION instead.
 */
#ifndef CE_FILE_VERSION_NOTE_H
#define CE_FILE_VERSION_NOTE_H

#include <stdint.h>

#define CE_FILE_VERSION_NOTE_TYPE 1
#define CE_FILE_VERSION_NOTE_SECTION ".note.file_version"

struct ce_file_version_note {
  uint32_t namesz;
  uint32_t descsz;
  uint32_t type;
  char name[12];
  uint16_t version[4];
};

#if defined(_WIN32)
#define CE_FILE_VERSION_NOTE(major, minor, release, build)
#else
#define CE_FILE_VERSION_NOTE(major, minor, release, build)                                         \
  __attribute__((                                                                                  \
      section(CE_FILE_VERSION_NOTE_SECTION), used,                                                 \
      aligned(4))) static const struct ce_file_version_note ce_file_version_note_instance = {      \
      12, 8, CE_FILE_VERSION_NOTE_TYPE, "FileVersion", {(major), (minor), (release), (build)}};
#endif

#endif /* CE_FILE_VERSION_NOTE_H */
