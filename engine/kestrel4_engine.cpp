// TKestrel4Engine: construction, parameters, their reading rules and
// descriptions, the engine name and the last exception text.
#include "engine/kestrel4_engine.h"
#include "engine/module_context.h"

#include "kestrel/kestrel_dll.h"
#include "platform/cp1251.h"
#include "support/exception_text.h"
#include "support/rgenutil.h"

#include <array>
#include <cstring>
#include <string_view>

namespace {

constexpr int32_t kDefaultWaitTimeOut = 5;

struct TParamInfo {
  const char *Name;
  int32_t Kind;
  const char *Info; // nullptr: a switch, no information text
};

// Parameters in their host numbering (item i is parameter i + 1).
constexpr std::array<TParamInfo, kParamCount> kParams = {{
    {"Path to secret", CE_PARAM_PATH, "*.*"},
    {"Path to public", CE_PARAM_PATH, "*.*"},
    {"Key serial number", CE_PARAM_TEXT, "6"},
    {"Encode UID", CE_PARAM_TEXT, "10"},
    {"Sign UID", CE_PARAM_TEXT, "12"},
    {"Encrypt for key number", CE_PARAM_RECIPIENTS, "255"},
    {"Key device", CE_PARAM_TEXT, "255"},
    {"Key request time out", CE_PARAM_INTEGER, "0..2147483640"},
    {"Last operation key time out", CE_PARAM_INTEGER, "0..2147483640"},
    {"Use 0 slot for verify signature", CE_PARAM_SWITCH, nullptr},
    {"Reset key in drv on start", CE_PARAM_SWITCH, nullptr},
    {"Touch Memory Window Time Out", CE_PARAM_INTEGER, "0..2147483640"},
}};

const std::string &NoText() {
  static const std::string text = platform::Utf8ToCp1251("НЕТ");
  return text;
}

const std::string &YesText() {
  static const std::string text = platform::Utf8ToCp1251("Да");
  return text;
}

} // namespace

TKestrel4Engine::TKestrel4Engine() : TKestrel4Engine(TModuleContext::Current()) {}

TKestrel4Engine::TKestrel4Engine(TModuleContext &context) : FContext(context) {
  for (const TParamInfo &param : kParams)
    FParamNames.emplace_back(param.Name);
  FParamValues = {
      "A:\\",               // Path to secret
      "A:\\",               // Path to public
      std::string(6, '\0'), // Key serial number: six zero bytes
      "0001",               // Encode UID
      "000101",             // Sign UID
      "0001",               // Encrypt for key number
      "a:",                 // Key device
      std::to_string(60),   // Key request time out
      std::to_string(5),    // Last operation key time out
      "No",                 // Use 0 slot for verify signature
      "Yes",                // Reset key in drv on start
      std::to_string(5),    // Touch Memory Window Time Out
  };
}

TKestrel4Engine::~TKestrel4Engine() {
  // Close whatever context is still open; nothing may escape a destructor.
  try {
    DoneCrypto();
  } catch (...) {
  }
  try {
    DoneSign();
  } catch (...) {
  }
  FKestrelDLL.reset();
}

void TKestrel4Engine::GetEngineName(char *buffer) {
  static constexpr char kName[] = "Kestrel/4";
  if (buffer != nullptr)
    std::memcpy(buffer, kName, sizeof kName);
}

int32_t TKestrel4Engine::GetParamInfo(int32_t index, int32_t *kind, char *buffer, int32_t *size) {
  if (index < 1 || index > kParamCount)
    return CE_ERR_PARAM_INDEX;
  if (kind == nullptr || size == nullptr)
    return CE_ERR_BAD_ARGUMENT;
  const TParamInfo &param = kParams[static_cast<std::size_t>(index) - 1];
  *kind = param.Kind;
  if (param.Info == nullptr) {
    *size = 0;
    return 0;
  }
  try {
    const std::string_view info(param.Info);
    const auto need = static_cast<int32_t>(info.size() + 1);
    if (buffer == nullptr) {
      *size = need;
      return 0;
    }
    if (*size < need) {
      *size = need;
      return CE_ERR_BAD_ARGUMENT;
    }
    std::memcpy(buffer, info.data(), info.size());
    buffer[info.size()] = '\0';
    *size = need;
    return 0;
  } catch (const std::exception &e) {
    return CaptureException("GetParamInfo", e);
  }
}

int32_t TKestrel4Engine::CaptureException(const char *operation, const std::exception &e) {
  try {
    FLastException.SetText(std::string("TKestrel4Engine.") + operation + ": " +
                           ExceptionClassName(e) + ": " + e.what());
  } catch (...) {
    // The result code alone has to do.
  }
  return CE_ERR_EXCEPTION;
}

bool TKestrel4Engine::ReadKeyAccessSettings(TKeyAccessSettings &settings) const {
  // Key time-outs: empty reads as 0, anything else must be an integer.
  const auto readTimeOut = [this](int32_t index, int32_t &seconds) {
    const std::string &value = ParamValue(index);
    if (value.empty()) {
      seconds = 0;
      return true;
    }
    return TryStrToInt(value, seconds);
  };
  if (!readTimeOut(kParamKeyRequestTimeOut, settings.LifeTime) ||
      !readTimeOut(kParamLastOperationKeyTimeOut, settings.IdleTime))
    return false;

  const std::string reset = UpperCaseAscii(TrimControl(ParamValue(kParamResetKeyOnStart)));
  settings.ResetOnStart = reset != "NO" && reset != NoText();

  int32_t wait = 0;
  const std::string &waitText = ParamValue(kParamTMWindowTimeOut);
  settings.WaitTimeOut =
      !waitText.empty() && TryStrToInt(waitText, wait) && wait >= 0 ? wait : kDefaultWaitTimeOut;
  return true;
}

bool TKestrel4Engine::ReadUse0SlotForVerify() const {
  const std::string &value = ParamValue(kParamUse0SlotForVerify);
  return value == "Yes" || value == YesText();
}
