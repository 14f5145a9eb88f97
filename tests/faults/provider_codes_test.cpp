// Every result code of the library at every library call of every operation
// (the call-recording double): each operation is run once to learn which
// entry points it calls, then once for each of those calls failing with each
// code. Whatever fails, the operation reports a failure with a text, the
// host's buffers stay as they were, every status array goes back to the
// library, every context opened is closed, nothing stays locked, and the
// next operation succeeds again.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "tests/support/recording_double.h"
#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kOwnEncode = "0001000001";
const std::string kOwnSign = "000100000101";
const std::string kOtherSign = "000200000101";

// The codes of the library's table, and some it does not know.
std::vector<uint16_t> Codes() {
  std::vector<uint16_t> codes = {1,   2,   3,   4,   6,   7,   8,   10,  11,  12,  21,  22,
                                 23,  24,  25,  26,  27,  29,  30,  31,  32,  33,  34,  35,
                                 36,  37,  38,  39,  101, 102, 103, 104, 105, 106, 107, 108,
                                 109, 110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120,
                                 121, 122, 123, 124, 125, 126, 127, 128, 129, 130, 131};
  for (uint16_t unknown : {5, 9, 132, 999, 1001, 65535})
    codes.push_back(unknown);
  return codes;
}

// Library calls whose failure an operation may ignore: the slot table (its
// count tells), the closing of a context after the work, and the handing
// back of a status array. When only the first call of an entry point fails,
// also the reset of the keys in slot 0: resetting the other key of the pair
// frees the slot as well.
const std::set<std::string> kIgnorable = {"GetDrvInfo", "CryptoDone", "SignDone", "FreeMemory"};
bool Ignorable(const std::string &entry, bool everyCall) {
  return kIgnorable.count(entry) != 0 || (!everyCall && entry == "ResetKeyEx");
}

// Host-side state of one operation: the buffers it may write.
struct THost {
  std::string Buffer; // data, block or report buffer
  int32_t Length = 0; // the host's length of it
  std::string Output; // signature or signer/sender buffer
  int32_t OutLength = 0;
};

struct TOperation {
  const char *Name;
  std::function<void(cetest::RecordingDouble &)> Script; // outputs for success
  std::function<THost()> Host;
  bool WritesOutput; // the module itself fills Output, on success only
  std::function<int32_t(CE_HANDLE, THost &)> Run;
};

std::string EntryOf(const std::string &logLine) { return logLine.substr(0, logLine.find('(')); }

int Count(const std::vector<std::string> &log, const std::string &entry) {
  return static_cast<int>(std::count_if(
      log.begin(), log.end(), [&](const std::string &line) { return EntryOf(line) == entry; }));
}

class ProviderCodesTest : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    Engine = GetCryptObj(0);
    SetCryptoParamValue(Engine, kParamEncodeUID, kOwnEncode.c_str());
    SetCryptoParamValue(Engine, kParamSignUID, kOwnSign.c_str());
    SetCryptoParamValue(Engine, kParamPathToPublic, Root.Path().c_str());
    KeyFile = Root.PathOf("corr.pub");
    std::ofstream(Root.Native() / "corr.pub", std::ios::binary) << std::string(240, 'K');
  }
  void TearDown() override { DoneEngine(Engine); }

  std::vector<TOperation> Operations() const {
    const std::string data = "payment order 17";
    const auto plain = [data] {
      THost host;
      host.Buffer = data + std::string(300, '#');
      host.Length = static_cast<int32_t>(data.size());
      host.Output = std::string(255, '#');
      return host;
    };
    // No outputs are scripted beyond what success needs: a library call that
    // fails then writes nothing, and whatever changes is the module's doing.
    const auto none = [](cetest::RecordingDouble &) {};
    const auto statuses = [](const char *entry) {
      return [entry](cetest::RecordingDouble &d) {
        d.SetStatuses(entry, {cetest::SignStatus{kOtherSign, 0}});
      };
    };
    const std::string keyFile = KeyFile;
    return {
        {"EncodeData", none, plain, false,
         [](CE_HANDLE e, THost &h) { return EncodeData(e, h.Buffer.data(), &h.Length, "0002"); }},
        {"EncodeDataOverAnotherKey",
         [](cetest::RecordingDouble &d) {
           // Slot 0 holds somebody else's keys: they are reset first.
           d.PushSlots({cetest::Slot("0002000001", kOtherSign, 0)});
         },
         plain, false,
         [](CE_HANDLE e, THost &h) { return EncodeData(e, h.Buffer.data(), &h.Length, "0002"); }},
        {"DecodeData", none, plain, false,
         [](CE_HANDLE e, THost &h) {
           return DecodeData(e, h.Buffer.data(), &h.Length, h.Output.data());
         }},
        {"SignData", none, plain, false,
         [](CE_HANDLE e, THost &h) {
           return SignData(e, h.Buffer.data(), h.Length, h.Output.data(), &h.OutLength, nullptr);
         }},
        {"VerifyData", statuses("CheckMemSeparate"), plain, true,
         [](CE_HANDLE e, THost &h) {
           return VerifyData(e, h.Buffer.data(), h.Length, "SIGNATURE", 9, h.Output.data());
         }},
        {"AddSign", none, plain, false,
         [](CE_HANDLE e, THost &h) { return AddSign(e, h.Buffer.data(), &h.Length, nullptr); }},
        {"RemoveSign", statuses("check_mem_sign"), plain, true,
         [](CE_HANDLE e, THost &h) {
           return RemoveSign(e, h.Buffer.data(), &h.Length, h.Output.data());
         }},
        {"IncludePublicKey", none, plain, false,
         [keyFile](CE_HANDLE e, THost &) { return IncludePublicKey(e, keyFile.c_str()); }},
        {"IncludePublicEncodeKey", none, plain, false,
         [keyFile](CE_HANDLE e, THost &) { return IncludePublicEncodeKey(e, keyFile.c_str()); }},
        {"RemoveCertificate", none, plain, false,
         [](CE_HANDLE e, THost &) { return RemoveCertificate(e, kOtherSign.c_str()); }},
        {"GetReport", none,
         [] {
           THost host;
           host.Buffer = std::string(4096, '#');
           return host;
         },
         false,
         [](CE_HANDLE e, THost &h) { return GetReport(e, kOtherSign.c_str(), h.Buffer.data()); }},
    };
  }

  // Runs the operation with the double freshly scripted for success, after
  // `fail` (if any) was pushed; returns the result and leaves the log.
  // everyCall: every call of the entry point fails, else only its first.
  int32_t Run(const TOperation &operation, THost &host, const std::string &fail = "",
              uint16_t code = 0, bool everyCall = false) {
    Root.Double().Reset();
    operation.Script(Root.Double());
    if (!fail.empty()) {
      if (everyCall)
        Root.Double().SetResult(fail, code);
      else
        Root.Double().PushResult(fail, code);
      // A failed check hands out no status array.
      if (fail == "CheckMemSeparate" || fail == "check_mem_sign")
        Root.Double().PushNilStatuses(fail, 0);
    }
    return operation.Run(Engine, host);
  }

  void ExpectIdle(const std::string &what) {
    bool locked = false;
    std::thread other([&] {
      locked = EngineLock().try_lock();
      if (locked)
        EngineLock().unlock();
    });
    other.join();
    EXPECT_TRUE(locked) << what << ": EngineLock is still held";
    const auto *engine = static_cast<TKestrel4Engine *>(Engine);
    EXPECT_FALSE(engine->FCryptoInitialized) << what;
    EXPECT_FALSE(engine->FSignInitialized) << what;
    EXPECT_EQ(Root.Double().OutstandingAllocations(), 0) << what << ": a status array is kept";
  }

  std::string ErrorText(int32_t code) {
    std::string text(static_cast<std::size_t>(GetMaxErrorStringLength(Engine)) + 1, '\0');
    GetCryptoErrorString(Engine, code, text.data());
    return text.c_str();
  }

  cetest::DoubleRoot Root;
  CE_HANDLE Engine = nullptr;
  std::string KeyFile;
};

TEST_P(ProviderCodesTest, EveryCodeAtEveryCallIsReportedAndLeavesNothingBehind) {
  const std::vector<TOperation> operations = Operations();
  const auto found = std::find_if(operations.begin(), operations.end(),
                                  [](const TOperation &o) { return o.Name == GetParam(); });
  ASSERT_NE(found, operations.end());
  const TOperation &operation = *found;

  THost baseline = operation.Host();
  ASSERT_EQ(Run(operation, baseline), 0) << "the operation succeeds with the double";
  const std::vector<std::string> calls = Root.Double().Log();
  std::vector<std::string> entries;
  for (const std::string &line : calls)
    if (std::find(entries.begin(), entries.end(), EntryOf(line)) == entries.end())
      entries.push_back(EntryOf(line));
  ASSERT_FALSE(entries.empty());

  int runs = 0;
  for (bool everyCall : {false, true}) {
    for (const std::string &entry : entries) {
      for (uint16_t code : Codes()) {
        const std::string what = std::string(operation.Name) + ", " +
                                 (everyCall ? "every " : "first ") + entry + " answers " +
                                 std::to_string(code);
        THost host = operation.Host();
        const THost before = host;
        const int32_t result = Run(operation, host, entry, code, everyCall);
        const std::vector<std::string> log = Root.Double().Log();
        ++runs;

        if (!Ignorable(entry, everyCall)) {
          EXPECT_NE(result, 0) << what << ": a failed call reported as success";
          EXPECT_EQ(host.Buffer, before.Buffer) << what << ": the host's buffer changed";
          EXPECT_EQ(host.Length, before.Length) << what;
          // The signer of a signature is reported even when taking it off fails.
          if (operation.WritesOutput && entry != "Del_Mem_Sign") {
            EXPECT_EQ(host.Output, before.Output) << what << ": an output written on failure";
          }
        }
        if (result != 0) {
          EXPECT_FALSE(ErrorText(result).empty()) << what << ": no text for " << result;
        }
        // Every context that was opened is closed again.
        const auto opened = [&](const std::string &init) {
          const int calls = Count(log, init);
          return entry != init ? calls : everyCall ? 0 : calls - 1;
        };
        EXPECT_EQ(Count(log, "CryptoDone"), opened("CryptoInit")) << what;
        EXPECT_EQ(Count(log, "SignDone"), opened("SignInit")) << what;
        ExpectIdle(what);

        THost again = operation.Host();
        EXPECT_EQ(Run(operation, again), 0) << what << ": the next operation fails";
        if (HasFailure())
          return; // one broken combination is enough to read
      }
    }
  }
  EXPECT_EQ(runs, static_cast<int>(2 * entries.size() * Codes().size()));
  RecordProperty("faults_injected", runs);
}

std::string ParamName(const ::testing::TestParamInfo<std::string> &info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Operations, ProviderCodesTest,
                         ::testing::Values("EncodeData", "EncodeDataOverAnotherKey", "DecodeData",
                                           "SignData", "VerifyData", "AddSign", "RemoveSign",
                                           "IncludePublicKey", "IncludePublicEncodeKey",
                                           "RemoveCertificate", "GetReport"),
                         ParamName);

} // namespace
