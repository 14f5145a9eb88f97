#include "support/exception_text.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <string_view>
#include <typeinfo>

std::string ExceptionClassName(const std::exception &e) {
  const char *mangled = typeid(e).name();
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  if (status == 0 && demangled != nullptr)
    return demangled.get();
  return mangled;
}

void RaiseAssertionFailed(const char *condition, const char *file, int line) {
  std::string_view name(file);
  if (const auto slash = name.find_last_of("/\\"); slash != std::string_view::npos)
    name.remove_prefix(slash + 1);
  throw EAssertionFailed("Assertion failed: " + std::string(condition) + " (" + std::string(name) +
                         ", line " + std::to_string(line) + ")");
}
