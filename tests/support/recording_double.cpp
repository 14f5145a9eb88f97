#include "tests/support/recording_double.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace cetest {
namespace {

std::string EntryName(std::string_view entry) { return std::string(entry); }

std::string SlotBytes(const std::vector<kestrel::TDriverSlotInfo> &slots) {
  std::string bytes(slots.size() * sizeof(kestrel::TDriverSlotInfo), '\0');
  if (!slots.empty())
    std::memcpy(bytes.data(), slots.data(), bytes.size());
  return bytes;
}

std::string StatusBytes(const std::vector<SignStatus> &statuses) {
  std::string bytes(statuses.size() * kestrel::kStatusRecordSize, '\0');
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    char *record = bytes.data() + i * kestrel::kStatusRecordSize;
    std::memcpy(record, statuses[i].Signer.data(),
                std::min(statuses[i].Signer.size(), kestrel::kStatusSignerLength));
    record[kestrel::kStatusVerdictOffset] = static_cast<char>(statuses[i].Verdict);
  }
  return bytes;
}

template <typename F> F Symbol(platform::ModuleHandle module, const char *name) {
  void *symbol = platform::FindSymbol(module, name);
  if (symbol == nullptr)
    throw std::runtime_error(std::string("not the recording double: no ") + name);
  return reinterpret_cast<F>(symbol);
}

} // namespace

kestrel::TDriverSlotInfo Slot(const std::string &encryptionKey, const std::string &signatureKey,
                              int32_t slotNo, int32_t slotInfo) {
  kestrel::TDriverSlotInfo slot{};
  std::memcpy(slot.Num, encryptionKey.data(), std::min(encryptionKey.size(), sizeof slot.Num - 1));
  std::memcpy(slot.NumP, signatureKey.data(), std::min(signatureKey.size(), sizeof slot.NumP - 1));
  slot.SlotInfo = slotInfo;
  slot.SlotNo = slotNo;
  return slot;
}

RecordingDouble::RecordingDouble(const std::string &libraryPath)
    : module_(platform::LoadLibraryFile(libraryPath)), owned_(true) {
  if (module_ == nullptr)
    throw std::runtime_error("cannot load the recording double from " + libraryPath);
  Bind();
}

RecordingDouble::RecordingDouble(platform::ModuleHandle loaded) : module_(loaded) {
  if (module_ == nullptr)
    throw std::runtime_error("no library loaded");
  Bind();
}

RecordingDouble::~RecordingDouble() {
  if (owned_)
    platform::FreeLibraryHandle(module_);
}

void RecordingDouble::Bind() {
  try {
    reset_ = Symbol<decltype(reset_)>(module_, "Double_Reset");
    pushResult_ = Symbol<decltype(pushResult_)>(module_, "Double_PushResult");
    setResult_ = Symbol<decltype(setResult_)>(module_, "Double_SetResult");
    pushOutput_ = Symbol<decltype(pushOutput_)>(module_, "Double_PushOutput");
    setOutput_ = Symbol<decltype(setOutput_)>(module_, "Double_SetOutput");
    getLog_ = Symbol<decltype(getLog_)>(module_, "Double_GetLog");
    clearLog_ = Symbol<decltype(clearLog_)>(module_, "Double_ClearLog");
    getLastInput_ = Symbol<decltype(getLastInput_)>(module_, "Double_GetLastInput");
    outstanding_ = Symbol<decltype(outstanding_)>(module_, "Double_OutstandingAllocations");
    setCallDelay_ = Symbol<decltype(setCallDelay_)>(module_, "Double_SetCallDelay");
    maxConcurrent_ = Symbol<decltype(maxConcurrent_)>(module_, "Double_MaxConcurrentCalls");
    generation_ = Symbol<decltype(generation_)>(module_, "Double_Generation");
    getOutput_ = Symbol<decltype(getOutput_)>(module_, "Double_GetOutput");
    note_ = Symbol<decltype(note_)>(module_, "Double_Note");
    setKeyDevice_ = Symbol<decltype(setKeyDevice_)>(module_, "Double_SetKeyDevice");
    setReportedSlotCount_ =
        Symbol<decltype(setReportedSlotCount_)>(module_, "Double_SetReportedSlotCount");
    unterminatedTexts_ = Symbol<decltype(unterminatedTexts_)>(module_, "Double_UnterminatedTexts");
    pushDelay_ = Symbol<decltype(pushDelay_)>(module_, "Double_PushDelay");
    getCallTimes_ = Symbol<decltype(getCallTimes_)>(module_, "Double_GetCallTimes");
  } catch (...) {
    if (owned_)
      platform::FreeLibraryHandle(module_);
    throw;
  }
}

void RecordingDouble::Reset() { reset_(); }

void RecordingDouble::PushResult(std::string_view entry, uint16_t result) {
  pushResult_(EntryName(entry).c_str(), result);
}

void RecordingDouble::SetResult(std::string_view entry, uint16_t result) {
  setResult_(EntryName(entry).c_str(), result);
}

void RecordingDouble::PushOutput(std::string_view entry, std::string_view bytes) {
  // A non-null pointer even for no bytes: nil means "count without array".
  pushOutput_(EntryName(entry).c_str(), bytes.empty() ? "" : bytes.data(),
              static_cast<int32_t>(bytes.size()));
}

void RecordingDouble::SetOutput(std::string_view entry, std::string_view bytes) {
  setOutput_(EntryName(entry).c_str(), bytes.empty() ? "" : bytes.data(),
             static_cast<int32_t>(bytes.size()));
}

void RecordingDouble::PushSlots(const std::vector<kestrel::TDriverSlotInfo> &slots) {
  PushOutput("GetDrvInfo", SlotBytes(slots));
}

void RecordingDouble::SetSlots(const std::vector<kestrel::TDriverSlotInfo> &slots) {
  SetOutput("GetDrvInfo", SlotBytes(slots));
}

void RecordingDouble::PushStatuses(std::string_view entry,
                                   const std::vector<SignStatus> &statuses) {
  PushOutput(entry, StatusBytes(statuses));
}

void RecordingDouble::SetStatuses(std::string_view entry, const std::vector<SignStatus> &statuses) {
  SetOutput(entry, StatusBytes(statuses));
}

void RecordingDouble::PushNilStatuses(std::string_view entry, int32_t count) {
  pushOutput_(EntryName(entry).c_str(), nullptr, count);
}

void RecordingDouble::SetKeyDevice(const std::string &encryptionKey,
                                   const std::string &signatureKey) {
  setKeyDevice_(encryptionKey.c_str(), signatureKey.c_str());
}

std::vector<kestrel::TDriverSlotInfo> RecordingDouble::Slots() const {
  const int32_t size = getOutput_("GetDrvInfo", nullptr, 0);
  std::vector<kestrel::TDriverSlotInfo> slots(static_cast<std::size_t>(std::max(size, 0)) /
                                              sizeof(kestrel::TDriverSlotInfo));
  if (!slots.empty())
    getOutput_("GetDrvInfo", slots.data(),
               static_cast<int32_t>(slots.size() * sizeof(kestrel::TDriverSlotInfo)));
  return slots;
}

void RecordingDouble::SetReportedSlotCount(int32_t count) { setReportedSlotCount_(count); }

int32_t RecordingDouble::UnterminatedTexts() const { return unterminatedTexts_(); }

void RecordingDouble::PushDelay(std::string_view entry, std::chrono::milliseconds delay) {
  pushDelay_(EntryName(entry).c_str(), static_cast<int32_t>(delay.count()));
}

std::vector<std::chrono::milliseconds> RecordingDouble::CallTimes(std::string_view entry) const {
  const std::string name = EntryName(entry);
  std::vector<int64_t> times(static_cast<std::size_t>(getCallTimes_(name.c_str(), nullptr, 0)));
  times.resize(static_cast<std::size_t>(
      getCallTimes_(name.c_str(), times.data(), static_cast<int32_t>(times.size()))));
  return {times.begin(), times.end()};
}

void RecordingDouble::Note(std::string_view line) { note_(std::string(line).c_str()); }

std::vector<std::string> RecordingDouble::Arguments(std::string_view line) {
  const auto open = line.find('(');
  const auto close = line.rfind(')');
  std::vector<std::string> arguments;
  if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1)
    return arguments;
  const std::string_view list = line.substr(open + 1, close - open - 1);
  for (std::size_t pos = 0;;) {
    std::size_t end = 0;
    if (pos < list.size() && list[pos] == '"') {
      // A text ends at the quote before the next comma, or at the last one.
      std::size_t quote = list.find("\",", pos + 1);
      if (quote == std::string_view::npos)
        quote = std::max(list.size() - 1, pos + 1);
      arguments.emplace_back(list.substr(pos + 1, quote - pos - 1));
      end = quote + 1;
    } else {
      end = std::min(list.find(',', pos), list.size());
      arguments.emplace_back(list.substr(pos, end - pos));
    }
    if (end >= list.size())
      return arguments;
    pos = end + 1;
  }
}

std::vector<std::string> RecordingDouble::FirstArguments(std::string_view entry) const {
  const auto calls = CallsOf(entry);
  if (calls.empty())
    throw std::runtime_error(EntryName(entry) + " was not called");
  return Arguments(calls.front());
}

std::vector<std::string> RecordingDouble::CallNames() const {
  std::vector<std::string> names;
  for (const std::string &line : Log())
    names.push_back(line.substr(0, line.find('(')));
  return names;
}

std::string RecordingDouble::LogText() const {
  std::string text(static_cast<std::size_t>(getLog_(nullptr, 0)), '\0');
  // The log may grow between the two calls; take what fits.
  getLog_(text.data(), static_cast<int32_t>(text.size()));
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::vector<std::string> RecordingDouble::Log() const {
  std::vector<std::string> lines;
  std::istringstream in(LogText());
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

void RecordingDouble::ClearLog() { clearLog_(); }

std::vector<std::string> RecordingDouble::CallsOf(std::string_view entry) const {
  const std::string prefix = EntryName(entry) + "(";
  std::vector<std::string> calls;
  for (std::string &line : Log())
    if (line.compare(0, prefix.size(), prefix) == 0)
      calls.push_back(std::move(line));
  return calls;
}

std::string RecordingDouble::LastInput(std::string_view entry) const {
  const std::string name = EntryName(entry);
  const int32_t length = getLastInput_(name.c_str(), nullptr, 0);
  if (length < 0)
    throw std::runtime_error(name + " was not called");
  std::string bytes(static_cast<std::size_t>(length), '\0');
  getLastInput_(name.c_str(), bytes.data(), length);
  return bytes;
}

bool RecordingDouble::WasCalled(std::string_view entry) const { return !CallsOf(entry).empty(); }

int32_t RecordingDouble::OutstandingAllocations() const { return outstanding_(); }

void RecordingDouble::SetCallDelay(int32_t milliseconds) { setCallDelay_(milliseconds); }

int32_t RecordingDouble::MaxConcurrentCalls() const { return maxConcurrent_(); }

int32_t RecordingDouble::Generation() const { return generation_(); }

DoubleRoot::DoubleRoot(Provider provider)
    : libraryPath_((SetAsRoot(), Install(provider))), double_(libraryPath_) {}

} // namespace cetest
