// The library's 32 entry points: argument checks, the process-wide
// encryption and signature contexts, status arrays, and no exception ever
// crossing the boundary. Compiled once per generation (KESTREL_GENERATION).
#include "provider/include/kestrel.h"

#include "directory.h"
#include "key_driver.h"
#include "operations.h"
#include "platform/platform.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#ifndef KESTREL_GENERATION
#error "KESTREL_GENERATION must be 4 or 5"
#endif

using namespace kestrel_provider;

namespace {

constexpr Generation kGeneration = KESTREL_GENERATION == 5 ? Generation::G5 : Generation::G4;
constexpr std::size_t kMaxPath = 4096;
constexpr std::size_t kMaxRecipients = 4096;
constexpr std::int64_t kMaxFile = 1LL << 30;
// SlotInfo: bit 0 encryption key present, bit 1 signature key present.
constexpr std::uint32_t kSlotHasBothKeys = 3;

// Runs an entry point body; failures inside become codes.
template <typename Body> Code Guard(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return code::kNoMemory;
  } catch (...) {
    return code::kCryptoFailure;
  }
}

// The open encryption and signature contexts of the process.
struct Context {
  bool open = false;
  std::string secretPath;
  std::string publicDir;
};

class Contexts {
public:
  static Contexts &Instance() {
    static Contexts c;
    return c;
  }
  Code Open(Context Contexts::*which, const char *secretPath, const char *publicDir) {
    const auto secret = BoundedText(secretPath, kMaxPath);
    const auto pub = BoundedText(publicDir, kMaxPath);
    if (!secret || !pub)
      return code::kBadParameter;
    std::lock_guard<std::mutex> lock(mutex_);
    this->*which = Context{true, *secret, *pub};
    return code::kOk;
  }
  void Close(Context Contexts::*which) {
    std::lock_guard<std::mutex> lock(mutex_);
    this->*which = Context{};
  }
  // The public directory of an open context, or nullopt.
  std::optional<std::string> PublicDir(Context Contexts::*which) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!(this->*which).open)
      return std::nullopt;
    return (this->*which).publicDir;
  }
  void SetSigner(std::string signer) {
    std::lock_guard<std::mutex> lock(mutex_);
    signer_ = std::move(signer);
  }
  std::string Signer() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signer_;
  }

  Context crypto;
  Context sign;

private:
  std::mutex mutex_;
  std::string signer_;
};

// Status arrays handed to callers, kept until FreeMemory.
class StatusArrays {
public:
  static StatusArrays &Instance() {
    static StatusArrays s;
    return s;
  }
  KestrelSignStatus *Make(const std::vector<SignatureStatus> &statuses) {
    if (statuses.empty())
      return nullptr;
    auto records = std::make_unique<std::vector<KestrelSignStatus>>(statuses.size());
    for (std::size_t i = 0; i < statuses.size(); ++i) {
      KestrelSignStatus &r = (*records)[i];
      std::memset(&r, 0, sizeof r);
      std::memcpy(r.Signer, statuses[i].signer.data(),
                  std::min(statuses[i].signer.size(), sizeof r.Signer));
      r.Verdict = statuses[i].verdict;
    }
    KestrelSignStatus *p = records->data();
    std::lock_guard<std::mutex> lock(mutex_);
    live_.emplace(p, std::move(records));
    return p;
  }
  bool Free(void *p) {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.erase(p) == 1;
  }

private:
  std::mutex mutex_;
  std::unordered_map<void *, std::unique_ptr<std::vector<KestrelSignStatus>>> live_;
};

static_assert(sizeof(KestrelSignStatus) == KESTREL_STATUS_RECORD_SIZE);
static_assert(offsetof(KestrelSignStatus, Verdict) == KESTREL_STATUS_VERDICT_OFFSET);
static_assert(sizeof(KestrelSlotInfo) == 32);

Code ReportStatuses(Code c, const std::vector<SignatureStatus> &statuses, uint8_t *count,
                    KestrelSignStatus **status) {
  if (c != 0)
    return c;
  *status = StatusArrays::Instance().Make(statuses);
  *count = static_cast<uint8_t>(statuses.size());
  return code::kOk;
}

// A key identifier argument of either kind.
std::optional<std::string> IdArgument(const char *text) {
  auto id = BoundedText(text, kSignatureIdLength);
  if (!id || !KindOfId(*id))
    return std::nullopt;
  return id;
}

std::optional<std::vector<std::uint16_t>> RecipientList(const uint16_t *list) {
  if (list == nullptr)
    return std::nullopt;
  std::vector<std::uint16_t> out;
  for (std::size_t i = 0; i <= kMaxRecipients; ++i) {
    if (list[i] == 0)
      return out.empty() ? std::nullopt : std::optional(out);
    out.push_back(list[i]);
  }
  return std::nullopt;
}

// The key series argument: empty (use the own key's) or six digits.
std::optional<std::string> SeriesArgument(const char *text) {
  if (text == nullptr)
    return std::string();
  auto s = BoundedText(text, kSeriesLength);
  if (!s || (!s->empty() && !IsValidId("0000" + *s, KeyKind::Encryption)))
    return std::nullopt;
  return s;
}

Code ReadWholeFile(const char *name, Bytes &out) {
  const auto path = BoundedText(name, kMaxPath);
  if (!path || path->empty())
    return code::kBadParameter;
  if (!platform::FileExists(*path))
    return code::kOpenInput;
  platform::ReadOnlyFile file(*path);
  if (!file.IsOpen())
    return code::kOpenInput;
  const std::int64_t size = file.Size();
  if (size < 0)
    return code::kReadFile;
  if (size == 0 || size > kMaxFile)
    return code::kBadFileLength;
  out.resize(static_cast<std::size_t>(size));
  return file.Read(out.data(), out.size()) == out.size() ? code::kOk : code::kReadFile;
}

// True when both file names are usable texts.
bool FileArguments(const char *inFile, const char *outFile) {
  const auto in = BoundedText(inFile, kMaxPath);
  const auto out = BoundedText(outFile, kMaxPath);
  return in && out && !in->empty() && !out->empty();
}

Code WriteWholeFile(const char *name, const std::uint8_t *data, std::size_t length) {
  const auto path = BoundedText(name, kMaxPath);
  if (!path || path->empty())
    return code::kBadParameter;
  return platform::WriteFileAtomically(*path, data, length) ? code::kOk : code::kWriteFile;
}

std::string DefaultSigner() {
  std::string signer = Contexts::Instance().Signer();
  if (signer.empty())
    if (const auto key = KeyDriver::Instance().Slot0(KeyKind::Signature))
      signer = key->id;
  return signer;
}

Code SignInPlace(void *block, int32_t *length, const std::string &signer) {
  if (block == nullptr || length == nullptr)
    return code::kBadParameter;
  if (*length < 1)
    return code::kBadLength;
  std::size_t n = static_cast<std::size_t>(*length);
  const Code c = SignAttached(static_cast<std::uint8_t *>(block), n, signer);
  if (c == 0)
    *length = static_cast<int32_t>(n);
  return c;
}

Code SignSeparate(const void *data, int32_t length, int32_t *signatureLength,
                  const std::string &signer, void *signature) {
  if (data == nullptr || signatureLength == nullptr || signature == nullptr)
    return code::kBadParameter;
  if (length < 1)
    return code::kBadLength;
  Bytes out;
  const Code c = SignDetached(static_cast<const std::uint8_t *>(data),
                              static_cast<std::size_t>(length), signer, out);
  if (c != 0)
    return c;
  std::memcpy(signature, out.data(), out.size());
  *signatureLength = static_cast<int32_t>(out.size());
  return code::kOk;
}

// Directory owner arguments: an identifier that fits its kind letter.
std::optional<std::pair<std::string, KeyKind>> OwnerArguments(const char *owner, char kind) {
  if (kind != 'E' && kind != 'S')
    return std::nullopt;
  const auto k = static_cast<KeyKind>(kind);
  auto id = BoundedText(owner, kSignatureIdLength);
  if (!id || !IsValidId(*id, k))
    return std::nullopt;
  return std::make_pair(*id, k);
}

} // namespace

extern "C" {

// --- key driver ---

KESTREL_API InitKey(const char *keyPath, const char * /*reserved*/) {
  return Guard([&] {
    const auto path = BoundedText(keyPath, kMaxPath);
    if (!path || path->empty())
      return code::kBadParameter;
    return KeyDriver::Instance().Load(*path);
  });
}

KESTREL_API ResetKeyEx(const char *keyNumber, int32_t /*mode*/) {
  return Guard([&] {
    const auto id = IdArgument(keyNumber);
    if (!id)
      return code::kBadParameter;
    const Code c = KeyDriver::Instance().Reset(*id);
    if (c == code::kOk)
      ForgetCheckedDirectoriesOf(std::string_view(*id).substr(0, kEncryptionIdLength));
    return c;
  });
}

KESTREL_API GetDrvInfo(KestrelSlotInfo *table, int32_t *count) {
  return Guard([&] {
    if (table == nullptr || count == nullptr)
      return code::kBadParameter;
    const auto slots = KeyDriver::Instance().Slots();
    for (std::size_t i = 0; i < slots.size(); ++i) {
      KestrelSlotInfo record;
      std::memset(&record, 0, sizeof record);
      std::memcpy(record.Num, slots[i].num.data(), slots[i].num.size());
      std::memcpy(record.NumP, slots[i].numP.data(), slots[i].numP.size());
      if constexpr (kGeneration == Generation::G5) {
        // Generation 5: SlotInfo is 16 bits at offset 24, two spare bytes follow.
        const auto info = static_cast<std::uint16_t>(kSlotHasBothKeys);
        std::memcpy(reinterpret_cast<std::uint8_t *>(&record) + 24, &info, sizeof info);
      } else {
        record.SlotInfo = static_cast<int32_t>(kSlotHasBothKeys);
      }
      record.SlotNo = slots[i].slotNo;
      std::memcpy(table + i, &record, sizeof record);
    }
    *count = static_cast<int32_t>(slots.size());
    return code::kOk;
  });
}

KESTREL_API FreeMemory(void *memory) {
  return Guard([&] {
    if (memory == nullptr)
      return code::kOk;
    return StatusArrays::Instance().Free(memory) ? code::kOk : code::kBadParameter;
  });
}

// --- signature work ---

KESTREL_API SignInit(const char *secretPath, const char *publicDir) {
  return Guard([&] { return Contexts::Instance().Open(&Contexts::sign, secretPath, publicDir); });
}

KESTREL_API SignDone(void) {
  return Guard([&] {
    Contexts::Instance().Close(&Contexts::sign);
    return code::kOk;
  });
}

KESTREL_API SignLogIn(const char *keyNumber) {
  return Guard([&] {
    const auto id = BoundedText(keyNumber, kSignatureIdLength);
    if (!id || !IsValidId(*id, KeyKind::Signature))
      return code::kBadParameter;
    if (!KeyDriver::Instance().Find(*id))
      return code::kKeyNotFound;
    Contexts::Instance().SetSigner(*id);
    return code::kOk;
  });
}

KESTREL_API SignLogOut(void) {
  return Guard([&] {
    Contexts::Instance().SetSigner({});
    return code::kOk;
  });
}

KESTREL_API DelSign(const char *fileName, int32_t count) {
  return Guard([&] {
    Bytes data;
    if (Code c = ReadWholeFile(fileName, data); c != 0)
      return c;
    std::size_t length = data.size();
    if (Code c = DeleteAttached(data.data(), length, count); c != 0)
      return c;
    return WriteWholeFile(fileName, data.data(), length);
  });
}

KESTREL_API SignFile(const char *inFile, const char *outFile, const char *keyNumber) {
  return Guard([&] {
    const auto signer = BoundedText(keyNumber, kSignatureIdLength);
    if (!signer)
      return code::kBadParameter;
    Bytes data;
    if (Code c = ReadWholeFile(inFile, data); c != 0)
      return c;
    std::size_t length = data.size();
    data.resize(length + kAttachedRecordSize);
    if (Code c = SignAttached(data.data(), length, *signer); c != 0)
      return c;
    return WriteWholeFile(outFile, data.data(), length);
  });
}

KESTREL_API check_file_sign(const char *fileName, uint8_t *count, KestrelSignStatus **status) {
  return Guard([&] {
    if (count == nullptr || status == nullptr)
      return code::kBadParameter;
    const auto dir = Contexts::Instance().PublicDir(&Contexts::sign);
    if (!dir)
      return code::kInitFailure;
    Bytes data;
    if (Code c = ReadWholeFile(fileName, data); c != 0)
      return c;
    std::vector<SignatureStatus> statuses;
    return ReportStatuses(CheckAttached(kGeneration, *dir, data.data(), data.size(), statuses),
                          statuses, count, status);
  });
}

KESTREL_API SignMem(void *block, int32_t *length) {
  return Guard([&] { return SignInPlace(block, length, DefaultSigner()); });
}

KESTREL_API SignMemEx(void *block, int32_t *length, const char *keyNumber) {
  return Guard([&] {
    const auto signer = BoundedText(keyNumber, kSignatureIdLength);
    if (!signer)
      return code::kBadParameter;
    return SignInPlace(block, length, *signer);
  });
}

KESTREL_API check_mem_sign(const void *block, int32_t length, uint8_t *count,
                           KestrelSignStatus **status) {
  return Guard([&] {
    if (block == nullptr || count == nullptr || status == nullptr)
      return code::kBadParameter;
    if (length < 1)
      return code::kBadLength;
    const auto dir = Contexts::Instance().PublicDir(&Contexts::sign);
    if (!dir)
      return code::kInitFailure;
    std::vector<SignatureStatus> statuses;
    return ReportStatuses(CheckAttached(kGeneration, *dir, static_cast<const std::uint8_t *>(block),
                                        static_cast<std::size_t>(length), statuses),
                          statuses, count, status);
  });
}

KESTREL_API Del_Mem_Sign(void *block, int32_t *length, int32_t count) {
  return Guard([&] {
    if (block == nullptr || length == nullptr)
      return code::kBadParameter;
    if (*length < 1)
      return code::kBadLength;
    std::size_t n = static_cast<std::size_t>(*length);
    const Code c = DeleteAttached(static_cast<const std::uint8_t *>(block), n, count);
    if (c == 0)
      *length = static_cast<int32_t>(n);
    return c;
  });
}

KESTREL_API SignMemSeparate(const void *data, int32_t length, int32_t *signatureLength,
                            void *signature) {
  return Guard(
      [&] { return SignSeparate(data, length, signatureLength, DefaultSigner(), signature); });
}

KESTREL_API SignMemSeparateEx(const void *data, int32_t length, int32_t *signatureLength,
                              const char *keyNumber, void *signature) {
  return Guard([&] {
    const auto signer = BoundedText(keyNumber, kSignatureIdLength);
    if (!signer)
      return code::kBadParameter;
    return SignSeparate(data, length, signatureLength, *signer, signature);
  });
}

KESTREL_API CheckMemSeparate(const void *data, int32_t length, int32_t signatureLength,
                             uint8_t *count, KestrelSignStatus **status, const void *signature) {
  return Guard([&] {
    if (data == nullptr || count == nullptr || status == nullptr || signature == nullptr)
      return code::kBadParameter;
    if (length < 1 || signatureLength < 1)
      return code::kBadLength;
    const auto dir = Contexts::Instance().PublicDir(&Contexts::sign);
    if (!dir)
      return code::kInitFailure;
    std::vector<SignatureStatus> statuses;
    const Code c = VerifyDetached(kGeneration, *dir, static_cast<const std::uint8_t *>(data),
                                  static_cast<std::size_t>(length),
                                  static_cast<const std::uint8_t *>(signature),
                                  static_cast<std::size_t>(signatureLength), statuses);
    return ReportStatuses(c, statuses, count, status);
  });
}

// --- encryption work ---

KESTREL_API CryptoInit(const char *secretPath, const char *publicDir) {
  return Guard([&] { return Contexts::Instance().Open(&Contexts::crypto, secretPath, publicDir); });
}

KESTREL_API CryptoDone(void) {
  return Guard([&] {
    Contexts::Instance().Close(&Contexts::crypto);
    return code::kOk;
  });
}

KESTREL_API EnCryptMem(const void *input, int32_t length, void *output, uint16_t ownKey,
                       const uint16_t *recipients, const char *keySerial) {
  return Guard([&] {
    if (input == nullptr || output == nullptr)
      return code::kBadParameter;
    if (length < 1)
      return code::kBadLength;
    const auto list = RecipientList(recipients);
    const auto series = SeriesArgument(keySerial);
    if (!list || !series)
      return code::kBadParameter;
    if (static_cast<std::uint64_t>(length) + EnvelopeOverhead(list->size()) > 0x7FFFFFFF)
      return code::kBadLength;
    const auto dir = Contexts::Instance().PublicDir(&Contexts::crypto);
    if (!dir)
      return code::kInitFailure;
    return EncryptBlock(kGeneration, *dir, static_cast<const std::uint8_t *>(input),
                        static_cast<std::size_t>(length), static_cast<std::uint8_t *>(output),
                        ownKey, *list, *series);
  });
}

KESTREL_API DeCryptMem(void *block, int32_t *length, uint16_t ownKey) {
  return Guard([&] {
    if (block == nullptr || length == nullptr)
      return code::kBadParameter;
    if (*length < 1)
      return code::kBadLength;
    const auto dir = Contexts::Instance().PublicDir(&Contexts::crypto);
    if (!dir)
      return code::kInitFailure;
    std::size_t n = static_cast<std::size_t>(*length);
    const Code c = DecryptBlock(kGeneration, *dir, static_cast<std::uint8_t *>(block), n, ownKey);
    if (c == 0)
      *length = static_cast<int32_t>(n);
    return c;
  });
}

KESTREL_API GetMemSenderID(const void *block, int32_t length, char *sender) {
  return Guard([&] {
    if (block == nullptr || sender == nullptr)
      return code::kBadParameter;
    if (length < 1)
      return code::kBadLength;
    std::string id;
    if (Code c = SenderOfBlock(static_cast<const std::uint8_t *>(block),
                               static_cast<std::size_t>(length), id);
        c != 0)
      return c;
    std::memcpy(sender, id.c_str(), id.size() + 1);
    return code::kOk;
  });
}

KESTREL_API GetCryptKeysM(const void *block, int32_t length, uint16_t *recipients, int32_t *count) {
  return Guard([&] {
    if (block == nullptr || recipients == nullptr || count == nullptr)
      return code::kBadParameter;
    if (length < 1 || *count < 0)
      return code::kBadLength;
    std::vector<std::uint16_t> numbers;
    if (Code c = RecipientsOfBlock(static_cast<const std::uint8_t *>(block),
                                   static_cast<std::size_t>(length), numbers);
        c != 0)
      return c;
    const std::size_t capacity = static_cast<std::size_t>(*count);
    *count = static_cast<int32_t>(numbers.size());
    if (numbers.size() > capacity)
      return code::kBadLength;
    std::copy(numbers.begin(), numbers.end(), recipients);
    return code::kOk;
  });
}

KESTREL_API GetCryptKeysF(const char *fileName, uint16_t *recipients, int32_t *count) {
  return Guard([&] {
    Bytes data;
    if (Code c = ReadWholeFile(fileName, data); c != 0)
      return c;
    if (data.size() > 0x7FFFFFFF)
      return code::kBadFileLength;
    return static_cast<Code>(
        GetCryptKeysM(data.data(), static_cast<int32_t>(data.size()), recipients, count));
  });
}

KESTREL_API GetFileSenderID(const char *fileName, char *sender) {
  return Guard([&] {
    if (sender == nullptr)
      return code::kBadParameter;
    Bytes data;
    if (Code c = ReadWholeFile(fileName, data); c != 0)
      return c;
    std::string id;
    if (Code c = SenderOfBlock(data.data(), data.size(), id); c != 0)
      return c;
    std::memcpy(sender, id.c_str(), id.size() + 1);
    return code::kOk;
  });
}

KESTREL_API EnCryptFile(const char *inFile, const char *outFile, uint16_t ownKey,
                        const uint16_t *recipients, const char *keySerial) {
  return Guard([&] {
    const auto list = RecipientList(recipients);
    const auto series = SeriesArgument(keySerial);
    if (!list || !series || !FileArguments(inFile, outFile))
      return code::kBadParameter;
    const auto dir = Contexts::Instance().PublicDir(&Contexts::crypto);
    if (!dir)
      return code::kInitFailure;
    SecretBuffer data;
    if (Code c = ReadWholeFile(inFile, data.bytes()); c != 0)
      return c;
    Bytes out(data.bytes().size() + EnvelopeOverhead(list->size()));
    if (Code c = EncryptBlock(kGeneration, *dir, data.bytes().data(), data.bytes().size(),
                              out.data(), ownKey, *list, *series);
        c != 0)
      return c;
    return WriteWholeFile(outFile, out.data(), out.size());
  });
}

KESTREL_API DeCryptFile(const char *inFile, const char *outFile, uint16_t ownKey) {
  return Guard([&] {
    if (!FileArguments(inFile, outFile))
      return code::kBadParameter;
    const auto dir = Contexts::Instance().PublicDir(&Contexts::crypto);
    if (!dir)
      return code::kInitFailure;
    SecretBuffer data;
    if (Code c = ReadWholeFile(inFile, data.bytes()); c != 0)
      return c;
    std::size_t length = data.bytes().size();
    if (Code c = DecryptBlock(kGeneration, *dir, data.bytes().data(), length, ownKey); c != 0)
      return c;
    return WriteWholeFile(outFile, data.bytes().data(), length);
  });
}

// --- public key directory ---

KESTREL_API AddOpenKey(const char *directory, const void *keyBlock, const char *ownerKeyNumber,
                       char kind) {
  return Guard([&] {
    const auto dir = BoundedText(directory, kMaxPath);
    const auto owner = OwnerArguments(ownerKeyNumber, kind);
    if (!dir || dir->empty() || keyBlock == nullptr || !owner)
      return code::kBadParameter;
    return AddPublicKey(*dir, kGeneration, static_cast<const std::uint8_t *>(keyBlock),
                        owner->first, owner->second);
  });
}

KESTREL_API DelOpenKey(const char *directory, const char *keyNumber, const char *ownerKeyNumber,
                       char kind) {
  return Guard([&] {
    const auto dir = BoundedText(directory, kMaxPath);
    const auto id = IdArgument(keyNumber);
    const auto owner = OwnerArguments(ownerKeyNumber, kind);
    if (!dir || dir->empty() || !id || !owner)
      return code::kBadParameter;
    return DeletePublicKey(*dir, kGeneration, *id, owner->first, owner->second);
  });
}

KESTREL_API ExtractKey(const char *directory, const char *keyNumber, void *keyBlock) {
  return Guard([&] {
    const auto dir = BoundedText(directory, kMaxPath);
    const auto id = IdArgument(keyNumber);
    if (!dir || dir->empty() || !id || keyBlock == nullptr)
      return code::kBadParameter;
    Bytes block;
    if (Code c = ExtractPublicKeyBlock(*dir, kGeneration, *id, block); c != 0)
      return c;
    std::memcpy(keyBlock, block.data(), block.size());
    return code::kOk;
  });
}

KESTREL_API GetAlias(const char *keyNumber, char *alias) {
  return Guard([&] {
    // Keys have no names besides their identifiers: the alias of a loaded
    // key is its identifier (at most 12 characters and a NUL).
    const auto id = IdArgument(keyNumber);
    if (!id || alias == nullptr)
      return code::kBadParameter;
    if (!KeyDriver::Instance().Find(*id))
      return code::kKeyNotFound;
    std::memcpy(alias, id->c_str(), id->size() + 1);
    return code::kOk;
  });
}

} // extern "C"
