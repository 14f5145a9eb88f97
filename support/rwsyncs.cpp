#include "support/rwsyncs.h"

#include "platform/platform.h"
#include "support/exception_text.h"

#include <thread>

namespace {
constexpr std::size_t kInitialReaders = 4;
constexpr std::size_t kReadersGrowth = 2;
} // namespace

// Every change of the reader table, of the shared count and of the
// "readers gone" state happens under the table lock, so the three always
// agree: a writer that finds the event set, or only its own reads in the
// table, can rely on no other thread reading.

TRWCriticalSection::TTableLock::TTableLock(const TRWCriticalSection &owner)
    : FWord(owner.FTableLock) {
  const uint32_t self = platform::CurrentThreadId();
  while (FWord.exchange(self) != 0)
    std::this_thread::yield();
}

TRWCriticalSection::TTableLock::~TTableLock() { FWord.store(0); }

TRWCriticalSection::TRWCriticalSection() : FReaders(kInitialReaders) {}

TRWCriticalSection::~TRWCriticalSection() {
  try {
    AcquireExclusive();
    ReleaseExclusive();
  } catch (...) {
    // Nothing sensible is left to do while the object goes away.
  }
}

TRWCriticalSection::TReaderEntry *TRWCriticalSection::FindReader(uint32_t threadId) {
  for (TReaderEntry &entry : FReaders)
    if (entry.ThreadId == threadId)
      return &entry;
  return nullptr;
}

bool TRWCriticalSection::OnlyOwnReads() const {
  const uint32_t writer = FWaitingWriter.load();
  if (writer == 0)
    return false;
  for (const TReaderEntry &entry : FReaders)
    if (entry.ThreadId != 0 && entry.ThreadId != writer)
      return false;
  return true;
}

void TRWCriticalSection::SetReadersGone(bool gone) {
  {
    const std::lock_guard event(FEventMutex);
    FReadersGone = gone;
  }
  if (gone)
    FEventChanged.notify_all();
}

void TRWCriticalSection::AcquireShared() {
  const uint32_t self = platform::CurrentThreadId();
  {
    // A thread that already reads re-enters without the writer lock. The
    // writer reading what it writes is not counted at all.
    const TTableLock table(*this);
    if (TReaderEntry *own = FindReader(self)) {
      if (!FWriting.load()) {
        FCount.fetch_add(1);
        ++own->Holds;
      }
      return;
    }
  }

  // First read of this thread: wait while another thread writes.
  const std::lock_guard writer(FWriterLock);
  if (FWriting.load())
    return; // only the writing thread itself gets here

  const TTableLock table(*this);
  if (FCount.fetch_add(1) == 0)
    SetReadersGone(false);
  TReaderEntry *chosen = nullptr;
  TReaderEntry *firstFree = nullptr;
  for (TReaderEntry &entry : FReaders) {
    if (entry.ThreadId == self) {
      chosen = &entry;
      break;
    }
    if (firstFree == nullptr && entry.ThreadId == 0)
      firstFree = &entry;
  }
  if (chosen != nullptr) {
    ++chosen->Holds;
    return;
  }
  if (firstFree == nullptr) {
    FReaders.resize(FReaders.size() + kReadersGrowth);
    firstFree = &FReaders[FReaders.size() - kReadersGrowth];
  }
  firstFree->ThreadId = self;
  firstFree->Holds = 1;
}

void TRWCriticalSection::ReleaseShared() {
  const uint32_t self = platform::CurrentThreadId();
  const TTableLock table(*this);
  if (FWriting.load() && FWriter.load() == self)
    return; // the writer's own reads are not counted

  TReaderEntry *own = FindReader(self);
  CE_ASSERT(own != nullptr);
  if (--own->Holds == 0)
    own->ThreadId = 0;
  if (FCount.fetch_sub(1) == 1 || OnlyOwnReads())
    SetReadersGone(true);
}

void TRWCriticalSection::AcquireExclusive() {
  // The writer lock stays held until the matching ReleaseExclusive.
  std::unique_lock writer(FWriterLock);
  if (FWriting.load()) {
    FCount.fetch_add(1); // the writer re-enters
    writer.release();
    return;
  }

  const uint32_t self = platform::CurrentThreadId();
  FWaitingWriter.store(self);
  bool ownReadsOnly = false;
  {
    const TTableLock table(*this);
    ownReadsOnly = OnlyOwnReads();
  }
  if (!ownReadsOnly) {
    std::unique_lock event(FEventMutex);
    FEventChanged.wait(event, [this] { return FReadersGone; });
  }

  const TTableLock table(*this);
  FSavedCount = FCount.exchange(0);
  FWaitingWriter.store(0);
  FWriter.store(self);
  FWriting.store(true);
  FCount.fetch_add(1);
  writer.release();
}

void TRWCriticalSection::ReleaseExclusive() {
  CE_ASSERT(FWriting.load() && FWriter.load() == platform::CurrentThreadId());
  if (FCount.fetch_sub(1) == 1) {
    const TTableLock table(*this);
    FCount.store(FSavedCount);
    FSavedCount = 0;
    FWriter.store(0);
    FWriting.store(false);
    // The writer's own reads, if any, go on after the write.
    SetReadersGone(FCount.load() == 0);
  }
  FWriterLock.unlock();
}

std::size_t TRWCriticalSection::ReaderTableSize() const {
  const TTableLock table(*this);
  return FReaders.size();
}
