// The commands of cehost, each a function over its arguments.
#pragma once

#include "host/batch.h"
#include "host/session.h"

#include <cstdint>

#include <string>
#include <vector>

namespace cehost {

struct Command {
  const char *name;
  const char *usage;   // arguments after the command name
  const char *summary; // one line
  const char *help;    // the rest of the help text
  bool needsProfile;   // works on the user's keys, so a profile must be given
  // One of the two: a command on one engine, or a batch over files planned
  // from its arguments before the module is loaded.
  int (*run)(Session *session, const std::vector<std::string> &args);
  BatchPlan (*plan)(const std::vector<std::string> &args);
};

const std::vector<Command> &Commands();
const Command *FindCommand(const std::string &name);

// The demo: a bank and a client, from nothing, in a temporary directory.
int RunDemo(ModuleApi &api, const std::vector<std::string> &args);

// Size checks shared by the commands: the module's lengths are 32-bit.
int32_t CheckedLength(std::size_t size, const std::string &fileName);

} // namespace cehost
