// cehost on POSIX: its own files by exactly the names given (UTF-8 on the
// command line), the terminal, the shell and where the module lies.
#include "host/os_posix.h"
#include "host/files.h"
#include "host/module_api.h"
#include "host/os.h"
#include "host/profile.h"
#include "host/session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if !(defined(CE_MODULE_SONAME) && defined(CE_MODULE_INSTALLED_PATH))
#error "CE_MODULE_SONAME and CE_MODULE_INSTALLED_PATH must name the module"
#endif

namespace cehost {

PathKind KindOf(const std::string &name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0)
    return PathKind::Missing;
  return S_ISREG(st.st_mode)   ? PathKind::File
         : S_ISDIR(st.st_mode) ? PathKind::Directory
                               : PathKind::Other;
}

namespace {

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0)
      ::close(fd);
  }
};

std::string DirectoryOf(const std::string &path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The folder temporary copies go into: $TMPDIR when it is an absolute path
// of characters every reader of names takes the same way, else /tmp.
std::string TemporaryFolder() {
  const auto plain = [](const std::string &path) {
    return !path.empty() && path[0] == '/' &&
           path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789/._-") == std::string::npos;
  };
  const auto tmpdir = platform::GetEnvironment("TMPDIR");
  return tmpdir && plain(*tmpdir) ? *tmpdir : "/tmp";
}

} // namespace

FileContent ReadFile(const std::string &name, std::uintmax_t limit) {
  // Opened without waiting (a FIFO would wait for a writer forever), and
  // read only when it is a regular file.
  Descriptor in{::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  struct stat st {};
  if (in.fd < 0 || ::fstat(in.fd, &st) != 0)
    throw Failure(kExitFileError, "cannot read " + name + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode))
    throw Failure(kExitFileError,
                  "cannot read " + name + ": " +
                      (S_ISDIR(st.st_mode) ? "it is a directory" : "not a regular file") +
                      " (give a file)");
  const int flags = ::fcntl(in.fd, F_GETFL);
  if (flags < 0 || ::fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    throw Failure(kExitFileError, "cannot read " + name + ": " + std::strerror(errno));
  FileContent content;
  content.permissions = static_cast<unsigned>(st.st_mode & 0777);
  unsigned char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(in.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw Failure(kExitFileError, "cannot read " + name + ": " + std::strerror(errno));
    if (n == 0)
      break;
    if (static_cast<std::uintmax_t>(n) > limit - content.bytes.size())
      throw Failure(kExitFileError,
                    "cannot read " + name + ": larger than " + std::to_string(limit) + " bytes");
    content.bytes.insert(content.bytes.end(), chunk, chunk + n);
  }
  return content;
}

void WriteFile(const std::string &name, const std::vector<unsigned char> &data,
               unsigned permissionLimit) {
  const auto fail = [&](const std::string &why) {
    throw Failure(kExitFileError, "cannot write " + name + ": " + why + " (nothing was changed)");
  };
  if (name.empty() || name.back() == '/')
    fail("not a file name");
  // The permission bits: those of the file replaced, else the usual ones
  // (also for a link, which is replaced, not followed: whoever planted it
  // does not choose the bits).
  unsigned mode = 0;
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    fail(S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
  if (::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mode = static_cast<unsigned>(st.st_mode & 0777);
  } else {
    const mode_t mask = ::umask(077);
    ::umask(mask);
    mode = 0666u & ~static_cast<unsigned>(mask);
  }
  mode &= permissionLimit;

  // A fresh name beside the target, created exclusively: O_EXCL refuses
  // whatever exists there, a planted symbolic link included.
  std::random_device random;
  std::string temp;
  Descriptor out;
  for (int attempt = 0; attempt < 16 && out.fd < 0; ++attempt) {
    // Short, so that it fits wherever the target's own name fits.
    temp = DirectoryOf(name) + "/.cehost-" + std::to_string(::getpid()) + "-" +
           std::to_string(random()) + ".tmp";
    out.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out.fd < 0 && errno != EEXIST)
      fail(std::strerror(errno));
  }
  if (out.fd < 0)
    fail("no free temporary name beside it");
  bool ok = ::fchmod(out.fd, static_cast<mode_t>(mode)) == 0 &&
            WriteAll(out.fd, data.data(), data.size());
  ok = ok && ::fsync(out.fd) == 0;
  const int error = errno;
  ok = ::close(out.fd) == 0 && ok;
  out.fd = -1;
  if (!ok || ::rename(temp.c_str(), name.c_str()) != 0) {
    const int why = ok ? errno : error;
    ::unlink(temp.c_str());
    fail(std::strerror(why));
  }
  Descriptor dir{::open(DirectoryOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd >= 0)
    (void)::fsync(dir.fd);
}

ModuleCopy::ModuleCopy(const std::vector<unsigned char> &bytes, const std::string &of) {
  const auto fail = [&](const std::string &why) {
    Remove();
    throw Failure(kExitFileError, "cannot copy " + of + " for the module: " + why);
  };
#if defined(__linux__)
  Descriptor memory{::memfd_create("cehost-key", MFD_CLOEXEC)};
  if (memory.fd >= 0) {
    const std::string path = "/proc/self/fd/" + std::to_string(memory.fd);
    if (!WriteAll(memory.fd, bytes.data(), bytes.size()))
      fail(std::strerror(errno));
    if (::access(path.c_str(), R_OK) == 0) {
      descriptor_ = std::exchange(memory.fd, -1);
      path_ = path;
      return;
    }
    // No /proc: the copy goes into a folder.
  }
#endif
  // mkdtemp makes the folder 0700 under a name nobody else holds.
  std::string pattern = TemporaryFolder() + "/cehost-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    fail(pattern + ": " + std::strerror(errno));
  folder_ = pattern;
  const std::string file = folder_ + "/copy";
  Descriptor out{::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (out.fd < 0)
    fail(std::strerror(errno));
  path_ = file; // plain ASCII, the same in Windows-1251
  const bool written = WriteAll(out.fd, bytes.data(), bytes.size());
  const int error = errno;
  if (::close(out.fd) != 0 || !written) {
    out.fd = -1;
    fail(std::strerror(written ? errno : error));
  }
  out.fd = -1;
}

ModuleCopy::~ModuleCopy() { Remove(); }

void ModuleCopy::Remove() {
  if (descriptor_ >= 0)
    ::close(std::exchange(descriptor_, -1));
  if (folder_.empty())
    return;
  ::unlink((folder_ + "/copy").c_str());
  ::rmdir(folder_.c_str());
  folder_.clear();
}

bool WriteAll(int fd, const void *data, std::size_t size) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool StderrIsTerminal() { return ::isatty(::fileno(stderr)) != 0; }

std::string ProgramFileName(const std::string &name) { return name; }

int RunCommandLine(const std::string &command) { return std::system(command.c_str()); }

std::string DefaultModulePath() {
  // By its SONAME (libce_kestrel.so.1): libce_kestrel.so is only the
  // development link, absent where just the runtime is installed. Installed,
  // the library directory lies where the install put it as seen from the
  // program's (../lib, ../lib64, ../lib/<triplet>); in the build tree at ../lib.
  const std::string directory = platform::ExecutableDirectory();
  const std::string installed = directory + CE_MODULE_INSTALLED_PATH;
  if (platform::FileExists(installed))
    return installed;
  return directory + "../lib/" CE_MODULE_SONAME;
}

} // namespace cehost
