// A short fingerprint of a public key block for people to compare: the first
// 8 bytes of its SHA-256 digest, as four groups of four hexadecimal digits
// (the same digits `sha256sum` prints first for the key file).
#pragma once

#include <string>
#include <vector>

namespace cehost {

std::string Fingerprint(const std::vector<unsigned char> &block);

} // namespace cehost
