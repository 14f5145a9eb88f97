// Texts of the binding's own result codes and of the Kestrel library's codes.
#include "kestrel/kestrel_dll.h"

#include "platform/cp1251.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace {

struct TCodeText {
  int32_t Code;
  std::string_view Text; // UTF-8 source form
};

// The binding's own codes. kBadRecipients (-11) has no text of its own.
constexpr TCodeText kBindingTexts[] = {
    {TKestrelDLL::kNotInitialized, "Library not initialized"},
    {TKestrelDLL::kInvalidParameters, "Passed invalid parameters"},
    {TKestrelDLL::kCallException, "An exception while calling DLL function!"},
    {TKestrelDLL::kBadSignaturesCount, "Bad signatures count"},
    {TKestrelDLL::kCantOpenKeyFile, "Can't open key file"},
    {TKestrelDLL::kKeyDriverError, "Ошибка при работе с драйвером ключей"},
    {TKestrelDLL::kOutOfMemory, "Недостаточно памяти"},
    {TKestrelDLL::kKeyFileNotFound, "Не найден заданный файл открытого ключа"},
    {TKestrelDLL::kDirectoryNotFound, "Не найден каталог открытых ключей"},
    {TKestrelDLL::kBadUID,
     "Ошибка в формате UID(ов), UID(ы) не задан(ы), либо его(их) невозможно определить."},
};

// Kestrel results and signature verdicts (1000 + verdict). Code 5 has no
// text in the library's list; it gets the generic text below.
constexpr TCodeText kKestrelTexts[] = {
    {1, "Не хватает динамической памяти"},
    {2, "Сбой криптографической функции или искаже-ние тела библиотеки"},
    {3, "Ошибка датчика случайных чисел"},
    {4, "Не совпадает имитовставка - файл (блок памя-ти) искажен"},
    {6, "Ключ не найден или искажен"},
    {7, "Ошибка параметра обращения к функции"},
    {8, "Ошибка инициализации"},
    {10, "Неверная длина блока памяти"},
    {11, "Попытка расшифровать незашифрованный блок памяти"},
    {12, "Попытка проверить подпись неподписанного блока памяти"},
    {21, "Ошибка открытия входного файла"},
    {22, "Ошибка открытия выходного файла"},
    {23, "Ошибка записи файла"},
    {24, "Ошибка чтения файла"},
    {25, "Ошибка переименования файла"},
    {26, "Неверная (например, нулевая) длина файла"},
    {27, "Несовпадение контрольной суммы зашифро-ванного файла"},
    {29, "Попытка расшифрования незашифрованного файла"},
    {30, "Попытка проверки подписи неподписанного файла"},
    {31, "Ошибка смещения файлового указателя"},
    {32, "Ошибка закрытия файла"},
    {33, "Ошибка удаления файла"},
    {34, "Ошибка при чтении GK"},
    {35, "Ошибка при чтении KC"},
    {36, "Ошибка при обращении к сменному ключевому устройству"},
    {37, "Попытка перезаписи ключа в драйвер KDRV"},
    {38, "В драйвере KDRV нет свободных \"слотов\""},
    {39, "Ошибка при загрузке ключа в драйвер KDRV"},
    {101, "Номер ключа NUM или NUMP не соответствует считанному из датчика случайных чисел"},
    {102, "Значение хэш-функции не совпало"},
    {103, "Ошибка при открытии файла со справочником открытых ключей"},
    {104, "Ошибка при открытии файла с имитовставками"},
    {105, "Ошибка чтения UZ"},
    {106, "Ошибка чтения CKD или CKDI"},
    {107, "Длина файла со справочником не соответствует длине файла с имитовставками"},
    {108, "Ошибка чтения файла со справочником откры-тых ключей"},
    {109, "Ошибка записи в файл со справочником откры-тых ключей"},
    {110, "Ошибка чтения файла с имитовставками"},
    {111, "Неверная имитовставка"},
    {112, "Открытый ключ скомпрометирован"},
    {113, "Ошибка при создании каталога"},
    {114, "Ошибка при создании файла *.imm, *.imp или *.spr"},
    {115, "В заданном каталоге уже есть файл *.SPR"},
    {116, "Ошибка записи в файл имитовставок"},
    {117, "В справочнике нет заданного открытого ключа"},
    {118, "Неверная длина файла *.imm, *.imp, или *.spr"},
    {119, "Ошибка открытия временного файла"},
    {120, "Справочник открытых ключей пуст"},
    {121, "Искажен заголовок открытого ключа"},
    {122, "Справочник открытых ключей не найден"},
    {123, "Открытый ключ не является резервным"},
    {124, "Искажен заголовок файла имитовставок"},
    {125, "Нет имитовставки на открытый ключ"},
    {126, "Нет имитовставки с указанным номером"},
    {127, "Ошибка при обращении к гибкому диску"},
    {128, "Не найден файл справочника."},
    {129, "Без расшифровки. Идентификатор \"ERR_BAD_KEY\""},
    {130, "Без расшифровки. Идентификатор \"ERR_PACK_BUF\""},
    {131, "Имитовставка на справочник выработана на ключе другой серии"},
    // 132 to 134: the public key directory of the project's provider.
    {132, "Справочник открытых ключей старше последней известной версии"},
    {133, "Справочник открытых ключей переполнен"},
    {134, "Справочник открытых ключей занят другим процессом"},
    {CE_SIGNATURE_WRONG, "Подпись не верна"},
    {CE_PUBLIC_KEY_NOT_FOUND, "Не найден открытый ключ"},
};

// Both tables in Windows-1251, converted once.
const std::unordered_map<int32_t, std::string> &CodeTexts() {
  static const std::unordered_map<int32_t, std::string> texts = [] {
    std::unordered_map<int32_t, std::string> map;
    for (const auto &entry : kBindingTexts)
      map.emplace(entry.Code, platform::Utf8ToCp1251(entry.Text));
    for (const auto &entry : kKestrelTexts)
      map.emplace(entry.Code, platform::Utf8ToCp1251(entry.Text));
    return map;
  }();
  return texts;
}

} // namespace

void TKestrelDLL::GetErrorText(char *buffer, int32_t size, int32_t code) {
  if (size < 1 || code == 0 || buffer == nullptr)
    return;
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  try {
    const auto &texts = CodeTexts();
    const auto found = texts.find(code);
    const std::string text =
        found != texts.end() ? found->second : "Kestrel error code: " + std::to_string(code);
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, text.data(), length);
  } catch (...) {
    // Out of memory while building the text: the buffer stays zero-filled.
  }
}
