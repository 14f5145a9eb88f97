// What the 32-bit data model can break: sizes whose sum passes 2^31, a work
// buffer the address space cannot hold, the library's records as the module
// reads them, and the stdcall contract of the exports and of the host's
// key-device callback, checked on the built module DLL itself. The layouts
// shared with the library's header are compile-time checks of their own
// (data_model_layout_test.cpp: both headers declare a SignFile).
#include "key_operation_support.h"

#include "engine/kestrel4_engine.h"
#include "include/ce_kestrel.h"
#include "kestrel/kestrel_api.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/child_process.h"
#include "tests/support/kestrel_access.h"
#include "tests/support/recording_double.h"
#include "tests/support/test_root.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using keyop_test::Set;

// The binding calls the host's key-device function with the host's convention
// and one 32-bit argument.
static_assert(std::is_same_v<decltype(TKestrelDLL::FTMRequestFunc), CE_TM_REQUEST_FUNC>);
static_assert(std::is_same_v<CE_TM_REQUEST_FUNC, void(CE_STDCALL *)(int32_t)>);

// --- sizes near 2^31 ---------------------------------------------------------

class DataModelSizes : public ::testing::Test {
protected:
  void SetUp() override { Set(Engine, kParamEncodeUID, keyop_test::kEncodeUID); }
  cetest::DoubleRoot Root;
  TKestrel4Engine Engine;
};

// A length the host claims, with the recipients: the encrypted block would
// pass INT32_MAX, so the call is refused before anything is read or written.
TEST_F(DataModelSizes, EncodeDataRefusesABlockLongerThanInt32) {
  struct {
    int32_t Size;
    const char *Recipients;
  } cases[] = {
      {INT32_MAX - 85 + 1, "0002"}, // one recipient: 48 + 37
      {INT32_MAX, "0002"},
      {INT32_MAX - 133 + 1, "0002;0003"},
      {INT32_MAX - 181 + 1, "0002;0003;0004"},
  };
  for (const auto &c : cases) {
    std::vector<char> host(64, '#');
    int32_t size = c.Size;
    EXPECT_EQ(Engine.EncodeData(host.data(), &size, c.Recipients), CE_ERR_BAD_ARGUMENT) << c.Size;
    EXPECT_EQ(size, c.Size);
    EXPECT_EQ(host, std::vector<char>(64, '#'));
  }
  EXPECT_TRUE(Root.Double().Log().empty()) << Root.Double().LogText();
}

// The size queries never wrap: an addition past INT32_MAX is reported as
// INT32_MAX, and counting the list costs no memory per entry.
TEST_F(DataModelSizes, GetMaxAdditionExSaturatesAtInt32Max) {
  constexpr int64_t kLastExact = (INT32_MAX - 37) / 48; // 44739242 entries
  struct {
    int64_t Entries;
    int32_t Expected;
  } cases[] = {
      {kLastExact, static_cast<int32_t>(48 * kLastExact + 37)},
      {kLastExact + 1, INT32_MAX},
      {kLastExact * 2, INT32_MAX},
  };
  for (const auto &c : cases) {
    const std::string list(static_cast<std::size_t>(c.Entries - 1), ';');
    EXPECT_EQ(Engine.GetMaxAdditionEx(list.c_str()), c.Expected) << c.Entries;
  }
}

#if INTPTR_MAX == INT32_MAX
// A block that fits INT32_MAX exactly needs a 2 GiB work buffer, more than a
// 32-bit process has room for: the call fails cleanly, writes nothing and
// never reaches the library's encryption.
TEST_F(DataModelSizes, AWorkBufferBeyondTheAddressSpaceFailsCleanly) {
  std::vector<char> host(64, '#');
  int32_t size = INT32_MAX - 85;
  EXPECT_EQ(Engine.EncodeData(host.data(), &size, "0002"), CE_ERR_EXCEPTION);
  EXPECT_EQ(size, INT32_MAX - 85);
  EXPECT_EQ(host, std::vector<char>(64, '#'));
  EXPECT_FALSE(Root.Double().WasCalled("EnCryptMem"));
  EXPECT_NE(Engine.FLastException.GetText().find("TKestrel4Engine.EncodeData: "),
            std::string::npos);
  keyop_test::ExpectEngineIdle(Engine);
}
#endif

// --- the library's records, as the module reads them -------------------------

#if defined(CE_TEST_KEY_TOOL)
class DataModelRecords : public ::testing::TestWithParam<cetest::Provider> {};

TEST_P(DataModelRecords, SlotTableAndStatusRecordsOfTheProvider) {
  if (!cetest::ProviderAvailable(GetParam()))
    GTEST_SKIP() << "the provider is not built";
  cetest::TestRoot root;
  root.Install(GetParam());
  root.SetAsRoot();
  const bool g5 = GetParam() == cetest::Provider::Kestrel5;
  const cetest::ProgramRun run = cetest::RunProgram(
      CE_TEST_KEY_TOOL,
      {"new", "--device", (root.Native() / "keys").string(), "--number", "0007", "--public-out",
       (root.Native() / "keys").string(), "--generation", g5 ? "5" : "4"});
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  const std::string encodeUid = "0007000001", signUid = "000700000101";
  std::filesystem::create_directories(root.Native() / "public");

  TKestrelDLL binding(KestrelUnit());
  ASSERT_TRUE(binding.FAllEntryPoints);
  ASSERT_EQ(KestrelUnit().LoadedGeneration(), g5 ? 5 : 4);
  ASSERT_EQ(binding.LoadKey(signUid, true, root.PathOf("keys"), {0, 0, false, 0}), 0);

  // The table: one 32-byte record per loaded key pair and nothing past it.
  std::vector<unsigned char> raw(kestrel::kSlotTableBytes + 64, 0xEE);
  int32_t count = -1;
  ASSERT_EQ(TKestrelDLLTestAccess::FGetDrvInfo(binding)(raw.data(), &count), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::vector<unsigned char>(raw.begin() + 32, raw.end()),
            std::vector<unsigned char>(raw.size() - 32, 0xEE));
  const auto table = TKestrelDLL::DecodeSlotTable(raw.data(), count, g5 ? 5 : 4);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_STREQ(table[0].Num, encodeUid.c_str());
  EXPECT_STREQ(table[0].NumP, signUid.c_str());
  EXPECT_EQ(table[0].SlotNo, 0);

  // A status record: the signer in its first 12 bytes, the verdict at byte 135.
  TKestrel4Engine engine;
  Set(engine, kParamPathToSecret, root.PathOf("keys"));
  Set(engine, kParamKeyDevice, root.PathOf("keys"));
  Set(engine, kParamPathToPublic, root.PathOf("public"));
  Set(engine, kParamSignUID, signUid);
  ASSERT_EQ(engine.IncludePublicKey((root.PathOf("keys") + "\\" + signUid + ".pub").c_str()), 0);
  const std::string data = "payment order 42";
  std::vector<char> signature(static_cast<std::size_t>(engine.GetMaxSignatureLength()));
  int32_t signatureLength = 0;
  ASSERT_EQ(engine.SignData(data.data(), static_cast<int32_t>(data.size()), signature.data(),
                            &signatureLength, nullptr),
            0);
  ASSERT_EQ(binding.InitSign(root.PathOf("keys"), root.PathOf("public")), 0);
  struct {
    std::string Data;
    int32_t Expected;
    std::string Signer;
  } cases[] = {{data, 0, signUid}, {"payment order 43", CE_SIGNATURE_WRONG, ""}};
  for (const auto &c : cases) {
    std::string signer;
    EXPECT_EQ(binding.VerifyMemory(c.Data.data(), static_cast<int32_t>(c.Data.size()),
                                   signature.data(), signatureLength, signer),
              c.Expected)
        << c.Data;
    EXPECT_EQ(signer, c.Signer) << c.Data;
  }
  binding.DoneSign();
}

INSTANTIATE_TEST_SUITE_P(Generations, DataModelRecords,
                         ::testing::Values(cetest::Provider::Kestrel4, cetest::Provider::Kestrel5));
#endif

// --- the exports' stack contract, on the built DLL ---------------------------

#if defined(_WIN32) && defined(__i386__) && defined(CE_TEST_MODULE)

// Calls through a typed pointer and gives how far the stack pointer moved
// across the call: 0 when the callee removed exactly the arguments the
// caller's prototype pushed. The test file keeps its frame pointer, so a
// mismatch is measured and survived.
template <typename Fn, typename... Args>
__attribute__((noipa)) int StackShift(Fn fn, Args... args) {
  uintptr_t before = 0, after = 0;
  asm volatile("movl %%esp, %0" : "=r"(before)::"memory");
  fn(args...);
  asm volatile("movl %%esp, %0" : "=r"(after)::"memory");
  return static_cast<int>(after - before);
}

int32_t __cdecl LeavesItsArguments(int32_t a, int32_t b) { return a + b; }

std::vector<int32_t> g_deviceStates;
void CE_STDCALL OnKeyDevice(int32_t state) { g_deviceStates.push_back(state); }

class ModuleDll {
public:
  ModuleDll() : handle_(platform::LoadLibraryFile(CE_TEST_MODULE)) {}
  ~ModuleDll() {
    if (handle_ != nullptr)
      platform::FreeLibraryHandle(handle_);
  }
  ModuleDll(const ModuleDll &) = delete;
  ModuleDll &operator=(const ModuleDll &) = delete;
  bool Loaded() const { return handle_ != nullptr; }

  // The export by name, typed by the public header's prototype; the shift of
  // the stack pointer across the call is recorded under its name.
  template <typename Fn, typename... Args> void Call(const char *name, Args... args) {
    auto fn = reinterpret_cast<Fn>(platform::FindSymbol(handle_, name));
    ASSERT_NE(fn, nullptr) << name;
    called_.insert(name);
    EXPECT_EQ(StackShift(fn, args...), 0) << name;
  }
  template <typename Fn> Fn Get(const char *name) {
    return reinterpret_cast<Fn>(platform::FindSymbol(handle_, name));
  }
  const std::set<std::string> &Called() const { return called_; }

private:
  platform::ModuleHandle handle_;
  std::set<std::string> called_;
};
#define CE_CALL(dll, name, ...) dll.Call<decltype(&::name)>(#name, __VA_ARGS__)

// The check itself sees a callee that leaves its arguments behind.
TEST(DataModelStack, TheCheckSeesAConventionMismatch) {
  using AsStdcall = int32_t(CE_STDCALL *)(int32_t, int32_t);
  EXPECT_EQ(StackShift(reinterpret_cast<AsStdcall>(&LeavesItsArguments), 1, 2), -8);
}

TEST(DataModelStack, EveryExportLeavesTheHostStackAsItWas) {
  ModuleDll dll;
  ASSERT_TRUE(dll.Loaded()) << CE_TEST_MODULE;
  const CE_HANDLE e = dll.Get<decltype(&::GetCryptObj)>("GetCryptObj")(0);
  ASSERT_NE(e, nullptr);
  cetest::TempDirectory work;
  std::vector<char> buf(64 * 1024, '\0'), sig(4096, '\0');
  int32_t n = 16, kind = 0, match = 0;
  const char *uid = "000100000101";
  const std::string file = work.PathOf("signed.bin");
  const CE_VAL v = 7;

  CE_CALL(dll, GetCryptObj, int32_t{0});
  CE_CALL(dll, DoneEngine, static_cast<CE_HANDLE>(nullptr));
  CE_CALL(dll, GetMaxEncodeAddition, e);
  CE_CALL(dll, GetMaxSignatureLength, e);
  CE_CALL(dll, GetMaxUIDLength, e);
  CE_CALL(dll, GetMaxCryptoParamNameLength, e);
  CE_CALL(dll, GetMaxCryptoParamValueLength, e);
  CE_CALL(dll, GetMaxErrorStringLength, e);
  CE_CALL(dll, GetCryptoParamNumber, e);
  CE_CALL(dll, GenerateNewSSK, e);
  CE_CALL(dll, GenerateNewSEK, e);
  CE_CALL(dll, IsDifferentKeys, e);
  CE_CALL(dll, GetMaxPasswordLength, e);
  CE_CALL(dll, TransSignatureFromFileToTM, e);
  CE_CALL(dll, TransPrivateKeyFromFileToTM, e);
  CE_CALL(dll, GetMaxSignAddition, e);
  CE_CALL(dll, GetMaxPublicKeyTransferSize, e);
  CE_CALL(dll, GetMaxFilePathLength, e);
  CE_CALL(dll, GetRemoteGenType, e);
  CE_CALL(dll, GetMaxReportSize, e);
  CE_CALL(dll, GetMaxPublicKeyPropertiesLength, e);
  CE_CALL(dll, ClearCash, e);
  CE_CALL(dll, GetCryptoParamName, e, int32_t{1}, buf.data());
  CE_CALL(dll, GetCryptoParamValue, e, int32_t{1}, buf.data());
  CE_CALL(dll, SetCryptoParamValue, e, int32_t{9}, "5");
  CE_CALL(dll, GetEncodeUIDBySignUID, e, uid, buf.data());
  CE_CALL(dll, GetCryptoErrorString, e, int32_t{-102}, buf.data());
  CE_CALL(dll, EncodeData, e, static_cast<void *>(buf.data()), &n, "0002");
  n = 16;
  CE_CALL(dll, DecodeData, e, static_cast<void *>(buf.data()), &n, buf.data() + 1024);
  CE_CALL(dll, SignData, e, static_cast<const void *>(buf.data()), int32_t{16},
          static_cast<void *>(sig.data()), &n, uid);
  CE_CALL(dll, VerifyData, e, static_cast<const void *>(buf.data()), int32_t{16},
          static_cast<const void *>(sig.data()), int32_t{64}, buf.data() + 1024);
  CE_CALL(dll, VerifySignWOCheckValidity, e, static_cast<const void *>(buf.data()), int32_t{16},
          static_cast<const void *>(sig.data()), int32_t{64}, buf.data() + 1024);
  CE_CALL(dll, GetCurrentUserUID, e, buf.data());
  CE_CALL(dll, SetPasswordRequestFunc, e, static_cast<CE_PASSWORD_REQUEST_FUNC>(nullptr));
  CE_CALL(dll, SetTMRequestFunc, e, &OnKeyDevice);
  CE_CALL(dll, IncludePublicKey, e, file.c_str());
  CE_CALL(dll, IncludePublicEncodeKey, e, file.c_str());
  CE_CALL(dll, GetLastErrorMessage, e, buf.data());
  CE_CALL(dll, SetRootPath, e, work.Path().c_str());
  CE_CALL(dll, SetRemoteGeneratePath, e, work.Path().c_str());
  n = 16;
  CE_CALL(dll, AddSign, e, static_cast<void *>(buf.data()), &n, uid);
  n = 16;
  CE_CALL(dll, RemoveSign, e, static_cast<void *>(buf.data()), &n, buf.data() + 1024);
  CE_CALL(dll, SaveSignedDataToFile, e, static_cast<const void *>(buf.data()), int32_t{16},
          static_cast<const void *>(sig.data()), int32_t{8}, file.c_str());
  CE_CALL(dll, GetReport, e, uid, buf.data());
  CE_CALL(dll, GetPublicKeyProperties, e, uid, buf.data());
  CE_CALL(dll, GetMaxAdditionEx, e, "0001;0002");
  CE_CALL(dll, RemoveCertificate, e, uid);
  CE_CALL(dll, RegisterOIDInfo, e, "1.2.643.2.2.3", "GOST R 34.10-2001");
  CE_CALL(dll, GetParamInfo, e, int32_t{1}, &kind, buf.data(), &n);
  CE_CALL(dll, CertAndRequestTransferMatch, e, v, v, &match);
  // The exports whose values pass through untouched.
  CE_CALL(dll, SignFile, e, v);
  CE_CALL(dll, RemoveSignaturesFromFile, e, v);
  CE_CALL(dll, RemoteGenerateStart, e, v);
  CE_CALL(dll, RemoteGenerateFinish, e, v);
  CE_CALL(dll, IncludePublicKeyTransfer, e, v);
  CE_CALL(dll, ExcludeSelfPublicKeyTransfer, e, v);
  CE_CALL(dll, UpdateCertificateCash, e, v);
  CE_CALL(dll, IncludeCACertificateFromTransfer, e, v);
  CE_CALL(dll, IncludeCRL, e, v);
  CE_CALL(dll, ConvertTransferToSignedRequest, e, v);
  CE_CALL(dll, ShowCertificate, e, v);
  CE_CALL(dll, InstallCertsInMyStore, e, v);
  CE_CALL(dll, VerifyFile, e, v, v);
  CE_CALL(dll, GetPublicKeyTransfer, e, v, v);
  CE_CALL(dll, SavePublicKeyFromTransfer, e, v, v);
  CE_CALL(dll, GetPublicKeyTransferByFile, e, v, v);
  CE_CALL(dll, GetUIDByPublicKeyTransfer, e, v, v);
  CE_CALL(dll, RemoteGenerateFinishEx, e, v, v);
  CE_CALL(dll, GetPublicKeyPropertiesByTransfer, e, v, v);
  CE_CALL(dll, GetPublicKeyPropertiesByFile, e, v, v);
  CE_CALL(dll, CreateDirStructure, e, v, v);
  CE_CALL(dll, GetUIDByCertIdent, e, v, v);
  CE_CALL(dll, RemoteGenerateStartEx, e, v, v, v);
  CE_CALL(dll, HashData, e, v, v, v, v, v);
  CE_CALL(dll, GetPureSign, e, v, v, v, v, v);
  CE_CALL(dll, DoneEngine, e);
  EXPECT_EQ(dll.Called().size(), 75u);
}

// The key device is missing at the first try: the module shows the host's
// request (0) and withdraws it (1) through the stdcall callback, and the
// export still returns to an intact stack.
TEST(DataModelStack, TheKeyDeviceCallbackIsStdcallWithOne32BitArgument) {
  cetest::DoubleRoot root;
  ModuleDll dll;
  ASSERT_TRUE(dll.Loaded()) << CE_TEST_MODULE;
  const CE_HANDLE e = dll.Get<decltype(&::GetCryptObj)>("GetCryptObj")(0);
  ASSERT_NE(e, nullptr);
  dll.Get<decltype(&::SetRootPath)>("SetRootPath")(e, root.Path().c_str());
  const auto set = dll.Get<decltype(&::SetCryptoParamValue)>("SetCryptoParamValue");
  ASSERT_EQ(set(e, kParamEncodeUID, keyop_test::kEncodeUID.c_str()), 0);
  ASSERT_EQ(set(e, kParamKeyDevice, "tm:com1"), 0);
  ASSERT_EQ(set(e, kParamPathToSecret, "TM:COM1"), 0);
  CE_CALL(dll, SetTMRequestFunc, e, &OnKeyDevice);
  root.Double().PushResult("InitKey", 36); // the device is not there yet

  std::vector<char> host(200, 'x');
  int32_t size = 10;
  CE_CALL(dll, EncodeData, e, static_cast<void *>(host.data()), &size, "0002");
  EXPECT_EQ(size, 10 + 85);
  EXPECT_EQ(g_deviceStates, (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(root.Double().CallsOf("InitKey").size(), 2u);
  dll.Get<decltype(&::DoneEngine)>("DoneEngine")(e);
}
#undef CE_CALL
#endif

} // namespace
