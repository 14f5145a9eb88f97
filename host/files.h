// cehost's own files: opened by exactly the names the user gave, in the
// file system's own encoding, never through the module's Windows path
// boundary (which converts code pages and matches names case-insensitively).
// Implemented per system in os_posix.cpp and os_win.cpp (ModuleText in
// files.cpp).
#pragma once

#include <cstdint>
#include <limits>
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

// The whole file; a Failure (exit 4) naming the file when it cannot be read
// or holds more than `limit` bytes (read no further than that).
FileContent ReadFile(const std::string &name,
                     std::uintmax_t limit = std::numeric_limits<std::uintmax_t>::max());

// Writes the bytes to a new file beside the target, created exclusively
// under a name of its own (never through a link planted there), syncs it and
// renames it over the target, so the target holds its old or its new content
// at every moment. The new file keeps the permission bits of the file it
// replaces (or the usual ones for a new file) narrowed to at most
// permissionLimit. A Failure (exit 4) when any step fails; the old file is
// then untouched.
void WriteFile(const std::string &name, const std::vector<unsigned char> &data,
               unsigned permissionLimit = 0777);

// Bytes cehost read, handed to the module as a file of their own: the module
// reads names its own way (Windows-1251, '\' a separator, case-insensitive
// matching, %ZEVRoot% expanded), so it is never given the user's name, only
// this copy's. On Linux the copy is an anonymous file in memory, named by
// this process's descriptor of it (/proc/self/fd/N): no other process can
// put another file under that name, and nothing is left behind when cehost
// is killed. Elsewhere (or where that is not to be had) it lies in a fresh
// folder under the system's temporary folder that only this user may enter,
// under a plain ASCII name, created exclusively (never through a link) and
// readable by its owner alone. The copy goes when the object does. A
// Failure (exit 4) naming `of` when the copy cannot be made.
class ModuleCopy {
public:
  ModuleCopy(const std::vector<unsigned char> &bytes, const std::string &of);
  ~ModuleCopy();
  ModuleCopy(const ModuleCopy &) = delete;
  ModuleCopy &operator=(const ModuleCopy &) = delete;

  // The copy's path in the form the module takes.
  const std::string &ModulePath() const { return path_; }

private:
  void Remove();

  std::string folder_;
  std::string path_;
  int descriptor_ = -1; // the file in memory, where there is one
};
// Any text of the profile for the module: UTF-8 to Windows-1251, a Failure
// (exit 2) when Windows-1251 cannot hold it.
std::string ModuleText(const std::string &utf8, const std::string &what);

} // namespace cehost
