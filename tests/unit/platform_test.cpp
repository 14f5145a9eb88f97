// The platform layer's file-system boundary, libraries and file versions.
#include "platform/platform.h"

#include "platform/cp1251.h"
#include "tests/support/test_root.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using cetest::Provider;
using cetest::TempDirectory;

// Windows-1251 text from its UTF-8 form, as the host would pass it.
std::string Cp(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

void WriteFile(const std::filesystem::path &path, std::string_view content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

TEST(NativePath, FindsFilesByTheirWindowsName) {
  TempDirectory dir;
  // Created through the same boundary, so the names reach the file system
  // in the same encoding on any system code page.
  WriteFile(platform::NativePath(dir.PathOf("Keys\\Sub\\File.KEY")), "k");
  WriteFile(platform::NativePath(dir.PathOf(Cp("Ключи\\a.key"))), "k");

  for (const std::string &name :
       {std::string("Keys\\Sub\\File.KEY"), std::string("KEYS\\sub\\file.key"),
        std::string("keys\\SUB\\FILE.key"), Cp("Ключи\\a.key"), Cp("Ключи\\A.KEY")}) {
    EXPECT_TRUE(platform::FileExists(dir.PathOf(name))) << name;
    EXPECT_FALSE(platform::DirectoryExists(dir.PathOf(name))) << name;
  }
  EXPECT_TRUE(platform::DirectoryExists(dir.PathOf("KEYS\\SUB\\")));
  EXPECT_TRUE(platform::DirectoryExists(dir.PathOf(Cp("Ключи"))));
  EXPECT_FALSE(platform::FileExists(dir.PathOf("Keys\\Sub\\Other.key")));
  EXPECT_FALSE(platform::FileExists(dir.PathOf("Keys")));
}

#if !defined(_WIN32)
std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

TEST(NativePath, ConvertsSeparatorsAndTheCodePageOnly) {
  EXPECT_EQ(platform::NativePath("\\no\\such\\dir\\"), "/no/such/dir/");
  EXPECT_EQ(platform::NativePath(Cp("\\нет\\Файла.txt")), "/нет/Файла.txt");
  EXPECT_EQ(platform::NativePath("relative\\name"), "relative/name");
  EXPECT_EQ(platform::NativePath(""), "");
}

// Windows matches letter case itself; elsewhere the layer does, Cyrillic
// letters included.
TEST(NativePath, MatchesCyrillicNamesWhateverTheirCase) {
  TempDirectory dir;
  WriteFile(dir.Native() / Utf8Path("Ключи") / Utf8Path("Банк.key"), "k");
  EXPECT_EQ(platform::NativePath(dir.PathOf(Cp("КЛЮЧИ\\банк.KEY"))),
            (dir.Native() / "Ключи" / "Банк.key").string());
  EXPECT_TRUE(platform::FileExists(dir.PathOf(Cp("ключи\\БАНК.key"))));
}

// Names Windows-1251 cannot hold never stand in for a '?' the host wrote.
TEST(NativePath, MatchesNoNameOutsideTheCodePage) {
  TempDirectory dir;
  for (const char *name : {"café.txt", "x\xff.bin", "Straße"})
    WriteFile(dir.Native() / name, "k");
  for (const char *name : {"caf?.txt", "CAF?.TXT", "X?.BIN", "stra?e"})
    EXPECT_EQ(platform::NativePath(dir.PathOf(name)), (dir.Native() / name).string()) << name;
}

TEST(NativePath, KeepsTheExistingPartsRealNamesAndTheRestAsWritten) {
  TempDirectory dir;
  std::filesystem::create_directories(dir.Native() / "Keys");
  EXPECT_EQ(platform::NativePath(dir.PathOf("KEYS\\New\\x.key")),
            (dir.Native() / "Keys" / "New" / "x.key").string());
}
#endif

TEST(FileVersion, IsReadFromTheLibraryFile) {
  const auto version4 =
      platform::FileVersionOf(cetest::ModulePath(cetest::ProviderArtifact(Provider::Minimal4)));
  ASSERT_TRUE(version4.has_value());
  EXPECT_EQ(version4->Major, 4);
  EXPECT_EQ(version4->Minor, 3);
  EXPECT_EQ(version4->Release, 0);
  EXPECT_EQ(version4->Build, 12);

  const auto version5 =
      platform::FileVersionOf(cetest::ModulePath(cetest::ProviderArtifact(Provider::Double5)));
  ASSERT_TRUE(version5.has_value());
  EXPECT_EQ(version5->Major, 5);
  EXPECT_EQ(version5->Minor, 1);
  EXPECT_EQ(version5->Build, 1);
}

TEST(FileVersion, IsAbsentForFilesWithoutOne) {
  TempDirectory dir;
  const auto provider = cetest::ProviderArtifact(Provider::Minimal5);
  std::ifstream in(provider, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 256u);
  WriteFile(dir.Native() / "head.dll", bytes.substr(0, 256));
  WriteFile(dir.Native() / "text.dll", "not a library");
  WriteFile(dir.Native() / "empty.dll", "");

  EXPECT_FALSE(platform::FileVersionOf(cetest::ModulePath(cetest::HostModuleArtifact())));
  EXPECT_FALSE(platform::FileVersionOf(dir.PathOf("missing.dll")));
  EXPECT_FALSE(platform::FileVersionOf(dir.PathOf("head.dll")));
  EXPECT_FALSE(platform::FileVersionOf(dir.PathOf("text.dll")));
  EXPECT_FALSE(platform::FileVersionOf(dir.PathOf("empty.dll")));
  EXPECT_FALSE(platform::FileVersionOf(dir.PathOf("")));
}

TEST(Libraries, ALibraryUnderAWindows1251PathLoadsAndTellsItsFileAndVersion) {
  CE_SKIP_IF_PROVIDER_PINNED();
  TempDirectory dir;
  const std::string path =
      dir.CopyFile(cetest::ProviderArtifact(Provider::Minimal5),
                   Cp("Банк\\Клиент\\") + cetest::PlatformLibraryName("kestrel.dll"));
  platform::ModuleHandle library = platform::LoadLibraryFile(path);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(platform::FindSymbol(library, "GetAlias"), nullptr);
  EXPECT_EQ(platform::FindSymbol(library, "NoSuchEntryPoint"), nullptr);

  // The file name comes back in the module's form, fit to open again.
  const std::string fileName = platform::ModuleFileName(library);
  EXPECT_NE(fileName.find(Cp("Клиент")), std::string::npos) << fileName;
  const auto version = platform::FileVersionOf(fileName);
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->Major, 5);
  EXPECT_EQ(platform::LoadedModule("KESTREL.DLL"), library);
  platform::FreeLibraryHandle(library);
}

TEST(Libraries, NothingIsFoundThatIsNotThere) {
  EXPECT_EQ(platform::LoadedModule("CryptLib.dll"), nullptr);
  EXPECT_EQ(platform::LoadLibraryFile("no_such_library_here.dll"), nullptr);
  EXPECT_EQ(platform::FindSymbol(nullptr, "InitKey"), nullptr);
}

TEST(Libraries, TheHostExecutableIsTheRunningProgram) {
  const std::string exe = platform::ModuleFileName(nullptr);
  const std::string dir = platform::ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(platform::IsPathSeparator(dir.back()) || dir.back() == '\\');
  EXPECT_EQ(exe.substr(0, dir.size()), dir);
  EXPECT_TRUE(platform::FileExists(exe));
  EXPECT_TRUE(platform::DirectoryExists(dir));
}

TEST(Environment, VariablesAreSetReadAndRemoved) {
  const std::string name = "CE_PLATFORM_TEST_VARIABLE";
  EXPECT_FALSE(platform::GetEnvironment(name).has_value());
  ASSERT_TRUE(platform::SetEnvironment(name, "C:\\A;C:\\B"));
  EXPECT_EQ(platform::GetEnvironment(name), "C:\\A;C:\\B");
  ASSERT_TRUE(platform::SetEnvironment(name, ""));
  ASSERT_TRUE(platform::UnsetEnvironment(name));
  EXPECT_FALSE(platform::GetEnvironment(name).has_value());
}

} // namespace
