// Shared pieces of the fuzz targets: fixed users whose keys every target and
// the seed generator agree on, the public key directory those users keep,
// and a check that stops the run with a message when an invariant breaks.
#pragma once

#include "formats.h"
#include "keygen.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Every fuzz target defines this (libFuzzer's entry point); the replay driver
// calls it once for every corpus file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace cefuzz {

using kestrel_provider::Bytes;
using kestrel_provider::Generation;

// Aborts with the file, line and condition when cond is false, so libFuzzer
// and the sanitizers report it as a finding.
#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : ::cefuzz::Fail(__FILE__, __LINE__, #cond))
[[noreturn]] void Fail(const char *file, int line, const char *condition);

// The users: number "0001" has the encryption key 0001000001 and the
// signature key 000100000101. Their keys follow from the number alone.
inline constexpr std::string_view kOwner = "0001";    // owns the directory, slot 0
inline constexpr std::string_view kPeer = "0002";     // in the directory and the driver
inline constexpr std::string_view kStranger = "0003"; // known to nobody
kestrel_provider::GeneratedKeys FixedKeys(Generation generation, std::string_view number);

// The message the detached signatures of the corpus sign.
inline constexpr std::string_view kSignedMessage = "Payment order 17: 1000.00 RUB";

// A temporary folder with the public key directory of the owner (the public
// keys of owner and peer) for each generation, the owner's and the peer's
// keys loaded into the key driver. Made on first use, removed at exit.
class Environment {
public:
  static const Environment &Get();
  // The folder of the directory file of a generation.
  std::string PublicDir(Generation generation) const;
  // A scratch folder of the caller's own.
  std::string Scratch(std::string_view name) const;
  // The owner's directory key.
  const kestrel_provider::Key256 &DirectoryKey() const { return directoryKey_; }

  ~Environment();
  Environment(const Environment &) = delete;
  Environment &operator=(const Environment &) = delete;

private:
  Environment();
  std::string root_;
  kestrel_provider::Key256 directoryKey_;
};

// The public key directory file of the owner holding the given users' keys.
Bytes BuildDirectoryOf(Generation generation, std::initializer_list<std::string_view> numbers);

// A fresh temporary folder of the caller's own (in /dev/shm where there is
// one), removed with everything in it when the object goes (targets keep
// theirs in a static).
class TempFolder {
public:
  explicit TempFolder(std::string_view prefix);
  ~TempFolder();
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::string &Path() const { return path_; }

private:
  std::string path_;
};

// Replaces a scratch file without the syncing of the library's own writes
// (fast enough to run for every input).
void WriteScratchFile(const std::string &path, const std::uint8_t *data, std::size_t size);

// A text of the input up to its first NUL, as a host passes it.
std::string HostText(const std::uint8_t *data, std::size_t size);

} // namespace cefuzz
