// A minimal provider: every entry point present (GetAlias left out when
// TP_WITHOUT_GETALIAS is defined), each doing nothing and answering 0. Its
// file version tells the loader which generation it is.
#include "platform/file_version_note.h"
#include "tests/providers/provider_entry.h"

CE_FILE_VERSION_NOTE(TP_VERSION_MAJOR, TP_VERSION_MINOR, TP_VERSION_RELEASE, TP_VERSION_BUILD)

TP_ENTRY InitKey(const char *, const char *) { return 0; }
TP_ENTRY ResetKeyEx(const char *, int32_t) { return 0; }
TP_ENTRY GetDrvInfo(KestrelSlotInfo *, int32_t *count) {
  if (count != nullptr)
    *count = 0;
  return 0;
}
TP_ENTRY FreeMemory(void *) { return 0; }
TP_ENTRY SignInit(const char *, const char *) { return 0; }
TP_ENTRY SignDone(void) { return 0; }
TP_ENTRY SignLogIn(const char *) { return 0; }
TP_ENTRY SignLogOut(void) { return 0; }
TP_ENTRY DelSign(const char *, int32_t) { return 0; }
TP_ENTRY SignFile(const char *, const char *, const char *) { return 0; }
TP_ENTRY check_file_sign(const char *, uint8_t *count, KestrelSignStatus **status) {
  if (count != nullptr)
    *count = 0;
  if (status != nullptr)
    *status = nullptr;
  return 0;
}
TP_ENTRY SignMem(void *, int32_t *) { return 0; }
TP_ENTRY SignMemEx(void *, int32_t *, const char *) { return 0; }
TP_ENTRY check_mem_sign(const void *, int32_t, uint8_t *count, KestrelSignStatus **status) {
  return check_file_sign(nullptr, count, status);
}
TP_ENTRY Del_Mem_Sign(void *, int32_t *, int32_t) { return 0; }
TP_ENTRY SignMemSeparate(const void *, int32_t, int32_t *signatureLength, void *) {
  if (signatureLength != nullptr)
    *signatureLength = 0;
  return 0;
}
TP_ENTRY SignMemSeparateEx(const void *data, int32_t length, int32_t *signatureLength, const char *,
                           void *signature) {
  return SignMemSeparate(data, length, signatureLength, signature);
}
TP_ENTRY CheckMemSeparate(const void *, int32_t, int32_t, uint8_t *count,
                          KestrelSignStatus **status, const void *) {
  return check_file_sign(nullptr, count, status);
}
TP_ENTRY CryptoInit(const char *, const char *) { return 0; }
TP_ENTRY CryptoDone(void) { return 0; }
TP_ENTRY EnCryptFile(const char *, const char *, uint16_t, const uint16_t *, const char *) {
  return 0;
}
TP_ENTRY DeCryptFile(const char *, const char *, uint16_t) { return 0; }
TP_ENTRY GetCryptKeysF(const char *, uint16_t *, int32_t *count) {
  if (count != nullptr)
    *count = 0;
  return 0;
}
TP_ENTRY GetCryptKeysM(const void *, int32_t, uint16_t *recipients, int32_t *count) {
  return GetCryptKeysF(nullptr, recipients, count);
}
TP_ENTRY DeCryptMem(void *, int32_t *, uint16_t) { return 0; }
TP_ENTRY EnCryptMem(const void *, int32_t, void *, uint16_t, const uint16_t *, const char *) {
  return 0;
}
TP_ENTRY GetFileSenderID(const char *, char *sender) {
  if (sender != nullptr)
    sender[0] = '\0';
  return 0;
}
TP_ENTRY GetMemSenderID(const void *, int32_t, char *sender) {
  return GetFileSenderID(nullptr, sender);
}
TP_ENTRY AddOpenKey(const char *, const void *, const char *, char) { return 0; }
#if !defined(TP_WITHOUT_GETALIAS)
TP_ENTRY GetAlias(const char *, char *alias) { return GetFileSenderID(nullptr, alias); }
#endif
TP_ENTRY ExtractKey(const char *, const char *, void *) { return 0; }
TP_ENTRY DelOpenKey(const char *, const char *, const char *, char) { return 0; }
