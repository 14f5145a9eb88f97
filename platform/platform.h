// The thin operating-system layer: only what the C++ standard library lacks.
// One interface, implemented for Windows (platform_win.cpp) and POSIX
// (platform_posix.cpp). Paths and names come in their Windows form
// (backslashes, Windows-1251); on POSIX every path that reaches the file
// system goes through NativePath first.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

using ModuleHandle = void *;

// --- file system boundary -------------------------------------------------

// The path the file system is asked for. Windows: unchanged. POSIX: '\'
// becomes '/', Windows-1251 becomes UTF-8, and where a name does not exist
// exactly it is matched case-insensitively, component by component, as
// Windows would match it.
std::string NativePath(std::string_view windowsPath);

// True when the path names an existing regular file (a directory does not count).
bool FileExists(std::string_view windowsPath);
// True when the path names an existing directory.
bool DirectoryExists(std::string_view windowsPath);

// Writes the bytes to a temporary file beside the target, flushes it to the
// disk and renames it over the target, so the target holds either its old or
// its new content at every moment. False (and the old file untouched) when
// any step fails, a short write included. With ownerOnly the new file is
// readable and writable by its owner alone (POSIX mode 0600; on Windows it
// inherits the folder's access rights); otherwise an existing file keeps
// its mode.
bool WriteFileAtomically(std::string_view windowsPath, const void *data, std::size_t length,
                         bool ownerOnly = false);

// Whether `name` is one of the temporary names WriteFileAtomically gives the
// copies of `fileName`: "<fileName>.tmp.<process>.<number>", decimal digits
// only. Other files that merely start alike are somebody else's.
inline bool IsTemporaryNameOf(std::string_view name, std::string_view fileName) {
  constexpr std::string_view kTmp = ".tmp.";
  if (fileName.empty() || name.substr(0, fileName.size()) != fileName ||
      name.substr(fileName.size(), kTmp.size()) != kTmp)
    return false;
  // Two runs of digits, one dot between.
  const std::string_view rest = name.substr(fileName.size() + kTmp.size());
  const std::size_t dot = rest.find('.');
  const auto digits = [](std::string_view run) {
    return !run.empty() && run.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return dot != std::string_view::npos && digits(rest.substr(0, dot)) &&
         digits(rest.substr(dot + 1));
}

// Removes the temporary copies of `fileName` (IsTemporaryNameOf) from a
// directory (a link is removed, not what it points to; directories stay);
// returns how many. Only for a caller that holds the lock every writer of
// that file holds while its copy exists.
std::size_t RemoveTemporaryFilesOf(std::string_view windowsDirectory, std::string_view fileName);

// What tells a file from another and from an earlier state of itself, as
// one status call gives it: the device and the file's number on it, the
// size, and the times of the last change of the content and of the file's
// status (a rename included), in nanoseconds since 1970 as finely as the
// file system keeps them.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  std::int64_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  bool regular = false; // a regular file (not a directory or a device)
  bool operator==(const FileIdentity &) const = default;
};

// The identity of the file a path names, links followed (one status call;
// nothing is opened or locked), or nullopt when there is none or it cannot
// be told.
std::optional<FileIdentity> PathIdentity(std::string_view windowsPath);

// Opens a file for reading while denying writers to everybody else (Windows
// share mode; on POSIX a shared advisory lock). Closed by the destructor.
// The open never waits, not even for a FIFO in the file's place (which
// then reads nothing).
class ReadOnlyFile {
public:
  explicit ReadOnlyFile(std::string_view windowsPath);
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile &) = delete;
  ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;
  bool IsOpen() const;
  // Size in bytes, or -1 when it cannot be told.
  std::int64_t Size() const;
  // Reads up to length bytes; returns the count read (0 at end or on error).
  std::size_t Read(void *buffer, std::size_t length);
  // The open file's identity (one status call), or nullopt.
  std::optional<FileIdentity> Identity() const;

private:
  std::intptr_t handle_;
};

// An exclusive lock between processes, held on a lock file from construction
// to destruction. Used to serialise writers of shared files. The lock file
// is made readable and writable by its owner alone (POSIX mode 0600).
class FileLock {
public:
  // Waits as long as it takes.
  explicit FileLock(std::string_view windowsPath);
  // Waits at most `wait`; TimedOut() then tells a lock held elsewhere from
  // a lock file that cannot be opened (on POSIX also a symbolic link).
  FileLock(std::string_view windowsPath, std::chrono::milliseconds wait);
  ~FileLock();
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;
  bool IsLocked() const;
  bool TimedOut() const { return timedOut_; }

private:
  std::intptr_t handle_;
  bool timedOut_ = false;
};

// --- dynamic libraries ----------------------------------------------------

// The file name a Windows library name has on this platform:
// "kestrel.dll" -> "libkestrel.so" on POSIX; unchanged on Windows.
std::string LibraryFileName(std::string_view windowsName);

// Loads a library by path or bare name (a bare name uses the platform's own
// search; on POSIX the RUNPATH of the module honours it). nullptr on failure.
ModuleHandle LoadLibraryFile(std::string_view windowsPathOrName);
void *FindSymbol(ModuleHandle module, const char *name);
void FreeLibraryHandle(ModuleHandle module);
// The handle of an already loaded module of that name, or nullptr.
ModuleHandle LoadedModule(std::string_view windowsName);
// Full file name of a loaded module; nullptr gives the host executable's
// path. Empty on failure.
std::string ModuleFileName(ModuleHandle module);
// Directory of the host executable, absolute, with a trailing separator.
std::string ExecutableDirectory();

// File version of a library file, read from the file without loading it:
// the VERSIONINFO resource on Windows, the "FileVersion" ELF note on POSIX.
struct FileVersion {
  std::uint16_t Major = 0;
  std::uint16_t Minor = 0;
  std::uint16_t Release = 0;
  std::uint16_t Build = 0;
};
std::optional<FileVersion> FileVersionOf(std::string_view windowsPath);

// --- process --------------------------------------------------------------

// A process environment variable; nullopt when it does not exist.
std::optional<std::string> GetEnvironment(const std::string &name);
bool SetEnvironment(const std::string &name, const std::string &value);
bool UnsetEnvironment(const std::string &name);

// A 32-bit id of the calling thread, never 0.
std::uint32_t CurrentThreadId();

// Local date-time as days since 1899-12-30 with the time of day as the
// fraction (the usual Windows/Delphi date-time).
double NowLocalDays();

// Path separators of this platform's file system.
bool IsPathSeparator(char c);

// The length of the directory part of a file name in the module's form,
// its last separator included: what ends at a backslash (a folder) or a
// colon (a drive), and on POSIX, whose file system separates with '/', at
// that too. 0 for a bare name.
std::size_t DirectoryPartLength(std::string_view name);

// A text as the system hands it over (a command-line argument, a native
// path) in the Windows-1251 form this layer takes: unchanged on Windows,
// from UTF-8 on POSIX. Nothing when Windows-1251 cannot hold it (a character
// it lacks, bytes that are not UTF-8): the text is never changed into
// another one.
std::optional<std::string> FromNativeText(std::string_view native);

// The id of the calling process.
std::uint32_t CurrentProcessId();

} // namespace platform
