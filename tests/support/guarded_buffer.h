// A host buffer that ends exactly where an inaccessible page begins, so a
// write (or read) of even one byte past its end faults at once instead of
// corrupting memory silently.
//
//   cetest::GuardedBuffer buffer(static_cast<std::size_t>(GetMaxUIDLength(engine)));
//   GetCurrentUserUID(engine, buffer.Chars());  // a byte too many crashes the test
#pragma once

#include <cstddef>
#include <string>

namespace cetest {

class GuardedBuffer {
public:
  // size bytes, each set to fill, followed by the guard page. A size of 0
  // gives a pointer to the guard page itself.
  explicit GuardedBuffer(std::size_t size, unsigned char fill = 0xA5);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer &) = delete;
  GuardedBuffer &operator=(const GuardedBuffer &) = delete;

  void *Data() const { return data_; }
  char *Chars() const { return static_cast<char *>(data_); }
  std::size_t Size() const { return size_; }
  // The first count bytes (all of them by default) as a string.
  std::string Bytes(std::size_t count = static_cast<std::size_t>(-1)) const;
  // True when every byte still holds the fill.
  bool Untouched() const;

private:
  void *mapping_ = nullptr; // the accessible pages and the guard page
  std::size_t mapped_ = 0;
  void *data_ = nullptr;
  std::size_t size_ = 0;
  unsigned char fill_;
};

} // namespace cetest
