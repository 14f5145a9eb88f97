// Worker processes of a batch on POSIX: the one place of cehost that starts
// processes. On POSIX each worker is a fork of cehost made before the module
// is loaded, so every worker loads the module and the user's keys itself,
// once; it takes files from a queue in memory shared by all workers and
// sends one record per file through a pipe of its own. Windows runs a batch
// in one process.
#include "host/batch.h"
#include "host/os_posix.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <vector>

#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cehost {
namespace {

// A record: index (all ones: the worker could not start), exit code, length
// of the message, then the message.
struct RecordHeader {
  std::uint64_t index;
  std::int32_t code;
  std::uint32_t length;
};
constexpr std::uint64_t kWorkerFailed = ~std::uint64_t{0};

// The records a worker has not sent yet: they go out together every 20 ms
// (or 4 KiB) rather than one by one, which spares the parent a wake-up per
// file while its progress bar still moves smoothly.
class Sender {
public:
  explicit Sender(int fd) : fd_(fd), last_(std::chrono::steady_clock::now()) {}
  ~Sender() { Flush(); }
  void Send(std::uint64_t index, const FileResult &r) {
    const RecordHeader header{index, r.code, static_cast<std::uint32_t>(r.message.size())};
    pending_.append(reinterpret_cast<const char *>(&header), sizeof header);
    pending_ += r.message;
    if (pending_.size() >= 4096 ||
        std::chrono::steady_clock::now() - last_ >= std::chrono::milliseconds(20))
      Flush();
  }
  void Flush() {
    if (!WriteAll(fd_, pending_.data(), pending_.size()))
      ::_exit(kExitFailed); // the parent is gone: nobody would hear of further files
    pending_.clear();
    last_ = std::chrono::steady_clock::now();
  }

private:
  int fd_;
  std::string pending_;
  std::chrono::steady_clock::time_point last_;
};

// The queue of a batch's files, in memory the workers share with the
// parent: the index of the next file to take, and for each file the worker
// (its number plus one) that took it, so that the parent knows which files
// a worker that died had taken, and accepts records only for those.
class FileQueue {
public:
  explicit FileQueue(std::size_t files)
      : files_(files), size_(sizeof(std::uint64_t) + files * sizeof(std::uint32_t)) {
    memory_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory_ == MAP_FAILED)
      throw Failure(kExitFailed,
                    std::string("cannot start worker processes: ") + std::strerror(errno));
  }
  ~FileQueue() { ::munmap(memory_, size_); }
  FileQueue(const FileQueue &) = delete;
  FileQueue &operator=(const FileQueue &) = delete;

  // The next file for worker `number`, which now owns it; none when all
  // are taken.
  std::optional<std::size_t> Take(unsigned number) {
    const std::uint64_t index = std::atomic_ref<std::uint64_t>(*Next()).fetch_add(1);
    if (index >= files_)
      return std::nullopt;
    std::atomic_ref<std::uint32_t>(Owners()[index]).store(number + 1);
    return static_cast<std::size_t>(index);
  }
  // The number plus one of the worker that took the file; 0 while none has.
  std::uint32_t Owner(std::size_t index) const {
    return std::atomic_ref<std::uint32_t>(Owners()[index]).load();
  }

private:
  static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free &&
                    std::atomic_ref<std::uint32_t>::is_always_lock_free,
                "the queue's counters are shared between processes");
  std::uint64_t *Next() const { return static_cast<std::uint64_t *>(memory_); }
  std::uint32_t *Owners() const {
    return reinterpret_cast<std::uint32_t *>(static_cast<std::uint64_t *>(memory_) + 1);
  }
  std::size_t files_;
  std::size_t size_;
  void *memory_ = nullptr; // zero-filled by the system
};

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  std::string buffer;
  std::string failure; // why it could not start, from its own record
  int failureCode = kExitFailed;
};

std::string EndOf(int status) {
  if (WIFSIGNALED(status))
    return "its worker process was killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    return "its worker process ended with exit code " + std::to_string(WEXITSTATUS(status));
  return "its worker process ended without a result";
}

} // namespace

bool RunWorkers(const std::vector<std::string> &files, unsigned jobs, const WorkerBody &body,
                const ReportFile &merge) {
  FileQueue queue(files.size());
  std::vector<bool> reported(files.size());
  std::vector<Worker> workers(jobs);
  const auto numberOf = [&](const Worker &w) {
    return static_cast<std::uint32_t>(&w - workers.data());
  };
  for (unsigned w = 0; w < jobs; ++w) {
    int ends[2];
    if (::pipe(ends) != 0)
      throw Failure(kExitFailed,
                    std::string("cannot start worker processes: ") + std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) {
      ::close(ends[0]);
      ::close(ends[1]);
      throw Failure(kExitFailed,
                    std::string("cannot start worker processes: ") + std::strerror(errno));
    }
    if (pid == 0) {
      ::close(ends[0]);
      for (unsigned earlier = 0; earlier < w; ++earlier)
        ::close(workers[earlier].fd);
      std::signal(SIGPIPE, SIG_DFL);
      {
        Sender sender(ends[1]);
        try {
          body([&] { return queue.Take(w); },
               [&](std::size_t index, const FileResult &r) { sender.Send(index, r); });
        } catch (const Failure &f) {
          sender.Send(kWorkerFailed, {f.exitCode, f.what()});
        } catch (const std::exception &e) {
          sender.Send(kWorkerFailed, {kExitFailed, e.what()});
        }
      }
      std::fflush(stdout);
      std::fflush(stderr);
      ::_exit(kExitOk);
    }
    ::close(ends[1]);
    workers[w].pid = pid;
    workers[w].fd = ends[0];
  }

  for (;;) {
    std::vector<pollfd> polled;
    std::vector<Worker *> owners;
    for (Worker &w : workers)
      if (w.fd >= 0) {
        polled.push_back({w.fd, POLLIN, 0});
        owners.push_back(&w);
      }
    if (polled.empty())
      break;
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR)
        continue;
      throw Failure(kExitFailed,
                    std::string("cannot follow the worker processes: ") + std::strerror(errno));
    }
    for (std::size_t p = 0; p < polled.size(); ++p) {
      if (polled[p].revents == 0)
        continue;
      Worker &w = *owners[p];
      char chunk[65536];
      const ssize_t n = ::read(w.fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR)
        continue;
      if (n > 0) {
        w.buffer.append(chunk, static_cast<std::size_t>(n));
        while (w.buffer.size() >= sizeof(RecordHeader)) {
          RecordHeader h;
          std::memcpy(&h, w.buffer.data(), sizeof h);
          if (w.buffer.size() < sizeof h + h.length)
            break;
          FileResult r{h.code, w.buffer.substr(sizeof h, h.length)};
          w.buffer.erase(0, sizeof h + h.length);
          if (h.index == kWorkerFailed) {
            w.failure = r.message;
            w.failureCode = r.code;
          } else if (h.index < files.size() && !reported[h.index] &&
                     queue.Owner(h.index) == numberOf(w) + 1) {
            reported[h.index] = true;
            merge(h.index, r);
          }
        }
        continue;
      }
      // End of its output: the worker is done, or died.
      ::close(w.fd);
      w.fd = -1;
      int status = 0;
      while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
      }
      // The files it had taken and not reported: it crashed or was killed
      // while doing them.
      const int code = w.failure.empty() ? kExitFailed : w.failureCode;
      const std::string why = w.failure.empty() ? EndOf(status) : w.failure;
      for (std::size_t i = 0; i < files.size(); ++i)
        if (!reported[i] && queue.Owner(i) == numberOf(w) + 1) {
          reported[i] = true;
          merge(i, {code, ShownName(files[i]) + ": not done: " + why});
        }
    }
  }
  // Files no worker took: every worker ended first, most likely because none
  // could start. Each worker that could not start says why with one of them;
  // the others refer to that.
  std::vector<const Worker *> failed;
  for (const Worker &w : workers)
    if (!w.failure.empty())
      failed.push_back(&w);
  std::size_t told = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (reported[i])
      continue;
    std::string why = "no worker process was left to do it";
    int code = kExitFailed;
    if (!failed.empty()) {
      const Worker &w = *failed[std::min(told, failed.size() - 1)];
      why = told < failed.size() ? w.failure : "its worker process could not start (see above)";
      code = w.failureCode;
    }
    merge(i, {code, ShownName(files[i]) + ": not done: " + why});
    ++told;
  }
  return true;
}

} // namespace cehost
