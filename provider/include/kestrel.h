/*
 * kestrel: the Kestrel 4 information-protection library (stand-in with real
 * cryptography). 32 stdcall entry points, each returning a 16-bit result:
 * 0 for success, otherwise a Kestrel error code. Strings are NUL-terminated
 * Windows-1251; paths use backslashes as on Windows.
 */
#ifndef KESTREL_H
#define KESTREL_H

#include <stdint.h>

#if defined(_WIN32)
#define KESTREL_CALL __stdcall
#if defined(KESTREL_BUILDING)
#define KESTREL_EXPORT
#else
#define KESTREL_EXPORT __declspec(dllimport)
#endif
#else
#define KESTREL_CALL
#if defined(KESTREL_BUILDING)
#define KESTREL_EXPORT __attribute__((visibility("default")))
#else
#define KESTREL_EXPORT
#endif
#endif

#define KESTREL_API KESTREL_EXPORT uint16_t KESTREL_CALL

#ifdef __cplusplus
extern "C" {
#endif

/* One record of the key driver's slot table (generation 4 layout, 32 bytes).
 * Generation 5 writes SlotInfo as a 16-bit value at offset 24 followed by
 * two unused bytes; everything else is the same. */
typedef struct KestrelSlotInfo {
  char Num[11];     /* encryption key number, 10 characters + NUL, or empty */
  char NumP[13];    /* signature key number, 12 characters + NUL, or empty */
  int32_t SlotInfo; /* generation 5: uint16_t at offset 24 + 2 spare bytes */
  int32_t SlotNo;   /* driver slot holding these keys */
} KestrelSlotInfo;

#define KESTREL_MAX_SLOTS 16
#define KESTREL_STATUS_RECORD_SIZE 136
#define KESTREL_STATUS_VERDICT_OFFSET 135

/* Signature status record: signer's 12-character key number at offset 0,
 * verdict at offset 135 (0 valid, 1 signature wrong, 2 public key not found).
 * Arrays of these come from the library and go back through FreeMemory. */
typedef struct KestrelSignStatus {
  char Signer[12];
  uint8_t Reserved[123];
  uint8_t Verdict;
} KestrelSignStatus;

/* Key driver */
KESTREL_API InitKey(const char *keyPath, const char *reserved);
KESTREL_API ResetKeyEx(const char *keyNumber, int32_t mode);
KESTREL_API GetDrvInfo(KestrelSlotInfo *table, int32_t *count);
KESTREL_API FreeMemory(void *memory);

/* Signature work */
KESTREL_API SignInit(const char *secretPath, const char *publicDir);
KESTREL_API SignDone(void);
KESTREL_API SignLogIn(const char *keyNumber);
KESTREL_API SignLogOut(void);
KESTREL_API DelSign(const char *fileName, int32_t count);
KESTREL_API SignFile(const char *inFile, const char *outFile, const char *keyNumber);
KESTREL_API check_file_sign(const char *fileName, uint8_t *count, KestrelSignStatus **status);
KESTREL_API SignMem(void *block, int32_t *length);
KESTREL_API SignMemEx(void *block, int32_t *length, const char *keyNumber);
KESTREL_API check_mem_sign(const void *block, int32_t length, uint8_t *count,
                           KestrelSignStatus **status);
KESTREL_API Del_Mem_Sign(void *block, int32_t *length, int32_t count);
KESTREL_API SignMemSeparate(const void *data, int32_t length, int32_t *signatureLength,
                            void *signature);
KESTREL_API SignMemSeparateEx(const void *data, int32_t length, int32_t *signatureLength,
                              const char *keyNumber, void *signature);
KESTREL_API CheckMemSeparate(const void *data, int32_t length, int32_t signatureLength,
                             uint8_t *count, KestrelSignStatus **status, const void *signature);

/* Encryption work */
KESTREL_API CryptoInit(const char *secretPath, const char *publicDir);
KESTREL_API CryptoDone(void);
KESTREL_API EnCryptFile(const char *inFile, const char *outFile, uint16_t ownKey,
                        const uint16_t *recipients, const char *keySerial);
KESTREL_API DeCryptFile(const char *inFile, const char *outFile, uint16_t ownKey);
KESTREL_API GetCryptKeysF(const char *fileName, uint16_t *recipients, int32_t *count);
KESTREL_API GetCryptKeysM(const void *block, int32_t length, uint16_t *recipients,
                          int32_t *count);
KESTREL_API DeCryptMem(void *block, int32_t *length, uint16_t ownKey);
KESTREL_API EnCryptMem(const void *input, int32_t length, void *output, uint16_t ownKey,
                       const uint16_t *recipients, const char *keySerial);
KESTREL_API GetFileSenderID(const char *fileName, char *sender);
KESTREL_API GetMemSenderID(const void *block, int32_t length, char *sender);

/* Public key directory */
KESTREL_API AddOpenKey(const char *directory, const void *keyBlock, const char *ownerKeyNumber,
                       char kind);
KESTREL_API GetAlias(const char *keyNumber, char *alias);
KESTREL_API ExtractKey(const char *directory, const char *keyNumber, void *keyBlock);
KESTREL_API DelOpenKey(const char *directory, const char *keyNumber, const char *ownerKeyNumber,
                       char kind);

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_H */
