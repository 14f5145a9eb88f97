// Windows-1251, the code page of every text that crosses the module boundary.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 to Windows-1251. A character that has no Windows-1251 form becomes '?'.
std::string Utf8ToCp1251(std::string_view utf8);
// Windows-1251 to UTF-8 (every byte has a form).
std::string Cp1251ToUtf8(std::string_view cp1251);
// Upper case of one Windows-1251 character, Latin and Cyrillic letters alike.
char Cp1251Upper(char c);

} // namespace platform
