// The reader/writer lock and the last exception text under real threads.
#include "Cryptlib/cryptobj.h"
#include "support/exception_text.h"
#include "support/rwsyncs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A lock that stops working shows up as a thread that never finishes; end
// the test process with a message instead of waiting for the test time-out.
void FinishesOrAbort(std::future<void> &done, const char *what) {
  if (done.wait_for(60s) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: %s\n", what);
    std::abort();
  }
  done.get();
}

void RunOrAbort(const char *what, std::function<void()> work) {
  std::future<void> done = std::async(std::launch::async, std::move(work));
  FinishesOrAbort(done, what);
}

// A meeting point for a fixed number of threads; false when not everybody
// arrived in time (the others are then not all inside at once).
class TMeeting {
public:
  explicit TMeeting(int expected) : FExpected(expected) {}
  bool ArriveAndWait() {
    std::unique_lock lock(FMutex);
    if (++FArrived == FExpected)
      FChanged.notify_all();
    return FChanged.wait_for(lock, 30s, [this] { return FArrived >= FExpected; });
  }

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  int FExpected;
  int FArrived = 0;
};

// A one-shot signal between threads.
class TSignal {
public:
  void Set() {
    {
      const std::lock_guard lock(FMutex);
      FSet = true;
    }
    FChanged.notify_all();
  }
  void Wait() {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return FSet; });
  }

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FSet = false;
};

TEST(RWCriticalSection, ReadersShare) {
  TRWCriticalSection lock;
  TMeeting meeting(3);
  std::vector<std::future<bool>> readers;
  for (int i = 0; i < 3; ++i)
    readers.push_back(std::async(std::launch::async, [&] {
      const TSharedHold hold(lock);
      return meeting.ArriveAndWait(); // all three inside at the same time
    }));
  for (auto &reader : readers)
    EXPECT_TRUE(reader.get());
}

TEST(RWCriticalSection, AWriterWaitsForEveryReader) {
  TRWCriticalSection lock;
  std::atomic<int> readersInside{0};
  std::atomic<bool> writerInside{false};
  TMeeting readersIn(3); // two readers and the test thread
  TSignal leave;
  std::vector<std::future<void>> readers;
  for (int i = 0; i < 2; ++i)
    readers.push_back(std::async(std::launch::async, [&] {
      const TSharedHold hold(lock);
      ++readersInside;
      readersIn.ArriveAndWait();
      leave.Wait();
      --readersInside;
    }));
  ASSERT_TRUE(readersIn.ArriveAndWait());

  std::future<void> writer = std::async(std::launch::async, [&] {
    const TExclusiveHold hold(lock);
    writerInside = true;
    EXPECT_EQ(readersInside.load(), 0) << "the writer got in while others read";
  });
  // Give a faulty lock the chance to let the writer in early.
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(writerInside.load());
  leave.Set();
  for (auto &reader : readers)
    FinishesOrAbort(reader, "readers");
  FinishesOrAbort(writer, "writer");
  EXPECT_TRUE(writerInside.load());
}

TEST(RWCriticalSection, WritersExcludeEveryoneElse) {
  TRWCriticalSection lock;
  // Two plain fields the writers keep equal; a reader that sees them differ
  // has overlapped a writer. TSan reports any overlap as a data race too.
  long first = 0;
  long second = 0;
  std::atomic<int> torn{0};
  constexpr int kWriters = 3;
  constexpr int kReaders = 3;
  constexpr int kRounds = 2000;
  std::vector<std::future<void>> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.push_back(std::async(std::launch::async, [&] {
      for (int i = 0; i < kRounds; ++i) {
        const TExclusiveHold hold(lock);
        ++first;
        std::this_thread::yield();
        ++second;
      }
    }));
  for (int r = 0; r < kReaders; ++r)
    threads.push_back(std::async(std::launch::async, [&] {
      for (int i = 0; i < kRounds; ++i) {
        const TSharedHold hold(lock);
        if (first != second)
          ++torn;
      }
    }));
  for (auto &thread : threads)
    FinishesOrAbort(thread, "readers and writers");
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(first, kWriters * kRounds);
  EXPECT_EQ(second, kWriters * kRounds);
}

TEST(RWCriticalSection, BothSidesAreReentrant) {
  TRWCriticalSection lock;
  RunOrAbort("re-entry", [&] {
    lock.AcquireShared();
    lock.AcquireShared();
    lock.ReleaseShared();
    lock.ReleaseShared();
    lock.AcquireExclusive();
    lock.AcquireExclusive();
    lock.ReleaseExclusive();
    lock.ReleaseExclusive();
  });
  // Everything was given back: another thread writes at once.
  RunOrAbort("writer after re-entry", [&] { const TExclusiveHold hold(lock); });
}

TEST(RWCriticalSection, AReaderMayWriteAndTheWriterMayRead) {
  TRWCriticalSection lock;
  RunOrAbort("read, then write, then read inside the write", [&] {
    const TSharedHold read(lock);
    const TExclusiveHold write(lock);
    const TSharedHold readInsideWrite(lock);
  });
  RunOrAbort("writer afterwards", [&] { const TExclusiveHold hold(lock); });
}

TEST(RWCriticalSection, ReadsInsideAWriteAreNotCounted) {
  TRWCriticalSection lock;
  RunOrAbort("nested reads in a write", [&] {
    const TExclusiveHold write(lock);
    lock.AcquireShared();
    lock.AcquireShared();
    lock.ReleaseShared();
    lock.ReleaseShared();
  });
  // A read left counted would make this writer wait for ever.
  RunOrAbort("writer after the nested reads", [&] { const TExclusiveHold hold(lock); });
  // And a release now is one without a hold.
  EXPECT_THROW(lock.ReleaseShared(), EAssertionFailed);
}

TEST(RWCriticalSection, AReadingWriterStillWaitsForOtherReaders) {
  TRWCriticalSection lock;
  TMeeting bothReading(3);
  TSignal otherLeave;
  std::atomic<bool> otherReading{false};
  std::atomic<bool> wrote{false};

  std::future<void> other = std::async(std::launch::async, [&] {
    const TSharedHold hold(lock);
    otherReading = true;
    bothReading.ArriveAndWait();
    otherLeave.Wait();
    otherReading = false;
  });
  std::future<void> upgrader = std::async(std::launch::async, [&] {
    const TSharedHold read(lock);
    bothReading.ArriveAndWait();
    const TExclusiveHold write(lock);
    EXPECT_FALSE(otherReading.load()) << "wrote while another thread read";
    wrote = true;
  });
  ASSERT_TRUE(bothReading.ArriveAndWait());
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(wrote.load());
  otherLeave.Set();
  FinishesOrAbort(other, "other reader");
  FinishesOrAbort(upgrader, "reading writer");
  EXPECT_TRUE(wrote.load());
}

TEST(RWCriticalSection, ANewReaderWaitsForTheWriter) {
  TRWCriticalSection lock;
  TSignal writing;
  TSignal finishWrite;
  std::atomic<bool> writerDone{false};
  std::future<void> writer = std::async(std::launch::async, [&] {
    const TExclusiveHold hold(lock);
    writing.Set();
    finishWrite.Wait();
    writerDone = true;
  });
  writing.Wait();
  std::future<void> reader = std::async(std::launch::async, [&] {
    const TSharedHold hold(lock);
    EXPECT_TRUE(writerDone.load()) << "read while another thread wrote";
  });
  std::this_thread::sleep_for(50ms);
  finishWrite.Set();
  FinishesOrAbort(writer, "writer");
  FinishesOrAbort(reader, "reader");
}

// Holds the lock shared on `count` threads at once, then lets them all go.
void ReadOnThreadsAtOnce(TRWCriticalSection &lock, int count) {
  TMeeting allIn(count + 1);
  TSignal leave;
  std::vector<std::future<void>> readers;
  for (int i = 0; i < count; ++i)
    readers.push_back(std::async(std::launch::async, [&] {
      const TSharedHold hold(lock);
      allIn.ArriveAndWait();
      leave.Wait();
    }));
  EXPECT_TRUE(allIn.ArriveAndWait());
  leave.Set();
  for (auto &reader : readers)
    FinishesOrAbort(reader, "readers");
}

TEST(RWCriticalSection, TheReaderTableGrowsByTwoAndReusesFreedEntries) {
  TRWCriticalSection lock;
  EXPECT_EQ(lock.ReaderTableSize(), 4u);
  ReadOnThreadsAtOnce(lock, 4);
  EXPECT_EQ(lock.ReaderTableSize(), 4u);
  ReadOnThreadsAtOnce(lock, 5);
  EXPECT_EQ(lock.ReaderTableSize(), 6u);
  ReadOnThreadsAtOnce(lock, 7);
  EXPECT_EQ(lock.ReaderTableSize(), 8u);
  // Entries freed by threads that stopped reading are used again.
  ReadOnThreadsAtOnce(lock, 8);
  EXPECT_EQ(lock.ReaderTableSize(), 8u);
  // After all that, no read is left behind.
  RunOrAbort("writer after many readers", [&] { const TExclusiveHold hold(lock); });
}

TEST(RWCriticalSection, ReleasingWithoutAHoldAsserts) {
  TRWCriticalSection lock;
  EXPECT_THROW(lock.ReleaseShared(), EAssertionFailed);
  EXPECT_THROW(lock.ReleaseExclusive(), EAssertionFailed);

  // Another thread's read is not ours to release.
  TSignal reading;
  TSignal leave;
  std::future<void> reader = std::async(std::launch::async, [&] {
    const TSharedHold hold(lock);
    reading.Set();
    leave.Wait();
  });
  reading.Wait();
  EXPECT_THROW(lock.ReleaseShared(), EAssertionFailed);
  leave.Set();
  FinishesOrAbort(reader, "reader");

  // The lock still works after the failed releases.
  RunOrAbort("lock after failed releases", [&] {
    const TSharedHold read(lock);
    const TExclusiveHold write(lock);
  });
}

TEST(RWCriticalSection, OnlyTheWriterReleasesTheWrite) {
  TRWCriticalSection lock;
  TSignal writing;
  TSignal leave;
  std::future<void> writer = std::async(std::launch::async, [&] {
    const TExclusiveHold hold(lock);
    writing.Set();
    leave.Wait();
  });
  writing.Wait();
  EXPECT_THROW(lock.ReleaseExclusive(), EAssertionFailed);
  leave.Set();
  FinishesOrAbort(writer, "writer");
}

TEST(SyncExceptStr, ReadersSeeWholeTexts) {
  TSyncExceptStr text;
  const std::string a(300, 'a');
  const std::string b(500, 'b');
  text.SetText(a);
  std::atomic<int> torn{0};
  std::vector<std::future<void>> threads;
  for (int w = 0; w < 2; ++w)
    threads.push_back(std::async(std::launch::async, [&, w] {
      for (int i = 0; i < 2000; ++i)
        text.SetText((i + w) % 2 == 0 ? a : b);
    }));
  for (int r = 0; r < 3; ++r)
    threads.push_back(std::async(std::launch::async, [&] {
      for (int i = 0; i < 2000; ++i) {
        const std::string seen = text.GetText();
        if (seen != a && seen != b)
          ++torn;
      }
    }));
  for (auto &thread : threads)
    FinishesOrAbort(thread, "texts");
  EXPECT_EQ(torn.load(), 0);
}

} // namespace
