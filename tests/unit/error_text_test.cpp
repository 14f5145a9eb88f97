// Texts of the binding's result codes as the host receives them.
#include "kestrel/kestrel_dll.h"
#include "platform/cp1251.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct TExpected {
  int32_t Code;
  const char *Utf8;
};

const TExpected kExpected[] = {
    {-1, "Library not initialized"},
    {-2, "Passed invalid parameters"},
    {-3, "An exception while calling DLL function!"},
    {-4, "Bad signatures count"},
    {-5, "Can't open key file"},
    {-6, "Ошибка при работе с драйвером ключей"},
    {-7, "Недостаточно памяти"},
    {-8, "Не найден заданный файл открытого ключа"},
    {-9, "Не найден каталог открытых ключей"},
    {-10, "Ошибка в формате UID(ов), UID(ы) не задан(ы), либо его(их) невозможно определить."},
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
    {132, "Справочник открытых ключей старше последней известной версии"},
    {133, "Справочник открытых ключей переполнен"},
    {134, "Справочник открытых ключей занят другим процессом"},
    {1001, "Подпись не верна"},
    {1002, "Не найден открытый ключ"},
};

std::string TextOf(int32_t code, int32_t size = 255) {
  std::string buffer(static_cast<std::size_t>(size), 'x');
  TKestrelDLL::GetErrorText(buffer.data(), size, code);
  return std::string(buffer.c_str());
}

TEST(ErrorText, EveryListedCodeGivesItsTextInWindows1251) {
  for (const auto &expected : kExpected)
    EXPECT_EQ(TextOf(expected.Code), platform::Utf8ToCp1251(expected.Utf8)) << expected.Code;
  EXPECT_EQ(TextOf(128), platform::Utf8ToCp1251("Не найден файл справочника."));
  // "Недостаточно памяти": one byte per character at the boundary.
  EXPECT_EQ(TextOf(-7).size(), 19u);
}

TEST(ErrorText, CodesWithoutATextGetTheGenericText) {
  std::vector<int32_t> gaps = {5, 9, 28, -11, -12, 1000, 1003, 65535, -2147483647 - 1};
  for (int32_t code = 13; code <= 20; ++code)
    gaps.push_back(code);
  for (int32_t code = 40; code <= 100; ++code)
    gaps.push_back(code);
  for (int32_t code = 135; code <= 1000; ++code)
    gaps.push_back(code);
  for (const int32_t code : gaps)
    EXPECT_EQ(TextOf(code), "Kestrel error code: " + std::to_string(code)) << code;
  EXPECT_EQ(TextOf(-11), "Kestrel error code: -11");
}

TEST(ErrorText, BufferIsZeroFilledAndTheTextCutToFit) {
  std::array<char, 16> buffer;
  buffer.fill('x');
  TKestrelDLL::GetErrorText(buffer.data(), 10, -1); // "Library not initialized"
  EXPECT_EQ(std::string(buffer.data(), 10), std::string("Library n") + '\0');
  EXPECT_EQ(std::string(buffer.data() + 10, 6), "xxxxxx");

  buffer.fill('x');
  TKestrelDLL::GetErrorText(buffer.data(), 16, -4); // "Bad signatures count"
  EXPECT_EQ(std::string(buffer.data(), 16), std::string("Bad signatures ") + '\0');

  buffer.fill('x');
  TKestrelDLL::GetErrorText(buffer.data(), 1, -4);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x');

  std::string large(64, 'x');
  TKestrelDLL::GetErrorText(large.data(), 64, 1001);
  const std::string text = platform::Utf8ToCp1251("Подпись не верна");
  EXPECT_EQ(large, text + std::string(64 - text.size(), '\0'));
}

TEST(ErrorText, CodeZeroOrNoRoomLeavesTheBufferUntouched) {
  std::array<char, 8> buffer;
  buffer.fill('x');
  TKestrelDLL::GetErrorText(buffer.data(), 8, 0);
  TKestrelDLL::GetErrorText(buffer.data(), 0, -1);
  TKestrelDLL::GetErrorText(buffer.data(), -5, -1);
  TKestrelDLL::GetErrorText(nullptr, 8, -1);
  EXPECT_EQ(std::string(buffer.data(), 8), "xxxxxxxx");
}

} // namespace
