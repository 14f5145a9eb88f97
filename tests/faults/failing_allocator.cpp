#include "tests/faults/failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace cealloc {
namespace {

thread_local std::int64_t tCountdown = 0;
thread_local bool tFailed = false;
std::atomic<std::int64_t> gLive{0};

// True when this allocation is the one armed to fail.
bool ArmedFailureNow() {
  if (tCountdown <= 0)
    return false;
  if (--tCountdown > 0)
    return false;
  tFailed = true;
  return true;
}

void *Allocate(std::size_t size, std::size_t alignment, bool nothrow) {
  void *p = nullptr;
  if (!ArmedFailureNow()) {
    if (size == 0)
      size = 1;
    if (alignment <= alignof(std::max_align_t))
      p = std::malloc(size);
    else
#if defined(_WIN32)
      p = ::_aligned_malloc(size, alignment);
#else
      // aligned_alloc wants a size that is a multiple of the alignment.
      p = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
#endif
  }
  if (p == nullptr) {
    if (nothrow)
      return nullptr;
    throw std::bad_alloc();
  }
  gLive.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void Release(void *p) noexcept {
  if (p == nullptr)
    return;
  gLive.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

void ReleaseAligned(void *p) noexcept {
#if defined(_WIN32)
  if (p == nullptr)
    return;
  gLive.fetch_sub(1, std::memory_order_relaxed);
  ::_aligned_free(p);
#else
  Release(p);
#endif
}

constexpr std::size_t kDefault = alignof(std::max_align_t);

} // namespace

void FailAllocation(std::int64_t nth) {
  tCountdown = nth;
  tFailed = false;
}

bool AllocationFailed() { return tFailed; }

std::int64_t LiveAllocations() { return gLive.load(); }

} // namespace cealloc

using cealloc::Release;

void *operator new(std::size_t size) { return cealloc::Allocate(size, cealloc::kDefault, false); }
void *operator new[](std::size_t size) { return cealloc::Allocate(size, cealloc::kDefault, false); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  try {
    return cealloc::Allocate(size, cealloc::kDefault, true);
  } catch (...) {
    return nullptr;
  }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return operator new(size, std::nothrow);
}
void *operator new(std::size_t size, std::align_val_t alignment) {
  return cealloc::Allocate(size, static_cast<std::size_t>(alignment), false);
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
  return cealloc::Allocate(size, static_cast<std::size_t>(alignment), false);
}
void *operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
  try {
    return cealloc::Allocate(size, static_cast<std::size_t>(alignment), true);
  } catch (...) {
    return nullptr;
  }
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
  return operator new(size, alignment, std::nothrow);
}

void operator delete(void *p) noexcept { Release(p); }
void operator delete[](void *p) noexcept { Release(p); }
void operator delete(void *p, std::size_t) noexcept { Release(p); }
void operator delete[](void *p, std::size_t) noexcept { Release(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { Release(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { Release(p); }
void operator delete(void *p, std::align_val_t) noexcept { cealloc::ReleaseAligned(p); }
void operator delete[](void *p, std::align_val_t) noexcept { cealloc::ReleaseAligned(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept {
  cealloc::ReleaseAligned(p);
}
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept {
  cealloc::ReleaseAligned(p);
}
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept {
  cealloc::ReleaseAligned(p);
}
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept {
  cealloc::ReleaseAligned(p);
}
