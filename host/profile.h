// What cehost reads from its user before the module sees anything: the
// profile (one user's parameters by name) and recipient lists. Kept apart
// from the rest of cehost so that the fuzz target reads bytes the same way.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cehost {

// Exit codes of cehost.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,    // the module reported a failure (its text is printed)
  kExitUsage = 2,     // wrong command line or profile
  kExitNoModule = 3,  // the module or the provider library cannot be loaded
  kExitFileError = 4, // a file could not be read or written
};

// A failure with the exit code it maps to; the message is UTF-8.
struct Failure : std::runtime_error {
  Failure(int code, const std::string &message) : std::runtime_error(message), exitCode(code) {}
  int exitCode;
};

struct Profile {
  std::string rootPath;                      // UTF-8, empty when not set
  std::map<std::string, std::string> values; // parameter name -> value, UTF-8

  // Reads "name = value" lines; '#' starts a comment line, blanks around
  // names and values do not count, a UTF-8 byte order mark is skipped. A line
  // without '=', an empty name, a name given twice or a NUL byte is a Failure
  // (exit 2) naming fileName and the line.
  static Profile Parse(std::string_view text, const std::string &fileName);
  // The text Parse reads back to the same profile.
  std::string Text() const;
};

// Reads a recipient list as a user writes it: items separated by ';', ','
// or blanks, each a four-digit key number or a full 10- or 12-digit key
// identifier, never of key number 0000. Returns the items; an empty list or
// a bad item is a Failure (exit 2) that names the item and where it came
// from.
std::vector<std::string> ParseRecipients(std::string_view text, const std::string &where);
// The items joined the way the module reads a list (';' between them).
std::string JoinRecipients(const std::vector<std::string> &items);

} // namespace cehost
