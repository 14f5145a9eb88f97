/*
 * host_example: one user's host program from start to end, in plain C.
 *
 * It creates an engine, sets the root and the parameters, includes public
 * keys, signs a payment order, encrypts it for the user and a bank, decrypts
 * it again, verifies the signature, shows that a changed order fails, reads
 * the module's texts in UTF-8 and tears the engine down. docs/host-guide.md
 * explains each step.
 *
 * usage: host_example DIR ENCODE_UID SIGN_UID BANK_ENCODE_UID BANK_SIGN_UID
 *
 * DIR holds the user's key device DIR/keys (made with "kestrel-keys new
 * --device DIR/keys ..."), an existing public key directory DIR/public, and
 * the public key files DIR/exchange/<identifier>.pub of the user and of the
 * bank. Paths and identifiers are taken as UTF-8. Exit status 0 when every
 * step did what it should.
 */
#include <ce_kestrel.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

/* Converts a NUL-terminated text between Windows-1251 and UTF-8 ("to_utf8"
 * chooses the direction). Returns a string to free(), or NULL when the text
 * cannot be converted (for example a UTF-8 name with a character that
 * Windows-1251 does not have). */
static char *convert(const char *text, int to_utf8) {
#if defined(_WIN32)
  const UINT from = to_utf8 ? 1251 : CP_UTF8, to = to_utf8 ? CP_UTF8 : 1251;
  BOOL lossy = FALSE;
  int wide_len = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
  wchar_t *wide;
  char *out = NULL;
  int out_len;
  if (wide_len <= 0)
    return NULL;
  wide = malloc(sizeof(wchar_t) * (size_t)wide_len);
  if (wide == NULL)
    return NULL;
  MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, -1, wide, wide_len);
  out_len = WideCharToMultiByte(to, 0, wide, -1, NULL, 0, NULL, to_utf8 ? NULL : &lossy);
  if (out_len > 0 && !lossy && (out = malloc((size_t)out_len)) != NULL)
    WideCharToMultiByte(to, 0, wide, -1, out, out_len, NULL, NULL);
  free(wide);
  return out;
#else
  iconv_t cd = to_utf8 ? iconv_open("UTF-8", "WINDOWS-1251") : iconv_open("WINDOWS-1251", "UTF-8");
  size_t in_left = strlen(text), out_size = 4 * in_left + 1, out_left = out_size - 1;
  char *out, *in = (char *)text, *end;
  if (cd == (iconv_t)-1)
    return NULL;
  out = malloc(out_size);
  end = out;
  if (out != NULL && iconv(cd, &in, &in_left, &end, &out_left) == (size_t)-1) {
    free(out);
    out = NULL;
  }
  if (out != NULL)
    *end = '\0';
  iconv_close(cd);
  return out;
#endif
}

static int failures = 0;

/* Prints a line of the transcript; the module's texts arrive in UTF-8. */
static void say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fputc('\n', stdout);
}

static void fail(const char *what) {
  fprintf(stderr, "host_example: %s\n", what);
  ++failures;
}

/* The module's text for a result code, in UTF-8 (to free()). The buffer has
 * the size GetMaxErrorStringLength gives; the module NUL-terminates it. */
static char *error_text(CE_HANDLE engine, int32_t code) {
  const int32_t size = GetMaxErrorStringLength(engine);
  char *text, *utf8;
  if (size <= 0 || (text = calloc((size_t)size, 1)) == NULL)
    return NULL;
  GetCryptoErrorString(engine, code, text);
  utf8 = convert(text, 1);
  free(text);
  return utf8;
}

/* Reports a failed call with the module's text; returns code == 0. */
static int check(CE_HANDLE engine, int32_t code, const char *what) {
  char *text;
  if (code == CE_OK)
    return 1;
  text = error_text(engine, code);
  fprintf(stderr, "host_example: %s: %s (code %d)\n", what, text != NULL ? text : "?", (int)code);
  free(text);
  ++failures;
  return 0;
}

/* The number of the parameter called |name|, 0 when there is none. */
static int32_t param_index(CE_HANDLE engine, const char *name) {
  const int32_t count = GetCryptoParamNumber(engine);
  const int32_t size = GetMaxCryptoParamNameLength(engine) + 1;
  int32_t i, found = 0;
  char *buffer = size > 1 ? malloc((size_t)size) : NULL;
  if (buffer == NULL)
    return 0;
  for (i = 1; i <= count && found == 0; ++i) {
    GetCryptoParamName(engine, i, buffer);
    if (strcmp(buffer, name) == 0)
      found = i;
  }
  free(buffer);
  return found;
}

/* Sets a parameter by name to a UTF-8 value. */
static void set_param(CE_HANDLE engine, const char *name, const char *utf8_value) {
  const int32_t index = param_index(engine, name);
  char *value = convert(utf8_value, 0);
  if (index == 0 || value == NULL)
    fail(index == 0 ? "the module has no such parameter" : "a value Windows-1251 cannot hold");
  else
    check(engine, SetCryptoParamValue(engine, index, value), name);
  free(value);
}

/* Lists the parameters: number, name, value, kind and allowed values. */
static void list_params(CE_HANDLE engine) {
  const int32_t count = GetCryptoParamNumber(engine);
  const int32_t value_size = GetMaxCryptoParamValueLength(engine) + 1;
  const int32_t name_size = GetMaxCryptoParamNameLength(engine) + 1;
  char *name = malloc((size_t)name_size), *value = malloc((size_t)value_size);
  int32_t i;
  for (i = 1; name != NULL && value != NULL && i <= count; ++i) {
    int32_t kind = 0, size = 0;
    char *info = NULL, *utf8;
    GetCryptoParamName(engine, i, name);
    GetCryptoParamValue(engine, i, value);
    /* First a size query with no buffer, then the text itself. */
    if (GetParamInfo(engine, i, &kind, NULL, &size) == CE_OK && size > 0 &&
        (info = calloc((size_t)size, 1)) != NULL)
      check(engine, GetParamInfo(engine, i, &kind, info, &size), "GetParamInfo");
    utf8 = convert(value, 1);
    say("  %2d %-32s = %-24s kind %2d%s%s", (int)i, name, utf8 != NULL ? utf8 : "?", (int)kind,
        info != NULL ? " " : "", info != NULL ? info : "");
    free(utf8);
    free(info);
  }
  free(name);
  free(value);
}

/* The host's key-device prompt: 0 when the module starts waiting for the
 * device, 1 when the wait ends. */
static void CE_STDCALL key_device_prompt(int32_t state) {
  fputs(state == 0 ? "Insert your key device...\n" : "Key device wait ended.\n", stderr);
}

/* Writes DIR/NAME into |out|; 0 when it does not fit (never a cut path). */
static int make_path(char *out, size_t size, const char *dir, const char *name) {
  const int n = snprintf(out, size, "%s/%s", dir, name);
  if (n < 0 || (size_t)n >= size) {
    fail("a path too long for this example");
    return 0;
  }
  return 1;
}

/* Includes a public key file DIR/exchange/<uid>.pub of either kind. */
static void include_key(CE_HANDLE engine, const char *dir, const char *uid, int encryption) {
  char name[64], utf8[4096], *path;
  snprintf(name, sizeof name, "exchange/%.20s.pub", uid);
  if (!make_path(utf8, sizeof utf8, dir, name))
    return;
  path = convert(utf8, 0);
  if (path == NULL) {
    fail("a path Windows-1251 cannot hold");
    return;
  }
  check(engine, encryption ? IncludePublicEncodeKey(engine, path) : IncludePublicKey(engine, path),
        utf8);
  free(path);
}

int main(int argc, char **argv) {
  static const char order[] = "PAYMENT ORDER No. 1207; amount 125000.00 RUB";
  const char *dir, *encode_uid, *sign_uid, *bank_encode_uid, *bank_sign_uid;
  char path[4096], recipients[64], *root;
  CE_HANDLE engine;
  unsigned char *signature = NULL, *block = NULL;
  char *sender = NULL, *signer = NULL, *text;
  int32_t signature_size, signature_length = 0, size, addition, uid_size, rc;

  if (argc != 6) {
    fprintf(stderr, "usage: host_example DIR ENCODE_UID SIGN_UID BANK_ENCODE_UID BANK_SIGN_UID\n");
    return 2;
  }
  dir = argv[1];
  encode_uid = argv[2];
  sign_uid = argv[3];
  bank_encode_uid = argv[4];
  bank_sign_uid = argv[5];

  /* 1. Create an engine. */
  engine = GetCryptObj(0);
  if (engine == NULL) {
    fprintf(stderr, "host_example: the module cannot create an engine\n");
    return 1;
  }

  /* 2. The root, the key-device prompt and the parameters. */
  root = convert(dir, 0);
  if (root == NULL) {
    fprintf(stderr, "host_example: a directory name Windows-1251 cannot hold\n");
    DoneEngine(engine);
    return 2;
  }
  SetRootPath(engine, root);
  free(root);
  SetTMRequestFunc(engine, key_device_prompt);
  if (make_path(path, sizeof path, dir, "keys")) {
    set_param(engine, "Path to secret", path);
    set_param(engine, "Key device", path);
  }
  if (make_path(path, sizeof path, dir, "public"))
    set_param(engine, "Path to public", path);
  set_param(engine, "Encode UID", encode_uid);
  set_param(engine, "Sign UID", sign_uid);
  /* Encrypt for the user (to read it back) and the bank: four-digit numbers. */
  snprintf(recipients, sizeof recipients, "%.4s;%.4s", encode_uid, bank_encode_uid);
  set_param(engine, "Encrypt for key number", recipients);
  say("parameters:");
  list_params(engine);

  /* 3. Public keys: the user's own (to check its own signatures and read what
   * it encrypted for itself) and the bank's. */
  include_key(engine, dir, sign_uid, 0);
  include_key(engine, dir, encode_uid, 1);
  include_key(engine, dir, bank_sign_uid, 0);
  include_key(engine, dir, bank_encode_uid, 1);
  if (failures != 0)
    goto done;
  say("included 4 public keys");

  /* 4. Sign: the signature buffer has GetMaxSignatureLength bytes. */
  signature_size = GetMaxSignatureLength(engine);
  signature = signature_size > 0 ? malloc((size_t)signature_size) : NULL;
  uid_size = GetMaxUIDLength(engine);
  sender = uid_size > 0 ? calloc((size_t)uid_size, 1) : NULL;
  signer = uid_size > 0 ? calloc((size_t)uid_size, 1) : NULL;
  if (signature == NULL || sender == NULL || signer == NULL) {
    fail("out of memory");
    goto done;
  }
  if (!check(engine,
             SignData(engine, order, (int32_t)strlen(order), signature, &signature_length, NULL),
             "signing"))
    goto done;
  say("signed: %d-byte signature", (int)signature_length);

  /* 5. Encrypt for the configured recipients (a NULL list): the buffer holds
   * the plaintext and GetMaxAdditionEx(NULL) more bytes. */
  addition = GetMaxAdditionEx(engine, NULL);
  size = (int32_t)strlen(order);
  block = addition > 0 ? malloc((size_t)size + (size_t)addition) : NULL;
  if (block == NULL) {
    fail("no encryption buffer");
    goto done;
  }
  memcpy(block, order, (size_t)size);
  if (!check(engine, EncodeData(engine, block, &size, NULL), "encrypting"))
    goto done;
  say("encrypted for %s: %d -> %d bytes", recipients, (int)strlen(order), (int)size);

  /* 6. Decrypt in place; the sender's identifier arrives in Windows-1251. */
  if (!check(engine, DecodeData(engine, block, &size, sender), "decrypting"))
    goto done;
  if (size != (int32_t)strlen(order) || memcmp(block, order, (size_t)size) != 0)
    fail("the decrypted order differs from the one encrypted");
  say("decrypted: %d bytes, sender %s", (int)size, sender);

  /* 7. Verify the detached signature and learn the signer. */
  if (!check(engine, VerifyData(engine, block, size, signature, signature_length, signer),
             "verifying"))
    goto done;
  if (strcmp(signer, sign_uid) != 0)
    fail("the signer is not the user");
  say("verified: signer %s", signer);

  /* 8. A changed order fails; its text is Russian, shown in UTF-8. */
  block[0] ^= 0x20;
  rc = VerifyData(engine, block, size, signature, signature_length, signer);
  text = error_text(engine, rc);
  say("changed order: code %d: %s", (int)rc, text != NULL ? text : "?");
  free(text);
  if (rc != CE_SIGNATURE_WRONG)
    fail("a changed order was not refused as a wrong signature");

done:
  /* 9. Tear down. */
  free(signature);
  free(block);
  free(sender);
  free(signer);
  DoneEngine(engine);
  puts(failures == 0 ? "every step did what it should" : "some steps failed");
  return failures == 0 ? 0 : 1;
}
