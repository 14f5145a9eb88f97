// cehost on Windows: its own files by exactly the names given (the command
// line's code page), the console, cmd.exe and where the module lies.
#include "host/files.h"
#include "host/module_api.h"
#include "host/os.h"
#include "host/profile.h"
#include "host/session.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include <io.h>
#include <windows.h>

namespace cehost {

PathKind KindOf(const std::string &name) {
  const DWORD attributes = ::GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return PathKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File;
}

namespace {

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE)
      ::CloseHandle(h);
  }
};

} // namespace

FileContent ReadFile(const std::string &name, std::uintmax_t limit) {
  if (KindOf(name) != PathKind::File)
    throw Failure(kExitFileError, "cannot read " + name + ": no such file");
  Handle in{::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (in.h == INVALID_HANDLE_VALUE)
    throw Failure(kExitFileError, "cannot read " + name);
  // A pipe or a device (CON, a serial port) is not a file: it could wait
  // for its other end forever.
  if (::GetFileType(in.h) != FILE_TYPE_DISK)
    throw Failure(kExitFileError, "cannot read " + name + ": not a regular file (give a file)");
  FileContent content;
  char chunk[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(in.h, chunk, sizeof chunk, &n, nullptr))
      throw Failure(kExitFileError, "cannot read " + name);
    if (n == 0)
      break;
    if (n > limit - content.bytes.size())
      throw Failure(kExitFileError,
                    "cannot read " + name + ": larger than " + std::to_string(limit) + " bytes");
    content.bytes.insert(content.bytes.end(), chunk, chunk + n);
  }
  return content;
}

void WriteFile(const std::string &name, const std::vector<unsigned char> &data, unsigned) {
  // Windows file names are the ones given; the temporary file is created
  // with CREATE_NEW, which never opens what already exists there.
  if (!platform::WriteFileAtomically(name, data.data(), data.size()))
    throw Failure(kExitFileError, "cannot write " + name + " (nothing was changed)");
}

ModuleCopy::ModuleCopy(const std::vector<unsigned char> &bytes, const std::string &of) {
  const auto fail = [&](const std::string &why) {
    Remove();
    throw Failure(kExitFileError, "cannot copy " + of + " for the module: " + why);
  };
  // The user's own temporary folder; the new folder inherits its access rights.
  char base[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathA(sizeof base, base);
  if (length == 0 || length > MAX_PATH)
    fail("no temporary folder");
  std::random_device random;
  for (int attempt = 0; attempt < 16 && folder_.empty(); ++attempt) {
    const std::string candidate = std::string(base, length) + "cehost-" +
                                  std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(random());
    if (::CreateDirectoryA(candidate.c_str(), nullptr))
      folder_ = candidate;
    else if (::GetLastError() != ERROR_ALREADY_EXISTS)
      break;
  }
  if (folder_.empty())
    fail("cannot create a folder in " + std::string(base, length));
  const std::string file = folder_ + "\\copy";
  Handle out{::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr)};
  if (out.h == INVALID_HANDLE_VALUE)
    fail("cannot create " + file);
  path_ = file;
  DWORD written = 0;
  const bool ok =
      bytes.empty() ||
      (::WriteFile(out.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
       written == bytes.size());
  const bool closed = ::CloseHandle(out.h) != 0;
  out.h = INVALID_HANDLE_VALUE;
  if (!ok || !closed)
    fail("cannot write " + file);
}

ModuleCopy::~ModuleCopy() { Remove(); }

void ModuleCopy::Remove() {
  if (folder_.empty())
    return;
  ::DeleteFileA((folder_ + "\\copy").c_str());
  ::RemoveDirectoryA(folder_.c_str());
  folder_.clear();
}

bool StderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

std::string ProgramFileName(const std::string &name) { return name + ".exe"; }

int RunCommandLine(const std::string &command) {
  // cmd.exe strips the outer pair of quotes of a command line that begins
  // with one: a pair of its own keeps the command's.
  const std::string quoted = "\"" + command + "\"";
  return std::system(quoted.c_str());
}

std::string DefaultModulePath() { return platform::ExecutableDirectory() + "ce_kestrel.dll"; }

} // namespace cehost
