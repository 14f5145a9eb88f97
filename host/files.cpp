#include "host/files.h"

#include "host/profile.h"
#include "platform/cp1251.h"
#include "platform/platform.h"

namespace cehost {

std::string ModuleText(const std::string &utf8, const std::string &what) {
  std::string cp1251 = platform::Utf8ToCp1251(utf8);
  // Exact only when the text comes back unchanged: a character without a
  // Windows-1251 form (or a byte that is not UTF-8) would have become '?'.
  if (platform::Cp1251ToUtf8(cp1251) != utf8)
    throw Failure(kExitUsage, what + " \"" + utf8 +
                                  "\" has characters the module cannot take (it reads names in "
                                  "Windows-1251: Latin, Cyrillic, digits, common signs); rename "
                                  "it or use another path");
  return cp1251;
}

} // namespace cehost
