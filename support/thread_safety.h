// Lock annotations checked by clang's -Wthread-safety (empty for other
// compilers), and the module's mutexes and scoped lock carrying them: what
// each mutex guards is written at the data it guards.
#pragma once

#include <mutex>

#if defined(__clang__)
#define CE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CE_THREAD_ANNOTATION(x)
#endif

#define CE_CAPABILITY(name) CE_THREAD_ANNOTATION(capability(name))
#define CE_SCOPED_CAPABILITY CE_THREAD_ANNOTATION(scoped_lockable)
#define CE_GUARDED_BY(lock) CE_THREAD_ANNOTATION(guarded_by(lock))
#define CE_REQUIRES(...) CE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define CE_EXCLUDES(...) CE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define CE_ACQUIRE(...) CE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define CE_RELEASE(...) CE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define CE_TRY_ACQUIRE(...) CE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// For a read the analysis cannot follow; the function says why it is safe.
#define CE_NO_THREAD_SAFETY_ANALYSIS CE_THREAD_ANNOTATION(no_thread_safety_analysis)

// A standard mutex the analysis knows as a lock.
template <typename Mutex> class CE_CAPABILITY("mutex") TAnnotatedMutex {
public:
  void lock() CE_ACQUIRE() { FMutex.lock(); }
  void unlock() CE_RELEASE() { FMutex.unlock(); }
  bool try_lock() CE_TRY_ACQUIRE(true) { return FMutex.try_lock(); }

private:
  Mutex FMutex;
};
using TMutex = TAnnotatedMutex<std::mutex>;
using TRecursiveMutex = TAnnotatedMutex<std::recursive_mutex>;

// Holds a lock for its scope, as the analysis sees it.
template <typename Mutex> class CE_SCOPED_CAPABILITY TLockGuard {
public:
  explicit TLockGuard(Mutex &mutex) CE_ACQUIRE(mutex) : FMutex(mutex) { FMutex.lock(); }
  ~TLockGuard() CE_RELEASE() { FMutex.unlock(); }
  TLockGuard(const TLockGuard &) = delete;
  TLockGuard &operator=(const TLockGuard &) = delete;

private:
  Mutex &FMutex;
};
