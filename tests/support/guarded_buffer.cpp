#include "tests/support/guarded_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace cetest {
namespace {

std::size_t PageSize() {
#if defined(_WIN32)
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
#endif
}

// Reserves the pages readable and writable; nullptr on failure.
void *MapPages(std::size_t bytes) {
#if defined(_WIN32)
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
  void *p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
#endif
}

bool ProtectPage(void *page, std::size_t bytes) {
#if defined(_WIN32)
  DWORD old = 0;
  return VirtualProtect(page, bytes, PAGE_NOACCESS, &old) != 0;
#else
  return ::mprotect(page, bytes, PROT_NONE) == 0;
#endif
}

void UnmapPages(void *pages, std::size_t bytes) {
#if defined(_WIN32)
  (void)bytes;
  VirtualFree(pages, 0, MEM_RELEASE);
#else
  ::munmap(pages, bytes);
#endif
}

} // namespace

GuardedBuffer::GuardedBuffer(std::size_t size, unsigned char fill) : size_(size), fill_(fill) {
  const std::size_t page = PageSize();
  const std::size_t usable = (size + page - 1) / page * page;
  mapped_ = usable + page;
  mapping_ = MapPages(mapped_);
  if (mapping_ == nullptr)
    throw std::bad_alloc();
  auto *base = static_cast<unsigned char *>(mapping_);
  if (!ProtectPage(base + usable, page)) {
    UnmapPages(mapping_, mapped_);
    throw std::bad_alloc();
  }
  data_ = base + usable - size;
  std::memset(data_, fill, size);
}

GuardedBuffer::~GuardedBuffer() { UnmapPages(mapping_, mapped_); }

std::string GuardedBuffer::Bytes(std::size_t count) const {
  return std::string(Chars(), std::min(count, size_));
}

bool GuardedBuffer::Untouched() const {
  const auto *p = static_cast<const unsigned char *>(data_);
  return std::all_of(p, p + size_, [this](unsigned char b) { return b == fill_; });
}

} // namespace cetest
