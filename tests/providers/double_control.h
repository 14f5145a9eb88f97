/*
 * The call-recording test double of kestrel.dll: besides the library's 32
 * entry points it exports these control functions, which tests find by name
 * (tests/support/recording_double.h wraps them).
 *
 * Results. Every entry point answers with the next result queued for it
 * (Double_PushResult), and when its queue is empty with its default result
 * (Double_SetResult; 0 unless set).
 *
 * Outputs. The same scheme, a queue then a default, gives each call the bytes
 * it writes (Double_PushOutput, Double_SetOutput). What the bytes mean:
 *   GetDrvInfo                 slot records of 32 bytes (at most 16) copied to
 *                              the table; the count becomes their number.
 *                              Default: no record, count 0.
 *   check_mem_sign, CheckMemSeparate, check_file_sign
 *                              status records of 136 bytes (at most 255) in an
 *                              array the double allocates and FreeMemory takes
 *                              back; the count becomes their number. bytes ==
 *                              NULL with length N gives the count N and a nil
 *                              array. Default: count 0, nil array.
 *   EnCryptMem                 written to the output buffer. Default: the input
 *                              followed by 48 x recipients + 37 bytes of 0xE5.
 *   DeCryptMem, Del_Mem_Sign   replace the block; the length becomes theirs.
 *                              Default: block and length unchanged.
 *   SignMemEx, SignMem         appended to the block; the length grows by them.
 *   SignMemSeparateEx, SignMemSeparate
 *                              written to the signature buffer; the signature
 *                              length becomes theirs. Default: length 0.
 *   GetMemSenderID, GetFileSenderID, GetAlias
 *                              a text written with its NUL. Default: "".
 *   ExtractKey                 written to the key block. Default: nothing.
 * Every call takes and writes its output, whatever result it answers.
 *
 * The call log. Every call of an entry point adds one line: its name and its
 * arguments, strings quoted (nil unquoted, bytes below 0x20 as \xNN, the
 * extra NUL that follows InitKey's key path as \0), buffers by their length,
 * recipient lists as [n,...]. For example:
 *   InitKey("TM:COM1\0","")          ResetKeyEx("0001000001",1)
 *   GetDrvInfo()                      CryptoInit("C:\Keys\","C:\Pub\")
 *   EnCryptMem(5,1,[2,3],"SER")       DeCryptMem(90,1)
 *   SignMemSeparateEx(5,"000100000001")   CheckMemSeparate(5,64)
 *   check_mem_sign(70)   SignMemEx(5,"000100000001")   Del_Mem_Sign(70,1)
 *   FreeMemory(status)  (or FreeMemory(nil), FreeMemory(unknown))
 *   AddOpenKey("C:\Pub\","000100000001",S)   DelOpenKey("C:\Pub\","0002","0001",E)
 *   ExtractKey("C:\Pub\","0002000001")   GetMemSenderID(90)   CryptoDone()
 * Double_GetLog copies the lines, each ended by '\n', and a NUL; it returns
 * the size the whole log needs (NUL included) even when the buffer is smaller.
 *
 * Inputs. Double_GetLastInput copies the main input buffer of the last call
 * of an entry point (the data, the block, the key block of AddOpenKey: 240
 * bytes, 304 for a generation 5 double); "CheckMemSeparate:signature" names
 * the signature of the last CheckMemSeparate. Returns the input's length, or
 * -1 when that entry point was not called.
 *
 * Double_GetOutput copies the default output of an entry point (for
 * GetDrvInfo with a key device: the driver's slot table); returns its
 * length, or -1 when it has none.
 *
 * The key driver model. Double_SetKeyDevice names the keys on the key
 * device; from then on GetDrvInfo's default slot table (Double_SetOutput) is
 * the driver's state. InitKey answering 0 loads the device's keys into the
 * lowest free slot, or answers 37 when they are loaded already and 38 when
 * all 16 slots are taken; ResetKeyEx answering 0 frees the slots that hold
 * that key number. Double_SetReportedSlotCount makes GetDrvInfo report that
 * count whatever its table holds (-1: the number of records).
 * Double_UnterminatedTexts counts the texts of InitKey and ResetKeyEx that
 * lacked the second NUL the library requires after them.
 *
 * Timing. Double_SetCallDelay makes every entry point sleep that many
 * milliseconds; Double_PushDelay makes the next call of one entry point
 * sleep that long instead. Double_GetCallTimes copies when each call of an
 * entry point began (milliseconds since the double was loaded or reset) and
 * returns their count. Double_MaxConcurrentCalls tells how many calls were
 * ever in progress at the same time.
 *
 * Notes. Double_Note adds a line of the test's own to the log, in order with
 * the calls (for example a call the module made to the host meanwhile).
 */
#ifndef CE_TESTS_DOUBLE_CONTROL_H
#define CE_TESTS_DOUBLE_CONTROL_H

#include <stdint.h>

#if defined(_WIN32)
#define DOUBLE_CONTROL_API __declspec(dllexport)
#else
#define DOUBLE_CONTROL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets every script, the log, the inputs and the counters. */
DOUBLE_CONTROL_API void Double_Reset(void);
DOUBLE_CONTROL_API void Double_PushResult(const char *entry, uint16_t result);
DOUBLE_CONTROL_API void Double_SetResult(const char *entry, uint16_t result);
DOUBLE_CONTROL_API void Double_PushOutput(const char *entry, const void *bytes, int32_t length);
DOUBLE_CONTROL_API void Double_SetOutput(const char *entry, const void *bytes, int32_t length);
DOUBLE_CONTROL_API int32_t Double_GetLog(char *buffer, int32_t size);
DOUBLE_CONTROL_API void Double_ClearLog(void);
DOUBLE_CONTROL_API int32_t Double_GetLastInput(const char *entry, void *buffer, int32_t size);
DOUBLE_CONTROL_API int32_t Double_GetOutput(const char *entry, void *buffer, int32_t size);
DOUBLE_CONTROL_API void Double_Note(const char *line);
DOUBLE_CONTROL_API void Double_SetKeyDevice(const char *encryptionKey, const char *signatureKey);
DOUBLE_CONTROL_API void Double_SetReportedSlotCount(int32_t count);
DOUBLE_CONTROL_API int32_t Double_UnterminatedTexts(void);
DOUBLE_CONTROL_API void Double_PushDelay(const char *entry, int32_t milliseconds);
DOUBLE_CONTROL_API int32_t Double_GetCallTimes(const char *entry, int64_t *milliseconds,
                                               int32_t size);
/* Status arrays handed out and not yet given back through FreeMemory. */
DOUBLE_CONTROL_API int32_t Double_OutstandingAllocations(void);
DOUBLE_CONTROL_API void Double_SetCallDelay(int32_t milliseconds);
DOUBLE_CONTROL_API int32_t Double_MaxConcurrentCalls(void);
/* The generation the double plays: 4, or 5 for the version 5.0 build. */
DOUBLE_CONTROL_API int32_t Double_Generation(void);

#ifdef __cplusplus
}
#endif

#endif /* CE_TESTS_DOUBLE_CONTROL_H */
