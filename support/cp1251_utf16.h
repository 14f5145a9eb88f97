// Windows-1251 texts as UTF-16, for the operations that take wide strings.
#pragma once

#include <string>
#include <string_view>

std::u16string Cp1251ToUtf16(std::string_view cp1251);
