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

constexpr int32_t kExceptionCode = -102;
constexpr std::string_view kExceptionText = "An exception in the function. ";

struct TCodeText {
  int32_t Code;
  std::string_view Text; // UTF-8 source form
};

// The engine's own codes; -102 is built from the last exception text.
constexpr TCodeText kEngineTexts[] = {
    {-2, "Null pointer or incorrect data size (buffer) passed to the function!"},
    {-11, "Encoding abonent(s) isn't set or set incorrect."},
    {-100, "Library not initialized"},
    {-103, "String length check error"},
    {-104, "Invalid settings"},
    {-105, "Invalid sign UID length for transfer to encode UID"},
    {-106, "File Operation Error"},
    {-108, "Incorrect (not numeric) Time Out Settings!"},
    {-109, "Incorrect settings for \"Encode UID\" parameter"},
    {-110, "Low memory"},
    {-111, "Can't remove self certificate."},
    {-112, "Parameters index out of bounds."},
    {-113, "Невозможно загрузить библиотеку ПБЗИ kestrel.dll"},
    {-114, "Библиотека kestrel.dll не содержит всех необходимых для корректной работы функций. "
           "Проверьте версию kestrel.dll"},
    {-115, "Invalid public key file."},
    {-116, "Unable to read public key file."},
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

// Copies at most size - 1 bytes; the buffer is already zero-filled.
void CopyText(std::string_view text, char *buffer, int32_t size) {
  std::memcpy(buffer, text.data(), std::min(text.size(), static_cast<std::size_t>(size) - 1));
}

} // namespace

void TKestrel4Engine::GetCryptoErrorString(int32_t code, char *buffer) {
  if (buffer == nullptr)
    return;
  // The host's buffer holds GetMaxErrorStringLength bytes; it cannot tell more.
  const int32_t size = GetMaxErrorStringLength();
  if (size <= 0)
    return;
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  try {
    if (code == kExceptionCode) {
      CopyText(std::string(kExceptionText) + FLastException.GetText(), buffer, size);
      return;
    }
    const auto &texts = EngineTexts();
    if (const auto found = texts.find(code); found != texts.end()) {
      CopyText(found->second, buffer, size);
      return;
    }
    bool connected = false;
    (void)WithBinding("GetCryptoErrorString", [&](TKestrelDLL &) {
      connected = true;
      TKestrelDLL::GetErrorText(buffer, size, code);
      return CE_OK;
    });
    if (!connected)
      CopyText(NoLibraryText(), buffer, size);
  } catch (...) {
    // A text request never fails: the buffer keeps what was written so far.
  }
}
