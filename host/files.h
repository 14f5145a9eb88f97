// cehost's own files: opened by exactly the names the user gave, in the
// file system's own encoding, never through the module's Windows path
// boundary (which converts code pages and matches names case-insensitively).
// Implemented per system in os_posix.cpp and os_win.cpp (ModuleText in
// files.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cehost {

struct FileContent {
  std::vector<unsigned char> bytes;
  unsigned permissions = 0777; // the file's permission bits (POSIX), 0777 where there are none
};

enum class PathKind { Missing, File, Directory, Other };
PathKind KindOf(const std::string &name);

// The whole file; a Failure (exit 4) naming the file when it cannot be read.
FileContent ReadFile(const std::string &name);

// Writes the bytes to a new file beside the target, created exclusively
// under a name of its own (never through a link planted there), syncs it and
// renames it over the target, so the target holds its old or its new content
// at every moment. The new file keeps the permission bits of the file it
// replaces (or the usual ones for a new file) narrowed to at most
// permissionLimit. A Failure (exit 4) when any step fails; the old file is
// then untouched.
void WriteFile(const std::string &name, const std::vector<unsigned char> &data,
               unsigned permissionLimit = 0777);

// A path from the command line in the form the module takes (Windows-1251).
// On POSIX the command line is UTF-8; a name Windows-1251 cannot hold is a
// Failure (exit 2) that says so. Windows passes its command line unchanged.
std::string ModulePath(const std::string &argument, const std::string &what);
// Any text of the profile for the module: UTF-8 to Windows-1251, a Failure
// (exit 2) when Windows-1251 cannot hold it.
std::string ModuleText(const std::string &utf8, const std::string &what);

} // namespace cehost
