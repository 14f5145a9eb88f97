#include "host/batch.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace cehost {
namespace {

// A progress bar on standard error, redrawn in place; only on a terminal and
// only for more than one file.
class Progress {
public:
  explicit Progress(std::size_t total) : total_(total), shown_(total > 1 && StderrIsTerminal()) {}
  bool Shown() const { return shown_; }
  void Step(std::size_t done, const std::string &name) {
    if (!shown_)
      return;
    const int width = 30;
    const int filled = static_cast<int>(width * done / total_);
    std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu %s\033[K", filled, "##############################",
                 width - filled, "", done, total_, ShownName(name).c_str());
    if (done == total_)
      std::fprintf(stderr, "\n");
    std::fflush(stderr);
  }
  // Clears the bar's line so that a message can take it.
  void Clear() const {
    if (shown_)
      std::fprintf(stderr, "\r\033[K");
  }

private:
  std::size_t total_;
  bool shown_;
};

// A failure for the terminal: control characters (from file names) shown as
// '?', except the line breaks before the indented advice lines.
std::string ShownMessage(const std::string &message) {
  std::string shown;
  for (std::size_t start = 0;;) {
    const std::size_t end = message.find("\n  ", start);
    shown += ShownName(message.substr(start, end - start));
    if (end == std::string::npos)
      return shown;
    shown += "\n  ";
    start = end + 3;
  }
}

// Collects the files' results as they come and prints them in the order the
// files were given: each line with one call, so no two lines mix.
class Merger {
public:
  Merger(const std::string &command, const std::vector<std::string> &files)
      : command_(command), files_(files), results_(files.size()), progress_(files.size()),
        start_(std::chrono::steady_clock::now()) {}

  void Add(std::size_t index, const FileResult &result) {
    if (index >= results_.size() || results_[index])
      return;
    results_[index] = result;
    progress_.Step(++arrived_, files_[index]);
    for (; next_ < results_.size() && results_[next_]; ++next_)
      Print(*results_[next_]);
  }

  int Finish() {
    int code = 0;
    std::size_t failed = 0;
    for (const auto &r : results_) {
      if (!r || r->code == 0)
        continue;
      ++failed;
      code = code == 0 || code == r->code ? r->code : kExitFailed;
    }
    if (results_.size() > 1) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
      progress_.Clear();
      std::fprintf(stderr, "cehost: %s: %zu done, %zu failed, %.2f s\n", command_.c_str(),
                   results_.size() - failed, failed, seconds);
    }
    return code;
  }

private:
  void Print(const FileResult &r) {
    if (r.code != 0) {
      progress_.Clear();
      std::fprintf(stderr, "cehost: %s\n", ShownMessage(r.message).c_str());
      std::fflush(stderr);
    } else if (!progress_.Shown()) {
      // On a terminal a batch shows its bar instead of a line per file.
      std::fprintf(stdout, "%s\n", ShownName(r.message).c_str());
    }
  }

  std::string command_;
  const std::vector<std::string> &files_;
  std::vector<std::optional<FileResult>> results_;
  Progress progress_;
  std::chrono::steady_clock::time_point start_;
  std::size_t arrived_ = 0;
  std::size_t next_ = 0;
};

FileResult RunOne(const BatchPlan &plan, Session &session, std::size_t index) {
  try {
    return {kExitOk, plan.run(session, index)};
  } catch (const Failure &f) {
    return {f.exitCode, f.what()};
  } catch (const std::exception &e) {
    return {kExitFailed, ShownName(plan.files[index]) + ": " + e.what()};
  }
}

} // namespace

std::string ShownName(const std::string &name) {
  std::string shown = name;
  for (char &c : shown) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F)
      c = '?';
  }
  return shown;
}

unsigned ParseJobs(const std::string &text) {
  std::size_t used = 0;
  long jobs = 0;
  try {
    jobs = std::stol(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used == 0 || used != text.size() || jobs < 1 || jobs > 256)
    throw Failure(kExitUsage, "--jobs takes a number of worker processes from 1 to 256, not \"" +
                                  ShownName(text) + "\"");
  return static_cast<unsigned>(jobs);
}

unsigned DefaultJobs() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

int RunBatch(const std::string &command, const BatchPlan &plan, const WithSession &withSession) {
  const std::size_t count = plan.files.size();
  Merger merger(command, plan.files);
  const auto merge = [&](std::size_t index, const FileResult &r) { merger.Add(index, r); };
  const unsigned jobs = static_cast<unsigned>(std::min<std::size_t>(plan.jobs, count));
  // Standard output and error are flushed before workers start, so nothing
  // written so far is written again by a worker.
  std::fflush(stdout);
  std::fflush(stderr);
  const bool spread = jobs > 1 && RunWorkers(
                                      plan.files, jobs,
                                      [&](const TakeFile &take, const ReportFile &report) {
                                        withSession([&](Session &session) {
                                          while (const auto i = take())
                                            report(*i, RunOne(plan, session, *i));
                                          return kExitOk;
                                        });
                                      },
                                      merge);
  if (!spread)
    withSession([&](Session &session) {
      for (std::size_t i = 0; i < count; ++i)
        merge(i, RunOne(plan, session, i));
      return kExitOk;
    });
  std::fflush(stdout);
  return merger.Finish();
}

} // namespace cehost
