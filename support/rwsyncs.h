// TRWCriticalSection: many readers or one writer, re-entrant on both sides;
// a thread that reads may also write, and a writer may read what it writes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class TRWCriticalSection {
public:
  TRWCriticalSection();
  // Waits until the readers of other threads have left. The lock must not be
  // in use by any other thread afterwards.
  ~TRWCriticalSection();
  TRWCriticalSection(const TRWCriticalSection &) = delete;
  TRWCriticalSection &operator=(const TRWCriticalSection &) = delete;

  void AcquireShared();
  // Raises EAssertionFailed when the calling thread holds no shared access.
  void ReleaseShared();
  void AcquireExclusive();
  // Raises EAssertionFailed when the calling thread is not the writer.
  void ReleaseExclusive();

  // Entries of the reader table, used and free (for diagnostics).
  std::size_t ReaderTableSize() const;

private:
  struct TReaderEntry {
    uint32_t ThreadId = 0; // 0: free
    int32_t Holds = 0;
  };

  // The small lock around the reader table: yields while another thread holds it.
  class TTableLock {
  public:
    explicit TTableLock(const TRWCriticalSection &owner);
    ~TTableLock();
    TTableLock(const TTableLock &) = delete;
    TTableLock &operator=(const TTableLock &) = delete;

  private:
    std::atomic<uint32_t> &FWord;
  };

  // The following helpers expect the table lock to be held.
  TReaderEntry *FindReader(uint32_t threadId);
  bool OnlyOwnReads() const;
  void SetReadersGone(bool gone);

  // Held by a writer from AcquireExclusive to ReleaseExclusive; also
  // serialises the first shared acquisition of a thread.
  std::recursive_mutex FWriterLock;
  // "Readers gone" manual-reset event, created signalled.
  std::mutex FEventMutex;
  std::condition_variable FEventChanged;
  bool FReadersGone = true;
  // Shared holds of all threads, or the writer's recursion depth while writing.
  std::atomic<int32_t> FCount{0};
  int32_t FSavedCount = 0;
  std::vector<TReaderEntry> FReaders;
  std::atomic<uint32_t> FWaitingWriter{0};
  mutable std::atomic<uint32_t> FTableLock{0};
  std::atomic<bool> FWriting{false};
  std::atomic<uint32_t> FWriter{0};
};

// Shared access for the lifetime of the object.
class TSharedHold {
public:
  explicit TSharedHold(TRWCriticalSection &lock) : FLock(lock) { FLock.AcquireShared(); }
  ~TSharedHold() { FLock.ReleaseShared(); }
  TSharedHold(const TSharedHold &) = delete;
  TSharedHold &operator=(const TSharedHold &) = delete;

private:
  TRWCriticalSection &FLock;
};

// Exclusive access for the lifetime of the object.
class TExclusiveHold {
public:
  explicit TExclusiveHold(TRWCriticalSection &lock) : FLock(lock) { FLock.AcquireExclusive(); }
  ~TExclusiveHold() { FLock.ReleaseExclusive(); }
  TExclusiveHold(const TExclusiveHold &) = delete;
  TExclusiveHold &operator=(const TExclusiveHold &) = delete;

private:
  TRWCriticalSection &FLock;
};
