// cehost on Windows: its own files by exactly the names given (the command
// line's code page), the console, cmd.exe and where the module lies.
#include "host/files.h"
#include "host/module_api.h"
#include "host/os.h"
#include "host/profile.h"
#include "host/session.h"

#include <cstdio>
#include <cstdlib>

#include <io.h>
#include <windows.h>

namespace cehost {

std::string ModulePath(const std::string &argument, const std::string &) { return argument; }

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

FileContent ReadFile(const std::string &name) {
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
