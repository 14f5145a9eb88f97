#include "Cryptlib/cryptobj.h"

#include "support/exception_text.h"
#include "support/rgenutil.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr std::string_view kRootPlaceholder = "%ZEVRoot%";

// Copies the text and a NUL into the buffer, cut to at most maxLength
// characters, so a buffer of maxLength + 1 bytes is never overrun.
void CopyBounded(const std::string &text, char *buffer, int32_t maxLength) {
  const std::size_t length =
      std::min(text.size(), static_cast<std::size_t>(std::max<int32_t>(maxLength, 0)));
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

// Item index (1-based) of the list, or an empty text outside 1..count.
const std::string &ListItem(const std::vector<std::string> &list, int32_t index) {
  static const std::string kEmpty;
  if (index < 1 || static_cast<std::size_t>(index) > list.size())
    return kEmpty;
  return list[static_cast<std::size_t>(index) - 1];
}

// A size the host allocates by: a product that does not fit is answered with
// the nearest value that does, never with a wrapped (small or negative) one.
int32_t SaturatingProduct(int32_t a, int32_t b) {
  const int64_t product = int64_t{a} * b;
  return static_cast<int32_t>(std::clamp<int64_t>(product, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

} // namespace

// --- TSyncExceptStr --------------------------------------------------------

std::string TSyncExceptStr::GetText() {
  const TSharedHold hold(FLock);
  return FText;
}

void TSyncExceptStr::SetText(const std::string &text) {
  const TExclusiveHold hold(FLock);
  FText = text;
}

// --- TCryptoEngine ----------------------------------------------------------

TCryptoEngine::TCryptoEngine() = default;
TCryptoEngine::~TCryptoEngine() = default;

int32_t TCryptoEngine::ReservedOperation() { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludeVariant1(val, val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludeVariant2(val, val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludeVariant3(val x, val y, val z) { return IncludeVariant2(x, y, z); }
int32_t TCryptoEngine::IncludeVariant4(val, val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludeVariant5(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludeVariant6(val, val, val) { return CE_ERR_NOT_SUPPORTED; }

void TCryptoEngine::SetPasswordRequestFunc(CE_PASSWORD_REQUEST_FUNC fn) {
  FPasswordRequestFunc = fn;
}

void TCryptoEngine::SetRemoteGeneratePath(const std::string &path) {
  FRemoteGeneratePath = ExpandRootPath(path);
  if (!FRemoteGeneratePath.empty() && FRemoteGeneratePath.back() != '\\')
    FRemoteGeneratePath += '\\';
}

void TCryptoEngine::GetEngineName(char *) { throw EAbstractError(); }
int32_t TCryptoEngine::GetMaxEncodeAddition() { return 255; }
int32_t TCryptoEngine::GetMaxSignatureLength() { return 255; }
int32_t TCryptoEngine::GetMaxUIDLength() { return 255; }
int32_t TCryptoEngine::GetMaxCryptoParamNameLength() { return 255; }
int32_t TCryptoEngine::GetMaxCryptoParamValueLength() { return 255; }
int32_t TCryptoEngine::GetMaxErrorStringLength() { return 255; }
int32_t TCryptoEngine::GetMaxPasswordLength() { return 255; }
int32_t TCryptoEngine::GetCryptoParamNumber() { return static_cast<int32_t>(FParamNames.size()); }

void TCryptoEngine::GetCryptoParamName(int32_t index, char *buffer) {
  if (buffer != nullptr)
    CopyBounded(ListItem(FParamNames, index), buffer, GetMaxCryptoParamNameLength());
}

void TCryptoEngine::GetCryptoParamValue(int32_t index, char *buffer) {
  if (buffer != nullptr)
    CopyBounded(ListItem(FParamValues, index), buffer, GetMaxCryptoParamValueLength());
}

int32_t TCryptoEngine::SetCryptoParamValue(int32_t index, const char *value) {
  if (index < 1 || static_cast<std::size_t>(index) > FParamValues.size())
    return CE_ERR_NOT_SUPPORTED;
  FParamValues[static_cast<std::size_t>(index) - 1] = value != nullptr ? value : "";
  FParamsChanged = true;
  return 0;
}

int32_t TCryptoEngine::GetEncodeUIDBySignUID(const char *, char *) { throw EAbstractError(); }
int32_t TCryptoEngine::GetCurrentUID(char *) { throw EAbstractError(); }

int32_t TCryptoEngine::ClearErrorTextBuffer(char *buffer) {
  if (buffer == nullptr)
    return 0;
  const int32_t size = GetMaxErrorStringLength();
  if (size <= 0)
    return 0;
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  return size;
}

void TCryptoEngine::CopyErrorText(std::string_view text, char *buffer, int32_t size) {
  std::memcpy(buffer, text.data(), std::min(text.size(), static_cast<std::size_t>(size) - 1));
}

void TCryptoEngine::GetCryptoErrorString(int32_t code, char *buffer) {
  try {
    if (const int32_t size = ClearErrorTextBuffer(buffer); size != 0)
      CopyErrorText("CRYPTO ENGINE ERROR : " + std::to_string(code), buffer, size);
  } catch (...) {
    // The buffer keeps what was written.
  }
}

int32_t TCryptoEngine::EncodeData(void *, int32_t *, const char *) { throw EAbstractError(); }
int32_t TCryptoEngine::DecodeData(void *, int32_t *, char *) { throw EAbstractError(); }
int32_t TCryptoEngine::SignData(const void *, int32_t, void *, int32_t *, const char *) {
  throw EAbstractError();
}
int32_t TCryptoEngine::VerifyData(const void *, int32_t, const void *, int32_t, char *) {
  throw EAbstractError();
}

int32_t TCryptoEngine::IncludePublicKey(const char *) { return CE_ERR_NOT_SUPPORTED; }
void TCryptoEngine::ClearCash() {}
int32_t TCryptoEngine::UpdateCertificateCash(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::RemoveCertificate(const char *) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludeCRL(val) { return CE_ERR_NOT_SUPPORTED; }

void TCryptoEngine::GetLastErrorMessage(char *buffer) {
  CE_ASSERT(buffer != nullptr);
  buffer[0] = '\0';
}

int32_t TCryptoEngine::GenerateNewSSK() { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GenerateNewSEK() { return CE_ERR_NOT_SUPPORTED; }
bool TCryptoEngine::IsDifferentKeys() { return false; }
int32_t TCryptoEngine::IncludePublicEncodeKey(const char *) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::SignFile(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::VerifyFile(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::RemoveSignaturesFromFile(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::TransPrivateKeyFromFileToTM() { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::TransSignatureFromFileToTM() { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetMaxPublicKeyTransferSize() { return 4096; }
int32_t TCryptoEngine::RemoteGenerateStart(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::RemoteGenerateFinish(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::ExcludeSelfPublicKeyTransfer(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludePublicKeyTransfer(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetPublicKeyTransfer(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::SavePublicKeyFromTransfer(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::RemoteGenerateStartEx(val, val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::RemoteGenerateFinishEx(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetPublicKeyTransferByFile(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::IncludeCACertificateFromTransfer(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::AddSign(void *, int32_t *, const char *) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::RemoveSignature(void *, int32_t *, char *) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetMaxSignAddition() { return GetMaxSignatureLength() + 255; }

int32_t TCryptoEngine::GetMaxEncodeAdditionByCount(int32_t count) {
  return SaturatingProduct(GetMaxEncodeAddition(), count);
}

int32_t TCryptoEngine::SaveSignedDataToFile(const void *data, int32_t dataLength,
                                            const void *signature, int32_t signatureLength,
                                            const char *fileName) {
  if (fileName == nullptr || data == nullptr || dataLength <= 0 || signatureLength < 0)
    return 0;
  try {
    const auto dataSize = static_cast<std::size_t>(dataLength);
    const auto signatureSize = static_cast<std::size_t>(signatureLength);
    // A missing signature of positive length is written as zeros.
    std::vector<unsigned char> block(dataSize + signatureSize);
    std::memcpy(block.data(), data, dataSize);
    if (signatureSize != 0 && signature != nullptr)
      std::memcpy(block.data() + dataSize, signature, signatureSize);
    if (!SaveBufferToFile(ExpandRootPath(fileName), block.data(), block.size()))
      return CE_ERR_FILE_OPERATION;
    return 0;
  } catch (...) {
    return CE_ERR_EXCEPTION;
  }
}

int32_t TCryptoEngine::GetRemoteGenType() { return 1; }
int32_t TCryptoEngine::GetMaxReportSize() { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetReport(const char *, char *) { return CE_ERR_NOT_SUPPORTED; }

int32_t TCryptoEngine::GetMaxAdditionEx(const char *abonents) {
  const int32_t addition = GetMaxEncodeAddition();
  if (abonents == nullptr || *abonents == '\0')
    return addition;
  std::vector<std::string> items;
  return SaturatingProduct(addition, SplitList(abonents, items));
}

int32_t TCryptoEngine::GetUIDByPublicKeyTransfer(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetPublicKeyPropertiesByTransfer(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetPublicKeyPropertiesByFile(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::CreateDirStructure(val, val) { return CE_ERR_NOT_SUPPORTED; }

int32_t TCryptoEngine::VerifySignWOCheckValidity(const void *data, int32_t dataLength,
                                                 const void *signature, int32_t signatureLength,
                                                 char *signerUID) {
  return VerifyData(data, dataLength, signature, signatureLength, signerUID);
}

int32_t TCryptoEngine::CertAndRequestTransferMatch(val, val, int32_t *match) {
  CE_ASSERT(match != nullptr);
  *match = -1;
  return 0;
}

int32_t TCryptoEngine::ConvertTransferToSignedRequest(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::HashData(val, val, val, val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::ShowCertificate(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetPureSign(val, val, val, val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::GetUIDByCertIdent(val, val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::InstallCertsInMyStore(val) { return CE_ERR_NOT_SUPPORTED; }
int32_t TCryptoEngine::RegisterOIDInfo(const std::string &, const std::u16string &) {
  return CE_ERR_NOT_SUPPORTED;
}
int32_t TCryptoEngine::GetParamInfo(int32_t, int32_t *, char *, int32_t *) {
  return CE_ERR_NOT_SUPPORTED;
}

int32_t TCryptoEngine::IncludeByKind(int32_t kind, val x, val y, val z) {
  switch (kind) {
  case 1:
    return IncludeVariant2(x, y, z);
  case 2:
    return IncludePublicKey(reinterpret_cast<const char *>(y));
  case 3:
    return IncludeVariant3(x, y, z);
  case 4:
    return IncludePublicEncodeKey(reinterpret_cast<const char *>(y));
  case 5:
    return IncludeVariant4(x, y, z);
  case 6:
    return IncludeVariant5(x, y);
  case 7:
    return IncludePublicKeyTransfer(y);
  case 8:
    return IncludeCACertificateFromTransfer(y);
  case 9:
    return IncludeVariant1(x, y, z);
  case 10:
    return IncludeCRL(y);
  case 11:
    return IncludeVariant6(x, y, z);
  default:
    return CE_ERR_NOT_SUPPORTED;
  }
}

// --- non-virtual members ----------------------------------------------------

void TCryptoEngine::SetEngineRootPath(const std::string &path) {
  FRootPath = path;
  if (!FRootPath.empty() && FRootPath.back() != '\\')
    FRootPath += '\\';
}

std::string TCryptoEngine::ExpandRootPath(const std::string &path) const {
  if (path.empty())
    return path;
  const std::string_view head = std::string_view(path).substr(0, kRootPlaceholder.size());
  if (UpperCaseAscii(head) != UpperCaseAscii(kRootPlaceholder))
    return path;
  std::string_view rest = std::string_view(path).substr(kRootPlaceholder.size());
  if (!rest.empty() && rest.front() == '\\')
    rest.remove_prefix(1);
  return UpperCaseAscii(FRootPath + std::string(rest));
}

std::string TCryptoEngine::ExpandDirPath(const std::string &path) const {
  return IncludeDirDelimiter(ExpandRootPath(path));
}

bool TCryptoEngine::CopyStrToBuffer(const char *source, char *destination, int32_t size) {
  if (source == nullptr || destination == nullptr || size <= 0)
    return false;
  const std::size_t length = std::strlen(source) + 1;
  std::memcpy(destination, source, std::min(length, static_cast<std::size_t>(size)));
  return true;
}

const std::string &TCryptoEngine::ParamValue(int32_t index) const {
  return ListItem(FParamValues, index);
}
