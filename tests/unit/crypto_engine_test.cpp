// The engine base class: parameter store, defaults, root paths, the signed
// data file and the dispatchers.
#include "Cryptlib/cryptobj.h"
#include "platform/platform.h"
#include "support/exception_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;

// A base engine with a parameter store of its own.
class TBareEngine : public TCryptoEngine {
public:
  TBareEngine() {
    FParamNames = {"First", "", "Third"};
    FParamValues = {"one", "two", "three"};
  }
  using TCryptoEngine::ParamValue;
};

// Records which include operation the dispatcher reached, and with what.
class TIncludeRecorder : public TCryptoEngine {
public:
  std::string Called;
  std::vector<val> Args;
  int32_t Record(const char *name, std::vector<val> args) {
    Called = name;
    Args = std::move(args);
    return 7;
  }
  int32_t IncludeVariant1(val x, val y, val z) override { return Record("V1", {x, y, z}); }
  int32_t IncludeVariant2(val x, val y, val z) override { return Record("V2", {x, y, z}); }
  int32_t IncludeVariant4(val x, val y, val z) override { return Record("V4", {x, y, z}); }
  int32_t IncludeVariant5(val x, val y) override { return Record("V5", {x, y}); }
  int32_t IncludeVariant6(val x, val y, val z) override { return Record("V6", {x, y, z}); }
  int32_t IncludePublicKey(const char *path) override {
    return Record("PublicKey", {reinterpret_cast<val>(path)});
  }
  int32_t IncludePublicEncodeKey(const char *path) override {
    return Record("PublicEncodeKey", {reinterpret_cast<val>(path)});
  }
  int32_t IncludePublicKeyTransfer(val y) override { return Record("Transfer", {y}); }
  int32_t IncludeCACertificateFromTransfer(val y) override { return Record("CA", {y}); }
  int32_t IncludeCRL(val y) override { return Record("CRL", {y}); }
};

// Size queries changed by a descendant.
class TSmallEngine : public TBareEngine {
public:
  int32_t GetMaxEncodeAddition() override { return 10; }
  int32_t GetMaxSignatureLength() override { return 20; }
  int32_t GetMaxCryptoParamNameLength() override { return 3; }
  int32_t GetMaxCryptoParamValueLength() override { return 2; }
  int32_t GetMaxErrorStringLength() override { return 8; }
};

// A directory of its own for one test, removed afterwards.
class TTempDir {
public:
  TTempDir() {
    const auto base = fs::temp_directory_path();
    for (int i = 0;; ++i) {
      FPath = base / ("ce_h1_" + std::to_string(platform::CurrentThreadId()) + "_" +
                      std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                      std::to_string(i));
      if (fs::create_directory(FPath))
        break;
    }
  }
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  const fs::path &Path() const { return FPath; }
  std::string File(const std::string &name) const { return (FPath / name).string(); }

private:
  fs::path FPath;
};

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary) << content;
}

// --- parameters -----------------------------------------------------------------

TEST(CryptoEngineParams, NamesAndValuesByOneBasedIndex) {
  TBareEngine engine;
  EXPECT_EQ(engine.GetCryptoParamNumber(), 3);
  char buffer[256];
  engine.GetCryptoParamName(1, buffer);
  EXPECT_STREQ(buffer, "First");
  engine.GetCryptoParamValue(3, buffer);
  EXPECT_STREQ(buffer, "three");
}

TEST(CryptoEngineParams, OutsideTheListOrAnEmptyNameGivesAnEmptyText) {
  TBareEngine engine;
  for (int32_t index : {0, -1, 4, INT32_MIN, INT32_MAX}) {
    char name[8] = "xxxxxxx";
    char value[8] = "xxxxxxx";
    engine.GetCryptoParamName(index, name);
    engine.GetCryptoParamValue(index, value);
    EXPECT_STREQ(name, "") << index;
    EXPECT_STREQ(value, "") << index;
  }
  char name[8] = "xxxxxxx";
  engine.GetCryptoParamName(2, name);
  EXPECT_STREQ(name, "");
}

TEST(CryptoEngineParams, ReadOutIsCutToTheReportedMaximum) {
  TSmallEngine engine;
  std::array<char, 8> name{};
  name.fill('#');
  engine.GetCryptoParamName(3, name.data());
  EXPECT_EQ(std::string(name.data(), 4), std::string("Thi\0", 4));
  EXPECT_EQ(name[4], '#');

  std::array<char, 8> value{};
  value.fill('#');
  engine.GetCryptoParamValue(3, value.data());
  EXPECT_EQ(std::string(value.data(), 3), std::string("th\0", 3));
  EXPECT_EQ(value[3], '#');
}

TEST(CryptoEngineParams, SetValueStoresAnyTextAndMarksTheChange) {
  TBareEngine engine;
  engine.FParamsChanged = false;
  EXPECT_EQ(engine.SetCryptoParamValue(0, "x"), -1);
  EXPECT_EQ(engine.SetCryptoParamValue(4, "x"), -1);
  EXPECT_EQ(engine.SetCryptoParamValue(-1, "x"), -1);
  EXPECT_FALSE(engine.FParamsChanged);
  EXPECT_EQ(engine.FParamValues, std::vector<std::string>({"one", "two", "three"}));

  const std::string longValue(1000, 'v');
  EXPECT_EQ(engine.SetCryptoParamValue(2, longValue.c_str()), 0);
  EXPECT_TRUE(engine.FParamsChanged);
  EXPECT_EQ(engine.ParamValue(2), longValue);

  EXPECT_EQ(engine.SetCryptoParamValue(3, nullptr), 0);
  EXPECT_EQ(engine.ParamValue(3), "");
  EXPECT_EQ(engine.ParamValue(4), "");
}

// --- defaults -------------------------------------------------------------------

TEST(CryptoEngineDefaults, SizeQueriesAndDerivedSizesCallTheOverrides) {
  TCryptoEngine base;
  EXPECT_EQ(base.GetMaxSignAddition(), 510);
  EXPECT_EQ(base.GetMaxEncodeAdditionByCount(3), 765);
  EXPECT_EQ(base.GetMaxPublicKeyTransferSize(), 4096);
  EXPECT_EQ(base.GetRemoteGenType(), 1);
  EXPECT_EQ(base.GetMaxReportSize(), -1);
  EXPECT_EQ(TCryptoEngine::GetMaxFilePathLength(), 255);

  TSmallEngine small;
  EXPECT_EQ(small.GetMaxSignAddition(), 275);
  EXPECT_EQ(small.GetMaxEncodeAdditionByCount(3), 30);
  EXPECT_EQ(small.GetMaxAdditionEx("a;b;c"), 30);
}

TEST(CryptoEngineDefaults, AbstractOperationsRaise) {
  TCryptoEngine base;
  char buffer[16] = {};
  int32_t size = 1;
  EXPECT_THROW(base.GetEngineName(buffer), EAbstractError);
  EXPECT_THROW(base.GetCurrentUID(buffer), EAbstractError);
  EXPECT_THROW(base.GetEncodeUIDBySignUID("000101", buffer), EAbstractError);
  EXPECT_THROW(base.EncodeData(buffer, &size, nullptr), EAbstractError);
  EXPECT_THROW(base.DecodeData(buffer, &size, buffer), EAbstractError);
  EXPECT_THROW(base.SignData(buffer, 1, buffer, &size, nullptr), EAbstractError);
  EXPECT_THROW(base.VerifyData(buffer, 1, buffer, 1, buffer), EAbstractError);
  // VerifySignWOCheckValidity forwards to VerifyData.
  EXPECT_THROW(base.VerifySignWOCheckValidity(buffer, 1, buffer, 1, buffer), EAbstractError);
}

TEST(CryptoEngineDefaults, ErrorStringNamesTheCodeThenZeros) {
  TCryptoEngine base;
  std::array<char, 300> buffer{};
  buffer.fill('#');
  base.GetCryptoErrorString(-102, buffer.data());
  const std::string expected = "CRYPTO ENGINE ERROR : -102";
  EXPECT_EQ(std::string(buffer.data()), expected);
  for (std::size_t i = expected.size(); i < 255; ++i)
    ASSERT_EQ(buffer[i], '\0') << i;
  EXPECT_EQ(buffer[255], '#');

  base.GetCryptoErrorString(7, buffer.data());
  EXPECT_STREQ(buffer.data(), "CRYPTO ENGINE ERROR : 7");
  base.GetCryptoErrorString(INT32_MIN, buffer.data());
  EXPECT_STREQ(buffer.data(), "CRYPTO ENGINE ERROR : -2147483648");
}

TEST(CryptoEngineDefaults, ErrorStringStaysInsideASmallerReportedBuffer) {
  TSmallEngine small;
  std::array<char, 16> buffer{};
  buffer.fill('#');
  small.GetCryptoErrorString(-5, buffer.data());
  EXPECT_EQ(std::string(buffer.data()), "CRYPTO ");
  EXPECT_EQ(buffer[8], '#');
}

TEST(CryptoEngineDefaults, LastErrorMessageIsEmptyAndRejectsANilBuffer) {
  TCryptoEngine base;
  char buffer[4] = "abc";
  base.GetLastErrorMessage(buffer);
  EXPECT_STREQ(buffer, "");
  EXPECT_THROW(base.GetLastErrorMessage(nullptr), EAssertionFailed);
}

TEST(CryptoEngineDefaults, CertAndRequestTransferMatchStoresMinusOne) {
  TCryptoEngine base;
  int32_t match = 5;
  EXPECT_EQ(base.CertAndRequestTransferMatch(0, 0, &match), 0);
  EXPECT_EQ(match, -1);
  EXPECT_THROW(base.CertAndRequestTransferMatch(0, 0, nullptr), EAssertionFailed);
}

TEST(CryptoEngineDefaults, GetMaxAdditionExMultipliesByTheListItems) {
  TCryptoEngine base;
  EXPECT_EQ(base.GetMaxAdditionEx(nullptr), 255);
  EXPECT_EQ(base.GetMaxAdditionEx(""), 255);
  EXPECT_EQ(base.GetMaxAdditionEx("0001"), 255);
  EXPECT_EQ(base.GetMaxAdditionEx("0001;0002;0003"), 765);
  EXPECT_EQ(base.GetMaxAdditionEx(";"), 510);
}

TEST(CryptoEngineDefaults, IncludeByKindDispatches) {
  TIncludeRecorder engine;
  const char *path = "C:\\keys\\pub.key";
  const auto y = reinterpret_cast<TCryptoEngine::val>(path);
  struct TCase {
    int32_t Kind;
    const char *Called;
    std::vector<TCryptoEngine::val> Args;
  };
  const std::vector<TCase> table = {
      {1, "V2", {1, y, 3}},  {2, "PublicKey", {y}},
      {3, "V2", {1, y, 3}},  {4, "PublicEncodeKey", {y}},
      {5, "V4", {1, y, 3}},  {6, "V5", {1, y}},
      {7, "Transfer", {y}},  {8, "CA", {y}},
      {9, "V1", {1, y, 3}},  {10, "CRL", {y}},
      {11, "V6", {1, y, 3}},
  };
  for (const TCase &c : table) {
    engine.Called.clear();
    EXPECT_EQ(engine.IncludeByKind(c.Kind, 1, y, 3), 7) << c.Kind;
    EXPECT_EQ(engine.Called, c.Called) << c.Kind;
    EXPECT_EQ(engine.Args, c.Args) << c.Kind;
  }
  for (int32_t kind : {0, -1, 12, INT32_MAX}) {
    engine.Called.clear();
    EXPECT_EQ(engine.IncludeByKind(kind, 1, y, 3), -1) << kind;
    EXPECT_EQ(engine.Called, "") << kind;
  }
  TCryptoEngine base;
  EXPECT_EQ(base.IncludeByKind(2, 0, y, 0), base.IncludePublicKey(path));
  EXPECT_EQ(base.IncludeByKind(3, 0, y, 0), -1);
}

TEST(CryptoEngineDefaults, CopyStrToBufferIsBounded) {
  std::array<char, 8> buffer{};
  buffer.fill('#');
  EXPECT_FALSE(TCryptoEngine::CopyStrToBuffer(nullptr, buffer.data(), 8));
  EXPECT_FALSE(TCryptoEngine::CopyStrToBuffer("abc", nullptr, 8));
  EXPECT_FALSE(TCryptoEngine::CopyStrToBuffer("abc", buffer.data(), 0));
  EXPECT_FALSE(TCryptoEngine::CopyStrToBuffer("abc", buffer.data(), -1));
  EXPECT_EQ(buffer[0], '#');

  EXPECT_TRUE(TCryptoEngine::CopyStrToBuffer("abc", buffer.data(), 8));
  EXPECT_EQ(std::string(buffer.data(), 5), std::string("abc\0#", 5));

  buffer.fill('#');
  EXPECT_TRUE(TCryptoEngine::CopyStrToBuffer("abcdef", buffer.data(), 3));
  EXPECT_EQ(std::string(buffer.data(), 4), "abc#"); // no terminator when cut
}

// --- root paths -----------------------------------------------------------------

TEST(CryptoEngineRoot, EngineRootGetsATrailingBackslash) {
  TCryptoEngine engine;
  engine.SetEngineRootPath("C:\\Root");
  EXPECT_EQ(engine.FRootPath, "C:\\Root\\");
  engine.SetEngineRootPath("D:\\Other\\");
  EXPECT_EQ(engine.FRootPath, "D:\\Other\\");
  engine.SetEngineRootPath("");
  EXPECT_EQ(engine.FRootPath, "");
}

TEST(CryptoEngineRoot, ExpandRootPathReplacesThePlaceholder) {
  TCryptoEngine engine;
  engine.SetEngineRootPath("C:\\Root\\");
  EXPECT_EQ(engine.ExpandRootPath("%zevroot%\\keys\\a.key"), "C:\\ROOT\\KEYS\\A.KEY");
  EXPECT_EQ(engine.ExpandRootPath("%ZEVRoot%keys"), "C:\\ROOT\\KEYS");
  EXPECT_EQ(engine.ExpandRootPath("%ZEVRoot%"), "C:\\ROOT\\");
  EXPECT_EQ(engine.ExpandRootPath("%ZEVRoot%\\\\x"), "C:\\ROOT\\\\X");
  EXPECT_EQ(engine.ExpandRootPath("D:\\keys"), "D:\\keys");
  EXPECT_EQ(engine.ExpandRootPath("%ZEV"), "%ZEV");
  EXPECT_EQ(engine.ExpandRootPath("x%ZEVRoot%"), "x%ZEVRoot%");
  EXPECT_EQ(engine.ExpandRootPath(""), "");

  TCryptoEngine rootless;
  EXPECT_EQ(rootless.ExpandRootPath("%ZEVRoot%\\keys"), "KEYS");
}

TEST(CryptoEngineRoot, ExpandDirPathCompletesTheDirectory) {
  TCryptoEngine engine;
  engine.SetEngineRootPath("C:\\Root");
  EXPECT_EQ(engine.ExpandDirPath("%ZEVRoot%\\pub"), "C:\\ROOT\\PUB\\");
  EXPECT_EQ(engine.ExpandDirPath("a"), "a:\\");
  EXPECT_EQ(engine.ExpandDirPath("A:\\"), "A:\\");
  EXPECT_EQ(engine.ExpandDirPath(""), "");
}

TEST(CryptoEngineRoot, RemoteGeneratePathIsExpandedAndCompleted) {
  TCryptoEngine engine;
  engine.SetRemoteGeneratePath("D:\\gen");
  EXPECT_EQ(engine.FRemoteGeneratePath, "D:\\gen\\");
  engine.SetEngineRootPath("C:\\Root");
  engine.SetRemoteGeneratePath("%ZEVRoot%gen");
  EXPECT_EQ(engine.FRemoteGeneratePath, "C:\\ROOT\\GEN\\");
  engine.SetRemoteGeneratePath("");
  EXPECT_EQ(engine.FRemoteGeneratePath, "");
}

// --- signed data files ----------------------------------------------------------

TEST(SaveSignedData, WritesDataThenSignature) {
  TTempDir dir;
  TCryptoEngine engine;
  const std::string file = dir.File("signed.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("DATA", 4, "SIG", 3, file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "DATASIG");

  EXPECT_EQ(engine.SaveSignedDataToFile("DATA", 4, "SIG", 0, file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "DATA");
}

TEST(SaveSignedData, AMissingSignatureOfPositiveLengthIsWrittenAsZeros) {
  TTempDir dir;
  TCryptoEngine engine;
  const std::string file = dir.File("zeros.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("AB", 2, nullptr, 3, file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), std::string("AB\0\0\0", 5));
}

TEST(SaveSignedData, InvalidArgumentsWriteNothing) {
  TTempDir dir;
  TCryptoEngine engine;
  const std::string file = dir.File("none.bin");
  EXPECT_EQ(engine.SaveSignedDataToFile("AB", 2, "S", 1, nullptr), 0);
  EXPECT_EQ(engine.SaveSignedDataToFile(nullptr, 2, "S", 1, file.c_str()), 0);
  EXPECT_EQ(engine.SaveSignedDataToFile("AB", 0, "S", 1, file.c_str()), 0);
  EXPECT_EQ(engine.SaveSignedDataToFile("AB", -1, "S", 1, file.c_str()), 0);
  EXPECT_EQ(engine.SaveSignedDataToFile("AB", 2, "S", -1, file.c_str()), 0);
  EXPECT_FALSE(fs::exists(file));
}

TEST(SaveSignedData, AShorterFileReplacesALongerOneCompletely) {
  TTempDir dir;
  TCryptoEngine engine;
  const std::string file = dir.File("replace.bin");
  WriteFile(file, std::string(4096, 'o'));
  EXPECT_EQ(engine.SaveSignedDataToFile("new", 3, "!", 1, file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "new!");
  // Nothing but the target is left in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(SaveSignedData, TheRootPlaceholderIsExpanded) {
  TTempDir dir;
  TCryptoEngine engine;
  engine.SetEngineRootPath(dir.Path().string());
  EXPECT_EQ(engine.SaveSignedDataToFile("X", 1, "Y", 1, "%ZEVRoot%\\placed.bin"), 0);
  const std::string expanded = engine.ExpandRootPath("%ZEVRoot%\\placed.bin");
  platform::ReadOnlyFile written(expanded);
  ASSERT_TRUE(written.IsOpen()) << expanded;
  char content[8] = {};
  EXPECT_EQ(written.Read(content, sizeof content), 2u);
  EXPECT_STREQ(content, "XY");
}

TEST(SaveSignedData, AFailedWriteIsReportedAndLeavesNoFile) {
  TTempDir dir;
  TCryptoEngine engine;
  const std::string missing = (dir.Path() / "no-such-dir" / "f.bin").string();
  EXPECT_EQ(engine.SaveSignedDataToFile("AB", 2, "S", 1, missing.c_str()), -106);
  EXPECT_FALSE(fs::exists(missing));

  // A target that is a directory cannot be replaced by a file.
  const std::string directory = dir.File("sub");
  fs::create_directory(directory);
  EXPECT_EQ(engine.SaveSignedDataToFile("AB", 2, "S", 1, directory.c_str()), -106);
  EXPECT_TRUE(fs::is_directory(directory));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

#if !defined(_WIN32)
TEST(SaveSignedData, AShortWriteKeepsTheOldFile) {
  // A file size limit makes the write stop short, as a full disk would.
  TTempDir dir;
  TCryptoEngine engine;
  const std::string file = dir.File("keep.bin");
  WriteFile(file, "old content");
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  limit.rlim_cur = 1024;
  limit.rlim_max = RLIM_INFINITY;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::vector<char> data(64 * 1024, 'n');
  EXPECT_EQ(engine.SaveSignedDataToFile(data.data(), static_cast<int32_t>(data.size()), "S", 1,
                                        file.c_str()),
            -106);
  limit.rlim_cur = RLIM_INFINITY;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(ReadFile(file), "old content");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}
#endif

} // namespace
