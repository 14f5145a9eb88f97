// How the binding's wrappers hand their arguments to the library's entry
// points, one way for each kind (results come back through kestrel::Widen):
// - a text: NUL-terminated Windows-1251, as the engine already holds it, by
//   c_str(); the library takes no wide strings;
// - a text the library reads up to a double NUL: DoubleTerminated;
// - a memory block: a pointer and a 32-bit length of at least one byte
//   (IsBlock); a block the library rewrites in place passes its length by
//   pointer, and the library's new length lands there directly;
// - a record the library fills or reads whole (the public key block):
//   a buffer of RecordSize bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// The text, cut to at most maxLength characters, followed by one extra NUL
// (c_str() adds the second).
inline std::string DoubleTerminated(std::string_view text,
                                    std::size_t maxLength = std::string_view::npos) {
  std::string argument(text.substr(0, maxLength));
  argument.push_back('\0');
  return argument;
}

// A block the library reads: a pointer and at least one byte.
inline bool IsBlock(const void *data, std::int32_t length) {
  return data != nullptr && length >= 1;
}
// A block the library rewrites in place, its length passed by pointer.
inline bool IsBlock(const void *data, const std::int32_t *length) {
  return length != nullptr && IsBlock(data, *length);
}

// A record size the library's generation gives, as a buffer size.
inline std::size_t RecordSize(std::int32_t size) {
  return size > 0 ? static_cast<std::size_t>(size) : 0;
}

} // namespace kestrel
