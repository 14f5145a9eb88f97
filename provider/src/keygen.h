// Making a user's key pair: the encryption key NNNN+SSSSSS and the
// signature key NNNN+SSSSSS+"01", with their public key blocks.
#pragma once

#include "formats.h"

namespace kestrel_provider {

struct GeneratedKeys {
  SecretKeyFile encryption;
  SecretKeyFile signature;
  Bytes encryptionPublic; // public key blocks of the generation, each signed by its key
  Bytes signaturePublic;
};

// number: four digits; series: six digits. Throws std::invalid_argument
// for anything else.
GeneratedKeys GenerateKeys(Generation generation, std::string_view number, std::string_view series);

} // namespace kestrel_provider
