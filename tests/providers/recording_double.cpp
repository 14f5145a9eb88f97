// The call-recording test double of kestrel.dll: every entry point logs its
// call, answers the result the test scripted and writes the output the test
// scripted (tests/providers/double_control.h describes both).
#include "kestrel/key_identifiers.h"
#include "platform/file_version_note.h"
#include "tests/providers/double_control.h"
#include "tests/providers/provider_entry.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

CE_FILE_VERSION_NOTE(TP_VERSION_MAJOR, TP_VERSION_MINOR, TP_VERSION_RELEASE, TP_VERSION_BUILD)

namespace {

constexpr std::size_t kSlotRecordSize = sizeof(KestrelSlotInfo);
constexpr std::size_t kStatusRecordSize = KESTREL_STATUS_RECORD_SIZE;
constexpr std::size_t kMaxStatusRecords = 255;
constexpr std::size_t kPublicKeySize = TP_VERSION_MAJOR >= 5 ? 304 : 240;
constexpr std::size_t kMaxRecipients = 1024; // bound for reading a list without its 0

// What a call writes: bytes, or (for the status checks) a count with a nil array.
struct Output {
  std::string bytes;
  bool nilArray = false;
  std::size_t nilCount = 0;
};

// A queue of scripted values and the default taken when it is empty.
template <typename T> struct Script {
  std::deque<T> queue;
  std::optional<T> fallback;

  std::optional<T> Next() {
    if (!queue.empty()) {
      T value = std::move(queue.front());
      queue.pop_front();
      return value;
    }
    return fallback;
  }
};

// The keys on the key device of the driver model (Double_SetKeyDevice).
struct DeviceKeys {
  std::string encryption;
  std::string signature;
};

struct State {
  std::mutex lock;
  std::map<std::string, Script<uint16_t>, std::less<>> results;
  std::map<std::string, Script<Output>, std::less<>> outputs;
  std::map<std::string, std::deque<int>, std::less<>> delays;
  std::map<std::string, std::string, std::less<>> lastInputs;
  std::map<std::string, std::vector<int64_t>, std::less<>> callTimes;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::string log;
  std::map<const void *, std::unique_ptr<unsigned char[]>> allocations;
  std::optional<DeviceKeys> device;
  int32_t reportedSlotCount = -1;
  int32_t unterminatedTexts = 0;
  std::atomic<int> callDelayMs{0};
  std::atomic<int> activeCalls{0};
  std::atomic<int> maxConcurrentCalls{0};
};

State &Double() {
  static State state;
  return state;
}

// --- formatting of the log ------------------------------------------------

std::string Quoted(const char *text, bool extraNul = false) {
  if (text == nullptr)
    return "nil";
  std::string out = "\"";
  const std::size_t length = std::strlen(text);
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (extraNul && text[length + 1] == '\0')
    out += "\\0";
  return out + "\"";
}

std::string Number(long long value) { return std::to_string(value); }

std::string LengthAt(const int32_t *length) { return length == nullptr ? "nil" : Number(*length); }

std::string Recipients(const uint16_t *list) {
  if (list == nullptr)
    return "nil";
  std::string out = "[";
  for (std::size_t i = 0; i < kMaxRecipients && list[i] != 0; ++i) {
    if (i > 0)
      out += ",";
    out += Number(list[i]);
  }
  return out + "]";
}

std::size_t RecipientCount(const uint16_t *list) {
  std::size_t n = 0;
  while (list != nullptr && n < kMaxRecipients && list[n] != 0)
    ++n;
  return n;
}

// --- one call ---------------------------------------------------------------

// Logs the call, keeps the time a call lasts when a delay is set, and hands
// out the scripted result and output. Lives for the duration of the call.
class Call {
public:
  Call(std::string_view entry, const std::string &arguments) : entry_(entry) {
    State &s = Double();
    const int active = s.activeCalls.fetch_add(1) + 1;
    int seen = s.maxConcurrentCalls.load();
    while (active > seen && !s.maxConcurrentCalls.compare_exchange_weak(seen, active)) {
    }
    int delay = s.callDelayMs.load();
    {
      std::lock_guard<std::mutex> guard(s.lock);
      s.log.append(entry).append("(").append(arguments).append(")\n");
      s.callTimes[std::string(entry)].push_back(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                s.start)
              .count());
      if (auto it = s.results.find(entry); it != s.results.end())
        result_ = it->second.Next().value_or(0);
      if (auto it = s.outputs.find(entry); it != s.outputs.end())
        output_ = it->second.Next();
      if (auto it = s.delays.find(entry); it != s.delays.end() && !it->second.empty()) {
        delay = it->second.front();
        it->second.pop_front();
      }
    }
    if (delay > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  }
  ~Call() { Double().activeCalls.fetch_sub(1); }
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;

  uint16_t Result() const { return result_; }
  const std::optional<Output> &Scripted() const { return output_; }

  void KeepInput(std::string_view name, const void *data, int32_t length) const {
    std::string bytes;
    if (data != nullptr && length > 0)
      bytes.assign(static_cast<const char *>(data), static_cast<std::size_t>(length));
    std::lock_guard<std::mutex> guard(Double().lock);
    Double().lastInputs[std::string(name)] = std::move(bytes);
  }
  void KeepInput(const void *data, int32_t length) const { KeepInput(entry_, data, length); }

private:
  std::string_view entry_;
  uint16_t result_ = 0;
  std::optional<Output> output_;
};

// The status array of a check: allocated here, taken back by FreeMemory.
void WriteStatuses(const Call &call, uint8_t *count, KestrelSignStatus **status) {
  std::size_t records = 0;
  KestrelSignStatus *array = nullptr;
  if (const auto &out = call.Scripted()) {
    if (out->nilArray) {
      records = out->nilCount;
    } else {
      records = std::min(out->bytes.size() / kStatusRecordSize, kMaxStatusRecords);
      if (records > 0) {
        auto memory = std::make_unique<unsigned char[]>(records * kStatusRecordSize);
        std::memcpy(memory.get(), out->bytes.data(), records * kStatusRecordSize);
        array = reinterpret_cast<KestrelSignStatus *>(memory.get());
        std::lock_guard<std::mutex> guard(Double().lock);
        Double().allocations.emplace(memory.get(), std::move(memory));
      }
    }
  }
  if (count != nullptr)
    *count = static_cast<uint8_t>(records);
  if (status != nullptr)
    *status = array;
}

void WriteText(const Call &call, char *destination) {
  if (destination == nullptr)
    return;
  const std::string text = call.Scripted() ? call.Scripted()->bytes : std::string();
  std::memcpy(destination, text.c_str(), text.size() + 1);
}

void WriteBytes(const Call &call, void *destination) {
  if (destination != nullptr && call.Scripted() && !call.Scripted()->bytes.empty())
    std::memcpy(destination, call.Scripted()->bytes.data(), call.Scripted()->bytes.size());
}

// Block replaced (DeCryptMem, Del_Mem_Sign) or appended to (SignMemEx, SignMem).
void RewriteBlock(const Call &call, void *block, int32_t *length, bool append) {
  if (block == nullptr || length == nullptr || !call.Scripted())
    return;
  const std::string &bytes = call.Scripted()->bytes;
  auto *target = static_cast<char *>(block) + (append ? *length : 0);
  std::memcpy(target, bytes.data(), bytes.size());
  *length = static_cast<int32_t>(bytes.size()) + (append ? *length : 0);
}

void WriteSignature(const Call &call, int32_t *signatureLength, void *signature) {
  WriteBytes(call, signature);
  if (signatureLength != nullptr)
    *signatureLength = call.Scripted() ? static_cast<int32_t>(call.Scripted()->bytes.size()) : 0;
}

// Counts a text of InitKey or ResetKeyEx that lacks the second NUL the
// library requires after it.
void CheckDoubleTerminated(const char *text) {
  if (text != nullptr && text[std::strlen(text) + 1] != '\0') {
    std::lock_guard<std::mutex> guard(Double().lock);
    ++Double().unterminatedTexts;
  }
}

// --- the key driver model ---------------------------------------------------
// With a key device set, the default slot table of GetDrvInfo is the driver's
// state: InitKey loads the device's keys into it, ResetKeyEx takes keys out.

std::vector<KestrelSlotInfo> DriverSlots(const State &s) {
  std::vector<KestrelSlotInfo> slots;
  const auto it = s.outputs.find(std::string_view("GetDrvInfo"));
  if (it == s.outputs.end() || !it->second.fallback)
    return slots;
  const std::string &bytes = it->second.fallback->bytes;
  slots.resize(bytes.size() / kSlotRecordSize);
  if (!slots.empty())
    std::memcpy(slots.data(), bytes.data(), slots.size() * kSlotRecordSize);
  return slots;
}

void SetDriverSlots(State &s, const std::vector<KestrelSlotInfo> &slots) {
  Output table;
  table.bytes.assign(reinterpret_cast<const char *>(slots.data()), slots.size() * kSlotRecordSize);
  s.outputs["GetDrvInfo"].fallback = std::move(table);
}

std::string Field(const char *field, std::size_t size) {
  return std::string(field, std::find(field, field + size, '\0'));
}

// InitKey that answers 0: the device's keys go into the lowest free slot; 37
// when they are loaded already, 38 when every slot is taken.
uint16_t LoadDeviceKeys(uint16_t result) {
  State &s = Double();
  std::lock_guard<std::mutex> guard(s.lock);
  if (result != 0 || !s.device)
    return result;
  std::vector<KestrelSlotInfo> slots = DriverSlots(s);
  const auto has = [&](const auto &test) { return std::any_of(slots.begin(), slots.end(), test); };
  if (has([&](const KestrelSlotInfo &k) {
        return Field(k.Num, sizeof k.Num) == s.device->encryption;
      }))
    return 37;
  int32_t free = 0;
  while (has([&](const KestrelSlotInfo &k) { return k.SlotNo == free; }))
    ++free;
  if (free >= KESTREL_MAX_SLOTS)
    return 38;
  KestrelSlotInfo loaded{};
  std::memcpy(loaded.Num, s.device->encryption.data(),
              std::min(s.device->encryption.size(), sizeof loaded.Num - 1));
  std::memcpy(loaded.NumP, s.device->signature.data(),
              std::min(s.device->signature.size(), sizeof loaded.NumP - 1));
  loaded.SlotNo = free;
  slots.push_back(loaded);
  SetDriverSlots(s, slots);
  return 0;
}

// ResetKeyEx that answers 0: the slots holding that key number are freed.
void ResetDeviceKeys(uint16_t result, const char *keyNumber) {
  State &s = Double();
  std::lock_guard<std::mutex> guard(s.lock);
  if (result != 0 || !s.device || keyNumber == nullptr || *keyNumber == '\0')
    return;
  std::vector<KestrelSlotInfo> slots = DriverSlots(s);
  slots.erase(std::remove_if(slots.begin(), slots.end(),
                             [&](const KestrelSlotInfo &k) {
                               return Field(k.Num, sizeof k.Num) == keyNumber ||
                                      Field(k.NumP, sizeof k.NumP) == keyNumber;
                             }),
              slots.end());
  SetDriverSlots(s, slots);
}

std::string Joined(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string &part : parts) {
    if (!out.empty())
      out += ",";
    out += part;
  }
  return out;
}

} // namespace

// --- the library's entry points ---------------------------------------------

TP_ENTRY InitKey(const char *keyPath, const char *reserved) {
  const Call call("InitKey", Joined({Quoted(keyPath, true), Quoted(reserved)}));
  CheckDoubleTerminated(keyPath);
  return LoadDeviceKeys(call.Result());
}

TP_ENTRY ResetKeyEx(const char *keyNumber, int32_t mode) {
  const Call call("ResetKeyEx", Joined({Quoted(keyNumber), Number(mode)}));
  CheckDoubleTerminated(keyNumber);
  ResetDeviceKeys(call.Result(), keyNumber);
  return call.Result();
}

TP_ENTRY GetDrvInfo(KestrelSlotInfo *table, int32_t *count) {
  const Call call("GetDrvInfo", "");
  std::size_t records = 0;
  if (const auto &out = call.Scripted()) {
    records = std::min<std::size_t>(out->bytes.size() / kSlotRecordSize, KESTREL_MAX_SLOTS);
    if (table != nullptr)
      std::memcpy(table, out->bytes.data(), records * kSlotRecordSize);
  }
  if (count != nullptr) {
    std::lock_guard<std::mutex> guard(Double().lock);
    const int32_t reported = Double().reportedSlotCount;
    *count = reported >= 0 ? reported : static_cast<int32_t>(records);
  }
  return call.Result();
}

TP_ENTRY FreeMemory(void *memory) {
  bool known = false;
  {
    std::lock_guard<std::mutex> guard(Double().lock);
    known = Double().allocations.erase(memory) > 0;
  }
  const Call call("FreeMemory", memory == nullptr ? "nil" : known ? "status" : "unknown");
  return call.Result();
}

TP_ENTRY SignInit(const char *secretPath, const char *publicDir) {
  const Call call("SignInit", Joined({Quoted(secretPath), Quoted(publicDir)}));
  return call.Result();
}

TP_ENTRY SignDone(void) { return Call("SignDone", "").Result(); }

TP_ENTRY SignLogIn(const char *keyNumber) { return Call("SignLogIn", Quoted(keyNumber)).Result(); }

TP_ENTRY SignLogOut(void) { return Call("SignLogOut", "").Result(); }

TP_ENTRY DelSign(const char *fileName, int32_t count) {
  return Call("DelSign", Joined({Quoted(fileName), Number(count)})).Result();
}

TP_ENTRY SignFile(const char *inFile, const char *outFile, const char *keyNumber) {
  return Call("SignFile", Joined({Quoted(inFile), Quoted(outFile), Quoted(keyNumber)})).Result();
}

TP_ENTRY check_file_sign(const char *fileName, uint8_t *count, KestrelSignStatus **status) {
  const Call call("check_file_sign", Quoted(fileName));
  WriteStatuses(call, count, status);
  return call.Result();
}

TP_ENTRY SignMem(void *block, int32_t *length) {
  const Call call("SignMem", LengthAt(length));
  if (length != nullptr)
    call.KeepInput(block, *length);
  RewriteBlock(call, block, length, true);
  return call.Result();
}

TP_ENTRY SignMemEx(void *block, int32_t *length, const char *keyNumber) {
  const Call call("SignMemEx", Joined({LengthAt(length), Quoted(keyNumber)}));
  if (length != nullptr)
    call.KeepInput(block, *length);
  RewriteBlock(call, block, length, true);
  return call.Result();
}

TP_ENTRY check_mem_sign(const void *block, int32_t length, uint8_t *count,
                        KestrelSignStatus **status) {
  const Call call("check_mem_sign", Number(length));
  call.KeepInput(block, length);
  WriteStatuses(call, count, status);
  return call.Result();
}

TP_ENTRY Del_Mem_Sign(void *block, int32_t *length, int32_t count) {
  const Call call("Del_Mem_Sign", Joined({LengthAt(length), Number(count)}));
  if (length != nullptr)
    call.KeepInput(block, *length);
  RewriteBlock(call, block, length, false);
  return call.Result();
}

TP_ENTRY SignMemSeparate(const void *data, int32_t length, int32_t *signatureLength,
                         void *signature) {
  const Call call("SignMemSeparate", Number(length));
  call.KeepInput(data, length);
  WriteSignature(call, signatureLength, signature);
  return call.Result();
}

TP_ENTRY SignMemSeparateEx(const void *data, int32_t length, int32_t *signatureLength,
                           const char *keyNumber, void *signature) {
  const Call call("SignMemSeparateEx", Joined({Number(length), Quoted(keyNumber)}));
  call.KeepInput(data, length);
  WriteSignature(call, signatureLength, signature);
  return call.Result();
}

TP_ENTRY CheckMemSeparate(const void *data, int32_t length, int32_t signatureLength, uint8_t *count,
                          KestrelSignStatus **status, const void *signature) {
  const Call call("CheckMemSeparate", Joined({Number(length), Number(signatureLength)}));
  call.KeepInput(data, length);
  call.KeepInput("CheckMemSeparate:signature", signature, signatureLength);
  WriteStatuses(call, count, status);
  return call.Result();
}

TP_ENTRY CryptoInit(const char *secretPath, const char *publicDir) {
  return Call("CryptoInit", Joined({Quoted(secretPath), Quoted(publicDir)})).Result();
}

TP_ENTRY CryptoDone(void) { return Call("CryptoDone", "").Result(); }

TP_ENTRY EnCryptFile(const char *inFile, const char *outFile, uint16_t ownKey,
                     const uint16_t *recipients, const char *keySerial) {
  return Call("EnCryptFile", Joined({Quoted(inFile), Quoted(outFile), Number(ownKey),
                                     Recipients(recipients), Quoted(keySerial)}))
      .Result();
}

TP_ENTRY DeCryptFile(const char *inFile, const char *outFile, uint16_t ownKey) {
  return Call("DeCryptFile", Joined({Quoted(inFile), Quoted(outFile), Number(ownKey)})).Result();
}

TP_ENTRY GetCryptKeysF(const char *fileName, uint16_t *, int32_t *count) {
  const Call call("GetCryptKeysF", Quoted(fileName));
  if (count != nullptr)
    *count = 0;
  return call.Result();
}

TP_ENTRY GetCryptKeysM(const void *, int32_t length, uint16_t *, int32_t *count) {
  const Call call("GetCryptKeysM", Number(length));
  if (count != nullptr)
    *count = 0;
  return call.Result();
}

TP_ENTRY DeCryptMem(void *block, int32_t *length, uint16_t ownKey) {
  const Call call("DeCryptMem", Joined({LengthAt(length), Number(ownKey)}));
  if (length != nullptr)
    call.KeepInput(block, *length);
  RewriteBlock(call, block, length, false);
  return call.Result();
}

TP_ENTRY EnCryptMem(const void *input, int32_t length, void *output, uint16_t ownKey,
                    const uint16_t *recipients, const char *keySerial) {
  const Call call("EnCryptMem", Joined({Number(length), Number(ownKey), Recipients(recipients),
                                        Quoted(keySerial)}));
  call.KeepInput(input, length);
  if (call.Scripted()) {
    WriteBytes(call, output);
  } else if (output != nullptr && input != nullptr && length >= 0) {
    auto *out = static_cast<unsigned char *>(output);
    std::memcpy(out, input, static_cast<std::size_t>(length));
    std::memset(out + length, 0xE5, kestrel::EncryptedBlockOverhead(RecipientCount(recipients)));
  }
  return call.Result();
}

TP_ENTRY GetFileSenderID(const char *fileName, char *sender) {
  const Call call("GetFileSenderID", Quoted(fileName));
  WriteText(call, sender);
  return call.Result();
}

TP_ENTRY GetMemSenderID(const void *block, int32_t length, char *sender) {
  const Call call("GetMemSenderID", Number(length));
  call.KeepInput(block, length);
  WriteText(call, sender);
  return call.Result();
}

TP_ENTRY AddOpenKey(const char *directory, const void *keyBlock, const char *ownerKeyNumber,
                    char kind) {
  const Call call("AddOpenKey",
                  Joined({Quoted(directory), Quoted(ownerKeyNumber), std::string(1, kind)}));
  call.KeepInput(keyBlock, static_cast<int32_t>(kPublicKeySize));
  return call.Result();
}

TP_ENTRY GetAlias(const char *keyNumber, char *alias) {
  const Call call("GetAlias", Quoted(keyNumber));
  WriteText(call, alias);
  return call.Result();
}

TP_ENTRY ExtractKey(const char *directory, const char *keyNumber, void *keyBlock) {
  const Call call("ExtractKey", Joined({Quoted(directory), Quoted(keyNumber)}));
  WriteBytes(call, keyBlock);
  return call.Result();
}

TP_ENTRY DelOpenKey(const char *directory, const char *keyNumber, const char *ownerKeyNumber,
                    char kind) {
  return Call("DelOpenKey", Joined({Quoted(directory), Quoted(keyNumber), Quoted(ownerKeyNumber),
                                    std::string(1, kind)}))
      .Result();
}

// --- control ----------------------------------------------------------------

// Outside the extern "C" block: it returns a C++ type.
namespace {
Output MakeOutput(const void *bytes, int32_t length) {
  Output out;
  if (bytes == nullptr) {
    out.nilArray = true;
    out.nilCount = length > 0 ? static_cast<std::size_t>(length) : 0;
  } else if (length > 0) {
    out.bytes.assign(static_cast<const char *>(bytes), static_cast<std::size_t>(length));
  }
  return out;
}
} // namespace

extern "C" {

DOUBLE_CONTROL_API void Double_Reset(void) {
  State &s = Double();
  std::lock_guard<std::mutex> guard(s.lock);
  s.results.clear();
  s.outputs.clear();
  s.delays.clear();
  s.lastInputs.clear();
  s.callTimes.clear();
  s.start = std::chrono::steady_clock::now();
  s.log.clear();
  s.allocations.clear();
  s.device.reset();
  s.reportedSlotCount = -1;
  s.unterminatedTexts = 0;
  s.callDelayMs = 0;
  s.maxConcurrentCalls = 0;
}

DOUBLE_CONTROL_API void Double_PushResult(const char *entry, uint16_t result) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().results[entry].queue.push_back(result);
}

DOUBLE_CONTROL_API void Double_SetResult(const char *entry, uint16_t result) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().results[entry].fallback = result;
}

DOUBLE_CONTROL_API void Double_PushOutput(const char *entry, const void *bytes, int32_t length) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().outputs[entry].queue.push_back(MakeOutput(bytes, length));
}

DOUBLE_CONTROL_API void Double_SetOutput(const char *entry, const void *bytes, int32_t length) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().outputs[entry].fallback = MakeOutput(bytes, length);
}

DOUBLE_CONTROL_API int32_t Double_GetLog(char *buffer, int32_t size) {
  std::lock_guard<std::mutex> guard(Double().lock);
  const std::string &log = Double().log;
  if (buffer != nullptr && size > 0) {
    const std::size_t n = std::min(log.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, log.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int32_t>(log.size() + 1);
}

DOUBLE_CONTROL_API void Double_ClearLog(void) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().log.clear();
}

DOUBLE_CONTROL_API int32_t Double_GetOutput(const char *entry, void *buffer, int32_t size) {
  std::lock_guard<std::mutex> guard(Double().lock);
  const auto it = Double().outputs.find(std::string_view(entry));
  if (it == Double().outputs.end() || !it->second.fallback)
    return -1;
  const std::string &bytes = it->second.fallback->bytes;
  if (buffer != nullptr && size > 0)
    std::memcpy(buffer, bytes.data(), std::min(bytes.size(), static_cast<std::size_t>(size)));
  return static_cast<int32_t>(bytes.size());
}

DOUBLE_CONTROL_API void Double_Note(const char *line) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().log.append(line).append("\n");
}

DOUBLE_CONTROL_API int32_t Double_GetCallTimes(const char *entry, int64_t *milliseconds,
                                               int32_t size) {
  std::lock_guard<std::mutex> guard(Double().lock);
  const auto it = Double().callTimes.find(std::string_view(entry));
  if (it == Double().callTimes.end())
    return 0;
  const std::vector<int64_t> &times = it->second;
  if (milliseconds != nullptr && size > 0)
    std::copy_n(times.begin(), std::min(times.size(), static_cast<std::size_t>(size)),
                milliseconds);
  return static_cast<int32_t>(times.size());
}

DOUBLE_CONTROL_API void Double_PushDelay(const char *entry, int32_t milliseconds) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().delays[entry].push_back(milliseconds);
}

DOUBLE_CONTROL_API void Double_SetKeyDevice(const char *encryptionKey, const char *signatureKey) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().device = DeviceKeys{encryptionKey, signatureKey};
}

DOUBLE_CONTROL_API void Double_SetReportedSlotCount(int32_t count) {
  std::lock_guard<std::mutex> guard(Double().lock);
  Double().reportedSlotCount = count;
}

DOUBLE_CONTROL_API int32_t Double_UnterminatedTexts(void) {
  std::lock_guard<std::mutex> guard(Double().lock);
  return Double().unterminatedTexts;
}

DOUBLE_CONTROL_API int32_t Double_GetLastInput(const char *entry, void *buffer, int32_t size) {
  std::lock_guard<std::mutex> guard(Double().lock);
  const auto it = Double().lastInputs.find(std::string_view(entry));
  if (it == Double().lastInputs.end())
    return -1;
  if (buffer != nullptr && size > 0)
    std::memcpy(buffer, it->second.data(),
                std::min(it->second.size(), static_cast<std::size_t>(size)));
  return static_cast<int32_t>(it->second.size());
}

DOUBLE_CONTROL_API int32_t Double_OutstandingAllocations(void) {
  std::lock_guard<std::mutex> guard(Double().lock);
  return static_cast<int32_t>(Double().allocations.size());
}

DOUBLE_CONTROL_API void Double_SetCallDelay(int32_t milliseconds) {
  Double().callDelayMs = milliseconds;
}

DOUBLE_CONTROL_API int32_t Double_MaxConcurrentCalls(void) {
  return Double().maxConcurrentCalls.load();
}

DOUBLE_CONTROL_API int32_t Double_Generation(void) { return TP_VERSION_MAJOR >= 5 ? 5 : 4; }

} // extern "C"
