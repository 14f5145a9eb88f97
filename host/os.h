// What cehost asks of the operating system beyond its own files (files.h).
// Both are implemented once per system, in os_posix.cpp and os_win.cpp
// (CMake builds the one that fits), so no other file of cehost knows which
// system it runs on; worker processes live in workers_posix.cpp and
// workers_win.cpp the same way.
#pragma once

#include <string>

namespace cehost {

// The file name a program has on this system: "kestrel-keys" becomes
// "kestrel-keys.exe" on Windows and stays as it is elsewhere.
std::string ProgramFileName(const std::string &name);

// Runs a command line through the system's shell (std::system) exactly as
// written, quotes included; the shell's exit status.
int RunCommandLine(const std::string &command);

} // namespace cehost
