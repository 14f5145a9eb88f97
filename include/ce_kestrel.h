/*
 * ce_kestrel: crypto engine module driving the Kestrel 4 protection library.
 *
 * Public C interface for host applications. Every export takes the engine
 * handle returned by GetCryptObj as its first argument (except GetCryptObj
 * itself). Texts are NUL-terminated Windows-1251 strings; buffers belong to
 * the host and are sized with the GetMax... queries.
 *
 * On 32-bit Windows every export is stdcall with an undecorated name and a
 * fixed ordinal (1..75, see CE_ORD_* below).
 */
#ifndef CE_KESTREL_H
#define CE_KESTREL_H

#include <stdint.h>

#if defined(_WIN32)
#define CE_STDCALL __stdcall
#if defined(CE_KESTREL_BUILDING)
#define CE_EXPORT
#else
#define CE_EXPORT __declspec(dllimport)
#endif
#else
#define CE_STDCALL
#if defined(CE_KESTREL_BUILDING)
#define CE_EXPORT __attribute__((visibility("default")))
#else
#define CE_EXPORT
#endif
#endif

#define CE_API(type) CE_EXPORT type CE_STDCALL

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque engine handle: the address of the engine object. */
typedef void *CE_HANDLE;

/* A value passed through untouched ("val" arguments); pointer-sized so a
 * 64-bit host may pass addresses. It is 32 bits wide on 32-bit Windows. */
typedef intptr_t CE_VAL;

/* Key-device request function: called with 0 when the module starts waiting
 * for the key device and with 1 when that wait ends. */
typedef void(CE_STDCALL *CE_TM_REQUEST_FUNC)(int32_t state);

/* Password request function: stored only, never called by this module. */
typedef void(CE_STDCALL *CE_PASSWORD_REQUEST_FUNC)(void);

/* Result codes of the engine (texts via GetCryptoErrorString). */
enum {
  CE_OK = 0,
  CE_ERR_NOT_SUPPORTED = -1, /* also the binding's "Library not initialized" */
  CE_ERR_BAD_ARGUMENT = -2,
  CE_ERR_BAD_ABONENTS = -11,
  CE_ERR_LIBRARY_NOT_INITIALIZED = -100,
  CE_ERR_EXCEPTION = -102,
  CE_ERR_STRING_LENGTH = -103,
  CE_ERR_INVALID_SETTINGS = -104,
  CE_ERR_SIGN_UID_LENGTH = -105,
  CE_ERR_FILE_OPERATION = -106,
  CE_ERR_TIMEOUT_SETTINGS = -108,
  CE_ERR_ENCODE_UID_SETTINGS = -109,
  CE_ERR_LOW_MEMORY = -110,
  CE_ERR_SELF_CERTIFICATE = -111,
  CE_ERR_PARAM_INDEX = -112,
  CE_ERR_LOAD_LIBRARY = -113,
  CE_ERR_ENTRY_POINTS = -114,
  CE_ERR_PUBLIC_KEY_FILE = -115,
  CE_ERR_READ_PUBLIC_KEY_FILE = -116,
  /* Binding codes -1..-10 and library codes 1..131 pass through; a signature
   * that does not check out gives 1000 + verdict. */
  CE_SIGNATURE_WRONG = 1001,
  CE_PUBLIC_KEY_NOT_FOUND = 1002
};

/* Parameter kinds reported by GetParamInfo. */
enum {
  CE_PARAM_INTEGER = 1,
  CE_PARAM_TEXT = 2,
  CE_PARAM_SWITCH = 3,
  CE_PARAM_RECIPIENTS = 4,
  CE_PARAM_PATH = 11
};

/* Lifecycle */
CE_API(CE_HANDLE) GetCryptObj(int32_t reserved);                                    /* 1 */
CE_API(void) DoneEngine(CE_HANDLE engine);                                          /* 2 */

/* Size and count queries: a byte or item count, -1 on failure */
CE_API(int32_t) GetMaxEncodeAddition(CE_HANDLE engine);                             /* 3 */
CE_API(int32_t) GetMaxSignatureLength(CE_HANDLE engine);                            /* 4 */
CE_API(int32_t) GetMaxUIDLength(CE_HANDLE engine);                                  /* 5 */
CE_API(int32_t) GetMaxCryptoParamNameLength(CE_HANDLE engine);                      /* 6 */
CE_API(int32_t) GetMaxCryptoParamValueLength(CE_HANDLE engine);                     /* 7 */
CE_API(int32_t) GetMaxErrorStringLength(CE_HANDLE engine);                          /* 8 */
CE_API(int32_t) GetCryptoParamNumber(CE_HANDLE engine);                             /* 9 */

/* Parameters and texts */
CE_API(void) GetCryptoParamName(CE_HANDLE engine, int32_t index, char *name);       /* 10 */
CE_API(void) GetCryptoParamValue(CE_HANDLE engine, int32_t index, char *value);     /* 11 */
CE_API(int32_t) SetCryptoParamValue(CE_HANDLE engine, int32_t index, const char *value); /* 12 */
CE_API(int32_t) GetEncodeUIDBySignUID(CE_HANDLE engine, const char *signUID, char *encodeUID); /* 13 */
CE_API(void) GetCryptoErrorString(CE_HANDLE engine, int32_t code, char *text);      /* 14 */

/* Encryption and signatures */
CE_API(int32_t) EncodeData(CE_HANDLE engine, void *data, int32_t *size, const char *abonents); /* 15 */
CE_API(int32_t) DecodeData(CE_HANDLE engine, void *data, int32_t *size, char *senderUID);      /* 16 */
CE_API(int32_t) SignData(CE_HANDLE engine, const void *data, int32_t dataLength, void *signature,
                         int32_t *signatureLength, const char *signerUID);                     /* 17 */
CE_API(int32_t) VerifyData(CE_HANDLE engine, const void *data, int32_t dataLength,
                           const void *signature, int32_t signatureLength, char *signerUID);   /* 18 */
CE_API(int32_t) GetCurrentUserUID(CE_HANDLE engine, char *uid);                     /* 19 */
CE_API(int32_t) GenerateNewSSK(CE_HANDLE engine);                                   /* 20 */
CE_API(int32_t) GenerateNewSEK(CE_HANDLE engine);                                   /* 21 */
CE_API(int32_t) IsDifferentKeys(CE_HANDLE engine);                                  /* 22 */
CE_API(void) SetPasswordRequestFunc(CE_HANDLE engine, CE_PASSWORD_REQUEST_FUNC fn); /* 23 */
CE_API(int32_t) GetMaxPasswordLength(CE_HANDLE engine);                             /* 24 */
CE_API(int32_t) IncludePublicKey(CE_HANDLE engine, const char *path);               /* 25 */
CE_API(int32_t) IncludePublicEncodeKey(CE_HANDLE engine, const char *path);         /* 26 */
CE_API(int32_t) SignFile(CE_HANDLE engine, CE_VAL a);                               /* 27 */
CE_API(int32_t) VerifyFile(CE_HANDLE engine, CE_VAL a, CE_VAL b);                   /* 28 */
CE_API(int32_t) RemoveSignaturesFromFile(CE_HANDLE engine, CE_VAL a);               /* 29 */
CE_API(void) GetLastErrorMessage(CE_HANDLE engine, char *text);                     /* 30 */
CE_API(void) SetRootPath(CE_HANDLE engine, const char *path);                       /* 31 */
CE_API(int32_t) TransSignatureFromFileToTM(CE_HANDLE engine);                       /* 32 */
CE_API(int32_t) TransPrivateKeyFromFileToTM(CE_HANDLE engine);                      /* 33 */
CE_API(void) SetTMRequestFunc(CE_HANDLE engine, CE_TM_REQUEST_FUNC fn);             /* 34 */
CE_API(void) ClearCash(CE_HANDLE engine);                                           /* 35 */
CE_API(int32_t) RemoteGenerateStart(CE_HANDLE engine, CE_VAL a);                    /* 36 */
CE_API(void) SetRemoteGeneratePath(CE_HANDLE engine, const char *path);             /* 37 */
CE_API(int32_t) AddSign(CE_HANDLE engine, void *data, int32_t *length, const char *signerUID); /* 38 */
CE_API(int32_t) RemoveSign(CE_HANDLE engine, void *data, int32_t *length, char *signerUID);    /* 39 */
CE_API(int32_t) GetMaxSignAddition(CE_HANDLE engine);                               /* 40 */
CE_API(int32_t) GetPublicKeyTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b);         /* 41 */
CE_API(int32_t) RemoteGenerateFinish(CE_HANDLE engine, CE_VAL a);                   /* 42 */
CE_API(int32_t) SavePublicKeyFromTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b);    /* 43 */
CE_API(int32_t) GetMaxPublicKeyTransferSize(CE_HANDLE engine);                      /* 44 */
CE_API(int32_t) IncludePublicKeyTransfer(CE_HANDLE engine, CE_VAL a);               /* 45 */
CE_API(int32_t) ExcludeSelfPublicKeyTransfer(CE_HANDLE engine, CE_VAL a);           /* 46 */
CE_API(int32_t) GetMaxFilePathLength(CE_HANDLE engine);                             /* 47 */
CE_API(int32_t) GetRemoteGenType(CE_HANDLE engine);                                 /* 48 */
CE_API(int32_t) SaveSignedDataToFile(CE_HANDLE engine, const void *data, int32_t dataLength,
                                     const void *signature, int32_t signatureLength,
                                     const char *fileName);                         /* 49 */
CE_API(int32_t) GetPublicKeyTransferByFile(CE_HANDLE engine, CE_VAL a, CE_VAL b);   /* 50 */
CE_API(int32_t) GetMaxReportSize(CE_HANDLE engine);                                 /* 51 */
CE_API(int32_t) GetReport(CE_HANDLE engine, const char *uid, char *report);         /* 52 */
CE_API(int32_t) GetMaxAdditionEx(CE_HANDLE engine, const char *abonents);           /* 53 */
CE_API(int32_t) GetUIDByPublicKeyTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b);    /* 54 */
CE_API(int32_t) UpdateCertificateCash(CE_HANDLE engine, CE_VAL a);                  /* 55 */
CE_API(int32_t) GetMaxPublicKeyPropertiesLength(CE_HANDLE engine);                  /* 56 */
CE_API(int32_t) GetPublicKeyProperties(CE_HANDLE engine, const char *uid, char *report); /* 57 */
CE_API(int32_t) RemoteGenerateStartEx(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c);   /* 58 */
CE_API(int32_t) RemoteGenerateFinishEx(CE_HANDLE engine, CE_VAL a, CE_VAL b);       /* 59 */
CE_API(int32_t) GetPublicKeyPropertiesByTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b); /* 60 */
CE_API(int32_t) GetPublicKeyPropertiesByFile(CE_HANDLE engine, CE_VAL a, CE_VAL b); /* 61 */
CE_API(int32_t) IncludeCACertificateFromTransfer(CE_HANDLE engine, CE_VAL a);       /* 62 */
CE_API(int32_t) CreateDirStructure(CE_HANDLE engine, CE_VAL a, CE_VAL b);           /* 63 */
CE_API(int32_t) RemoveCertificate(CE_HANDLE engine, const char *uid);               /* 64 */
CE_API(int32_t) VerifySignWOCheckValidity(CE_HANDLE engine, const void *data, int32_t dataLength,
                                          const void *signature, int32_t signatureLength,
                                          char *signerUID);                         /* 65 */
CE_API(int32_t) CertAndRequestTransferMatch(CE_HANDLE engine, CE_VAL a, CE_VAL b, int32_t *match); /* 66 */
CE_API(int32_t) IncludeCRL(CE_HANDLE engine, CE_VAL a);                             /* 67 */
CE_API(int32_t) ConvertTransferToSignedRequest(CE_HANDLE engine, CE_VAL a);         /* 68 */
CE_API(int32_t) HashData(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c, CE_VAL d, CE_VAL e); /* 69 */
CE_API(int32_t) ShowCertificate(CE_HANDLE engine, CE_VAL a);                        /* 70 */
CE_API(int32_t) GetPureSign(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c, CE_VAL d, CE_VAL e); /* 71 */
CE_API(int32_t) GetUIDByCertIdent(CE_HANDLE engine, CE_VAL a, CE_VAL b);            /* 72 */
CE_API(int32_t) InstallCertsInMyStore(CE_HANDLE engine, CE_VAL a);                  /* 73 */
CE_API(int32_t) RegisterOIDInfo(CE_HANDLE engine, const char *oid, const char *description); /* 74 */
CE_API(int32_t) GetParamInfo(CE_HANDLE engine, int32_t index, int32_t *kind, char *info,
                             int32_t *size);                                        /* 75 */

#ifdef __cplusplus
}
#endif

#endif /* CE_KESTREL_H */
