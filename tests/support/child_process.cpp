#include "tests/support/child_process.h"

#include <cstdio>
#include <memory>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace cetest {
namespace {

#if defined(_WIN32)
FILE *OpenPipe(const std::string &command) { return ::_popen(command.c_str(), "r"); }
int ClosePipe(FILE *pipe) { return ::_pclose(pipe); }
#else
FILE *OpenPipe(const std::string &command) { return ::popen(command.c_str(), "r"); }
int ClosePipe(FILE *pipe) {
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

#if defined(_WIN32)
std::string Quote(const std::string &text) { return "\"" + text + "\""; }
#else
std::string Quote(const std::string &text) { return "'" + text + "'"; }
#endif

} // namespace

ProgramRun RunProgram(const std::filesystem::path &program, const std::vector<std::string> &args) {
  std::string command = Quote(program.string());
  for (const std::string &arg : args) {
    command += ' ';
    command += Quote(arg);
  }
#if defined(_WIN32)
  // cmd /c drops the outermost quotes of a command that begins with one.
  command = Quote(command);
#endif
  ProgramRun run;
  FILE *pipe = OpenPipe(command);
  if (pipe == nullptr)
    return run;
  char buffer[512];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    run.Output.append(buffer, n);
  run.ExitCode = ClosePipe(pipe);
  return run;
}

} // namespace cetest
