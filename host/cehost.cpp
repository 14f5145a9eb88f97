// cehost: the reference host program. It loads the module at run time like a
// banking client does, configures one user's engine from a profile, and
// calls the module's exports for each command.
#include "host/batch.h"
#include "host/commands.h"
#include "host/module_api.h"
#include "host/session.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace cehost;

void PrintUsage(std::FILE *out) {
  std::fprintf(out,
               "usage: cehost [--module PATH] [--profile FILE] COMMAND [ARGUMENTS]\n"
               "       cehost demo [--keep]\n"
               "       cehost help [COMMAND]\n\n"
               "Options:\n"
               "  --module PATH   the module to load (default: beside this program)\n"
               "  --profile FILE  one user's parameters, one \"name = value\" a line, names as\n"
               "                  'cehost params' lists them, plus \"Root path\" (default:\n"
               "                  $CEHOST_PROFILE; commands that use keys need one)\n\n"
               "Commands:\n");
  for (const Command &c : Commands())
    std::fprintf(out, "  %-19s %s\n", c.name, c.summary);
  std::fprintf(out, "  %-19s %s\n", "demo",
               "a bank and a client exchange a signed, encrypted payment order");
  std::fprintf(out, "\nExit codes: 0 success; 1 the module reported a failure (its text is "
                    "printed);\n2 wrong usage or profile; 3 the module or the provider library "
                    "cannot be loaded;\n4 a file could not be read or written (nothing is left "
                    "half-written).\nA batch (many files) exits with the code its failed files "
                    "share, or 1 when they\nfailed in different ways.\n");
}

int Help(const std::string &name) {
  if (name == "demo") {
    std::printf("usage: cehost demo [--keep]\n\nCreates a bank and a client with kestrel-keys in a "
                "fresh temporary directory,\nexchanges their public keys, has the client sign "
                "and encrypt a payment order\nfor the bank, the bank decrypt and verify it, and "
                "shows that a tampered copy\nfails. --keep leaves the directory in place.\n");
    return kExitOk;
  }
  const Command *c = FindCommand(name);
  if (c == nullptr) {
    std::fprintf(stderr, "cehost: no command %s\n", name.c_str());
    return kExitUsage;
  }
  std::printf("usage: cehost [--module PATH] [--profile FILE] %s %s\n\n%s.\n", c->name, c->usage,
              c->summary);
  if (*c->help)
    std::printf("%s\n", c->help);
  return kExitOk;
}

int Run(int argc, char **argv) {
  std::string modulePath = DefaultModulePath();
  std::string profilePath;
  if (const auto env = platform::GetEnvironment("CEHOST_PROFILE"))
    profilePath = *env;
  bool moduleGiven = false, profileGiven = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string option = argv[i];
    if ((option == "--module" || option == "--profile") && i + 1 < argc) {
      bool &given = option == "--module" ? moduleGiven : profileGiven;
      if (given)
        throw Failure(kExitUsage, option + " is given twice: give one");
      given = true;
      (option == "--module" ? modulePath : profilePath) = argv[++i];
    } else if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return kExitOk;
    } else {
      std::fprintf(stderr, "cehost: unknown option %s\n\n", option.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  if (i >= argc) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string name = argv[i++];
  const std::vector<std::string> args(argv + i, argv + argc);
  if (name == "help")
    return args.empty() ? (PrintUsage(stdout), kExitOk) : Help(args[0]);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h"))
    return Help(name);

  const Command *command = FindCommand(name);
  if (command == nullptr && name != "demo") {
    std::fprintf(stderr, "cehost: no command %s\n\n", name.c_str());
    PrintUsage(stderr);
    return kExitUsage;
  }

  if (command != nullptr && command->needsProfile && profilePath.empty())
    throw Failure(kExitUsage, std::string(command->name) +
                                  " works with your keys: give your profile with --profile FILE "
                                  "or CEHOST_PROFILE=FILE (see cehost --help for its lines)");
  const Profile profile = profilePath.empty() ? Profile{} : LoadProfile(profilePath);

  // The module is loaded where it is used: by each worker of a batch, or
  // here for the other commands.
  const WithSession withSession = [&](const std::function<int(Session &)> &body) {
    ModuleApi api(modulePath);
    if (!api.Loaded())
      throw Failure(kExitNoModule, api.Error() + " (use --module PATH)");
    Session session(api, profile);
    return body(session);
  };
  if (command != nullptr && command->plan != nullptr)
    return RunBatch(command->name, command->plan(args), withSession);

  ModuleApi api(modulePath);
  if (!api.Loaded())
    throw Failure(kExitNoModule, api.Error() + " (use --module PATH)");
  if (name == "demo")
    return RunDemo(api, args);
  Session session(api, profile);
  return command->run(&session, args);
}

} // namespace

int main(int argc, char **argv) {
  try {
    return Run(argc, argv);
  } catch (const Failure &f) {
    std::fprintf(stderr, "cehost: %s\n", f.what());
    return f.exitCode;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "cehost: %s\n", e.what());
    return kExitFailed;
  }
}
