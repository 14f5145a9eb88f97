// Batches: one command over many files with one engine (and the keys it
// loads) per process. A batch goes on past a failed file, reports every
// failure by its file's name, and ends with a summary line. The module runs
// one library operation at a time per process, so a batch spreads its files
// over worker processes (--jobs); the parent merges their results and prints
// them in the order the files were given.
#pragma once

#include "host/session.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cehost {

// What a batch command does, prepared from its arguments before any module
// is loaded (usage errors are found here, before the work starts).
struct BatchPlan {
  std::vector<std::string> files; // the files the command was given, in order
  unsigned jobs = 1;              // worker processes wanted (at most one per file)
  // Does file `index` on the session's engine and returns its line for
  // standard output; throws a Failure naming the file when it fails.
  std::function<std::string(Session &, std::size_t index)> run;
};

// Loads the module and the user's engine and runs the body on it; a Failure
// when that cannot be done.
using WithSession = std::function<int(const std::function<int(Session &)> &body)>;

// Runs the plan and returns the exit code: 0 when every file was done;
// otherwise the exit code the failed files share, or 1 when they differ.
int RunBatch(const std::string &command, const BatchPlan &plan, const WithSession &withSession);

// The value of --jobs (1 to 256); a Failure (exit 2) for anything else.
unsigned ParseJobs(const std::string &text);
// The default number of jobs: the number of processors.
unsigned DefaultJobs();

// A file name for a message: control characters (a newline, an escape
// sequence) shown as '?', so a name cannot break a line or drive the terminal.
std::string ShownName(const std::string &name);

// What one file came to, as a worker reports it to the parent.
struct FileResult {
  int code = 0;        // 0: done; else the exit code of its failure
  std::string message; // the line for standard output, or the failure
};

// Runs the files over `jobs` worker processes, each running `body`, which
// opens one engine and then takes file after file from a queue the workers
// share (so a slow file, or a worker that gets less processor time, holds
// back no other file) and reports each through its callback. Calls `merge`
// in the parent as results arrive, and for every file left unreported (its
// worker crashed or was killed, or no worker could start) with a failure
// that says why. Returns false where worker processes are not available
// (the caller then runs the batch in its own process).
using ReportFile = std::function<void(std::size_t index, const FileResult &)>;
using TakeFile = std::function<std::optional<std::size_t>()>;
using WorkerBody = std::function<void(const TakeFile &take, const ReportFile &report)>;
bool RunWorkers(const std::vector<std::string> &files, unsigned jobs, const WorkerBody &body,
                const ReportFile &merge);

} // namespace cehost
