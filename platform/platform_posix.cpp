// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include "platform/cp1251.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

bool Exists(const std::string &path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string UpperKey(std::string_view utf8Name) {
  std::string cp = Utf8ToCp1251(utf8Name);
  for (char &c : cp)
    c = Cp1251Upper(c);
  return cp;
}

// Finds an entry of dir whose name equals name ignoring letter case. Only
// names that Windows-1251 holds exactly take part: any other (characters of
// other scripts, bytes that are not UTF-8) would compare by the '?' its
// conversion leaves, and "caf?.txt" would find "café.txt".
std::optional<std::string> MatchEntry(const std::string &dir, std::string_view name) {
  DIR *d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr)
    return std::nullopt;
  const std::string wanted = UpperKey(name);
  std::optional<std::string> found;
  while (dirent *e = ::readdir(d)) {
    const std::string_view entry(e->d_name);
    if (Cp1251ToUtf8(Utf8ToCp1251(entry)) == entry && UpperKey(entry) == wanted) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

bool WriteAll(int fd, const void *data, std::size_t length) {
  const auto *p = static_cast<const unsigned char *>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    if (n == 0)
      return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string &path) {
  const auto pos = path.find_last_of('/');
  if (pos == std::string::npos)
    return ".";
  if (pos == 0)
    return "/";
  return path.substr(0, pos);
}

} // namespace

std::string NativePath(std::string_view windowsPath) {
  std::string path = Cp1251ToUtf8(windowsPath);
  for (char &c : path)
    if (c == '\\')
      c = '/';
  if (path.empty() || Exists(path))
    return path;

  // Resolve component by component, ignoring letter case where the exact
  // name does not exist.
  std::string resolved;
  std::size_t pos = 0;
  if (path[0] == '/') {
    resolved = "/";
    pos = 1;
  }
  bool matching = true;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos)
      next = path.size();
    const std::string component = path.substr(pos, next - pos);
    const bool last = next >= path.size();
    if (!component.empty()) {
      std::string candidate = resolved + component;
      if (matching && !Exists(candidate)) {
        if (auto entry = MatchEntry(resolved.empty() ? std::string(".") : resolved, component))
          candidate = resolved + *entry;
        else
          matching = false;
      }
      resolved = candidate;
      if (!last)
        resolved += '/';
    } else if (!last && !resolved.empty() && resolved.back() != '/') {
      resolved += '/';
    }
    if (last)
      break;
    pos = next + 1;
  }
  if (path.back() == '/' && (resolved.empty() || resolved.back() != '/'))
    resolved += '/';
  return resolved;
}

bool FileExists(std::string_view windowsPath) {
  struct stat st {};
  return ::stat(NativePath(windowsPath).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(std::string_view windowsPath) {
  struct stat st {};
  return ::stat(NativePath(windowsPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteFileAtomically(std::string_view windowsPath, const void *data, std::size_t length,
                         bool ownerOnly) {
  static std::atomic<unsigned> counter{0};
  const std::string target = NativePath(windowsPath);
  if (target.empty() || target.back() == '/')
    return false;
  const std::string temp =
      target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  mode_t mode = ownerOnly ? 0600 : 0666;
  struct stat st {};
  const bool keepMode = !ownerOnly && ::stat(target.c_str(), &st) == 0;
  if (keepMode)
    mode = st.st_mode & 07777;
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0)
    return false;
  if (keepMode || ownerOnly)
    (void)::fchmod(fd, mode);
  bool ok = (length == 0 || data != nullptr) && WriteAll(fd, data, length) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok)
    ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  const int dfd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

std::size_t RemoveTemporaryFilesOf(std::string_view windowsDirectory, std::string_view fileName) {
  const std::string native = NativePath(windowsDirectory);
  const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(native.empty() ? "." : native.c_str()),
                                                 ::closedir);
  if (!dir || fileName.empty())
    return 0;
  std::size_t removed = 0;
  while (const dirent *e = ::readdir(dir.get()))
    if (IsTemporaryNameOf(e->d_name, fileName) && ::unlinkat(::dirfd(dir.get()), e->d_name, 0) == 0)
      ++removed;
  return removed;
}

ReadOnlyFile::ReadOnlyFile(std::string_view windowsPath) : handle_(-1) {
  // Never waits: a FIFO put in a file's place would hold the open until a
  // writer came. Reads of regular files do not heed the flag.
  const int fd = ::open(NativePath(windowsPath).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return;
  // Deny writers: a writer holding the file locked makes the open fail, and
  // our shared lock keeps cooperating writers out while we read.
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    return;
  }
  handle_ = fd;
}

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ >= 0)
    ::close(static_cast<int>(handle_));
}

bool ReadOnlyFile::IsOpen() const { return handle_ >= 0; }

std::int64_t ReadOnlyFile::Size() const {
  struct stat st {};
  if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &st) != 0)
    return -1;
  return st.st_size;
}

namespace {

FileIdentity IdentityOf(const struct stat &st) {
  const auto ns = [](const timespec &t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  FileIdentity id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.file = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::int64_t>(st.st_size);
  id.modified = ns(st.st_mtim);
  id.changed = ns(st.st_ctim);
  id.regular = S_ISREG(st.st_mode);
  return id;
}

} // namespace

std::optional<FileIdentity> PathIdentity(std::string_view windowsPath) {
  struct stat st {};
  if (::stat(NativePath(windowsPath).c_str(), &st) != 0)
    return std::nullopt;
  return IdentityOf(st);
}

std::optional<FileIdentity> ReadOnlyFile::Identity() const {
  struct stat st {};
  if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &st) != 0)
    return std::nullopt;
  return IdentityOf(st);
}

std::size_t ReadOnlyFile::Read(void *buffer, std::size_t length) {
  if (handle_ < 0)
    return 0;
  std::size_t total = 0;
  auto *p = static_cast<unsigned char *>(buffer);
  while (total < length) {
    const ssize_t n = ::read(static_cast<int>(handle_), p + total, length - total);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    total += static_cast<std::size_t>(n);
  }
  return total;
}

FileLock::FileLock(std::string_view windowsPath) : handle_(-1) {
  const int fd = ::open(NativePath(windowsPath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return;
  }
  handle_ = fd;
}

FileLock::FileLock(std::string_view windowsPath, std::chrono::milliseconds wait) : handle_(-1) {
  // Not through a symbolic link: whoever may write the folder must not make
  // us narrow the rights of some other file of ours.
  const int fd =
      ::open(NativePath(windowsPath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return;
  (void)::fchmod(fd, 0600); // a lock file made before with wider rights
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      ::close(fd);
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      timedOut_ = true;
      ::close(fd);
      return;
    }
    ::usleep(20000);
  }
  handle_ = fd;
}

FileLock::~FileLock() {
  if (handle_ >= 0)
    ::close(static_cast<int>(handle_)); // closing drops the lock
}

bool FileLock::IsLocked() const { return handle_ >= 0; }

std::string LibraryFileName(std::string_view windowsName) {
  // Only the last component is renamed: "dir\kestrel.dll" -> "dir\libkestrel.so".
  const auto slash = windowsName.find_last_of("\\/");
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  std::string_view base = windowsName.substr(start);
  if (base.size() > 4) {
    std::string ext(base.substr(base.size() - 4));
    for (char &c : ext)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".dll")
      return std::string(windowsName.substr(0, start)) + "lib" +
             std::string(base.substr(0, base.size() - 4)) + ".so";
  }
  return std::string(windowsName);
}

namespace {

// The directories the dynamic loader searches for a library that this
// module itself asks for: LD_LIBRARY_PATH, the module's RUNPATH with $ORIGIN
// expanded, the system's directories. dlopen applies this search on its own
// only when it can tell its caller, which an interposed dlopen (sanitizer
// runtimes) hides.
std::vector<std::string> OwnSearchPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void *>(&OwnSearchPath), &info) == 0 || info.dli_fname == nullptr)
    return {};
  void *self = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (self == nullptr)
    return {};
  std::vector<std::string> dirs;
  Dl_serinfo size{};
  if (::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size > 0) {
    std::vector<unsigned char> buffer(size.dls_size);
    auto *serinfo = reinterpret_cast<Dl_serinfo *>(buffer.data());
    std::memcpy(serinfo, &size, sizeof size);
    if (::dlinfo(self, RTLD_DI_SERINFO, serinfo) == 0)
      for (unsigned i = 0; i < serinfo->dls_cnt; ++i)
        if (serinfo->dls_serpath[i].dls_name != nullptr)
          dirs.emplace_back(serinfo->dls_serpath[i].dls_name);
  }
  ::dlclose(self);
  return dirs;
}

} // namespace

ModuleHandle LoadLibraryFile(std::string_view windowsPathOrName) {
  const std::string name = LibraryFileName(windowsPathOrName);
  if (name.find_first_of("\\/") != std::string::npos)
    return ::dlopen(NativePath(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  for (const std::string &dir : OwnSearchPath()) {
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      if (ModuleHandle handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL))
        return handle;
  }
  return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void *FindSymbol(ModuleHandle module, const char *name) {
  if (module == nullptr || name == nullptr)
    return nullptr;
  return ::dlsym(module, name);
}

void FreeLibraryHandle(ModuleHandle module) {
  if (module != nullptr)
    ::dlclose(module);
}

ModuleHandle LoadedModule(std::string_view windowsName) {
  // As on Windows, a loaded module is found by its file name, ignoring
  // letter case, whatever path it was loaded from.
  struct Search {
    std::string wanted;
    std::string path;
  } search{UpperKey(Cp1251ToUtf8(LibraryFileName(windowsName))), {}};
  ::dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t, void *data) -> int {
        auto *s = static_cast<Search *>(data);
        if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0')
          return 0;
        std::string_view path(info->dlpi_name);
        const auto slash = path.find_last_of('/');
        if (UpperKey(path.substr(slash == std::string_view::npos ? 0 : slash + 1)) != s->wanted)
          return 0;
        s->path = path;
        return 1;
      },
      &search);
  if (search.path.empty())
    return nullptr;
  void *handle = ::dlopen(search.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr)
    ::dlclose(handle); // NOLOAD raised the count; the module stays loaded
  return handle;
}

std::string ModuleFileName(ModuleHandle module) {
  // Returned in the module's own form (Windows-1251), as every path the
  // module handles, so that it can go back through NativePath.
  if (module == nullptr) {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
      return {};
    return Utf8ToCp1251(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  link_map *map = nullptr;
  if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
    return {};
  return Utf8ToCp1251(map->l_name);
}

std::string ExecutableDirectory() {
  std::string exe = ModuleFileName(nullptr);
  const auto pos = exe.find_last_of('/');
  if (pos == std::string::npos)
    return {};
  return exe.substr(0, pos + 1);
}

std::optional<FileVersion> FileVersionOf(std::string_view windowsPath) {
  // The version lives in an ELF note owned by "FileVersion", type 1, whose
  // descriptor holds four 16-bit numbers: major, minor, release, build.
  // Only the ELF header, the section table and the note sections are read:
  // the whole library (megabytes with its debugging information) would cost
  // a program that loads it more than everything else it does at start.
  // Only a regular file is read (reading a directory fails with an exception).
  const std::string native = NativePath(windowsPath);
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  std::ifstream in(native, std::ios::binary);
  if (!in)
    return std::nullopt;
  using Bytes = std::vector<unsigned char>;
  // The bytes at [offset, offset + size), or nothing when they do not lie
  // within the file or cannot be read.
  const auto readAt = [&](std::uint64_t offset, std::uint64_t size) -> std::optional<Bytes> {
    if (offset > fileSize || size > fileSize - offset)
      return std::nullopt;
    try {
      Bytes bytes(static_cast<std::size_t>(size));
      if (!in.seekg(static_cast<std::streamoff>(offset)) ||
          !in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(size)))
        return std::nullopt;
      return bytes;
    } catch (const std::exception &) {
      return std::nullopt;
    }
  };
  // A little-endian field of a buffer read.
  const auto field = [](const Bytes &bytes, std::uint64_t offset,
                        std::size_t size) -> std::optional<std::uint64_t> {
    if (offset > bytes.size() || size > bytes.size() - offset)
      return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
      value |= static_cast<std::uint64_t>(bytes[static_cast<std::size_t>(offset) + i]) << (8 * i);
    return value;
  };
  const std::optional<Bytes> header = readAt(0, 64);
  if (!header ||
      std::memcmp(header->data(),
                  "\x7f"
                  "ELF",
                  4) != 0 ||
      (*header)[5] != 1 /* little endian */)
    return std::nullopt;
  const bool is64 = (*header)[4] == 2;
  const auto shoff = field(*header, is64 ? 0x28 : 0x20, is64 ? 8 : 4);
  const auto shentsize = field(*header, is64 ? 0x3A : 0x2E, 2);
  const auto shnum = field(*header, is64 ? 0x3C : 0x30, 2);
  if (!shoff || !shentsize || !shnum)
    return std::nullopt;
  // A section table whose entries are shorter than a section header is no
  // ELF file's; one that does not lie within the file is not read.
  if (*shentsize < (is64 ? 64u : 40u))
    return std::nullopt;
  const std::optional<Bytes> table = readAt(*shoff, *shnum * *shentsize);
  if (!table)
    return std::nullopt;
  for (std::uint64_t i = 0; i < *shnum; ++i) {
    const std::uint64_t sh = i * *shentsize;
    const auto type = field(*table, sh + 4, 4);
    const auto offset = field(*table, sh + (is64 ? 0x18 : 0x10), is64 ? 8 : 4);
    const auto size = field(*table, sh + (is64 ? 0x20 : 0x14), is64 ? 8 : 4);
    if (!type || !offset || !size || *type != 7 /* SHT_NOTE */)
      continue;
    const std::optional<Bytes> notes = readAt(*offset, *size);
    if (!notes)
      continue;
    for (std::uint64_t p = 0; p + 12 <= notes->size();) {
      const auto namesz = field(*notes, p, 4), descsz = field(*notes, p + 4, 4),
                 ntype = field(*notes, p + 8, 4);
      const std::uint64_t name = p + 12;
      const std::uint64_t desc = name + ((*namesz + 3) & ~std::uint64_t{3});
      const std::uint64_t next = desc + ((*descsz + 3) & ~std::uint64_t{3});
      if (next > notes->size())
        break;
      if (*ntype == 1 && *namesz == 12 &&
          std::memcmp(notes->data() + name, "FileVersion", 12) == 0 && *descsz >= 8) {
        FileVersion v;
        v.Major = static_cast<std::uint16_t>(*field(*notes, desc, 2));
        v.Minor = static_cast<std::uint16_t>(*field(*notes, desc + 2, 2));
        v.Release = static_cast<std::uint16_t>(*field(*notes, desc + 4, 2));
        v.Build = static_cast<std::uint16_t>(*field(*notes, desc + 6, 2));
        return v;
      }
      p = next;
    }
  }
  return std::nullopt;
}

std::optional<std::string> GetEnvironment(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  if (value == nullptr)
    return std::nullopt;
  return std::string(value);
}

bool SetEnvironment(const std::string &name, const std::string &value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool UnsetEnvironment(const std::string &name) { return ::unsetenv(name.c_str()) == 0; }

std::uint32_t CurrentThreadId() {
  // The kernel's id of the thread, as Windows hands out its own: unique among
  // the live threads. No thread-local storage: in a library loaded at run
  // time that is dynamic TLS, which LeakSanitizer (GCC 12, glibc 2.36) walks
  // into garbage now and then when it checks the process at exit.
  return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

double NowLocalDays() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  const std::time_t seconds = ts.tv_sec;
  ::localtime_r(&seconds, &local);
  const double utcSeconds = static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
  return (utcSeconds + static_cast<double>(local.tm_gmtoff)) / 86400.0 + 25569.0;
}

bool IsPathSeparator(char c) { return c == '/'; }

std::size_t DirectoryPartLength(std::string_view name) {
  const auto last = name.find_last_of("\\:/");
  return last == std::string_view::npos ? 0 : last + 1;
}

std::optional<std::string> FromNativeText(std::string_view native) {
  std::string cp1251 = Utf8ToCp1251(native);
  if (Cp1251ToUtf8(cp1251) != native)
    return std::nullopt;
  return cp1251;
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

} // namespace platform
