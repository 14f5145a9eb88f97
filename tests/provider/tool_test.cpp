// The key tool kestrel-keys, run as a program.
#include "provider_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif
#include <fstream>
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

} // namespace
