// Byte helpers of the provider: little-endian fields, bounded reading of
// untrusted input, and buffers for secrets that are wiped when released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel_provider {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Overwrites memory in a way the compiler may not drop.
inline void Wipe(void *data, std::size_t length) {
  volatile auto *p = static_cast<volatile std::uint8_t *>(data);
  while (length-- > 0)
    *p++ = 0;
}

// A fixed-size secret (a private scalar or a symmetric key), wiped on
// destruction and on assignment.
template <std::size_t N> class Secret {
public:
  Secret() { bytes_.fill(0); }
  explicit Secret(ByteView source) {
    bytes_.fill(0);
    std::memcpy(bytes_.data(), source.data(), source.size() < N ? source.size() : N);
  }
  Secret(const Secret &other) : bytes_(other.bytes_) {}
  Secret &operator=(const Secret &other) {
    if (this != &other)
      bytes_ = other.bytes_;
    return *this;
  }
  ~Secret() { Wipe(bytes_.data(), N); }
  std::uint8_t *data() { return bytes_.data(); }
  const std::uint8_t *data() const { return bytes_.data(); }
  static constexpr std::size_t size() { return N; }
  ByteView view() const { return {bytes_.data(), N}; }
  bool operator==(const Secret &other) const { return bytes_ == other.bytes_; }

private:
  std::array<std::uint8_t, N> bytes_;
};

using Key256 = Secret<32>;

// A growable buffer that wipes itself when destroyed (plaintexts, key files).
class SecretBuffer {
public:
  SecretBuffer() = default;
  explicit SecretBuffer(std::size_t size) : bytes_(size) {}
  SecretBuffer(const SecretBuffer &) = delete;
  SecretBuffer &operator=(const SecretBuffer &) = delete;
  ~SecretBuffer() { Wipe(bytes_.data(), bytes_.size()); }
  Bytes &bytes() { return bytes_; }
  const Bytes &bytes() const { return bytes_; }

private:
  Bytes bytes_;
};

inline void PutU16(std::uint8_t *p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutU64(std::uint8_t *p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t GetU16(const std::uint8_t *p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t *p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

// Copies a text into a fixed field, padding with NULs; the text must fit.
inline void PutText(std::uint8_t *field, std::size_t fieldSize, std::string_view text) {
  std::memset(field, 0, fieldSize);
  std::memcpy(field, text.data(), text.size() < fieldSize ? text.size() : fieldSize);
}

// The text of a fixed field up to its first NUL.
inline std::string GetText(const std::uint8_t *field, std::size_t fieldSize) {
  std::size_t n = 0;
  while (n < fieldSize && field[n] != 0)
    ++n;
  return std::string(reinterpret_cast<const char *>(field), n);
}

inline bool AllZero(const std::uint8_t *p, std::size_t n) {
  std::uint8_t acc = 0;
  for (std::size_t i = 0; i < n; ++i)
    acc |= p[i];
  return acc == 0;
}

// Comparison whose time does not depend on where the inputs differ.
inline bool ConstantTimeEqual(const std::uint8_t *a, const std::uint8_t *b, std::size_t n) {
  std::uint8_t acc = 0;
  for (std::size_t i = 0; i < n; ++i)
    acc |= static_cast<std::uint8_t>(a[i] ^ b[i]);
  return acc == 0;
}

} // namespace kestrel_provider
