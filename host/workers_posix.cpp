// Worker processes of a batch on POSIX: the one place of cehost that starts
// processes. On POSIX each worker is a fork of cehost made before the module
// is loaded, so every worker loads the module and the user's keys itself,
// once; it sends one record per file through a pipe of its own. Windows runs
// a batch in one process.
#include "host/batch.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>

#include <poll.h>
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

bool WriteAll(int fd, const std::string &bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

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
    if (!WriteAll(fd_, pending_))
      ::_exit(kExitFailed); // the parent is gone: nobody would hear of further files
    pending_.clear();
    last_ = std::chrono::steady_clock::now();
  }

private:
  int fd_;
  std::string pending_;
  std::chrono::steady_clock::time_point last_;
};

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  std::string buffer;
  std::set<std::size_t> reported;
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
  std::vector<Worker> workers(jobs);
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
          body(w, [&](std::size_t index, const FileResult &r) { sender.Send(index, r); });
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
          } else if (h.index < files.size() &&
                     h.index % jobs == static_cast<std::size_t>(&w - workers.data())) {
            w.reported.insert(h.index);
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
      const std::size_t number = static_cast<std::size_t>(&w - workers.data());
      const int code = w.failure.empty() ? kExitFailed : w.failureCode;
      const std::string why = w.failure.empty() ? EndOf(status) : w.failure;
      // A worker that could not start says why with its first file; its
      // other files (printed later: files come out in order) refer to that.
      bool told = false;
      for (std::size_t i = number; i < files.size(); i += jobs)
        if (w.reported.count(i) == 0) {
          const bool repeat = told && !w.failure.empty();
          merge(i, {code, ShownName(files[i]) + ": not done: " +
                              (repeat ? "its worker process could not start (see above)" : why)});
          told = true;
        }
    }
  }
  return true;
}

} // namespace cehost
