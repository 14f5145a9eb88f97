// One user's engine, configured from a profile: a small text file that holds
// the user's parameters by name (plus the root path), so that one user's
// settings are one file.
#pragma once

#include "host/module_api.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
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

  // Reads "name = value" lines; '#' starts a comment line.
  static Profile Load(const std::string &fileName);
  std::string Text() const;
};

// The key-device request function shows its prompt on standard error; the
// device it names is the profile's "Key device".
void SetKeyDevicePrompt(const std::string &deviceName);

// Progress bars and prompts that redraw themselves only go to a terminal.
bool StderrIsTerminal();

class Session {
public:
  Session(ModuleApi &api, const Profile &profile);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  CE_HANDLE Handle() const { return engine_; }
  ModuleApi &Api() const { return api_; }
  // The module's text for a result code, in UTF-8.
  std::string ErrorText(int32_t code) const;
  // Throws a Failure with the module's text unless code is 0.
  void Check(int32_t code, const std::string &what) const;
  // Parameter index by name (1-based), 0 when the module has no such name.
  int32_t ParamIndex(const std::string &utf8Name) const;
  std::string ParamValue(int32_t index) const; // UTF-8
  void SetParam(const std::string &utf8Name, const std::string &utf8Value);

private:
  ModuleApi &api_;
  CE_HANDLE engine_ = nullptr;
};

// A size the module reported through one of its queries; a negative answer
// (the query failed) is a Failure.
std::size_t ReportedSize(int32_t size, const char *query);

// Whole files in and out. Writes are atomic: the data goes to a file beside
// the target and replaces it only when every byte is on disk.
std::vector<unsigned char> ReadFile(const std::string &fileName);
void WriteFile(const std::string &fileName, const std::vector<unsigned char> &data);

} // namespace cehost
