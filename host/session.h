// One user's engine, configured from a profile: a small text file that holds
// the user's parameters by name (plus the root path), so that one user's
// settings are one file.
#pragma once

#include "host/module_api.h"
#include "host/profile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cehost {

// Reads the profile file by exactly its name; a missing, unreadable or
// directory path is a Failure (exit 2) that says what to give instead.
Profile LoadProfile(const std::string &fileName);

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
  // Throws a Failure unless code is 0: what was being done (file, keys),
  // the module's text and code, and for the common codes one line on what
  // to do, naming the directory, key device or identifier involved (advice,
  // when given, is that line instead).
  void Check(int32_t code, const std::string &what, const std::string &advice = {}) const;
  // That line of advice for a code, empty when there is none.
  std::string Advice(int32_t code) const;
  // Parameter index by name (1-based), 0 when the module has no such name.
  int32_t ParamIndex(const std::string &utf8Name) const;
  std::string ParamValue(int32_t index) const; // UTF-8
  std::string ParamValue(const std::string &utf8Name) const;
  void SetParam(const std::string &utf8Name, const std::string &utf8Value);

private:
  void Configure(const Profile &profile);

  ModuleApi &api_;
  CE_HANDLE engine_ = nullptr;
};

// A size the module reported through one of its queries; a negative answer
// (the query failed) is a Failure.
std::size_t ReportedSize(int32_t size, const char *query);

} // namespace cehost
