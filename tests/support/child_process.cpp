#include "tests/support/child_process.h"

#include <cstdio>
#include <memory>
#include <utility>

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

// Appends one word to a command line, quoted for the shell that runs it.
// Built by appending in place: GCC 12 at -O3 reports a false -Wrestrict on
// the temporaries of "x" + text + "x".
void AppendQuoted(std::string &command, const std::string &text) {
#if defined(_WIN32)
  command += '"';
  command += text;
  command += '"';
#else
  // Inside single quotes only the single quote itself needs care: close,
  // an escaped quote, open again.
  command += '\'';
  for (const char c : text) {
    if (c == '\'')
      command += "'\\''";
    else
      command += c;
  }
  command += '\'';
#endif
}

} // namespace

ProgramRun RunProgram(const std::filesystem::path &program, const std::vector<std::string> &args) {
  std::string command;
  AppendQuoted(command, program.string());
  for (const std::string &arg : args) {
    command += ' ';
    AppendQuoted(command, arg);
  }
#if defined(_WIN32)
  // cmd /c drops the outermost quotes of a command that begins with one.
  std::string wrapped;
  AppendQuoted(wrapped, command);
  command = std::move(wrapped);
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
