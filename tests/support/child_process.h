// Runs another program of the build and collects what it prints.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cetest {

struct ProgramRun {
  int ExitCode = -1;
  std::string Output; // standard output
};

// Runs the program with the arguments (each quoted) and waits for it.
ProgramRun RunProgram(const std::filesystem::path &program, const std::vector<std::string> &args);

} // namespace cetest
