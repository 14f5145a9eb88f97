// Exception texts: the class name of a caught exception, and the exception
// raised when a precondition of the module's own code is violated.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

// The readable C++ type name of an exception object, e.g. "std::bad_alloc".
std::string ExceptionClassName(const std::exception &e);

// A violated precondition: a programming error in the caller, not a failure
// of the environment.
class EAssertionFailed : public std::logic_error {
public:
  explicit EAssertionFailed(const std::string &message) : std::logic_error(message) {}
};

// Raises EAssertionFailed naming the failed condition and where it was tested.
[[noreturn]] void RaiseAssertionFailed(const char *condition, const char *file, int line);

// Checks a precondition; raises EAssertionFailed when it does not hold.
#define CE_ASSERT(condition)                                                                       \
  ((condition) ? static_cast<void>(0) : RaiseAssertionFailed(#condition, __FILE__, __LINE__))
