// Windows implementation of the platform layer.
#include "platform/platform.h"

#include <atomic>
#include <limits>
#include <memory>
#include <vector>

#include <windows.h>

namespace platform {
namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

} // namespace

std::string NativePath(std::string_view windowsPath) { return std::string(windowsPath); }

bool FileExists(std::string_view windowsPath) {
  const DWORD attributes = ::GetFileAttributesA(std::string(windowsPath).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(std::string_view windowsPath) {
  const DWORD attributes = ::GetFileAttributesA(std::string(windowsPath).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool WriteFileAtomically(std::string_view windowsPath, const void *data, std::size_t length,
                         bool /*ownerOnly: the folder's access rights apply*/) {
  static std::atomic<unsigned> counter{0};
  const std::string target(windowsPath);
  if (target.empty() || target.back() == '\\' || target.back() == '/')
    return false;
  const std::string temp = target + ".tmp." + std::to_string(::GetCurrentProcessId()) + "." +
                           std::to_string(counter.fetch_add(1));
  HANDLE file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool ok = length == 0 || data != nullptr;
  const auto *p = static_cast<const unsigned char *>(data);
  std::size_t left = ok ? length : 0;
  while (ok && left > 0) {
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file, p, chunk, &written, nullptr) || written == 0) {
      ok = false;
      break;
    }
    p += written;
    left -= written;
  }
  ok = ok && ::FlushFileBuffers(file);
  ok = ::CloseHandle(file) && ok;
  if (ok)
    ok = ::MoveFileExA(temp.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    ::DeleteFileA(temp.c_str());
    return false;
  }
  return true;
}

std::size_t RemoveTemporaryFilesOf(std::string_view windowsDirectory, std::string_view fileName) {
  std::string folder(windowsDirectory);
  if (fileName.empty())
    return 0;
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/')
    folder += '\\';
  WIN32_FIND_DATAA found;
  // The pattern also matches short (8.3) names: each long name is checked.
  const std::string pattern = folder + std::string(fileName) + ".tmp.*";
  const std::unique_ptr<void, BOOL(WINAPI *)(HANDLE)> search(
      [&]() -> HANDLE {
        HANDLE h = ::FindFirstFileA(pattern.c_str(), &found);
        return h == INVALID_HANDLE_VALUE ? nullptr : h;
      }(),
      ::FindClose);
  if (!search)
    return 0;
  std::size_t removed = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        IsTemporaryNameOf(found.cFileName, fileName) &&
        ::DeleteFileA((folder + found.cFileName).c_str()))
      ++removed;
  } while (::FindNextFileA(search.get(), &found));
  return removed;
}

ReadOnlyFile::ReadOnlyFile(std::string_view windowsPath) : handle_(-1) {
  HANDLE file = ::CreateFileA(std::string(windowsPath).c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE)
    handle_ = reinterpret_cast<std::intptr_t>(file);
}

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ != -1)
    ::CloseHandle(AsHandle(handle_));
}

bool ReadOnlyFile::IsOpen() const { return handle_ != -1; }

std::int64_t ReadOnlyFile::Size() const {
  LARGE_INTEGER size{};
  if (handle_ == -1 || !::GetFileSizeEx(AsHandle(handle_), &size))
    return -1;
  return size.QuadPart;
}

namespace {

std::optional<FileIdentity> IdentityOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandle(handle, &info) ||
      !::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
    return std::nullopt;
  // FILETIME counts 100 ns from 1601; 11644473600 seconds lie before 1970.
  // A time the file system does not keep (0), one before 1970 or one out of
  // range reads as the latest time there is: a file of unknown age never
  // counts as settled.
  const auto ns = [](std::int64_t ticks) -> std::int64_t {
    constexpr std::int64_t kUnixEpoch = 116444736000000000LL;
    constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();
    if (ticks <= kUnixEpoch || ticks - kUnixEpoch > kLatest / 100)
      return kLatest;
    return (ticks - kUnixEpoch) * 100;
  };
  FileIdentity id;
  id.device = info.dwVolumeSerialNumber;
  id.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                      info.nFileSizeLow);
  id.modified = ns(basic.LastWriteTime.QuadPart);
  id.changed = ns(basic.ChangeTime.QuadPart);
  id.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  return id;
}

} // namespace

std::optional<FileIdentity> PathIdentity(std::string_view windowsPath) {
  // Its attributes only, every sharing granted: nobody's reads, writes or
  // renames of the file are held up meanwhile.
  HANDLE file = ::CreateFileA(std::string(windowsPath).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return std::nullopt;
  auto id = IdentityOf(file);
  ::CloseHandle(file);
  return id;
}

std::optional<FileIdentity> ReadOnlyFile::Identity() const {
  if (handle_ == -1)
    return std::nullopt;
  return IdentityOf(AsHandle(handle_));
}

std::size_t ReadOnlyFile::Read(void *buffer, std::size_t length) {
  if (handle_ == -1)
    return 0;
  std::size_t total = 0;
  auto *p = static_cast<unsigned char *>(buffer);
  while (total < length) {
    const std::size_t left = length - total;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD read = 0;
    if (!::ReadFile(AsHandle(handle_), p + total, chunk, &read, nullptr) || read == 0)
      break;
    total += read;
  }
  return total;
}

FileLock::FileLock(std::string_view windowsPath) : handle_(-1) {
  HANDLE file = ::CreateFileA(std::string(windowsPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  OVERLAPPED overlapped{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &overlapped)) {
    ::CloseHandle(file);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

FileLock::FileLock(std::string_view windowsPath, std::chrono::milliseconds wait) : handle_(-1) {
  HANDLE file = ::CreateFileA(std::string(windowsPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    OVERLAPPED overlapped{};
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &overlapped))
      break;
    const bool held = ::GetLastError() == ERROR_LOCK_VIOLATION;
    if (!held || std::chrono::steady_clock::now() >= deadline) {
      timedOut_ = held;
      ::CloseHandle(file);
      return;
    }
    ::Sleep(20);
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

FileLock::~FileLock() {
  if (handle_ != -1) {
    OVERLAPPED overlapped{};
    ::UnlockFileEx(AsHandle(handle_), 0, 1, 0, &overlapped);
    ::CloseHandle(AsHandle(handle_));
  }
}

bool FileLock::IsLocked() const { return handle_ != -1; }

std::string LibraryFileName(std::string_view windowsName) { return std::string(windowsName); }

ModuleHandle LoadLibraryFile(std::string_view windowsPathOrName) {
  return ::LoadLibraryA(std::string(windowsPathOrName).c_str());
}

void *FindSymbol(ModuleHandle module, const char *name) {
  if (module == nullptr || name == nullptr)
    return nullptr;
  return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void FreeLibraryHandle(ModuleHandle module) {
  if (module != nullptr)
    ::FreeLibrary(static_cast<HMODULE>(module));
}

ModuleHandle LoadedModule(std::string_view windowsName) {
  return ::GetModuleHandleA(std::string(windowsName).c_str());
}

std::string ModuleFileName(ModuleHandle module) {
  std::vector<char> buffer(512);
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(static_cast<HMODULE>(module), buffer.data(),
                                         static_cast<DWORD>(buffer.size()));
    if (n == 0)
      return {};
    if (n < buffer.size())
      return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExecutableDirectory() {
  const std::string exe = ModuleFileName(nullptr);
  const auto pos = exe.find_last_of("\\/");
  if (pos == std::string::npos)
    return {};
  return exe.substr(0, pos + 1);
}

std::optional<FileVersion> FileVersionOf(std::string_view windowsPath) {
  const std::string path(windowsPath);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0)
    return std::nullopt;
  std::vector<unsigned char> info(size);
  if (!::GetFileVersionInfoA(path.c_str(), 0, size, info.data()))
    return std::nullopt;
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT fixedSize = 0;
  if (!::VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &fixedSize) ||
      fixed == nullptr || fixedSize < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  FileVersion v;
  v.Major = HIWORD(fixed->dwFileVersionMS);
  v.Minor = LOWORD(fixed->dwFileVersionMS);
  v.Release = HIWORD(fixed->dwFileVersionLS);
  v.Build = LOWORD(fixed->dwFileVersionLS);
  return v;
}

std::optional<std::string> GetEnvironment(const std::string &name) {
  const DWORD size = ::GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0)
    return std::nullopt;
  std::vector<char> buffer(size + 1, '\0');
  const DWORD n = ::GetEnvironmentVariableA(name.c_str(), buffer.data(), size + 1);
  if (n == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND)
    return std::nullopt;
  return std::string(buffer.data()); // cut at the first NUL
}

bool SetEnvironment(const std::string &name, const std::string &value) {
  return ::SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0;
}

bool UnsetEnvironment(const std::string &name) {
  return ::SetEnvironmentVariableA(name.c_str(), nullptr) != 0;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

double NowLocalDays() {
  FILETIME utc{};
  ::GetSystemTimePreciseAsFileTime(&utc);
  FILETIME local{};
  ::FileTimeToLocalFileTime(&utc, &local);
  ULARGE_INTEGER ticks{};
  ticks.LowPart = local.dwLowDateTime;
  ticks.HighPart = local.dwHighDateTime;
  // 100 ns ticks since 1601-01-01; day 0 of the date-time is 1899-12-30.
  return static_cast<double>(ticks.QuadPart) / 864000000000.0 - 109205.0;
}

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

std::size_t DirectoryPartLength(std::string_view name) {
  const auto last = name.find_last_of("\\:");
  return last == std::string_view::npos ? 0 : last + 1;
}

std::optional<std::string> FromNativeText(std::string_view native) { return std::string(native); }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

} // namespace platform
