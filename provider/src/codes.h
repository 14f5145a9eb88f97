// The provider's result codes (16-bit; 0 is success). Each is used in the
// sense of its text in the library's code table.
#pragma once

#include <cstdint>

namespace kestrel_provider {

using Code = std::uint16_t;

namespace code {
constexpr Code kOk = 0;
constexpr Code kNoMemory = 1;            // not enough dynamic memory
constexpr Code kCryptoFailure = 2;       // cryptographic function failed
constexpr Code kRandomFailure = 3;       // random number generator failed
constexpr Code kBadMac = 4;              // MAC mismatch: block corrupted
constexpr Code kKeyNotFound = 6;         // key not found or corrupted
constexpr Code kBadParameter = 7;        // bad argument
constexpr Code kInitFailure = 8;         // initialisation failed
constexpr Code kBadLength = 10;          // bad length of a memory block
constexpr Code kNotEncrypted = 11;       // block is not encrypted
constexpr Code kNotSigned = 12;          // block carries no signature
constexpr Code kOpenInput = 21;          // cannot open the input file
constexpr Code kOpenOutput = 22;         // cannot open the output file
constexpr Code kWriteFile = 23;          // cannot write a file
constexpr Code kReadFile = 24;           // cannot read a file
constexpr Code kBadFileLength = 26;      // bad (for example zero) file length
constexpr Code kDeviceError = 36;        // removable key device absent or unreadable
constexpr Code kKeyAlreadyLoaded = 37;   // the key is already in the driver
constexpr Code kNoFreeSlot = 38;         // no free slot in the driver
constexpr Code kKeyNumberMismatch = 101; // loaded key is not the key named
constexpr Code kDirectoryRead = 108;     // cannot read the public key directory
constexpr Code kDirectoryWrite = 109;    // cannot write the public key directory
constexpr Code kWrongMac = 111;          // wrong MAC on a directory entry
constexpr Code kKeyCompromised = 112;    // public key compromised (under two identifiers)
constexpr Code kNoPublicKey = 117;       // key absent from the directory
constexpr Code kDirectoryLength = 118;   // directory file of a wrong length
constexpr Code kBadKeyHeader = 121;      // public key block header corrupted
constexpr Code kNoDirectory = 122;       // public key directory not found
constexpr Code kBadMacHeader = 124;      // directory header corrupted
constexpr Code kMissingMac = 125;        // directory entry without a MAC
constexpr Code kNoDirectoryFile = 128;   // directory file gone where the owner's device knows one
constexpr Code kBadKey = 129;            // the block is not meant for any loaded key
constexpr Code kOtherSeriesMac = 131;    // directory protected by a key not loaded here

// The public key directory of this library.
constexpr Code kDirectoryRolledBack = 132; // older than a version the owner's device has seen
constexpr Code kDirectoryFull = 133;       // an update would pass what readers take
constexpr Code kDirectoryBusy = 134;       // another process holds the lock too long
} // namespace code

} // namespace kestrel_provider
