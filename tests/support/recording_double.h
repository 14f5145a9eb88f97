// Test-side client of the call-recording double of kestrel.dll: scripts its
// results and outputs and reads its call log (tests/providers/double_control.h
// describes what each entry point does with them).
//
// Typical use:
//   cetest::DoubleRoot root;                 // double under a fresh root, root set
//   root.Double().PushResult("InitKey", 3);  // first InitKey answers 3, then 0
//   root.Double().SetSlots({cetest::Slot("0001000001", "000100000001", 0)});
//   ... run engine operations ...
//   EXPECT_EQ(root.Double().Log(), (std::vector<std::string>{"GetDrvInfo()", ...}));
#pragma once

#include "kestrel/kestrel_api.h"
#include "platform/platform.h"
#include "tests/providers/double_control.h"
#include "tests/support/test_root.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cetest {

// One record of the key driver's slot table.
kestrel::TDriverSlotInfo Slot(const std::string &encryptionKey, const std::string &signatureKey,
                              int32_t slotNo, int32_t slotInfo = 0);

// One signature status record: the signer's key number and the verdict.
struct SignStatus {
  std::string Signer; // 12 characters
  uint8_t Verdict = 0;
};

class RecordingDouble {
public:
  // Loads the double from its file and keeps it loaded while this object
  // lives; the module loading the same file shares its state.
  explicit RecordingDouble(const std::string &libraryPath);
  // Uses a double that is already loaded (for example KestrelUnit().LoadedLibrary()).
  explicit RecordingDouble(platform::ModuleHandle loaded);
  ~RecordingDouble();
  RecordingDouble(const RecordingDouble &) = delete;
  RecordingDouble &operator=(const RecordingDouble &) = delete;

  void Reset();
  // Results: a queue per entry point, then the default.
  void PushResult(std::string_view entry, uint16_t result);
  void SetResult(std::string_view entry, uint16_t result);
  // Outputs: raw bytes, a queue per entry point, then the default.
  void PushOutput(std::string_view entry, std::string_view bytes);
  void SetOutput(std::string_view entry, std::string_view bytes);
  // GetDrvInfo's slot table.
  void PushSlots(const std::vector<kestrel::TDriverSlotInfo> &slots);
  void SetSlots(const std::vector<kestrel::TDriverSlotInfo> &slots);
  // The status array of check_mem_sign, CheckMemSeparate or check_file_sign.
  void PushStatuses(std::string_view entry, const std::vector<SignStatus> &statuses);
  void SetStatuses(std::string_view entry, const std::vector<SignStatus> &statuses);
  // The next call of the check reports count statuses but a nil array.
  void PushNilStatuses(std::string_view entry, int32_t count);

  // The key driver model: from now on InitKey loads these keys into GetDrvInfo's
  // table (SetSlots gives what the driver holds at first) and ResetKeyEx takes
  // keys out of it.
  void SetKeyDevice(const std::string &encryptionKey, const std::string &signatureKey);
  // GetDrvInfo's table as it stands (the default one).
  std::vector<kestrel::TDriverSlotInfo> Slots() const;
  // GetDrvInfo reports this count whatever its table holds (-1: the records').
  void SetReportedSlotCount(int32_t count);
  // Texts of InitKey and ResetKeyEx that lacked their second NUL.
  int32_t UnterminatedTexts() const;
  // The next call of the entry point sleeps that long.
  void PushDelay(std::string_view entry, std::chrono::milliseconds delay);
  // When each call of the entry point began, in order.
  std::vector<std::chrono::milliseconds> CallTimes(std::string_view entry) const;
  // A line of the test's own in the log, between the calls.
  void Note(std::string_view line);

  // The call log, one line per call ("InitKey(\"TM:COM1\\0\",\"\")").
  std::vector<std::string> Log() const;
  std::string LogText() const;
  void ClearLog();
  // Calls of one entry point (lines that begin with its name and "(").
  std::vector<std::string> CallsOf(std::string_view entry) const;
  // The main input buffer of the entry point's last call; throws when it was
  // not called.
  std::string LastInput(std::string_view entry) const;
  bool WasCalled(std::string_view entry) const;
  // The arguments of a log line as they are written there, texts without
  // their quotes: "AddOpenKey(\"C:\\Pub\\\",\"0001\",S)" gives
  // {"C:\\Pub\\", "0001", "S"}.
  static std::vector<std::string> Arguments(std::string_view line);
  // The arguments of the entry point's first call; throws when it was not called.
  std::vector<std::string> FirstArguments(std::string_view entry) const;
  // The entry points of the log's lines, in order.
  std::vector<std::string> CallNames() const;

  int32_t OutstandingAllocations() const;
  void SetCallDelay(int32_t milliseconds);
  int32_t MaxConcurrentCalls() const;
  int32_t Generation() const;

private:
  void Bind();

  platform::ModuleHandle module_ = nullptr;
  bool owned_ = false;
  decltype(&Double_Reset) reset_ = nullptr;
  decltype(&Double_PushResult) pushResult_ = nullptr;
  decltype(&Double_SetResult) setResult_ = nullptr;
  decltype(&Double_PushOutput) pushOutput_ = nullptr;
  decltype(&Double_SetOutput) setOutput_ = nullptr;
  decltype(&Double_GetLog) getLog_ = nullptr;
  decltype(&Double_ClearLog) clearLog_ = nullptr;
  decltype(&Double_GetLastInput) getLastInput_ = nullptr;
  decltype(&Double_OutstandingAllocations) outstanding_ = nullptr;
  decltype(&Double_SetCallDelay) setCallDelay_ = nullptr;
  decltype(&Double_MaxConcurrentCalls) maxConcurrent_ = nullptr;
  decltype(&Double_Generation) generation_ = nullptr;
  decltype(&Double_GetOutput) getOutput_ = nullptr;
  decltype(&Double_Note) note_ = nullptr;
  decltype(&Double_SetKeyDevice) setKeyDevice_ = nullptr;
  decltype(&Double_SetReportedSlotCount) setReportedSlotCount_ = nullptr;
  decltype(&Double_UnterminatedTexts) unterminatedTexts_ = nullptr;
  decltype(&Double_PushDelay) pushDelay_ = nullptr;
  decltype(&Double_GetCallTimes) getCallTimes_ = nullptr;
};

// A root with the double installed in its EXE directory and set as the
// module's root, and the client bound to it.
class DoubleRoot : public TestRoot {
public:
  explicit DoubleRoot(Provider provider = Provider::Double);
  RecordingDouble &Double() { return double_; }
  // Where the double was installed (module form).
  const std::string &LibraryPath() const { return libraryPath_; }

private:
  std::string libraryPath_;
  RecordingDouble double_;
};

} // namespace cetest
