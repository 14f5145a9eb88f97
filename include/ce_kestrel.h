/*
 * ce_kestrel: crypto engine module driving the Kestrel 4 protection library.
 *
 * Public C interface for host applications. The host guide (docs/host-guide.md,
 * installed in share/doc/ce_kestrel) walks a host through it from start to
 * end; examples/host_example.c is the program it describes.
 */
#ifndef CE_KESTREL_H
#define CE_KESTREL_H

#include <stdint.h>

// How a host uses the module.
//
// A host creates an engine with |GetCryptObj|, passes the returned handle as
// the first argument of every other export and finally destroys it with
// |DoneEngine|. In between it sets the installation root (|SetRootPath|), its
// key-device prompt (|SetTMRequestFunc|) and the twelve parameters
// (|SetCryptoParamValue|), and then calls the operations. The module does no
// cryptography itself: the first operation that needs the provider library
// (kestrel.dll on Windows, libkestrel.so on Linux) loads it, once per
// process.
//
// Handles. The handle is the address of the engine object; it is not
// validated. A NULL handle makes every export fail with its failure result
// (-102 for operations, -1 for size queries, nothing for exports without a
// result), except |DoneEngine|, which ignores it, and |GetMaxFilePathLength|,
// which does not look at it. A handle must not be used after |DoneEngine|.
//
// Texts. Every text that crosses this interface, in either direction, is a
// NUL-terminated string of 8-bit characters in the Windows-1251 code page:
// parameter names and values, paths, identifiers, recipient lists and result
// texts, some of which are Russian. A host that works in UTF-8 converts in
// both directions (docs/host-guide.md shows how). Lengths are byte counts.
//
// Buffers. Every buffer belongs to the host. No export takes a buffer's
// capacity: the host sizes each buffer with the query named in the export's
// comment below and must provide at least that much. The size queries return
// the same values for the whole life of an engine, except
// |GetMaxEncodeAddition| and |GetMaxAdditionEx|, which depend on the
// recipient list, so a host asks them before each encryption.
//
// Threads. Every call runs on the caller's thread; the module starts no
// threads. Several threads may call the module at once, on one engine or on
// several: all work with the provider library is serialised by one lock for
// the whole module, which is also held while the module waits for a key
// device. Parameters, callbacks and the root path are not locked: the host
// sets them before it runs operations on that engine concurrently.
//
// Exceptions never cross this interface; every failure is a result code.
//
// On 32-bit Windows every export is stdcall with an undecorated name and the
// fixed ordinal given after its declaration (1..75, see ce_kestrel.def).

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

// CE_HANDLE is an engine handle: the address of the engine object, opaque to
// the host.
typedef void *CE_HANDLE;

// CE_VAL is a value that an export passes on without interpreting it (the
// arguments of the operations this engine does not offer). It is pointer-sized
// so a 64-bit host may pass addresses; on 32-bit Windows it is 32 bits wide.
typedef intptr_t CE_VAL;

// CE_TM_REQUEST_FUNC is the host's key-device request function (see
// |SetTMRequestFunc|). The module calls it with |state| 0 when it starts
// waiting for the user to present the key device and with 1 when that wait
// ends, however it ends. It is called on the thread of the operation, while
// the module's lock is held; its result is not used.
typedef void(CE_STDCALL *CE_TM_REQUEST_FUNC)(int32_t state);

// CE_PASSWORD_REQUEST_FUNC is a password request function. The module stores
// it (see |SetPasswordRequestFunc|) and never calls it.
typedef void(CE_STDCALL *CE_PASSWORD_REQUEST_FUNC)(void);

// Result codes.
//
// 0 is success. Negative codes come from the engine (the constants below) or
// from its binding to the provider library; positive codes 1..131 are the
// provider's own, passed through unchanged; 1000 + verdict reports a
// signature that did not check out. |GetCryptoErrorString| gives the text of
// every code.
//
// The binding's codes, used below by number:
//   -1  the operation is not supported, or the provider is not ready
//       ("Library not initialized");
//   -4  the provider found no signature ("Bad signatures count");
//   -5  a public key file cannot be opened;
//   -6  the provider's key driver refused to free or reset a key slot;
//   -7  no memory for the key cache;
//   -8  the public key file does not exist;
//   -9  the public key directory does not exist;
//   -10 a key identifier has the wrong length (keys are loaded by identifiers
//       of 10 or 12 characters; a signer needs at least 6).
// The provider codes met most often: 4 an encrypted block was changed; 6 key
// not found or damaged; 11 not an encrypted block; 12 not a signature;
// 36 key device absent; 117 the key is not in the public key directory.
enum {
  CE_OK = 0,
  CE_ERR_NOT_SUPPORTED = -1, /* not offered by this engine; also the binding's
                                "Library not initialized" */
  CE_ERR_BAD_ARGUMENT = -2,  /* a NULL pointer, a length below 1 or a buffer too small */
  CE_ERR_BAD_ABONENTS = -11, /* no recipients: the list is empty or blank */
  CE_ERR_LIBRARY_NOT_INITIALIZED = -100, /* also the answer of the file operations */
  CE_ERR_EXCEPTION = -102,               /* an unexpected failure; its text tells which */
  CE_ERR_STRING_LENGTH = -103,           /* an identifier does not fit the host's buffer */
  CE_ERR_INVALID_SETTINGS = -104,        /* not returned by this engine */
  CE_ERR_SIGN_UID_LENGTH = -105,         /* a signature identifier shorter than 9 characters */
  CE_ERR_FILE_OPERATION = -106,          /* a file could not be written */
  CE_ERR_TIMEOUT_SETTINGS = -108,        /* parameter 8 or 9 is not an integer */
  CE_ERR_ENCODE_UID_SETTINGS = -109,     /* "Encode UID" or a recipient is not a key number */
  CE_ERR_LOW_MEMORY = -110,              /* not returned by this engine */
  CE_ERR_SELF_CERTIFICATE = -111,        /* the user's own public key cannot be removed */
  CE_ERR_PARAM_INDEX = -112,             /* a parameter number outside 1..12 */
  CE_ERR_LOAD_LIBRARY = -113,            /* the provider library cannot be loaded */
  CE_ERR_ENTRY_POINTS = -114,            /* the provider library lacks an entry point */
  CE_ERR_PUBLIC_KEY_FILE = -115,         /* a public key file of the wrong size */
  CE_ERR_READ_PUBLIC_KEY_FILE = -116,    /* a public key file that cannot be read whole */
  CE_SIGNATURE_WRONG = 1001,             /* the signature does not match the data */
  CE_PUBLIC_KEY_NOT_FOUND = 1002         /* the signer's public key is not in the directory */
};

// Parameter kinds reported by |GetParamInfo|.
enum {
  CE_PARAM_INTEGER = 1,    /* an integer; the information text is its range "low..high" */
  CE_PARAM_TEXT = 2,       /* a text; the information text is its advised maximum length */
  CE_PARAM_SWITCH = 3,     /* a yes/no switch; no information text */
  CE_PARAM_RECIPIENTS = 4, /* a recipient list; the information text is its maximum length */
  CE_PARAM_PATH = 11       /* a path; the information text is a file mask for a browse dialog */
};

// Engine lifetime.

// GetCryptObj creates a new engine with the twelve parameters at their
// defaults and returns its handle, or NULL if it cannot be created (out of
// memory). |reserved| is ignored. Each call makes an independent engine; the
// provider library is not loaded yet.
CE_API(CE_HANDLE) GetCryptObj(int32_t reserved); /* 1 */

// DoneEngine destroys |engine| and everything it owns, closing any provider
// context still open. A NULL handle is ignored. The provider library stays
// loaded, and the key cache and the root path stay set, until the module is
// unloaded.
CE_API(void) DoneEngine(CE_HANDLE engine); /* 2 */

// SetRootPath sets the installation root. The first call in a process sets
// it for the whole process: the provider library is then also looked for in
// |path|\EXE, |path|\SYSTEM and |path|\USER, which are put in front of the
// process's "Path" variable. A later call with the same root changes
// nothing of that; a call with a different root is ignored entirely (the
// comparison is case-sensitive). The engine keeps its own copy of the root,
// set only when the process-wide root accepts |path|; a parameter path that
// begins with "%ZEVRoot%" (any letter case) has that prefix replaced by it,
// and the result is upper-cased in the ASCII range. On Linux |path| may be a POSIX
// path ("/srv/client") or a Windows-style one. The provider library is
// looked for beside the host executable first, then in the root's folders,
// then by the system's library search, then beside a loaded "CryptLib.dll".
CE_API(void) SetRootPath(CE_HANDLE engine, const char *path); /* 31 */

// SetTMRequestFunc sets the key-device request function of |engine| (NULL
// removes it). When the "Key device" or "Path to secret" parameter names a
// removable device ("TM:A4.P", "TM:COM0", "TM:COM1", "TM:COM2", "SC:GSR4",
// "SC:TOWT", any letter case) and the key cannot be read from it, the module
// calls |fn|(0) so the host can ask the user to present the device, retries
// every 500 ms for at most "Touch Memory Window Time Out" seconds, and then
// calls |fn|(1). Without a function the module does not wait. A function
// set after an operation takes effect at the next one.
CE_API(void) SetTMRequestFunc(CE_HANDLE engine, CE_TM_REQUEST_FUNC fn); /* 34 */

// SetPasswordRequestFunc stores |fn|. This engine never calls it.
CE_API(void) SetPasswordRequestFunc(CE_HANDLE engine, CE_PASSWORD_REQUEST_FUNC fn); /* 23 */

// Parameters.
//
// An engine has twelve parameters, numbered from 1, each a text: 1 "Path to
// secret", 2 "Path to public", 3 "Key serial number", 4 "Encode UID",
// 5 "Sign UID", 6 "Encrypt for key number", 7 "Key device", 8 "Key request
// time out", 9 "Last operation key time out", 10 "Use 0 slot for verify
// signature", 11 "Reset key in drv on start", 12 "Touch Memory Window Time
// Out". docs/host-guide.md gives their meanings, defaults and allowed
// values. Storing a value never checks it; each operation reads the values
// it needs when it starts and reports a bad one with its result code.

// GetCryptoParamNumber returns the number of parameters (12), or -1 if
// |engine| is NULL.
CE_API(int32_t) GetCryptoParamNumber(CE_HANDLE engine); /* 9 */

// GetMaxCryptoParamNameLength returns 255, the longest parameter name in
// characters. |GetCryptoParamName| needs a buffer of this + 1 bytes.
CE_API(int32_t) GetMaxCryptoParamNameLength(CE_HANDLE engine); /* 6 */

// GetMaxCryptoParamValueLength returns 255, the longest parameter value
// |GetCryptoParamValue| writes, in characters. Its buffer needs this + 1
// bytes.
CE_API(int32_t) GetMaxCryptoParamValueLength(CE_HANDLE engine); /* 7 */

// GetCryptoParamName writes the name of parameter |index| (1..12) and a NUL
// into |name|, which must hold |GetMaxCryptoParamNameLength| + 1 bytes. For
// any other index it writes an empty string. With a NULL |name| it writes
// nothing. Names are ASCII.
CE_API(void) GetCryptoParamName(CE_HANDLE engine, int32_t index, char *name); /* 10 */

// GetCryptoParamValue writes the value of parameter |index| (1..12) and a NUL
// into |value|, which must hold |GetMaxCryptoParamValueLength| + 1 bytes. A
// longer stored value is cut to that many characters. For any other index it
// writes an empty string; with a NULL |value| it writes nothing. The default
// of parameter 3 (six zero bytes) reads back as an empty string.
CE_API(void) GetCryptoParamValue(CE_HANDLE engine, int32_t index, char *value); /* 11 */

// SetCryptoParamValue stores |value| (Windows-1251; NULL stores an empty
// string) as parameter |index| (1..12), unchanged and unchecked. It returns 0,
// or -1 for an index outside 1..12 (nothing is changed), or -102 if |engine|
// is NULL.
CE_API(int32_t) SetCryptoParamValue(CE_HANDLE engine, int32_t index, const char *value); /* 12 */

// GetParamInfo describes parameter |index| (1..12) for a settings dialog. It
// sets |*kind| to one of the CE_PARAM_* kinds and, except for switches,
// copies an information text and a NUL into |info|: the range "0..2147483640"
// for integers, the advised maximum length for texts ("6", "10", "12", "255")
// and for the recipient list ("255"), the file mask "*.*" for paths. On entry
// |*size| is the size of |info| in bytes; on return it is the size the text
// needs with its NUL (0 for a switch). Results:
//   0    done; with a NULL |info| only |*kind| and |*size| are set (a size
//        query), and a switch sets |*size| to 0 and leaves |info| untouched;
//   -2   |*size| is smaller than needed (|*kind| and |*size| are set, |info|
//        is untouched), or |kind| or |size| is NULL;
//   -112 |index| is outside 1..12; nothing is written.
// The longest information text needs 14 bytes.
CE_API(int32_t)
GetParamInfo(CE_HANDLE engine, int32_t index, int32_t *kind, char *info, int32_t *size); /* 75 */

// Size queries.
//
// Each returns a size in bytes (or a count), or -1 if |engine| is NULL.

// GetMaxEncodeAddition returns how many bytes |EncodeData| may add to a
// plaintext when it is called with a NULL or empty recipient list, that is
// for the recipients of parameter 6 "Encrypt for key number": at least
// 48 * N + 37 for the N entries of that list, and never less than 255.
CE_API(int32_t) GetMaxEncodeAddition(CE_HANDLE engine); /* 3 */

// GetMaxAdditionEx returns how many bytes |EncodeData| adds to a plaintext
// when it is given |abonents|: 48 per entry of the list plus 37, counting
// the entries as |EncodeData| splits them (at every ";", an empty entry
// after a trailing ";" included; the result saturates at INT32_MAX). For a
// NULL or empty |abonents| it returns |GetMaxEncodeAddition|, the addition
// for the configured list. A host sizes its encryption buffer as plaintext
// length + GetMaxAdditionEx(engine, abonents), with the same |abonents| it
// passes to |EncodeData|. A host whose threads change parameter 6 while
// another encrypts with a NULL or empty list must size after the change
// (EncodeData refuses with -2 a block larger than the size it tells now).
CE_API(int32_t) GetMaxAdditionEx(CE_HANDLE engine, const char *abonents); /* 53 */

// GetMaxSignatureLength returns 255, the size of the buffer |SignData| writes
// a detached signature into.
CE_API(int32_t) GetMaxSignatureLength(CE_HANDLE engine); /* 4 */

// GetMaxSignAddition returns 353 (|GetMaxSignatureLength| + 98): the room
// |AddSign| needs after the current end of a signed block.
CE_API(int32_t) GetMaxSignAddition(CE_HANDLE engine); /* 40 */

// GetMaxUIDLength returns 255, the size, NUL included, of every buffer that
// receives a key identifier: |GetCurrentUserUID|, |GetEncodeUIDBySignUID|,
// and the sender or signer of |DecodeData|, |VerifyData|,
// |VerifySignWOCheckValidity| and |RemoveSign|.
CE_API(int32_t) GetMaxUIDLength(CE_HANDLE engine); /* 5 */

// GetMaxErrorStringLength returns 255, the size of the buffer
// |GetCryptoErrorString| writes into. A text is at most 254 bytes and a NUL.
CE_API(int32_t) GetMaxErrorStringLength(CE_HANDLE engine); /* 8 */

// GetMaxReportSize returns 1024, the size of the buffer |GetReport| writes
// into. The report carries no NUL: a host that wants a string provides one
// more byte and zeroes the buffer first.
CE_API(int32_t) GetMaxReportSize(CE_HANDLE engine); /* 51 */

// GetMaxPublicKeyPropertiesLength returns the same as |GetMaxReportSize|: the
// buffer size of |GetPublicKeyProperties|.
CE_API(int32_t) GetMaxPublicKeyPropertiesLength(CE_HANDLE engine); /* 56 */

// GetMaxPasswordLength returns 255. No export of this engine uses it.
CE_API(int32_t) GetMaxPasswordLength(CE_HANDLE engine); /* 24 */

// GetMaxPublicKeyTransferSize returns 4096. No export of this engine uses it.
CE_API(int32_t) GetMaxPublicKeyTransferSize(CE_HANDLE engine); /* 44 */

// GetMaxFilePathLength returns 255, also for a NULL handle: the longest path
// a host should pass. Longer paths are not refused, but the module hands
// only the first 255 characters of "Key device" to the provider.
CE_API(int32_t) GetMaxFilePathLength(CE_HANDLE engine); /* 47 */

// Identifiers.
//
// Keys are named by identifiers of decimal digits: an encryption key by 10
// characters, a signature key by 12. The first four are the key number that
// recipient lists use. A signature identifier is its owner's encryption
// identifier followed by two more characters in the keys made by the
// provider's key tool.

// GetCurrentUserUID writes the user's signature identifier (parameter 5
// "Sign UID") and a NUL into |uid|, which must hold |GetMaxUIDLength| bytes.
// Returns 0; -2 if |uid| is NULL; -103 if the value does not fit (255
// characters or more), nothing written; -102 if |engine| is NULL.
CE_API(int32_t) GetCurrentUserUID(CE_HANDLE engine, char *uid); /* 19 */

// GetEncodeUIDBySignUID writes |signUID| without its last eight characters,
// and a NUL, into |encodeUID|, which must hold |GetMaxUIDLength| bytes: a
// 12-character signature identifier gives its four-character key number,
// which can stand in a recipient list. Returns 0; -2 if either pointer is
// NULL; -105 if |signUID| is shorter than 9 characters; -103 if the result
// does not fit |encodeUID|. Nothing is written on failure.
CE_API(int32_t)
GetEncodeUIDBySignUID(CE_HANDLE engine, const char *signUID, char *encodeUID); /* 13 */

// Encryption.
//
// A recipient list is a text of key numbers separated by ";", for example
// "0002;0017". Blanks and control characters around the whole list are
// ignored; entries are not trimmed. An entry of up to four characters is
// read as a whole; of a longer entry, such as a full 10- or 12-character
// identifier, only the first four characters are read, so "0002abc" names
// key 0002. A key number is decimal (a "$", "x" or "0x" prefix reads
// hexadecimal), may have leading blanks, and is not 0. Each recipient's
// encryption
// public key must be in the public key directory. The encrypted block is
// exactly 48 * N + 37 bytes longer than the plaintext for N entries.

// EncodeData encrypts the |*size| bytes at |data| in place for the
// recipients in |abonents|, or, when |abonents| is NULL or empty, for those of
// parameter 6 "Encrypt for key number". |data| must hold |*size| +
// |GetMaxAdditionEx|(engine, abonents) bytes. The sender is the user's
// encryption key (parameter 4 "Encode UID"), which is loaded into the key
// driver's slot 0 if needed. On success |data| holds the encrypted block and
// |*size| its length; on failure both are unchanged. Results:
//   0     done;
//   -2    |data| or |size| is NULL, |*size| is below 1, or the encrypted
//         block would exceed INT32_MAX bytes or add more than
//         |GetMaxAdditionEx|(engine, abonents) tells at this moment;
//   -108  parameter 8 or 9 is not an integer;
//   -11   the list is empty or blank (a blank |abonents| is not replaced by
//         parameter 6);
//   -109  an entry of the list is not a key number or is 0, an entry is
//         empty (a trailing ";"), or the first four characters of "Encode
//         UID" are not a number;
//   -113, -114  the provider library cannot be loaded or is incomplete;
//   -10   "Encode UID" is not 10 or 12 characters long;
//   -6, -7 and provider codes from loading the key (6: no key on the key
//         device; 36: key device absent after the wait);
//   provider codes from encrypting (117: a recipient's key is not in the
//         public key directory; 101: the key in slot 0 is not the user's);
//   -102  an unexpected failure; |GetCryptoErrorString|(-102) tells which.
CE_API(int32_t)
EncodeData(CE_HANDLE engine, void *data, int32_t *size, const char *abonents); /* 15 */

// DecodeData decrypts the encrypted block of |*size| bytes at |data| in place
// with the user's encryption key (parameter 4) and writes the sender's
// identifier and a NUL into |senderUID|, which must hold |GetMaxUIDLength|
// bytes. On success |*size| is the plaintext length. Results:
//   0     done;
//   -108  parameter 8 or 9 is not an integer;
//   -113, -114  the provider library cannot be loaded or is incomplete (this
//         is checked before the arguments);
//   -2    |data| or |size| is NULL or |*size| is below 1; or |senderUID| is
//         NULL (found only after the key has been loaded);
//   -109  the first four characters of "Encode UID" are not a number;
//   -10, -6, -7 and provider codes from loading the key, as for |EncodeData|;
//   provider codes from decrypting: 11 not an encrypted block; 4 the block
//         was changed; 117 the sender's key is not in the public key
//         directory; 129 the block is not for the user's key;
//   -102  an unexpected failure.
// On failure |senderUID| may already hold the sender's identifier. The
// provider stand-in leaves |data| and |*size| unchanged when decryption
// fails; the module itself does not copy anything back.
CE_API(int32_t) DecodeData(CE_HANDLE engine, void *data, int32_t *size, char *senderUID); /* 16 */

// Signatures.
//
// Signing uses the user's signature key (parameter 5 "Sign UID"), which is
// loaded into the key driver if needed; a caller may name another signer
// whose key the provider already holds, but the key loaded is always that of
// "Sign UID". Checking a signature needs the signer's signature public key in
// the public key directory. Every signing operation can also fail with: -108
// (parameter 8 or 9 is not an integer); -113 or -114 (the provider library
// cannot be loaded or is incomplete); -10 ("Sign UID" is not 10 or 12
// characters long), -6, -7 or a provider code (6, 36) from loading the key;
// a provider code from opening the provider's signature context; and -102
// (an unexpected failure; |GetCryptoErrorString|(-102) tells which).

// SignData makes a detached signature over the |dataLength| bytes at |data|
// and writes it into |signature|, which must hold |GetMaxSignatureLength|
// bytes; |*signatureLength| receives its length. |signerUID| names the
// signer; NULL or empty means "Sign UID". Results: 0; -2 if |dataLength| is
// below 1 or a pointer is NULL (found only after the key has been loaded);
// -10 if the signer identifier is shorter than 6 characters; provider codes
// (6: the signer's key is not loaded; 7: the signer identifier is too long).
// |*signatureLength| is set to 0 before signing, so it is 0 or what the
// provider left in it when signing fails.
CE_API(int32_t)
SignData(CE_HANDLE engine, const void *data, int32_t dataLength, void *signature,
         int32_t *signatureLength, const char *signerUID); /* 17 */

// VerifyData checks the detached signature of |signatureLength| bytes at
// |signature| over the |dataLength| bytes at |data|. On success it writes the
// signer's 12-character identifier and a NUL into |signerUID|, which must
// hold |GetMaxUIDLength| bytes; on failure |signerUID| is untouched. The key
// is loaded into slot 0 when parameter 10 "Use 0 slot for verify signature"
// is exactly "Yes" or the Russian "Da" (bytes C4 E0). Results: 0 valid; -2 if a length is below 1
// or a pointer is NULL (found only after the key has been loaded); 1001
// (|CE_SIGNATURE_WRONG|) the data or the signature was changed; 1002
// (|CE_PUBLIC_KEY_NOT_FOUND|) the signer's public key is not in the
// directory; -4 the provider found no signature; provider codes (10: a
// signature of the wrong length; 12: not a signature).
CE_API(int32_t)
VerifyData(CE_HANDLE engine, const void *data, int32_t dataLength, const void *signature,
           int32_t signatureLength, char *signerUID); /* 18 */

// VerifySignWOCheckValidity is |VerifyData| with the same arguments.
CE_API(int32_t)
VerifySignWOCheckValidity(CE_HANDLE engine, const void *data, int32_t dataLength,
                          const void *signature, int32_t signatureLength, char *signerUID); /* 65 */

// AddSign signs the signed block of |*length| bytes at |data| in place: the
// provider appends one signature over the block and |*length| grows by its
// size. |data| must have |GetMaxSignAddition| bytes of room after |*length|.
// |signerUID| names the signer; NULL or empty means "Sign UID". Results: 0;
// -2 if |length| or |data| is NULL or |*length| is below 1 (found only
// after the key has been loaded); -10 if the signer identifier is shorter
// than 6 characters; provider codes as for |SignData|.
CE_API(int32_t)
AddSign(CE_HANDLE engine, void *data, int32_t *length, const char *signerUID); /* 38 */

// RemoveSign checks the signatures attached to the block of |*length| bytes
// at |data| and, if the newest one is valid, removes it in place: |*length|
// shrinks by its size and its signer's 12-character identifier and a NUL are
// written into |signerUID|, which must hold |GetMaxUIDLength| bytes. Results:
// 0; -2 if a pointer is NULL or |*length| is below 1 (before any key is
// loaded); -4 no signature is attached; 1001 or 1002 the newest signature
// does not check out (the block and |*length| are unchanged); provider
// codes. |signerUID| is written only on success. If the provider fails
// while removing a signature that checked out, |*length| holds the length
// the provider left.
CE_API(int32_t) RemoveSign(CE_HANDLE engine, void *data, int32_t *length, char *signerUID); /* 39 */

// SaveSignedDataToFile writes the |dataLength| bytes at |data| followed by
// the |signatureLength| bytes at |signature| to the file |fileName|
// (Windows-1251, "%ZEVRoot%" expanded), replacing the file as a whole: a
// failed write leaves an existing file as it was. A NULL |signature| with a
// positive length writes that many zero bytes. Results: 0 written; 0 without
// writing anything when |fileName| or |data| is NULL, |dataLength| is below 1
// or |signatureLength| is negative; -106 the file could not be written; -102
// an unexpected failure.
CE_API(int32_t)
SaveSignedDataToFile(CE_HANDLE engine, const void *data, int32_t dataLength, const void *signature,
                     int32_t signatureLength, const char *fileName); /* 49 */

// Public keys.
//
// The public key directory is the folder of parameter 2 "Path to public"
// ("%ZEVRoot%" expanded); it must exist. A public key file holds exactly one
// public key block: 240 bytes for a generation-4 provider, 304 for
// generation 5. The directory is protected with the user's own keys, so each
// of these operations loads one of them (into slot 0 for an include) and can
// also fail with -108, -113, -114, -10, -6, -7 or a provider code from
// loading the key, and with -102.

// IncludePublicKey adds the signature public key in the file |path|
// (Windows-1251, "%ZEVRoot%" expanded) to the public key directory, on behalf
// of "Sign UID", which must be 12 characters long. Results: 0; -8 the file
// does not exist; -9 the directory does not exist; -10 "Sign UID" is not 12
// characters long; -5 the file cannot be opened; -115 the file is not one
// public key block long; -116 it cannot be read whole; provider codes (121:
// the block is damaged; 131: the directory is protected by another user's
// key).
CE_API(int32_t) IncludePublicKey(CE_HANDLE engine, const char *path); /* 25 */

// IncludePublicEncodeKey adds the encryption public key in the file |path| to
// the public key directory, on behalf of "Encode UID", which must be 10
// characters long (-10 otherwise). It still loads the "Sign UID" key. Other
// results as for |IncludePublicKey|.
CE_API(int32_t) IncludePublicEncodeKey(CE_HANDLE engine, const char *path); /* 26 */

// RemoveCertificate removes the public key |uid| from the public key
// directory: a 10-character |uid| is an encryption key, removed on behalf of
// "Encode UID"; a 12-character one a signature key, on behalf of "Sign UID".
// Results: 0; -10 |uid| is neither 10 nor 12 characters long (nothing
// loaded), or the owner identifier of that kind has the wrong length; -111
// |uid| is the user's own key of that kind; -9 the directory does not
// exist; provider codes (117: no such key in the directory).
CE_API(int32_t) RemoveCertificate(CE_HANDLE engine, const char *uid); /* 64 */

// ClearCash empties the module's cache of loaded keys, for every engine of
// the process, so that each key is loaded again from the key device at its
// next use. It also loads the provider library if it is not loaded yet.
CE_API(void) ClearCash(CE_HANDLE engine); /* 35 */

// UpdateCertificateCash does what |ClearCash| does and returns 0. |a| is
// ignored.
CE_API(int32_t) UpdateCertificateCash(CE_HANDLE engine, CE_VAL a); /* 55 */

// GetReport writes a report on the public key |uid| of the public key
// directory into |report|, which must hold |GetMaxReportSize| bytes: the
// line "UID=" |uid|, the line "PKey=", a hexadecimal dump of the public key
// block (two bytes to a group, 18 bytes to a line), and an empty line; lines
// end with CR LF. The report is 643 + strlen(|uid|) bytes for a generation-4
// provider, 809 + strlen(|uid|) for generation 5. No NUL is written: the
// bytes after the report are left as they were. No key is loaded. Results:
// 0; -2 |uid| or |report| is NULL, or the report would not fit (an |uid| of
// more than 381 characters, 215 for generation 5), nothing written; -113,
// -114; provider codes (117: no such key in the directory; 122: the
// directory does not exist); -102. Nothing is written on failure.
CE_API(int32_t) GetReport(CE_HANDLE engine, const char *uid, char *report); /* 52 */

// GetPublicKeyProperties is |GetReport|.
CE_API(int32_t) GetPublicKeyProperties(CE_HANDLE engine, const char *uid, char *report); /* 57 */

// Texts.

// GetCryptoErrorString writes the text of result |code| into |text|, which
// must hold |GetMaxErrorStringLength| (255) bytes: it zeroes those bytes and
// writes at most 254 bytes of text (Windows-1251; several texts are
// Russian). The engine's own codes are answered at once. For -102 the text is
// "An exception in the function. " followed by the engine's last exception
// text: the failing operation, the exception's class and its message. Every
// other code is answered from the provider's table, which needs the provider
// library: the call loads it, waiting for any operation in progress, and
// when it cannot be loaded the text is a fixed Russian one saying that the
// error information cannot be obtained. Code 0 gives an empty text; a
// provider code without a text gives "Kestrel error code: " and the code.
// With a NULL |text| nothing is written.
CE_API(void) GetCryptoErrorString(CE_HANDLE engine, int32_t code, char *text); /* 14 */

// GetLastErrorMessage writes an empty string into |text|; with a NULL |text|
// nothing is written. The text of an unexpected failure comes from
// |GetCryptoErrorString|(-102).
CE_API(void) GetLastErrorMessage(CE_HANDLE engine, char *text); /* 30 */

// Operations this engine answers with fixed results.
//
// The arguments of type CE_VAL are ignored.

// IsDifferentKeys returns -1 ("true": the keys differ) with this engine.
CE_API(int32_t) IsDifferentKeys(CE_HANDLE engine); /* 22 */

// GetRemoteGenType returns -1: remote key generation is not available.
CE_API(int32_t) GetRemoteGenType(CE_HANDLE engine); /* 48 */

// SignFile, VerifyFile and RemoveSignaturesFromFile are not offered: they
// return -100 (|CE_ERR_LIBRARY_NOT_INITIALIZED|). A host signs files through
// |SignData| or |AddSign| on their contents.
CE_API(int32_t) SignFile(CE_HANDLE engine, CE_VAL a);                 /* 27 */
CE_API(int32_t) VerifyFile(CE_HANDLE engine, CE_VAL a, CE_VAL b);     /* 28 */
CE_API(int32_t) RemoveSignaturesFromFile(CE_HANDLE engine, CE_VAL a); /* 29 */

// TransSignatureFromFileToTM and TransPrivateKeyFromFileToTM do nothing and
// return 0.
CE_API(int32_t) TransSignatureFromFileToTM(CE_HANDLE engine);  /* 32 */
CE_API(int32_t) TransPrivateKeyFromFileToTM(CE_HANDLE engine); /* 33 */

// CertAndRequestTransferMatch stores -1 into |*match| and returns 0 (-102 if
// |match| is NULL).
CE_API(int32_t)
CertAndRequestTransferMatch(CE_HANDLE engine, CE_VAL a, CE_VAL b, int32_t *match); /* 66 */

// SetRemoteGeneratePath stores |path| ("%ZEVRoot%" expanded, a backslash
// appended). No operation of this engine uses it.
CE_API(void) SetRemoteGeneratePath(CE_HANDLE engine, const char *path); /* 37 */

// The following are not offered by this engine: each returns -1
// (|CE_ERR_NOT_SUPPORTED|) and changes nothing.

// GenerateNewSSK and GenerateNewSEK would make new signature and encryption
// keys; keys are made with the provider's key tool instead.
CE_API(int32_t) GenerateNewSSK(CE_HANDLE engine); /* 20 */
CE_API(int32_t) GenerateNewSEK(CE_HANDLE engine); /* 21 */

// Remote key generation.
CE_API(int32_t) RemoteGenerateStart(CE_HANDLE engine, CE_VAL a);                       /* 36 */
CE_API(int32_t) RemoteGenerateFinish(CE_HANDLE engine, CE_VAL a);                      /* 42 */
CE_API(int32_t) RemoteGenerateStartEx(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c); /* 58 */
CE_API(int32_t) RemoteGenerateFinishEx(CE_HANDLE engine, CE_VAL a, CE_VAL b);          /* 59 */

// Public key transfers and certificates.
CE_API(int32_t) GetPublicKeyTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b);             /* 41 */
CE_API(int32_t) SavePublicKeyFromTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b);        /* 43 */
CE_API(int32_t) IncludePublicKeyTransfer(CE_HANDLE engine, CE_VAL a);                   /* 45 */
CE_API(int32_t) ExcludeSelfPublicKeyTransfer(CE_HANDLE engine, CE_VAL a);               /* 46 */
CE_API(int32_t) GetPublicKeyTransferByFile(CE_HANDLE engine, CE_VAL a, CE_VAL b);       /* 50 */
CE_API(int32_t) GetUIDByPublicKeyTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b);        /* 54 */
CE_API(int32_t) GetPublicKeyPropertiesByTransfer(CE_HANDLE engine, CE_VAL a, CE_VAL b); /* 60 */
CE_API(int32_t) GetPublicKeyPropertiesByFile(CE_HANDLE engine, CE_VAL a, CE_VAL b);     /* 61 */
CE_API(int32_t) IncludeCACertificateFromTransfer(CE_HANDLE engine, CE_VAL a);           /* 62 */
CE_API(int32_t) CreateDirStructure(CE_HANDLE engine, CE_VAL a, CE_VAL b);               /* 63 */
CE_API(int32_t) IncludeCRL(CE_HANDLE engine, CE_VAL a);                                 /* 67 */
CE_API(int32_t) ConvertTransferToSignedRequest(CE_HANDLE engine, CE_VAL a);             /* 68 */
CE_API(int32_t) ShowCertificate(CE_HANDLE engine, CE_VAL a);                            /* 70 */
CE_API(int32_t) GetUIDByCertIdent(CE_HANDLE engine, CE_VAL a, CE_VAL b);                /* 72 */
CE_API(int32_t) InstallCertsInMyStore(CE_HANDLE engine, CE_VAL a);                      /* 73 */

// Hashing and raw signatures.
CE_API(int32_t)
HashData(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c, CE_VAL d, CE_VAL e); /* 69 */
CE_API(int32_t)
GetPureSign(CE_HANDLE engine, CE_VAL a, CE_VAL b, CE_VAL c, CE_VAL d, CE_VAL e); /* 71 */

// RegisterOIDInfo would register a description for an object identifier;
// both are Windows-1251 texts.
CE_API(int32_t)
RegisterOIDInfo(CE_HANDLE engine, const char *oid, const char *description); /* 74 */

#ifdef __cplusplus
}
#endif

#endif /* CE_KESTREL_H */
