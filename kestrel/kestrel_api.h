// What the module requires of kestrel.dll: the 32 entry points (looked up by
// name, stdcall on 32-bit Windows, 16-bit results) and the record layouts it
// reads. The library itself is an outside component loaded at run time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(_WIN32)
#define KESTREL_STDCALL __stdcall
#else
#define KESTREL_STDCALL
#endif

namespace kestrel {

using Result = std::uint16_t;
// A library result as the binding returns it: widened without sign.
inline int32_t Widen(Result result) { return static_cast<int32_t>(result); }

// One record of the key driver's slot table, as the module uses it.
struct TDriverSlotInfo {
  char Num[11];          // encryption key number, 10 characters + NUL; empty when none
  char NumP[13];         // signature key number, 12 characters + NUL; empty when none
  std::int32_t SlotInfo; // not interpreted by the module
  std::int32_t SlotNo;   // driver slot that holds these keys
};
static_assert(sizeof(TDriverSlotInfo) == 32);
static_assert(offsetof(TDriverSlotInfo, Num) == 0);
static_assert(offsetof(TDriverSlotInfo, NumP) == 11);
static_assert(offsetof(TDriverSlotInfo, SlotInfo) == 24);
static_assert(offsetof(TDriverSlotInfo, SlotNo) == 28);

// Generation 5 writes SlotInfo as 16 bits at offset 24, followed by 2 spare bytes.
struct TDriverSlotInfo5 {
  char Num[11];
  char NumP[13];
  std::uint16_t SlotInfo;
  std::uint8_t Spare[2];
  std::int32_t SlotNo;
};
static_assert(sizeof(TDriverSlotInfo5) == 32);
static_assert(offsetof(TDriverSlotInfo5, SlotInfo) == 24);
static_assert(offsetof(TDriverSlotInfo5, SlotNo) == 28);

constexpr int kMaxDriverSlots = 16;
constexpr std::size_t kSlotTableBytes = kMaxDriverSlots * sizeof(TDriverSlotInfo);
static_assert(kSlotTableBytes == 512);

// Signature status record: the signer's 12-character key number in its first
// 12 bytes and the verdict at byte 135 (0 = valid).
constexpr std::size_t kStatusSignerLength = 12;
constexpr std::size_t kStatusVerdictOffset = 135;
constexpr std::size_t kStatusRecordSize = 136;

// Entry-point types, in the order of the binding's table.
using PInitKey = Result(KESTREL_STDCALL *)(const char *keyPath, const char *reserved);
using PResetKeyEx = Result(KESTREL_STDCALL *)(const char *keyNumber, std::int32_t mode);
using PGetDrvInfo = Result(KESTREL_STDCALL *)(void *table, std::int32_t *count);
using PFreeMemory = Result(KESTREL_STDCALL *)(void *memory);
using PSignInit = Result(KESTREL_STDCALL *)(const char *secretPath, const char *publicDir);
using PSignDone = Result(KESTREL_STDCALL *)();
using PSignLogIn = Result(KESTREL_STDCALL *)(const char *keyNumber);
using PSignLogOut = Result(KESTREL_STDCALL *)();
using PDelSign = Result(KESTREL_STDCALL *)(const char *fileName, std::int32_t count);
using PSignFile = Result(KESTREL_STDCALL *)(const char *inFile, const char *outFile,
                                            const char *keyNumber);
using Pcheck_file_sign = Result(KESTREL_STDCALL *)(const char *fileName, std::uint8_t *count,
                                                   void **status);
using PSignMem = Result(KESTREL_STDCALL *)(void *block, std::int32_t *length);
using PSignMemEx = Result(KESTREL_STDCALL *)(void *block, std::int32_t *length,
                                             const char *keyNumber);
using Pcheck_mem_sign = Result(KESTREL_STDCALL *)(const void *block, std::int32_t length,
                                                  std::uint8_t *count, void **status);
using PDel_Mem_Sign = Result(KESTREL_STDCALL *)(void *block, std::int32_t *length,
                                                std::int32_t count);
using PSignMemSeparate = Result(KESTREL_STDCALL *)(const void *data, std::int32_t length,
                                                   std::int32_t *signatureLength, void *signature);
using PSignMemSeparateEx = Result(KESTREL_STDCALL *)(const void *data, std::int32_t length,
                                                     std::int32_t *signatureLength,
                                                     const char *keyNumber, void *signature);
using PCheckMemSeparate = Result(KESTREL_STDCALL *)(const void *data, std::int32_t length,
                                                    std::int32_t signatureLength,
                                                    std::uint8_t *count, void **status,
                                                    const void *signature);
using PCryptoInit = Result(KESTREL_STDCALL *)(const char *secretPath, const char *publicDir);
using PCryptoDone = Result(KESTREL_STDCALL *)();
using PEnCryptFile = Result(KESTREL_STDCALL *)(const char *inFile, const char *outFile,
                                               std::uint16_t ownKey,
                                               const std::uint16_t *recipients,
                                               const char *keySerial);
using PDeCryptFile = Result(KESTREL_STDCALL *)(const char *inFile, const char *outFile,
                                               std::uint16_t ownKey);
using PGetCryptKeysF = Result(KESTREL_STDCALL *)(const char *fileName, std::uint16_t *recipients,
                                                 std::int32_t *count);
using PGetCryptKeysM = Result(KESTREL_STDCALL *)(const void *block, std::int32_t length,
                                                 std::uint16_t *recipients, std::int32_t *count);
using PDeCryptMem = Result(KESTREL_STDCALL *)(void *block, std::int32_t *length,
                                              std::uint16_t ownKey);
using PEnCryptMem = Result(KESTREL_STDCALL *)(const void *input, std::int32_t length, void *output,
                                              std::uint16_t ownKey, const std::uint16_t *recipients,
                                              const char *keySerial);
using PGetFileSenderID = Result(KESTREL_STDCALL *)(const char *fileName, char *sender);
using PGetMemSenderID = Result(KESTREL_STDCALL *)(const void *block, std::int32_t length,
                                                  char *sender);
using PAddOpenKey = Result(KESTREL_STDCALL *)(const char *directory, const void *keyBlock,
                                              const char *ownerKeyNumber, char kind);
using PGetAlias = Result(KESTREL_STDCALL *)(const char *keyNumber, char *alias);
using PExtractKey = Result(KESTREL_STDCALL *)(const char *directory, const char *keyNumber,
                                              void *keyBlock);
using PDelOpenKey = Result(KESTREL_STDCALL *)(const char *directory, const char *keyNumber,
                                              const char *ownerKeyNumber, char kind);

// The 32 names in the order they are looked up.
inline constexpr std::array<std::string_view, 32> kEntryPointNames = {
    "InitKey",         "ResetKeyEx",        "GetDrvInfo",       "FreeMemory",     "SignInit",
    "SignDone",        "SignLogIn",         "SignLogOut",       "DelSign",        "SignFile",
    "check_file_sign", "SignMem",           "SignMemEx",        "check_mem_sign", "Del_Mem_Sign",
    "SignMemSeparate", "SignMemSeparateEx", "CheckMemSeparate", "CryptoInit",     "CryptoDone",
    "EnCryptFile",     "DeCryptFile",       "GetCryptKeysF",    "GetCryptKeysM",  "DeCryptMem",
    "EnCryptMem",      "GetFileSenderID",   "GetMemSenderID",   "AddOpenKey",     "GetAlias",
    "ExtractKey",      "DelOpenKey"};

} // namespace kestrel
