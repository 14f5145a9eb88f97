// The key tool kestrel-keys, run as a program.
#include "directory.h"
#include "provider_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif
#include <fstream>
#include <map>
#include <sstream>

using namespace provider_test;

namespace {

std::string NativeToolPath() {
  std::string path = KESTREL_KEYS_PATH;
#if defined(_WIN32)
  if (!path.empty() && path[0] == '/') {
    for (char &c : path)
      if (c == '/')
        c = '\\';
    path = "Z:" + path;
  }
#endif
  return path;
}

struct ToolRun {
  int status;
  std::string out;
};

// Runs the tool with the arguments; stdout is captured through a file of
// its own for every run (on Windows a file the previous run's shell still
// holds cannot be opened again at once).
ToolRun RunTool(const TempDir &tmp, const std::string &args) {
  static int runs = 0;
  const std::string outFile = tmp.File("tool-out-" + std::to_string(++runs) + ".txt");
  std::string command = "\""; // appended to, never prepended (GCC 12 -Wrestrict at -O3)
  command += NativeToolPath() + "\" " + args + " > \"" + outFile + "\" 2>&1";
#if defined(_WIN32)
  const int status = std::system(("\"" + command + "\"").c_str());
#else
  const int raw = std::system(command.c_str());
  const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
  std::ifstream in(outFile);
  std::stringstream text;
  text << in.rdbuf();
  return {status, text.str()};
}

TEST(ProviderKeyTool, MakesAKeyPairAndDescribesItsPublicKeys) {
  TempDir tmp;
  const std::string device = tmp.File("dev"), pub = tmp.File("pub");
  const ToolRun made = RunTool(tmp, "new --device \"" + device +
                                        "\" --number 0017 --serial 123456 "
                                        "--public-out \"" +
                                        pub + "\"");
  ASSERT_EQ(made.status, 0) << made.out;
  EXPECT_NE(made.out.find("encode-uid=0017123456"), std::string::npos) << made.out;
  EXPECT_NE(made.out.find("sign-uid=001712345601"), std::string::npos) << made.out;
  EXPECT_EQ(ReadFile(kestrel_provider::JoinPath(device, "encrypt.key")).size(), 160u);
  EXPECT_EQ(ReadFile(kestrel_provider::JoinPath(pub, "0017123456.pub")).size(), 240u);
#if !defined(_WIN32)
  const auto perms =
      std::filesystem::status(std::filesystem::path(device) / "sign.key").permissions();
  EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
            std::filesystem::perms::none);
#endif

  const ToolRun shown =
      RunTool(tmp, "show \"" + kestrel_provider::JoinPath(pub, "001712345601.pub") + "\"");
  ASSERT_EQ(shown.status, 0) << shown.out;
  EXPECT_NE(shown.out.find("identifier=001712345601"), std::string::npos);
  EXPECT_NE(shown.out.find("kind=signature"), std::string::npos);
  EXPECT_NE(shown.out.find("generation=4"), std::string::npos);

  // The device already holds a key: nothing is overwritten.
  const Bytes before = ReadFile(kestrel_provider::JoinPath(device, "encrypt.key"));
  const ToolRun again = RunTool(tmp, "new --device \"" + device + "\" --number 0099");
  EXPECT_NE(again.status, 0);
  EXPECT_EQ(ReadFile(kestrel_provider::JoinPath(device, "encrypt.key")), before);
}

TEST(ProviderKeyTool, GenerationFiveWritesLargerPublicKeys) {
  TempDir tmp;
  const std::string device = tmp.File("dev");
  const ToolRun made = RunTool(tmp, "new --device \"" + device + "\" --number 0042 --generation 5");
  ASSERT_EQ(made.status, 0) << made.out;
  EXPECT_NE(made.out.find("encode-uid=0042000001"), std::string::npos);
  EXPECT_EQ(ReadFile(kestrel_provider::JoinPath(device, "004200000101.pub")).size(), 304u);
  const ToolRun shown =
      RunTool(tmp, "show \"" + kestrel_provider::JoinPath(device, "0042000001.pub") + "\"");
  EXPECT_NE(shown.out.find("generation=5"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("kind=encryption"), std::string::npos);
}

TEST(ProviderKeyTool, RefusesBadInputWithoutWritingAnything) {
  TempDir tmp;
  const std::string device = tmp.File("dev");
  EXPECT_NE(RunTool(tmp, "").status, 0);
  EXPECT_NE(RunTool(tmp, "new --number 0017").status, 0);
  EXPECT_NE(RunTool(tmp, "new --device \"" + device + "\" --number 17").status, 0);
  EXPECT_NE(RunTool(tmp, "new --device \"" + device + "\" --number 0017 --serial 12x456").status,
            0);
  EXPECT_NE(RunTool(tmp, "new --device \"" + device + "\" --number 0017 --generation 6").status, 0);
  EXPECT_NE(RunTool(tmp, "new --device \"" + device + "\" --number 0017 --colour red").status, 0);
  EXPECT_FALSE(std::filesystem::exists(device));

  const std::string junk = tmp.File("junk.pub");
  WriteFile(junk, Bytes(240, 0x55));
  EXPECT_NE(RunTool(tmp, "show \"" + junk + "\"").status, 0);
  EXPECT_NE(RunTool(tmp, "show \"" + tmp.File("none.pub") + "\"").status, 0);
}

TEST(ProviderKeyTool, HelpDescribesEveryOptionAndUnknownOnesAreNamed) {
  TempDir tmp;
  const ToolRun help = RunTool(tmp, "--help");
  EXPECT_EQ(help.status, 0);
  for (const char *text : {"--device", "--number", "--serial", "--generation", "--public-out",
                           "show FILE", "Without it they go into DIR", "Exit codes"})
    EXPECT_NE(help.out.find(text), std::string::npos) << text << " in\n" << help.out;
  EXPECT_EQ(RunTool(tmp, "new --help").status, 0);
  const struct {
    const char *args;
    const char *named;
  } wrong[] = {{"--frobnicate", "unknown option --frobnicate"},
               {"new --device d --number 0001 --colour red", "unknown option --colour"},
               {"new --device d --number", "--number needs a value"},
               {"show --all", "unknown option --all"},
               {"create --device d", "unknown command create"}};
  for (const auto &w : wrong) {
    const ToolRun run = RunTool(tmp, w.args);
    EXPECT_EQ(run.status, 2) << w.args;
    EXPECT_NE(run.out.find(w.named), std::string::npos) << w.args << ":\n" << run.out;
  }
}

TEST(ProviderKeyTool, RetireDirectoryGivesUpTheDirectoryTheDeviceKnowsInAFolder) {
  using namespace kestrel_provider;
  TempDir tmp;
  const std::string device = tmp.File("dev"), pub = tmp.Sub("pub");
  ASSERT_EQ(RunTool(tmp, "new --device \"" + device + "\" --number 0017").status, 0);
  // A directory in `pub`, written by the provider's code with the device's
  // keys: the device records it.
  ASSERT_EQ(KeyDriver::Instance().Load(device), 0);
  const Bytes block = ReadFile(JoinPath(device, "0017000001.pub"));
  ASSERT_EQ(AddPublicKey(pub, Generation::G4, block.data(), "0017000001", KeyKind::Encryption), 0);
  KeyDriver::Instance().Clear();

  const std::string retire =
      "retire-directory --device \"" + device + "\" --directory \"" + pub + "\"";
  const struct {
    std::string args;
    int status;
    const char *says;
  } runs[] = {
      {retire, 0, "retired"},
      {retire, 1, "knows no directory"},
      {"retire-directory --device \"" + tmp.File("none") + "\" --directory \"" + pub + "\"", 1,
       "cannot read the keys"},
      {"retire-directory --directory \"" + pub + "\"", 2, "--device and --directory are required"},
      {"retire-directory --device d --number 0017", 2, "unknown option --number"},
  };
  for (const auto &run : runs) {
    const ToolRun result = RunTool(tmp, run.args);
    EXPECT_EQ(result.status, run.status) << run.args << ":\n" << result.out;
    EXPECT_NE(result.out.find(run.says), std::string::npos) << run.args << ":\n" << result.out;
  }
  // The directory given up is refused; the next include starts a new one.
  ASSERT_EQ(KeyDriver::Instance().Load(device), 0);
  PublicKeyBlock found;
  EXPECT_EQ(LookupPublicKey(pub, Generation::G4, "0017000001", KeyKind::Encryption, found),
            code::kDirectoryRolledBack);
  ASSERT_TRUE(std::filesystem::remove(platform::NativePath(JoinPath(pub, kDirectoryFileName))));
  EXPECT_EQ(AddPublicKey(pub, Generation::G4, block.data(), "0017000001", KeyKind::Encryption), 0);
  EXPECT_EQ(LookupPublicKey(pub, Generation::G4, "0017000001", KeyKind::Encryption, found), 0);
}

#if !defined(_WIN32)
// A path Windows-1251 cannot hold (the command line is UTF-8) is refused by
// name, never written or read as another name with '?' for the character.
TEST(ProviderKeyTool, RefusesPathsWindows1251CannotHold) {
  TempDir tmp;
  const std::string snowman = "\xE2\x98\x83";
  const std::string lost = tmp.File("key?.pub"); // what the name would have become
  WriteFile(lost, Bytes(240, 0x55));
  const struct {
    std::string args;
    std::string named;
  } cases[] = {
      {"new --device \"" + tmp.File("dev" + snowman) + "\" --number 0001 --public-out \"" +
           tmp.File("pub") + "\"",
       "dev" + snowman},
      {"new --device \"" + tmp.File("dev") + "\" --number 0001 --public-out \"" +
           tmp.File("pub" + snowman) + "\"",
       "pub" + snowman},
      {"show \"" + tmp.File("key" + snowman + ".pub") + "\"", "key" + snowman + ".pub"},
  };
  for (const auto &c : cases) {
    const ToolRun run = RunTool(tmp, c.args);
    EXPECT_EQ(run.status, 2) << c.args << ":\n" << run.out;
    EXPECT_NE(run.out.find(c.named), std::string::npos) << c.args << ":\n" << run.out;
  }
  for (const auto &e : std::filesystem::directory_iterator(tmp.Path()))
    EXPECT_TRUE(e.path().filename().string().rfind("tool-out-", 0) == 0 || e.path() == lost)
        << e.path() << " was written";
}

// The identifier and public key of a secret key file, or of a public key
// file, as one text to compare.
std::string SecretKeyOf(const std::string &path) {
  const Bytes data = ReadFile(path);
  kestrel_provider::SecretKeyFile key;
  if (kestrel_provider::ParseSecretKeyFile(data.data(), data.size(), key) != 0)
    return "damaged " + path;
  return key.id + ":" + std::string(key.publicKey.begin(), key.publicKey.end());
}
std::string PublicKeyOf(const std::string &path) {
  const Bytes data = ReadFile(path);
  kestrel_provider::PublicKeyBlock block;
  if (kestrel_provider::ParsePublicKeyBlock(data.data(), data.size(),
                                            kestrel_provider::Generation::G4, block) != 0)
    return "damaged " + path;
  return block.id + ":" + std::string(block.key.begin(), block.key.end());
}

// Two runs of `new` at once on one device, 20 rounds each for a device that
// does not exist yet, one that holds another file, and a link to an empty
// folder: exactly one run succeeds, the other says the device holds a key,
// and the device holds the winner's whole pair, whose public keys alone were
// published.
TEST(ProviderKeyTool, TwoRunsOnOneDeviceMakeExactlyOnePair) {
  TempDir tmp;
  enum State { Absent, Occupied, Linked };
  for (const State state : {Absent, Occupied, Linked}) {
    for (int round = 0; round < 20; ++round) {
      const std::string name = std::to_string(state) + "-" + std::to_string(round);
      const std::string device = tmp.File("dev-" + name), pub = tmp.File("pub-" + name);
      if (state == Occupied) {
        std::filesystem::create_directories(device);
        WriteFile(device + "/notes.txt", Bytes{'x'});
      } else if (state == Linked) {
        std::filesystem::create_directories(device + "-target");
        std::filesystem::create_directory_symlink(device + "-target", device);
      }
      std::string script;
      for (const char *number : {"0001", "0002"})
        script += "(\"" + NativeToolPath() + "\" new --device \"" + device + "\" --number " +
                  number + " --public-out \"" + pub + "\" > \"" + tmp.File(name + number) +
                  "\" 2>&1; echo $? >> \"" + tmp.File(name + number) + "\") & ";
      ASSERT_EQ(std::system((script + "wait").c_str()), 0);
      std::map<std::string, std::string> out;
      int winners = 0;
      std::string winner;
      for (const char *number : {"0001", "0002"}) {
        std::ifstream in(tmp.File(name + number));
        std::stringstream text;
        text << in.rdbuf();
        out[number] = text.str();
        if (out[number].find("encode-uid=") != std::string::npos) {
          ++winners;
          winner = number;
        } else {
          EXPECT_NE(out[number].find("already holds a key"), std::string::npos) << out[number];
        }
      }
      ASSERT_EQ(winners, 1) << name << "\n" << out["0001"] << out["0002"];
      const std::string loser = winner == "0001" ? "0002" : "0001";
      const std::string enc = winner + "000001", sig = winner + "00000101";
      EXPECT_EQ(SecretKeyOf(device + "/encrypt.key"), PublicKeyOf(pub + "/" + enc + ".pub"));
      EXPECT_EQ(SecretKeyOf(device + "/sign.key"), PublicKeyOf(pub + "/" + sig + ".pub"));
      EXPECT_FALSE(std::filesystem::exists(pub + "/" + loser + "000001.pub")) << name;
      std::size_t entries = 0;
      for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(device))
        ++entries;
      EXPECT_EQ(entries, state == Occupied ? 3u : 2u) << name << ": staging files left on it";
      EXPECT_EQ(std::filesystem::is_symlink(device), state == Linked) << name;
    }
  }
  std::size_t top = 0;
  for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(tmp.Path()))
    ++top;
  // Per round: the device, the public folder and the two outputs; a link's
  // target besides.
  EXPECT_EQ(top, 20u * 3 * 4 + 20) << "staging folders left beside the devices";
}
#endif

} // namespace
