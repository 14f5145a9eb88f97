// The process-wide root, the "Path" update and the library search. Every
// TEST starts from a fresh module context, so each starts without a root.
#include "support/rootpath.h"

#include "engine/kestrel4_engine.h"
#include "include/ce_kestrel.h"
#include "tests/support/child_process.h"
#include "tests/support/test_root.h"
#include "tests/support/module_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

namespace {

using cetest::Provider;
using cetest::TempDirectory;
using cetest::TestRoot;

std::string KestrelFile() { return cetest::PlatformLibraryName("kestrel.dll"); }

// True when two module-form paths name the same file.
bool SameFile(const std::string &a, const std::string &b) {
  std::error_code ec;
  return std::filesystem::equivalent(platform::NativePath(a), platform::NativePath(b), ec);
}

TEST(RootDirectory, FirstRootAddsTheDirectoriesAndPutsThemInFrontOfPath) {
  ASSERT_TRUE(platform::SetEnvironment("Path", "C:\\Windows;C:\\Tools"));
  SetRootDirectory("C:\\App");

  EXPECT_EQ(RootPathUnit().RootPath, "C:\\App\\");
  EXPECT_THAT(RootPathUnit().RootDirs,
              testing::ElementsAre("C:\\App\\EXE\\", "C:\\App\\SYSTEM\\", "C:\\App\\USER\\"));
  EXPECT_EQ(platform::GetEnvironment("Path"),
            "C:\\App\\USER\\;C:\\App\\SYSTEM\\;C:\\App\\EXE\\;C:\\Windows;C:\\Tools");
}

TEST(RootDirectory, WithoutAPathVariableTheDirectoriesAloneBecomeIt) {
  platform::UnsetEnvironment("Path");
  ASSERT_FALSE(platform::GetEnvironment("Path").has_value());
  SetRootDirectory("D:\\Bank\\");

  EXPECT_EQ(RootPathUnit().RootPath, "D:\\Bank\\");
  EXPECT_EQ(platform::GetEnvironment("Path"),
            "D:\\Bank\\USER\\;D:\\Bank\\SYSTEM\\;D:\\Bank\\EXE\\");
}

TEST(RootDirectory, TheSameRootAgainChangesNothing) {
  platform::UnsetEnvironment("Path");
  SetRootDirectory("C:\\App");
  ASSERT_TRUE(platform::SetEnvironment("Path", "changed since"));

  EXPECT_NO_THROW(SetRootDirectory("C:\\App\\"));
  EXPECT_NO_THROW(SetRootDirectory("C:\\App"));
  EXPECT_EQ(RootPathUnit().RootPath, "C:\\App\\");
  EXPECT_EQ(RootPathUnit().RootDirs.size(), 3u);
  EXPECT_EQ(platform::GetEnvironment("Path"), "changed since");
}

TEST(RootDirectory, ADifferentRootFailsWithoutTouchingAnything) {
  SetRootDirectory("C:\\App");
  const auto path = platform::GetEnvironment("Path");

  for (const std::string other : {"c:\\app", "C:\\App\\Other", "D:\\App\\", ""}) {
    try {
      SetRootDirectory(other);
      ADD_FAILURE() << "no exception for " << other;
    } catch (const std::runtime_error &e) {
      EXPECT_EQ(std::string(e.what()),
                "Could not set ZEVRoot to '" + other + "'. Already set to 'C:\\App\\'.");
    }
  }
  EXPECT_EQ(RootPathUnit().RootPath, "C:\\App\\");
  EXPECT_EQ(RootPathUnit().RootDirs.size(), 3u);
  EXPECT_EQ(platform::GetEnvironment("Path"), path);
}

TEST(RootDirectory, AnEmptyRootIsASingleBackslash) {
  SetRootDirectory("");
  EXPECT_EQ(RootPathUnit().RootPath, "\\");
  EXPECT_THAT(RootPathUnit().RootDirs, testing::ElementsAre("\\EXE\\", "\\SYSTEM\\", "\\USER\\"));
}

TEST(RootPathExport, ASecondDifferentRootChangesNeitherRootAndRaisesNothing) {
  CE_HANDLE first = GetCryptObj(0);
  CE_HANDLE second = GetCryptObj(0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  SetRootPath(first, "C:\\App");
  SetRootPath(second, "C:\\App\\"); // same root: the process part is a no-op
  SetRootPath(first, "D:\\Other");  // refused: neither copy changes

  EXPECT_EQ(RootPathUnit().RootPath, "C:\\App\\");
  EXPECT_EQ(static_cast<TKestrel4Engine *>(first)->FRootPath, "C:\\App\\");
  EXPECT_EQ(static_cast<TKestrel4Engine *>(second)->FRootPath, "C:\\App\\");
  DoneEngine(first);
  DoneEngine(second);
}

TEST(LibrarySearch, ANameWithADirectoryIsReturnedAsItIs) {
  for (const std::string name : {
         "C:\\nowhere\\kestrel.dll", "D:kestrel.dll", "sub\\kestrel.dll",
#if !defined(_WIN32)
             "/nowhere/kestrel.dll",
#endif
             "\\\\server\\share\\kestrel.dll"
       })
    EXPECT_EQ(FindLibraryFile(name), name);
}

TEST(LibrarySearch, WithoutARootAMissingLibraryFallsBackToTheBareName) {
  CE_SKIP_IF_PROVIDER_PINNED();
  EXPECT_EQ(FindLibraryFile("kestrel.dll"), "kestrel.dll");
  EXPECT_EQ(LoadLibraryFromRoot("kestrel.dll"), nullptr);
  EXPECT_EQ(LoadCryptoLibrary("kestrel.dll"), nullptr);
}

TEST(LibrarySearch, TheRootDirectoriesAreSearchedInTheirOrder) {
  TestRoot root;
  root.Install(Provider::Minimal4, "USER");
  root.SetAsRoot();
  // Texts keep the name as written; only the existence test uses the file's own name.
  EXPECT_EQ(FindLibraryFile("kestrel.dll"), root.PathOf("USER\\kestrel.dll"));

  root.Install(Provider::Minimal4, "SYSTEM");
  EXPECT_EQ(FindLibraryFile("kestrel.dll"), root.PathOf("SYSTEM\\kestrel.dll"));

  root.Install(Provider::Minimal4, "EXE");
  EXPECT_EQ(FindLibraryFile("kestrel.dll"), root.PathOf("EXE\\kestrel.dll"));
}

TEST(LibrarySearch, ADirectoryOfTheLibrarysNameDoesNotCount) {
  TestRoot root;
  std::filesystem::create_directories(platform::NativePath(root.PathOf("EXE\\" + KestrelFile())));
  root.Install(Provider::Minimal4, "SYSTEM");
  root.SetAsRoot();
  EXPECT_EQ(FindLibraryFile("kestrel.dll"), root.PathOf("SYSTEM\\kestrel.dll"));
}

TEST(LibrarySearch, RootDirectoriesMatchWhateverTheLetterCaseOnDisk) {
  TestRoot root;
  root.Install(Provider::Minimal5, "exe");
  root.SetAsRoot();
  const std::string found = FindLibraryFile("kestrel.dll");
  EXPECT_EQ(found, root.PathOf("EXE\\kestrel.dll"));
  EXPECT_NE(LoadLibraryFromRoot("kestrel.dll"), nullptr);
}

TEST(LibrarySearch, LoadsTheLibraryFoundUnderTheRoot) {
  TestRoot root;
  const std::string installed = root.Install(Provider::Minimal4, "SYSTEM");
  root.SetAsRoot();
  platform::ModuleHandle library = LoadLibraryFromRoot("kestrel.dll");
  ASSERT_NE(library, nullptr);
  EXPECT_TRUE(SameFile(platform::ModuleFileName(library), installed));
  EXPECT_NE(platform::FindSymbol(library, "CryptoInit"), nullptr);
  platform::FreeLibraryHandle(library);
}

// The host-side module "CryptLib.dll" loaded from a directory of its own,
// with a library beside it.
struct HostModuleDirectory : TempDirectory {
  HostModuleDirectory() {
    hostModule =
        CopyFile(cetest::HostModuleArtifact(), cetest::PlatformLibraryName("CryptLib.dll"));
    provider = CopyFile(cetest::ProviderArtifact(Provider::Minimal5), KestrelFile());
  }
  std::string hostModule;
  std::string provider;
};

TEST(LibrarySearch, TheSecondAttemptLooksBesideTheHostModule) {
  CE_SKIP_IF_PROVIDER_PINNED();
  HostModuleDirectory host;
  EXPECT_EQ(LoadCryptoLibrary("kestrel.dll"), nullptr)
      << "nothing before the host module is loaded";

  platform::ModuleHandle hostModule = platform::LoadLibraryFile(host.hostModule);
  ASSERT_NE(hostModule, nullptr);
  EXPECT_EQ(platform::LoadedModule("CryptLib.dll"), hostModule);
  EXPECT_EQ(platform::LoadedModule("CRYPTLIB.DLL"), hostModule);

  platform::ModuleHandle library = LoadCryptoLibrary("kestrel.dll");
  ASSERT_NE(library, nullptr);
  EXPECT_TRUE(SameFile(platform::ModuleFileName(library), host.provider));
  platform::FreeLibraryHandle(library);
  platform::FreeLibraryHandle(hostModule);
}

TEST(LibrarySearch, TheRootComesBeforeTheHostModule) {
  HostModuleDirectory host;
  platform::ModuleHandle hostModule = platform::LoadLibraryFile(host.hostModule);
  ASSERT_NE(hostModule, nullptr);
  TestRoot root;
  const std::string inRoot = root.Install(Provider::Minimal4);
  root.SetAsRoot();

  platform::ModuleHandle library = LoadCryptoLibrary("kestrel.dll");
  ASSERT_NE(library, nullptr);
  EXPECT_TRUE(SameFile(platform::ModuleFileName(library), inRoot));
  platform::FreeLibraryHandle(library);
  platform::FreeLibraryHandle(hostModule);
}

// A copy of the probe program in a directory of its own, so that the test
// decides what lies beside the host executable.
struct ProbeInstallation {
  ProbeInstallation() {
    const auto probe = cetest::SearchProbeArtifact();
    program = platform::NativePath(app.CopyFile(probe, probe.filename().string()));
    std::filesystem::permissions(program, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
  }
  // The probe's line for the given root ("" for none).
  std::string Run(const std::string &rootPath) const {
    const cetest::ProgramRun run =
        cetest::RunProgram(program, rootPath.empty() ? std::vector<std::string>{}
                                                     : std::vector<std::string>{rootPath});
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    return run.Output;
  }
  TempDirectory app;
  std::filesystem::path program;
};

TEST(LibrarySearch, ALibraryBesideTheHostExecutableComesFirst) {
  ProbeInstallation probe;
  const std::string beside =
      probe.app.CopyFile(cetest::ProviderArtifact(Provider::Minimal5), KestrelFile());
  TestRoot root;
  root.Install(Provider::Minimal4);

  const std::string line = probe.Run(root.Path());
  EXPECT_THAT(line, testing::HasSubstr("loaded=1 all=1 generation=5 file="));
  EXPECT_THAT(line, testing::HasSubstr(probe.app.Native().filename().string()));
}

TEST(LibrarySearch, WithoutARootOnlyTheHostExecutablesDirectoryIsSearched) {
  ProbeInstallation probe;
  EXPECT_THAT(probe.Run(""), testing::HasSubstr("loaded=0 all=0 generation=4"));

  probe.app.CopyFile(cetest::ProviderArtifact(Provider::Minimal5), KestrelFile());
  EXPECT_THAT(probe.Run(""), testing::HasSubstr("loaded=1 all=1 generation=5"));
}

TEST(LibrarySearch, TheProbeFindsTheRootsLibraryWhenNothingIsBesideIt) {
  ProbeInstallation probe;
  TestRoot root;
  root.Install(Provider::WithoutGetAlias, "USER");
  EXPECT_THAT(probe.Run(root.Path()), testing::HasSubstr("loaded=1 all=0 generation=4"));
}

} // namespace
