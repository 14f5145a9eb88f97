// The engine's texts for result codes: its own codes from its table, every
// other code from the library binding.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"

#include "platform/cp1251.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace {

constexpr std::string_view kExceptionText = "An exception in the function. ";

struct TCodeText {
  int32_t Code;
  std::string_view Text; // UTF-8 source form
};

// The engine's own codes; CE_ERR_EXCEPTION's text is built from the last
// exception text.
constexpr TCodeText kEngineTexts[] = {
    {CE_ERR_BAD_ARGUMENT, "Null pointer or incorrect data size (buffer) passed to the function!"},
    {CE_ERR_BAD_ABONENTS, "Encoding abonent(s) isn't set or set incorrect."},
    {CE_ERR_LIBRARY_NOT_INITIALIZED, "Library not initialized"},
    {CE_ERR_STRING_LENGTH, "String length check error"},
    {CE_ERR_INVALID_SETTINGS, "Invalid settings"},
    {CE_ERR_SIGN_UID_LENGTH, "Invalid sign UID length for transfer to encode UID"},
    {CE_ERR_FILE_OPERATION, "File Operation Error"},
    {CE_ERR_TIMEOUT_SETTINGS, "Incorrect (not numeric) Time Out Settings!"},
    {CE_ERR_ENCODE_UID_SETTINGS, "Incorrect settings for \"Encode UID\" parameter"},
    {CE_ERR_LOW_MEMORY, "Low memory"},
    {CE_ERR_SELF_CERTIFICATE, "Can't remove self certificate."},
    {CE_ERR_PARAM_INDEX, "Parameters index out of bounds."},
    {CE_ERR_LOAD_LIBRARY, "Невозможно загрузить библиотеку ПБЗИ kestrel.dll"},
    {CE_ERR_ENTRY_POINTS,
     "Библиотека kestrel.dll не содержит всех необходимых для корректной работы функций. "
     "Проверьте версию kestrel.dll"},
    {CE_ERR_PUBLIC_KEY_FILE, "Invalid public key file."},
    {CE_ERR_READ_PUBLIC_KEY_FILE, "Unable to read public key file."},
};

constexpr std::string_view kNoLibraryText =
    "Невозможно получить информацию об ошибке. Криптоядро не проинициализировано.";

const std::unordered_map<int32_t, std::string> &EngineTexts() {
  static const std::unordered_map<int32_t, std::string> texts = [] {
    std::unordered_map<int32_t, std::string> map;
    for (const auto &entry : kEngineTexts)
      map.emplace(entry.Code, platform::Utf8ToCp1251(entry.Text));
    return map;
  }();
  return texts;
}

const std::string &NoLibraryText() {
  static const std::string text = platform::Utf8ToCp1251(kNoLibraryText);
  return text;
}

} // namespace

void TKestrel4Engine::GetCryptoErrorString(int32_t code, char *buffer) {
  // The host's buffer holds GetMaxErrorStringLength bytes; it cannot tell more.
  const int32_t size = ClearErrorTextBuffer(buffer);
  if (size == 0)
    return;
  try {
    if (code == CE_ERR_EXCEPTION) {
      CopyErrorText(std::string(kExceptionText) + FLastException.GetText(), buffer, size);
      return;
    }
    const auto &texts = EngineTexts();
    if (const auto found = texts.find(code); found != texts.end()) {
      CopyErrorText(found->second, buffer, size);
      return;
    }
    bool connected = false;
    (void)WithBinding("GetCryptoErrorString", [&](TKestrelDLL &) {
      connected = true;
      TKestrelDLL::GetErrorText(buffer, size, code);
      return CE_OK;
    });
    if (!connected)
      CopyErrorText(NoLibraryText(), buffer, size);
  } catch (...) {
    // A text request never fails: the buffer keeps what was written so far.
  }
}
