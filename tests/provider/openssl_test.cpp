// Interoperability: a detached signature made by the library verifies with
// an independent implementation, OpenSSL 3 with the GOST engine.
#include "provider_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif
#include <fstream>

using namespace provider_test;

namespace {

#if !defined(_WIN32)

bool GostEngineAvailable() { return std::system("openssl engine gost -t > /dev/null 2>&1") == 0; }

// SubjectPublicKeyInfo of a GOST R 34.10-2012 256-bit key on tc26 set A:
// the algorithm 1.2.643.7.1.1.1.1 with the curve 1.2.643.7.1.2.1.1.1, and
// the key as an OCTET STRING of x and y, little-endian.
Bytes PublicKeyDer(const std::uint8_t *key) {
  Bytes der = FromHex("305e301706082a85030701010101300b06092a8503070102010101034300"
                      "0440");
  der.insert(der.end(), key, key + 64);
  return der;
}

int OpenSslVerify(const TempDir &tmp, const Bytes &publicDer, const Bytes &signature,
                  const Bytes &data) {
  WriteFile(tmp.File("pub.der"), publicDer);
  WriteFile(tmp.File("sig.bin"), signature);
  WriteFile(tmp.File("data.bin"), data);
  const std::string command = "openssl dgst -engine gost -md_gost12_256 -keyform DER -verify \"" +
                              tmp.File("pub.der") + "\" -signature \"" + tmp.File("sig.bin") +
                              "\" \"" + tmp.File("data.bin") + "\" > \"" + tmp.File("openssl.txt") +
                              "\" 2>&1";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(ProviderInterop, LibrarySignatureVerifiesWithOpenSslGostEngine) {
  if (!GostEngineAvailable())
    GTEST_SKIP() << "OpenSSL GOST engine not available";
  TempDir tmp;
  Library lib(LibraryPath(4));
  ASSERT_NE(lib.handle, nullptr);
  const auto keys =
      MakeKeyDevice(tmp.File("dev"), tmp.File("pub"), kestrel_provider::Generation::G4, "0017");
  ASSERT_EQ(lib.InitKey(tmp.File("dev").c_str(), ""), 0);

  Bytes data(1024);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 13 + 5);
  std::array<std::uint8_t, 255> signature{};
  int32_t length = 0;
  ASSERT_EQ(lib.SignMemSeparateEx(data.data(), static_cast<int32_t>(data.size()), &length,
                                  keys.signature.id.c_str(), signature.data()),
            0);
  ASSERT_EQ(length, 84);
  // The signature value (s || r) sits after the 20-byte header; the key in
  // the public key block after its 24-byte header.
  const Bytes value(signature.begin() + 20, signature.begin() + 84);
  const Bytes publicBlock = ReadFile(tmp.File("pub") + "/" + keys.signature.id + ".pub");
  ASSERT_EQ(publicBlock.size(), 240u);
  const Bytes der = PublicKeyDer(publicBlock.data() + 24);

  // What is signed, as docs/provider.md lays it out: the label and its NUL,
  // the data, its length (8 bytes, little-endian), the signature's first 20
  // bytes.
  const std::string label = "kestrel detached signature";
  Bytes encoding(label.size() + 1 + data.size() + 8 + 20, 0);
  auto out = std::copy(label.begin(), label.end(), encoding.begin()) + 1;
  out = std::copy(data.begin(), data.end(), out);
  for (int i = 0; i < 8; ++i)
    *out++ = static_cast<std::uint8_t>(data.size() >> (8 * i));
  std::copy(signature.begin(), signature.begin() + 20, out);

  EXPECT_EQ(OpenSslVerify(tmp, der, value, encoding), 0)
      << ReadFile(tmp.File("openssl.txt")).data();
  EXPECT_NE(OpenSslVerify(tmp, der, value, data), 0) << "the bare data is not what is signed";
  encoding[100] ^= 1;
  EXPECT_NE(OpenSslVerify(tmp, der, value, encoding), 0);
}

#endif

} // namespace
